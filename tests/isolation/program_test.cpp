// Program components: what the program is given (its folder, one JSON object on stdin) and how its
// answer becomes the scoring component's answers, through the registry a check uses.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "hosting/component_records.h"
#include "rig.h"
#include "vardenix/error.h"

namespace vardenix::isolation_test {
namespace {

// A Python program that answers with what it was given: its folder and its request, in ShowErr.
constexpr const char* kEcho = R"(
import json, os, sys
request = json.load(sys.stdin)
print("echo ran", file=sys.stderr)
json.dump({"protocol": 1, "ping": 100, "ShowErr": json.dumps({"cwd": os.getcwd(), "request": request}),
           "ErrMsgXml": "<RuleErrs/>"}, sys.stdout)
)";

std::unique_ptr<NamedObject> Program(Rig& rig, const std::string& prog_id, const std::string& python) {
  const std::string script = rig.records.Write(prog_id + ".py", python);
  RegisterProgram(rig.records.path(), prog_id, {"python3", script});
  return rig.registry.Create(prog_id);
}

void PutFour(NamedObject& object, const std::string& folder) {
  object.Put("TestPath", Variant::Text(folder));
  object.Put("AnsCont", Variant::Text("1 exists 考生/报告.txt\r\n\"quoted\" \\ back"));
  object.Put("GetTotalScore", Variant::I2(100));
  object.Put("ErrInfoType", Variant::I2(63));
}

TEST(ProgramComponents, GetTheFourPutsAsJsonInTheWorkingFolder) {
  std::string traced;
  IsolationSettings settings = SmallLimits();
  settings.seconds = 30;  // Python's start on a loaded machine
  settings.trace = [&traced](const std::string& prog_id, const std::string& text) { traced += prog_id + ": " + text; };
  Rig rig(settings);
  auto object = Program(rig, "Test.Echo", kEcho);
  PutFour(*object, rig.work.path());

  EXPECT_EQ(object->Read("ping"), Variant::I4(100));
  const auto shown = nlohmann::json::parse(ToText(object->Read("ShowErr")));
  EXPECT_EQ(object->Read("ErrMsgXml"), Variant::Text("<RuleErrs/>"));
  EXPECT_EQ(shown["cwd"], rig.work.path());
  const nlohmann::json want = {{"protocol", 1},
                               {"TestPath", rig.work.path()},
                               {"AnsCont", "1 exists 考生/报告.txt\r\n\"quoted\" \\ back"},
                               {"GetTotalScore", 100},
                               {"ErrInfoType", 63}};
  EXPECT_EQ(shown["request"], want);
  EXPECT_EQ(traced, "Test.Echo: echo ran\n");
}

TEST(ProgramComponents, AnswersBecomeValuesOrClearFailures) {
  struct Row {
    const char* name;
    const char* answer;  // what the program writes on stdout
    const char* failure;  // empty: "ping" answers `ping`
    Variant ping;
  } rows[] = {
      {"an integer", R"({"ping": 100})", "", Variant::I4(100)},
      {"a fraction", R"({"ping": 99.5})", "", Variant::R8(99.5)},
      {"a numeric text", R"({"ping": "100"})", "", Variant::Text("100")},
      {"null", R"({"ping": null})", "", Variant::Null()},
      {"the program's own failure", R"({"error": "rule line 3: unknown rule kind"})", "the scoring component Test.Answer answered an error: rule line 3: unknown rule kind", {}},
      {"a member it lacks", R"({"ShowErr": ""})", "unknown member \"ping\" of the component \"Test.Answer\"", {}},
      {"an array", R"({"ping": [100]})", "answered \"ping\" with a JSON array", {}},
      {"another protocol", R"({"protocol": 2, "ping": 100})", "answered in component protocol 2", {}},
      {"not an object", R"([100])", "wrote a JSON array on stdout instead of an object", {}},
      {"two objects", R"({"ping": 100} {"ping": 0})",
       R"(Test.Answer wrote something on stdout that is not one JSON object; it begins: "{"ping": 100} {"ping": 0}")", {}},
      {"text that is not UTF-8", "{\"ping\": \"\xff\"}", R"(it begins: "{"ping": "\xFF"}")", {}},
  };
  Rig rig;
  for (const Row& row : rows) {
    const std::string script = rig.records.Write("answer.sh", std::string("cat >/dev/null; printf '%s' '") + row.answer + "'\n");
    RegisterProgram(rig.records.path(), "Test.Answer", {"/bin/sh", script});
    auto object = rig.registry.Create("Test.Answer");
    PutFour(*object, rig.work.path());
    if (std::string(row.failure).empty()) {
      EXPECT_EQ(object->Read("ping"), row.ping) << row.name;
      continue;
    }
    try {
      object->Read("ping");
      ADD_FAILURE() << row.name << ": no failure";
    } catch (const RuntimeError& e) {
      EXPECT_NE(e.Description().find(row.failure), std::string::npos) << row.name << ": " << e.Description();
    }
  }
}

TEST(ProgramComponents, AProgramThatIsGoneIsAClearFailure) {
  Rig rig;
  // A record whose program was removed after it was registered.
  const std::string program = rig.records / "gone";
  fakes::WriteFileText(ComponentRecordPath(rig.records.path(), "Test.Removed"),
                       "progid=Test.Removed\nprogram=" + program + "\n");
  auto object = rig.registry.Create("Test.Removed");
  PutFour(*object, rig.work.path());
  // Each read says what happened, also a read after the one that ran the program.
  for (const char* member : {"ping", "ShowErr"}) {
    try {
      object->Read(member);
      ADD_FAILURE() << member << ": no failure";
    } catch (const RuntimeError& e) {
      EXPECT_NE(e.Description().find("the scoring component Test.Removed cannot be started"), std::string::npos)
          << member << ": " << e.Description();
      EXPECT_NE(e.Description().find(program), std::string::npos) << member << ": " << e.Description();
    }
  }
}

// An answer is one JSON object in UTF-8 and nothing else: trailing NUL bytes and garbage, a byte
// order mark, or a member given twice (of which one would silently win) are refused, naming the
// ProgID.
TEST(ProgramComponents, AnAnswerThatIsNotExactlyOneObjectIsRefused) {
  struct Row {
    const char* name;
    const char* format;   // printf's format: what the program writes on stdout
    const char* failure;  // nullptr: "ping" answers 100
  } rows[] = {
      {"one object and a line end", R"({"ping": 100}\n)", nullptr},
      {"a NUL and garbage after the object", R"({"ping": 100}\0\0garbage)", "wrote a NUL byte on stdout"},
      {"a NUL alone after the object", R"({"ping": 100}\0)", "wrote a NUL byte on stdout"},
      {"a byte order mark", R"(\357\273\277{"ping": 100})", "wrote a byte order mark"},
      {"ping twice", R"({"ping": 0, "ShowErr": "", "ping": 100})", "gave the member \"ping\" twice"},
      {"a member twice inside another", R"({"ping": 100, "x": {"a": 1, "a": 2}})", "gave the member \"a\" twice"},
  };
  Rig rig;
  for (const Row& row : rows) {
    const std::string script = rig.records.Write("answer.sh", std::string("cat >/dev/null; printf '") + row.format + "'\n");
    RegisterProgram(rig.records.path(), "Test.Answer", {"/bin/sh", script});
    auto object = rig.registry.Create("Test.Answer");
    PutFour(*object, rig.work.path());
    if (row.failure == nullptr) {
      EXPECT_EQ(object->Read("ping"), Variant::I4(100)) << row.name;
      continue;
    }
    try {
      object->Read("ping");
      ADD_FAILURE() << row.name << ": no failure";
    } catch (const RuntimeError& e) {
      EXPECT_NE(e.Description().find("the scoring component Test.Answer "), std::string::npos)
          << row.name << ": " << e.Description();
      EXPECT_NE(e.Description().find(row.failure), std::string::npos) << row.name << ": " << e.Description();
    }
  }
}

// A program's own failure whose words XML cannot hold (U+FFFE, a bell) still reaches both reports,
// by the rule every report uses.
TEST(ProgramComponents, AFailureInWordsXmlCannotHoldReachesBothReports) {
  Rig rig;
  const std::string script = rig.records.Write(
      "fails.sh", "cat >/dev/null; printf '{\"error\": \"rule line 1: \\357\\277\\276 and a \\\\u0007\"}'\n");
  RegisterProgram(rig.records.path(), "Test.Fails", {"/bin/sh", script});
  auto check = rig.Check();
  const Verdict v = RunCheck(*check, "Test.Fails");
  EXPECT_FALSE(v.passed);
  EXPECT_NE(v.text.find("rule line 1: \\uFFFE and a \\u0007"), std::string::npos) << v.text;
  EXPECT_NE(v.xml.find("rule line 1: \\uFFFE and a \\u0007"), std::string::npos) << v.xml;
}

}  // namespace
}  // namespace vardenix::isolation_test
