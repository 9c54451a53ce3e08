// The class registry and the component module ABI, through modules built by tests/platform/CMakeLists.txt.
#include "hosting/component_registry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "hosting/component_records.h"
#include "tests/support/fakes/recording_component.h"
#include "tests/platform/temp_folder.h"
#include "vardenix/component.h"
#include "support/failure.h"
#include "vardenix/error.h"

namespace vardenix {
namespace {

using support::FailureOf;

using testing::TempFolder;

constexpr const char* kScorer = "Vardenix.Test.Scorer";
constexpr const char* kEcho = "Vardenix.Test.CEcho";

std::string UnknownProgId(const std::string& prog_id) {
  return "no scoring component is registered under the ProgID \"" + prog_id +
         "\": load its module or run `vardenix register MODULE`";
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A registry that has loaded the C++ scorer module and the C echo module.
std::unique_ptr<ComponentRegistry> RegistryWithTestModules() {
  auto registry = std::make_unique<ComponentRegistry>();
  registry->LoadModule(VX_TEST_SCORER);
  registry->LoadModule(VX_TEST_C_MODULE);
  return registry;
}

TEST(ComponentRegistryTest, RunsAScoringSequenceThroughAModule) {
  ComponentRegistry registry;
  EXPECT_EQ(registry.LoadModule(VX_TEST_SCORER), (std::vector<std::string>{kScorer, "Vardenix.Test.Unborn"}));
  auto scorer = registry.Create(kScorer);
  scorer->Put("TestPath", Variant::Text("/srv/work/"));
  scorer->Put("AnsCont", Variant::Text("perfect"));
  scorer->Put("GetTotalScore", Variant::I2(100));
  scorer->Put("ErrInfoType", Variant::I2(63));
  EXPECT_EQ(scorer->Read("ping"), Variant::R4(100.0f));
  // What the component received, with each value's type tag: texts as 8, 16-bit integers as 2.
  EXPECT_EQ(scorer->Read("ShowErr"), Variant::Text("AnsCont=8:perfect;ErrInfoType=2:63.000000;"
                                                   "GetTotalScore=2:100.000000;TestPath=8:/srv/work/;"));
  EXPECT_EQ(scorer->Read("ErrMsgXml"), Variant::Text("<RuleErrs/>"));
}

TEST(ComponentRegistryTest, ValuesCrossTheBoundaryWithTheirTypes) {
  auto registry = RegistryWithTestModules();
  auto echo = registry->Create(kEcho);
  const struct {
    const char* name;
    Variant value;
  } rows[] = {
      {"Empty", Variant::Empty()},
      {"Null", Variant::Null()},
      {"True", Variant::Bool(true)},
      {"False", Variant::Bool(false)},
      {"I2", Variant::I2(-32768)},
      {"I4", Variant::I4(70000)},
      {"R4", Variant::R4(0.1f)},
      {"R8", Variant::R8(99.5)},
      {"empty text", Variant::Text("")},
      {"Chinese text", Variant::Text("\xE5\x85\xB8\xE5\x9E\x8B\xE6\x96\x87\xE6\xA1\xA3 ok")},
      {"text with NUL", Variant::Text(std::string("a\0b", 3))},
  };
  for (const auto& row : rows) {
    echo->Put("Value", row.value);
    EXPECT_EQ(echo->Read("Value"), row.value) << row.name;
  }
}

TEST(ComponentRegistryTest, ReleasesEachObjectWhenDestroyed) {
  auto registry = RegistryWithTestModules();
  auto first = registry->Create(kScorer);
  EXPECT_EQ(first->Read("Live"), Variant::I4(1));
  {
    auto second = registry->Create(kScorer);
    EXPECT_EQ(first->Read("Live"), Variant::I4(2));
    EXPECT_THROW(second->Put("Explode", Variant::I2(1)), RuntimeError);
  }
  EXPECT_EQ(first->Read("Live"), Variant::I4(1)) << "a failed object is released too";
}

TEST(ComponentRegistryTest, FailuresOfTheComponentBecomeRuntimeErrors) {
  auto registry = RegistryWithTestModules();
  auto scorer = registry->Create(kScorer);
  auto echo = registry->Create(kEcho);
  const struct {
    const char* name;
    std::function<void()> action;
    std::string description;  // exact, or
    std::string part;         // a part of it
  } rows[] = {
      {"put of an unknown member", [&] { scorer->Put("TestPth", Variant::Text("x")); },
       "unknown member \"TestPth\" of the component \"Vardenix.Test.Scorer\"", ""},
      {"read of an unknown member", [&] { scorer->Read("Ping2"); },
       "unknown member \"Ping2\" of the component \"Vardenix.Test.Scorer\"", ""},
      {"unknown member of a C component", [&] { echo->Read("ping"); },
       "unknown member \"ping\" of the component \"Vardenix.Test.CEcho\"", ""},
      {"member name with a NUL", [&] { echo->Put(std::string("Value\0x", 7), Variant::I2(1)); }, "",
       "unknown member"},
      // A module of the C++ layer names the exception's type; the host adds the ProgID and member.
      {"failing put (C++)", [&] { scorer->Put("Explode", Variant::Text("boom")); },
       "the scoring component Vardenix.Test.Scorer failed while taking \"Explode\": std::runtime_error: "
       "the scorer exploded while taking 8:boom", ""},
      {"failing read (C++)", [&] { scorer->Read("Explode"); },
       "the scoring component Vardenix.Test.Scorer failed while answering \"Explode\": std::runtime_error: "
       "the scorer exploded", ""},
      {"std::stoi of a word", [&] { scorer->Read("Stoi"); },
       "the scoring component Vardenix.Test.Scorer failed while answering \"Stoi\": std::invalid_argument: stoi", ""},
      {"the module's own exception type", [&] { scorer->Put("Graded", Variant::I2(3)); },
       "the scoring component Vardenix.Test.Scorer failed while taking \"Graded\": acme::GradeError: no rule for 2:3.000000",
       ""},
      {"an exception that is no std::exception", [&] { scorer->Read("Int"); },
       "the scoring component Vardenix.Test.Scorer failed while answering \"Int\": an exception of type int", ""},
      {"what() that is the type's name", [&] { scorer->Read("NoMemory"); },
       "the scoring component Vardenix.Test.Scorer failed while answering \"NoMemory\": std::bad_alloc", ""},
      // A C module gives its message alone, as modules built before types were named do.
      {"failing put (C)", [&] { echo->Put("Fail", Variant::I2(1)); },
       "the scoring component Vardenix.Test.CEcho failed while taking \"Fail\": the echo refuses every value", ""},
      {"failing read (C)", [&] { echo->Read("Fail"); },
       "the scoring component Vardenix.Test.CEcho failed while answering \"Fail\": the echo has nothing to say", ""},
      {"failure without a message", [&] { echo->Read("Silent"); },
       "the scoring component Vardenix.Test.CEcho failed while answering \"Silent\" without saying why (status 1)", ""},
      {"text that is not UTF-8", [&] { echo->Read("BadText"); }, "",
       "answered \"BadText\" with text that is not valid UTF-8"},
      {"unknown value type", [&] { echo->Read("BadType"); }, "", "a value of unknown type 7"},
      {"16-bit integer out of range", [&] { echo->Read("BigI2"); }, "", "out of range (40000)"},
      {"single out of range", [&] { echo->Read("BigR4"); }, "", "answered \"BigR4\" with a single-precision value out of range"},
      {"create fails", [&] { registry->Create("Vardenix.Test.Unborn"); },
       "the scoring component Vardenix.Test.Unborn failed while being created: std::runtime_error: "
       "no licence for this scorer", ""},
  };
  for (const auto& row : rows) {
    const std::string failure = FailureOf(row.action);
    if (!row.description.empty()) {
      EXPECT_EQ(failure, row.description) << row.name;
    } else {
      EXPECT_TRUE(Contains(failure, row.part)) << row.name << ": " << failure;
    }
  }
  // The objects are still usable after their members failed.
  echo->Put("Value", Variant::I2(7));
  EXPECT_EQ(echo->Read("Value"), Variant::I2(7));
}

TEST(ComponentRegistryTest, UnknownProgIdSaysHowToRegisterOne) {
  RegistryWithTestModules();  // loaded into the process, but not into the registry below
  ComponentRegistry registry;
  for (const std::string prog_id : {kScorer, "", "Nobody.Home"}) {
    EXPECT_EQ(FailureOf([&] { registry.Create(prog_id); }), UnknownProgId(prog_id)) << prog_id;
  }
}

TEST(ComponentRegistryTest, ProgIdsCompareWithoutCase) {
  auto registry = RegistryWithTestModules();
  auto echo = registry->Create("VARDENIX.test.cecho");
  echo->Put("Value", Variant::I2(3));
  EXPECT_EQ(echo->Read("Value"), Variant::I2(3));
}

TEST(ComponentRegistryTest, RefusesBrokenModulesNamingThem) {
  TempFolder folder;
  const std::string text_file = folder.Write("notes.so", "not a shared object");
  const struct {
    const char* name;
    std::string path;
    std::string part;
  } rows[] = {
      {"wrong abi_version", VX_TEST_WRONG_ABI, "built for component ABI version 99, and this Vardenix knows version 1"},
      {"descriptor too small", VX_TEST_SMALL_DESCRIPTOR, "its descriptor is 8 bytes, smaller than"},
      {"class descriptor too small", VX_TEST_SMALL_CLASS, "class 0: the class descriptor is 16 bytes"},
      {"no entry point", VX_TEST_NO_ENTRY, "no entry point vardenix_component_module"},
      {"not a shared object", text_file, "cannot load the component module"},
      {"missing file", folder / "missing.so", "cannot load the component module"},
  };
  for (const auto& row : rows) {
    ComponentRegistry registry;
    const std::string failure = FailureOf([&] { registry.LoadModule(row.path); });
    EXPECT_TRUE(Contains(failure, row.path)) << row.name << ": " << failure;
    EXPECT_TRUE(Contains(failure, row.part)) << row.name << ": " << failure;
    EXPECT_EQ(FailureOf([&] { registry.Create(kEcho); }), UnknownProgId(kEcho)) << row.name;
  }
}

TEST(ComponentRegistryTest, FindsAProgIdThroughARegistrationRecord) {
  TempFolder folder;
  const auto records = RegisterModule(folder.path(), VX_TEST_C_MODULE);
  ASSERT_EQ(records.size(), 1u);
  ComponentRegistry registry(folder.path());
  auto echo = registry.Create(kEcho);
  echo->Put("Value", Variant::Text("recorded"));
  EXPECT_EQ(echo->Read("Value"), Variant::Text("recorded"));
  // Without the folder, the same registry knows nothing.
  registry.SetRegistryFolder("");
  EXPECT_EQ(FailureOf([&] { registry.Create(kEcho); }), UnknownProgId(kEcho));
}

TEST(ComponentRegistryTest, UnusableRecordsSayWhatIsWrong) {
  TempFolder folder;
  WriteComponentRecord(folder.path(), "Moved.Scorer", folder / "gone/libscorer.so");
  WriteComponentRecord(folder.path(), "Wrong.Module", VX_TEST_C_MODULE);
  folder.Write("broken.scorer.component", "progid=Broken.Scorer\n");
  const struct {
    const char* name;
    const char* prog_id;
    std::vector<std::string> parts;
  } rows[] = {
      {"module gone", "Moved.Scorer", {"moved.scorer.component", "gone/libscorer.so", "cannot load the component module"}},
      {"module without the class", "Wrong.Module", {"wrong.module.component", VX_TEST_C_MODULE, "has no class of that ProgID"}},
      {"malformed record", "Broken.Scorer", {"broken.scorer.component", "it has no module= line"}},
  };
  ComponentRegistry registry(folder.path());
  for (const auto& row : rows) {
    const std::string failure = FailureOf([&] { registry.Create(row.prog_id); });
    for (const auto& part : row.parts) EXPECT_TRUE(Contains(failure, part)) << row.name << ": " << failure;
  }
}

TEST(ComponentRegistryTest, InProcessClassesComeFirstThenModulesThenRecords) {
  TempFolder folder;
  // A record that would send both ProgIDs to the C module, which has neither.
  WriteComponentRecord(folder.path(), kScorer, VX_TEST_C_MODULE);
  WriteComponentRecord(folder.path(), "Vardenix.Test.Shadowed", VX_TEST_C_MODULE);
  ComponentRegistry registry(folder.path());
  registry.LoadModule(VX_TEST_SCORER);
  auto script = std::make_shared<fakes::ComponentScript>();
  registry.RegisterFactory("vardenix.test.shadowed",
                           [script] { return std::make_unique<fakes::RecordingComponent>(script); });

  registry.Create("Vardenix.Test.Shadowed");
  EXPECT_EQ(script->created, 1) << "the in-process class comes before the record";
  EXPECT_EQ(registry.Create(kScorer)->Read("ErrMsgXml"), Variant::Text("<RuleErrs/>"))
      << "the loaded module comes before the record";

  registry.RegisterFactory(kScorer, [script] { return std::make_unique<fakes::RecordingComponent>(script); });
  registry.Create(kScorer);
  EXPECT_EQ(script->created, 2) << "the in-process class comes before the loaded module";
}

// A component a C++ host writes and registers in-process.
struct HostScorer {
  void Put(const std::string& member, const vx::Value& value) {
    if (member != "AnsCont") throw vx::UnknownMember();
    answer = value.text;
  }
  vx::Value Read(const std::string& member) {
    if (member != "ping") throw vx::UnknownMember();
    return vx::Value::R8(answer == "right" ? 100 : 0);
  }
  std::string answer;
};

TEST(ComponentRegistryTest, HostRegistersAClassInProcess) {
  vx::RegisterComponent<HostScorer>("Vardenix.Test.HostScorer");
  auto scorer = SystemClassRegistry().Create("vardenix.test.hostscorer");
  scorer->Put("AnsCont", Variant::Text("right"));
  EXPECT_EQ(ToSingle(scorer->Read("ping")), 100.0f);
  EXPECT_EQ(FailureOf([&] { scorer->Put("TestPath", Variant::Text("")); }),
            "unknown member \"TestPath\" of the component \"Vardenix.Test.HostScorer\"");

  ComponentRegistry own;
  own.RegisterClass(vx::MakeClass<HostScorer>("Own.Scorer"));
  EXPECT_EQ(own.Create("Own.Scorer")->Read("ping"), Variant::R8(0));
}

TEST(ComponentRegistryTest, ThreadsRegisterLoadAndCreateAtOnce) {
  ComponentRegistry registry;
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      try {
        for (int i = 0; i < 50; ++i) {
          registry.LoadModule(t % 2 ? VX_TEST_SCORER : VX_TEST_C_MODULE);
          registry.RegisterClass(vx::MakeClass<HostScorer>("Thread.Scorer"));
          registry.Create("Thread.Scorer")->Put("AnsCont", Variant::Text("right"));
          if (i > 0) registry.Create(t % 2 ? kScorer : kEcho)->Read(t % 2 ? "ErrMsgXml" : "Value");
        }
      } catch (const std::exception&) {
        ++failures;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
}

TEST(ComponentRegistryTest, HostCallsAnswerAStatusAndAMessage) {
  char message[256];
  vx_class incomplete = vx::MakeClass<HostScorer>("Vardenix.Test.Incomplete");
  incomplete.release = nullptr;
  EXPECT_EQ(vardenix_register_class(&incomplete, message, sizeof message), VX_INVALID_ARGUMENT);
  EXPECT_TRUE(Contains(message, "release")) << message;
  EXPECT_EQ(vardenix_register_class(nullptr, nullptr, 0), VX_INVALID_ARGUMENT);

  EXPECT_EQ(vardenix_load_module(VX_TEST_WRONG_ABI, message, sizeof message), VX_FAILED);
  EXPECT_TRUE(Contains(message, VX_TEST_WRONG_ABI)) << message;
  char small[12];
  EXPECT_EQ(vardenix_load_module(VX_TEST_WRONG_ABI, small, sizeof small), VX_FAILED);
  EXPECT_EQ(std::string(small), std::string(message).substr(0, sizeof small - 1));

  EXPECT_EQ(vardenix_load_module(VX_TEST_C_MODULE, message, sizeof message), VX_OK);
  EXPECT_STREQ(message, "");
  EXPECT_EQ(SystemClassRegistry().Create(kEcho)->Read("Value"), Variant::Empty());

  TempFolder folder;
  WriteComponentRecord(folder.path(), "Vardenix.Test.Scorer", VX_TEST_SCORER);
  EXPECT_EQ(vardenix_set_registry_folder(folder.path().c_str(), message, sizeof message), VX_OK);
  EXPECT_EQ(SystemClassRegistry().Create(kScorer)->Read("ErrMsgXml"), Variant::Text("<RuleErrs/>"));
  EXPECT_EQ(vardenix_set_registry_folder(nullptr, message, sizeof message), VX_OK);
  EXPECT_EQ(SystemComponentRegistry().RegistryFolder(), "");
}

}  // namespace
}  // namespace vardenix
