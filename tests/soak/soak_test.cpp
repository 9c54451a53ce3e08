// One check object over a long run, the way an exam centre's host uses it for a whole day: thousands
// of typical-document checks and hundreds of subject checks, with the real file system, archive
// control, database engine and DOM, and in-process scoring components that fail now and then or
// raise. Afterwards memory has grown only by what the object is meant to keep (its accumulated
// entries), no descriptor is left open, and the working folder holds only the files that stay.
#include <dirent.h>
#include <malloc.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/fakes/recording_component.h"
#include "tests/support/fakes/temp_dir.h"
#include "tests/support/fakes/zip_writer.h"
#include "platform/platform.h"
#include "support/banks.h"
#include "vardenix/envi_chk.h"
#include "vardenix/error.h"

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer brings its own allocator, which glibc's figures do not see; its leak checker covers
// memory there. Descriptors and verdicts are checked in both builds.
constexpr bool kHeapFigures = false;
#else
constexpr bool kHeapFigures = true;
#endif
// Besides what the object keeps on purpose: the libraries' caches settle within the warm-up; this
// leaves room for little more (a leak of 100 bytes a check over the 1,800 measured ones exceeds it).
constexpr long kMarginKib = 160;

namespace vardenix {
namespace {

constexpr int kDocumentChecks = 2000;
constexpr int kSubjectChecks = 200;
constexpr int kRaiseEvery = 100;  // every 100th check uses the component that raises
constexpr const char* kScorer = "Soak.Scorer";
constexpr const char* kRaiser = "Soak.Raiser";
constexpr const char* kRecordScorer = "Soak.RecordScorer";
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

// Bytes the allocator has handed out and not had back: a leak shows here whatever the allocator
// keeps cached or returns to the system, which the resident size would hide or blur. Free pages are
// trimmed first so the figure is the same whenever it is taken.
long HeapInUseKib() {
  ::malloc_trim(0);
  return static_cast<long>(::mallinfo2().uordblks / 1024);
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

// A typical-document archive that the archive control refuses (its central directory is cut off).
std::vector<uint8_t> BrokenArchive() {
  std::vector<uint8_t> zip = TypicalDocument();
  zip.resize(zip.size() / 2);
  return zip;
}

TEST(Soak, OneCheckObjectOverALongRun) {
  fakes::TempDir work;
  fakes::TempDir banks_dir;
  const std::string total = support::WriteTotalBank(banks_dir / "total.db",
                                                    support::OperationModules("S01", {"Word", "Excel"}));
  const std::string subject = support::WriteBankWithModules(banks_dir / "subject.db", {{"Word", 12}, {"Excel", 8}},
                                                            RecordArchive());

  // Documents and records are counted apart, so which checks fail does not depend on how many
  // records a subject check draws.
  int graded = 0;
  int records_graded = 0;
  fakes::FakeClassRegistry classes;
  classes.Register(kScorer, [&graded] { return std::make_unique<CountingScorer>(graded); });
  classes.Register(kRecordScorer, [&records_graded] { return std::make_unique<CountingScorer>(records_graded); });
  classes.Register(kRaiser, [] { return std::make_unique<RaisingScorer>(); });
  auto platform = std::make_shared<Platform>();
  platform->classes = &classes;
  platform->random = MakeRandomSource(static_cast<uint64_t>(::testing::UnitTest::GetInstance()->random_seed()));

  ClsEnviChk chk(platform);
  chk.PingPath(work.path());
  const std::vector<uint8_t> good_document = TypicalDocument();
  const std::vector<uint8_t> broken_document = BrokenArchive();
  std::string text, xml;
  int document_failed = 0;
  int subject_failed = 0;
  std::vector<std::string> wrong;  // checks whose verdict is not the one the scorers' rules give
  int subject_samples = -1;        // records graded by each subject check; the rate makes it fixed

  // Every 100th check raises, every 50th (another one) stages an archive the control refuses, and
  // the scorer fails every tenth record it grades: the verdict each check must have follows from that.
  const auto document_check = [&](int n) {
    const bool raise = n % kRaiseEvery == kRaiseEvery - 1;
    const bool broken = n % 50 == 25;
    chk.PingName(raise ? kRaiser : kScorer);
    std::vector<uint8_t> document = broken ? broken_document : good_document;
    const int before = graded;
    const bool verdict = chk.PingEnviChk(text, xml, document, "1 exists doc/answer.txt", ChkResultDoc);
    const bool expected = !raise && !broken && graded == before + 1 && graded % 10 != 0;
    if (verdict != expected) wrong.push_back("document check " + std::to_string(n));
    document_failed += !verdict;
  };
  const auto subject_check = [&](int n) {
    const bool raise = n % 20 == 19;
    chk.PingName(raise ? kRaiser : kRecordScorer);
    std::vector<uint8_t> unused;
    const int before = records_graded;
    const bool verdict = chk.PingEnviChk(text, xml, unused, "", ChkSubject, total, subject, "S01", -1, 0.3f);
    if (!raise) {
      if (subject_samples < 0) subject_samples = records_graded - before;
      if (records_graded - before != subject_samples) {
        wrong.push_back("subject check " + std::to_string(n) + " sample count");
      }
    }
    // A failing record: one of the numbers graded in (before, records_graded] is a multiple of ten.
    const bool failing_record = records_graded / 10 != before / 10;
    const bool expected = !raise && !failing_record;
    if (verdict != expected) wrong.push_back("subject check " + std::to_string(n));
    subject_failed += !verdict;
  };

  // The first checks create what lives for the process (archive control, database engine, the
  // libraries' caches); descriptors and memory are counted from here.
  document_check(0);
  subject_check(0);
  const std::vector<std::string> fds_before = OpenDescriptors();

  const int warm = kDocumentChecks / 10;
  for (int n = 1; n < warm; ++n) document_check(n);
  const long heap_early = HeapInUseKib();
  const size_t kept_early = text.size() + xml.size();
  for (int n = warm; n < kDocumentChecks; ++n) document_check(n);
  const long heap_documents = HeapInUseKib();
  for (int n = 1; n < kSubjectChecks; ++n) subject_check(n);
  const long heap_end = HeapInUseKib();
  const size_t kept_end = text.size() + xml.size();

  EXPECT_TRUE(wrong.empty()) << wrong.size() << " wrong verdicts, the first: " << wrong.front();
  EXPECT_GT(subject_samples, 0);
  // 2,000 document checks: 20 raise, 40 stage a refused archive, and of the 1,940 graded every tenth
  // fails. 200 subject checks: 10 raise, and each of the others fails when one of its records is a
  // tenth one graded.
  int expected_subject_failed = kSubjectChecks / 20;
  for (int i = 0; i < kSubjectChecks - kSubjectChecks / 20; ++i) {
    expected_subject_failed += (i + 1) * subject_samples / 10 != i * subject_samples / 10;
  }
  EXPECT_EQ(document_failed, 20 + 40 + 194);
  EXPECT_EQ(subject_failed, expected_subject_failed);

  // Memory: what the object keeps (its accumulated entries, which every failed check's reports
  // repeat in full, so the host's copies hold them too), plus the margin.
  const long kept_kib = static_cast<long>((kept_end - std::min(kept_end, kept_early)) * 2 / 1024);
  std::printf("soak: %d typical-document checks (%d failed), %d subject checks of %d records (%d failed)\n",
              kDocumentChecks, document_failed, kSubjectChecks, subject_samples, subject_failed);
  std::printf("soak: heap in use %ld KiB after %d checks, %ld KiB after the document checks, %ld KiB at the "
              "end; reports %zu -> %zu bytes\n",
              heap_early, warm, heap_documents, heap_end, kept_early, kept_end);
  std::printf("soak: %zu descriptors open before, %zu after\n", fds_before.size(), OpenDescriptors().size());
  if (kHeapFigures) {
    EXPECT_LT(heap_end - heap_early, kept_kib + kMarginKib) << "the heap kept growing";
  }
  EXPECT_EQ(OpenDescriptors(), fds_before) << "a descriptor was left open";

  // The working folder: what the last run (a record's) left, its staged archive and its answer; each
  // run's footprint is removed before the next extraction, so nothing of another run stays.
  const std::vector<std::string> want = {"Result.Zip", "record", "record/answer.txt", "record/empty.txt"};
  std::vector<std::string> sorted_want = want;
  std::sort(sorted_want.begin(), sorted_want.end());
  EXPECT_EQ(fakes::ListTree(work.path()), sorted_want);
}

}  // namespace
}  // namespace vardenix
