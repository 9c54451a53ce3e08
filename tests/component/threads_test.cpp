// Separate check objects on separate threads never mix: each object stages, extracts and grades only
// its own archives in its own working folder, with the real file system and the real archive control,
// while the other objects do the same at the same time. Run under ThreadSanitizer too (build-tsan),
// where it is also the test of what the archive readers share across threads: every archive goes
// through libarchive's reader (its deflated entries carry a data descriptor, which the in-memory
// reader leaves to libarchive), with names it converts (UTF-8 and CP936 bytes) and times it
// converts, on four threads at once, enough times that a race on shared state is met on every run.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
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

constexpr int kThreads = 4;
constexpr int kChecksPerThread = 400;
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

// The archive of check n of object `name`: "考生/<name>/<n>.txt", holding its own name, beside a file
// whose name is stored in CP936 without the UTF-8 flag ("考生/备注.txt"), both deflated.
std::vector<uint8_t> CheckArchive(const std::string& name, int n) {
  const std::string file = "考生/" + name + "/" + std::to_string(n) + ".txt";
  return fakes::BuildZip({{"考生/", "", fakes::ZipEntryType::kFolder, true},
                          {file, file, fakes::ZipEntryType::kFile, true},
                          {"\xbf\xbc\xc9\xfa/\xb1\xb8\xd7\xa2.txt", "备注"}});
}

// One object's run: check n stages CheckArchive(name, n) and asks for its file.
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
    const std::string file = "考生/" + name + "/" + std::to_string(n) + ".txt";
    std::vector<uint8_t> archive = CheckArchive(name, n);
    std::string text, xml;
    const bool verdict = chk.PingEnviChk(text, xml, archive, file, ChkResultDoc);
    if (!verdict) wrong.push_back({n, verdict, text});
  }
  return wrong;
}

TEST(Threads, SeparateCheckObjectsNeverMixArchivesOrFolders) {
  // The archives are libarchive's to read: each deflated entry's sizes follow its data, in a data
  // descriptor (general-purpose flag bit 3 of the local header).
  const std::vector<uint8_t> sample = CheckArchive("sample", 0);
  const std::string name = "考生/sample/0.txt";
  const std::vector<uint8_t> bytes(name.begin(), name.end());
  const auto at = std::search(sample.begin(), sample.end(), bytes.begin(), bytes.end());  // in its local header
  ASSERT_NE(at, sample.end());
  ASSERT_GE(at - sample.begin(), 30);
  const uint8_t* header = &*at - 30;
  ASSERT_EQ(header[0] | header[1] << 8 | header[2] << 16 | header[3] << 24, 0x04034b50);
  ASSERT_NE(header[6] & 0x08, 0) << "the file entry has no data descriptor";

  std::vector<fakes::TempDir> folders(kThreads);
  std::vector<std::vector<Wrong>> wrong(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] { wrong[t] = RunChecks("线程" + std::to_string(t), folders[t].path()); });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_TRUE(wrong[t].empty()) << "thread " << t << ": " << wrong[t].size() << " of " << kChecksPerThread
                                  << " checks answered not passed; the first was check " << wrong[t].front().check
                                  << ": " << wrong[t].front().report;
  }
}

}  // namespace
}  // namespace vardenix
