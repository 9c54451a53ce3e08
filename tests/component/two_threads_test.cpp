// Separate check objects on separate threads never mix: each object stages, extracts and grades only
// its own archives in its own working folder, with the real file system and the real archive control,
// while the other object does the same at the same time. Run under ThreadSanitizer too (build-tsan).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/fakes/recording_component.h"
#include "tests/support/fakes/temp_dir.h"
#include "tests/support/fakes/zip_writer.h"
#include "platform/platform.h"
#include "vardenix/envi_chk.h"
#include "vardenix/error.h"

namespace vardenix {
namespace {

constexpr int kChecksPerThread = 300;
constexpr const char* kScorer = "Threads.Scorer";

// Full marks when the file named by the answer text is in TestPath and holds the answer text itself,
// so an archive extracted into the other object's folder, or the other object's archive extracted
// here, scores 0.
class FolderScorer final : public NamedObject {
 public:
  void Put(const std::string& member, const Variant& value) override {
    if (member == "TestPath") test_path_ = ToText(value);
    if (member == "AnsCont") answer_ = ToText(value);
  }
  Variant Read(const std::string& member) override {
    if (member == "ping") {
      std::ifstream in(test_path_ + "/" + answer_, std::ios::binary);
      const std::string held{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
      return Variant::R4(in.is_open() && held == answer_ ? 100.0f : 0.0f);
    }
    if (member == "ShowErr" || member == "ErrMsgXml") return Variant::Text("");
    throw RuntimeError("Threads.Scorer has no member " + member);
  }

 private:
  std::string test_path_;
  std::string answer_;
};

struct Wrong {
  int check;
  bool verdict;
  std::string report;
};

// One object's run: check n stages an archive holding "<name>/<n>.txt" and asks for that file.
std::vector<Wrong> RunChecks(const std::string& name, const std::string& folder) {
  fakes::FakeClassRegistry classes;
  classes.Register(kScorer, [] { return std::make_unique<FolderScorer>(); });
  auto platform = std::make_shared<Platform>();
  platform->classes = &classes;
  ClsEnviChk chk(platform);
  chk.PingName(kScorer);
  chk.PingPath(folder);
  std::vector<Wrong> wrong;
  for (int n = 0; n < kChecksPerThread; ++n) {
    const std::string file = name + "/" + std::to_string(n) + ".txt";
    std::vector<uint8_t> archive = fakes::BuildZip({{file, file}});
    std::string text, xml;
    const bool verdict = chk.PingEnviChk(text, xml, archive, file, ChkResultDoc);
    if (!verdict) wrong.push_back({n, verdict, text});
  }
  return wrong;
}

TEST(TwoThreads, SeparateCheckObjectsNeverMixArchivesOrFolders) {
  fakes::TempDir first_folder;
  fakes::TempDir second_folder;
  std::vector<Wrong> first_wrong;
  std::vector<Wrong> second_wrong;
  std::thread first([&] { first_wrong = RunChecks("first", first_folder.path()); });
  std::thread second([&] { second_wrong = RunChecks("second", second_folder.path()); });
  first.join();
  second.join();
  for (const auto& [name, wrong] : {std::pair{"first", &first_wrong}, std::pair{"second", &second_wrong}}) {
    EXPECT_TRUE(wrong->empty()) << name << ": " << wrong->size() << " of " << kChecksPerThread
                                << " checks answered not passed; the first was check " << wrong->front().check
                                << ": " << wrong->front().report;
  }
}

}  // namespace
}  // namespace vardenix
