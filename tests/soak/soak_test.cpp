// One check object over a long run, the way an exam centre's host uses it for a whole day: thousands
// of typical-document checks and hundreds of subject checks, with the real file system, archive
// control, database engine and DOM, and in-process scoring components that fail now and then or
// raise. Afterwards memory has grown only by what the object is meant to keep (its accumulated
// entries), no descriptor is left open, and the working folder holds only the files that stay.
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/fakes/recording_component.h"
#include "platform/fakes/temp_dir.h"
#include "platform/fakes/zip_writer.h"
#include "platform/platform.h"
#include "support/banks.h"
#include "vardenix/envi_chk.h"
#include "vardenix/error.h"

#if defined(__SANITIZE_ADDRESS__)
// Freed memory sits in the sanitizer's quarantine (256 MiB by default) before it is reused, which
// would hide any real growth behind the quarantine filling up. A small one keeps the memory figures
// meaningful; use-after-free is still caught for the most recent frees.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=4"; }
constexpr long kMarginKib = 4 * 1024;  // the sanitizer's allocator grows by about 1.5 MiB over a run
#else
constexpr long kMarginKib = 2 * 1024;  // a run grows by about 150 KiB
#endif

namespace vardenix {
namespace {

constexpr int kDocumentChecks = 2000;
constexpr int kSubjectChecks = 200;
constexpr int kRaiseEvery = 100;  // every 100th check uses the component that raises
constexpr const char* kScorer = "Soak.Scorer";
constexpr const char* kRaiser = "Soak.Raiser";
constexpr const char* kFailedXml =
    "<?xml version=\"1.0\" encoding=\"gb2312\" ?>\r\n<RuleErrs><RuleErr><Rule>1</Rule>"
    "<RuleErrInfo>字体不对</RuleErrInfo><Operation/><NeedSet>宋体</NeedSet><UserSet>黑体</UserSet>"
    "<Runtime/><Format/></RuleErr></RuleErrs>";

// Scores 100, except every tenth record it grades, which scores 50 with a report of its own.
class CountingScorer final : public NamedObject {
 public:
  explicit CountingScorer(int& graded) : graded_(graded) {}
  void Put(const std::string&, const Variant&) override {}
  Variant Read(const std::string& member) override {
    if (member == "ping") failing_ = ++graded_ % 10 == 0;
    if (member == "ping") return Variant::R4(failing_ ? 50.0f : 100.0f);
    if (member == "ShowErr") return Variant::Text(failing_ ? "第1条规则: 字体不对\r\n" : "");
    if (member == "ErrMsgXml") return Variant::Text(failing_ ? kFailedXml : "");
    throw RuntimeError("Soak.Scorer has no member " + member);
  }

 private:
  int& graded_;
  bool failing_ = false;
};

// Raises as soon as it is asked for the score.
class RaisingScorer final : public NamedObject {
 public:
  void Put(const std::string&, const Variant&) override {}
  Variant Read(const std::string&) override { throw RuntimeError("the scoring component stopped"); }
};

long ResidentKib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

std::vector<std::string> OpenDescriptors() {
  std::vector<std::string> fds;
  DIR* dir = ::opendir("/proc/self/fd");
  if (!dir) return fds;
  const int own = ::dirfd(dir);
  while (const dirent* e = ::readdir(dir)) {
    const std::string name = e->d_name;
    if (name == "." || name == ".." || name == std::to_string(own)) continue;
    char target[4096];
    const ssize_t n = ::readlink(("/proc/self/fd/" + name).c_str(), target, sizeof target);
    fds.push_back(name + " -> " + std::string(target, n > 0 ? static_cast<size_t>(n) : 0));
  }
  ::closedir(dir);
  std::sort(fds.begin(), fds.end());
  return fds;
}

std::vector<uint8_t> TypicalDocument() {
  return fakes::BuildZip({{"doc/", "", fakes::ZipEntryType::kFolder},
                          {"doc/answer.txt", std::string(3000, 'w')},
                          {"readme.txt", "model answer"}});
}

std::vector<uint8_t> RecordArchive() {
  return fakes::BuildZip({{"record/answer.txt", std::string(2000, 'r')}, {"record/empty.txt", ""}});
}

struct Figures {
  long rss_kib = 0;
  size_t report_bytes = 0;  // the last failed check's reports: its own entries and the accumulated ones
};

TEST(Soak, OneCheckObjectOverALongRun) {
  fakes::TempDir work;
  fakes::TempDir banks_dir;
  const std::string total = support::WriteTotalBank(banks_dir / "total.db",
                                                    support::OperationModules("S01", {"Word", "Excel"}));
  const std::string subject = support::WriteBankWithModules(banks_dir / "subject.db", {{"Word", 12}, {"Excel", 8}},
                                                            RecordArchive());

  int graded = 0;
  fakes::FakeClassRegistry classes;
  classes.Register(kScorer, [&graded] { return std::make_unique<CountingScorer>(graded); });
  classes.Register(kRaiser, [] { return std::make_unique<RaisingScorer>(); });
  auto platform = std::make_shared<Platform>();
  platform->classes = &classes;
  platform->random = MakeRandomSource(static_cast<uint64_t>(::testing::UnitTest::GetInstance()->random_seed()));

  ClsEnviChk chk(platform);
  chk.PingPath(work.path());
  std::vector<uint8_t> document = TypicalDocument();
  std::string text, xml;
  int failed = 0, raised = 0;
  Figures figures;

  const auto document_check = [&](int n) {
    const bool raise = n % kRaiseEvery == kRaiseEvery - 1;
    chk.PingName(raise ? kRaiser : kScorer);
    raised += raise;
    if (!chk.PingEnviChk(text, xml, document, "1 exists doc/answer.txt", ChkResultDoc)) {
      ++failed;
      figures.report_bytes = text.size() + xml.size();
    }
  };
  const auto subject_check = [&](int n) {
    const bool raise = n % 20 == 19;
    chk.PingName(raise ? kRaiser : kScorer);
    raised += raise;
    std::vector<uint8_t> unused;
    // The subject check alone never passes the entry point; a report says whether a record failed.
    chk.PingEnviChk(text, xml, unused, "", ChkSubject, total, subject, "S01", -1, 0.3f);
    if (!text.empty()) {
      ++failed;
      figures.report_bytes = text.size() + xml.size();
    }
  };

  // The first checks create what lives for the process (archive control, database engine, the
  // libraries' caches); descriptors and memory are counted from here.
  document_check(0);
  subject_check(0);
  const std::vector<std::string> fds_before = OpenDescriptors();

  const int warm = kDocumentChecks / 5;
  for (int n = 1; n < warm; ++n) document_check(n);
  const Figures early = {ResidentKib(), figures.report_bytes};
  for (int n = warm; n < kDocumentChecks; ++n) document_check(n);
  for (int n = 1; n < kSubjectChecks; ++n) subject_check(n);
  figures.rss_kib = ResidentKib();

  EXPECT_GT(failed, kDocumentChecks / 10) << "the run must take the failure paths too";
  EXPECT_GT(raised, 0);

  // Memory: what the object keeps (its accumulated entries, reported in full with every failure, in
  // strings that may hold twice their length, with the host's copies of the reports) plus a generous
  // margin for the allocator. In the normal build a leak of 2 KB a typical-document check exceeds it.
  const long kept_kib = static_cast<long>(figures.report_bytes - std::min(figures.report_bytes, early.report_bytes)) * 4 / 1024;
  const long growth_kib = figures.rss_kib - early.rss_kib;
  std::printf("soak: %d typical-document and %d subject checks, %d records graded, %d failed checks, %d raising\n",
              kDocumentChecks, kSubjectChecks, graded, failed, raised);
  std::printf("soak: resident %ld KiB after %d checks, %ld KiB at the end (growth %ld KiB); reports %zu -> %zu bytes\n",
              early.rss_kib, warm, figures.rss_kib, growth_kib, early.report_bytes, figures.report_bytes);
  std::printf("soak: %zu descriptors open before, %zu after\n", fds_before.size(), OpenDescriptors().size());
  EXPECT_LT(growth_kib, kept_kib + kMarginKib) << "resident memory kept growing";

  EXPECT_EQ(OpenDescriptors(), fds_before) << "a descriptor was left open";

  // The working folder: the two staged archives and what the last extraction (a record's) wrote;
  // each extraction removes what the one before it wrote, so no other answer's files stay.
  const std::vector<std::string> want = {"ChkPing.ZIP", "Result.Zip", "record", "record/answer.txt",
                                         "record/empty.txt"};
  std::vector<std::string> sorted_want = want;
  std::sort(sorted_want.begin(), sorted_want.end());
  EXPECT_EQ(fakes::ListTree(work.path()), sorted_want);
}

}  // namespace
}  // namespace vardenix
