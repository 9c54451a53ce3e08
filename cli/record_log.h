// The records of a run as `vardenix check` and `vardenix merge` keep them: not in memory, but each
// written, as it comes, into the pieces of the outputs asked for (the JSON's record objects, the
// JUnit test cases, the HTML rows and articles, the text summary's lines), in spill files under
// $TMPDIR that the outputs are assembled from at the end. What stays in memory does not grow with
// the records: the counts, and per JUnit suite its counts and where its cases lie in the spill file.
// A sweep of a million records costs the same memory as one of a thousand; the outputs are the same
// bytes as if every record had been kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "vardenix/envi_chk.h"

namespace vardenix::cli {

// Bytes appended while a run goes and read back when its outputs are written. The first 64 KiB
// stay in memory (a run of a few dozen records writes no file); beyond them, they go into an
// unnamed file under $TMPDIR (or /tmp), removed as soon as it is made, so that nothing is left
// behind when the command stops, written through a buffer of 64 KiB. Throws UsageError when the
// file cannot be made or written (a full disk).
class SpillFile {
 public:
  SpillFile() = default;
  ~SpillFile();
  SpillFile(const SpillFile&) = delete;
  SpillFile& operator=(const SpillFile&) = delete;

  void Append(const std::string& text);
  uint64_t Size() const { return size_; }
  // Copies bytes [begin, end) to `out`.
  void CopyTo(std::ostream& out, uint64_t begin, uint64_t end);
  void CopyTo(std::ostream& out) { CopyTo(out, 0, size_); }
  // Appends the whole of `other`, a buffer at a time.
  void AppendFrom(SpillFile& other);
  // Empties the file.
  void Clear();

 private:
  void Flush();
  void Read(uint64_t begin, uint64_t end, const std::function<void(const char*, size_t)>& take);

  int fd_ = -1;
  std::string buffer_;
  uint64_t flushed_ = 0;
  uint64_t size_ = 0;
};

// The items of a run counted by outcome: graded is everything but not graded; not passed is failed,
// refused archive and run-time failure.
struct RecordCounts {
  int64_t records = 0;
  int64_t graded = 0;
  int64_t passed = 0;
  int64_t not_passed = 0;
  int64_t not_graded = 0;
  void Add(RecordOutcome outcome);
};

// Which pieces of the outputs the records are written into.
struct RecordPieces {
  bool json = false;               // the JSON's "records" list
  bool json_with_reports = false;  // a shard's records carry what they added to the reports
  bool text = false;               // the text summary's lines of what did not pass
  bool draw_list = false;          // a dry run's list of draws on stdout
  bool junit = false;
  bool html = false;
  bool dry_run = false;  // a dry run's "not graded" draws are no failure in the text and the page
};

class RecordLog {
 public:
  // What to keep; before the first record.
  void Keep(const RecordPieces& pieces);
  const RecordPieces& Pieces() const { return pieces_; }

  // Writes the record into each piece kept. A spill file that cannot be written is remembered
  // (Problem()) and the records after it are only counted: the outputs cannot be made whole.
  void Add(const RecordResult& record) noexcept;

  const RecordCounts& Counts() const { return counts_; }
  int64_t Size() const { return counts_.records; }
  // Why the pieces could not be written, or empty.
  const std::string& Problem() const { return problem_; }

  // The JSON record objects, separated by commas.
  void WriteJson(std::ostream& out);
  // The text summary's lines of the items that did not pass (or were not graded), and whether
  // there is any.
  bool HasTextLines() const { return text_ && text_->Size() > 0; }
  void WriteTextLines(std::ostream& out);
  // A dry run's draws, one line each.
  void WriteDrawList(std::ostream& out);

  // A JUnit test suite: a module (or the typical document) and its cases in draw order.
  struct Suite {
    std::string name;
    int64_t cases = 0;
    int64_t failures = 0;
    int64_t errors = 0;
    int64_t skipped = 0;
    double seconds = 0.0;
    std::vector<std::pair<uint64_t, uint64_t>> spans;  // where its cases are in the spill file
  };
  // The suites of the records, in the order their first record came; `Suite(name)` finds one or
  // makes an empty one at the end.
  const std::vector<Suite>& Suites() const { return suites_; }
  Suite& SuiteNamed(const std::string& name);
  void WriteJUnitCases(const Suite& suite, std::ostream& out);

  // The HTML page's rows of the failures table, and whether there is any.
  bool HasFailureRows() const { return failure_rows_ && failure_rows_->Size() > 0; }
  void WriteFailureRows(std::ostream& out);
  // The page's records, grouped by module, the passed records of each group folded.
  void WriteHtmlRecords(std::ostream& out);

 private:
  void AddPieces(const RecordResult& record);
  void CloseGroup();

  RecordPieces pieces_;
  RecordCounts counts_;
  std::string problem_;
  std::unique_ptr<SpillFile> json_;
  std::unique_ptr<SpillFile> text_;
  std::unique_ptr<SpillFile> draws_;
  std::unique_ptr<SpillFile> junit_;
  std::vector<Suite> suites_;
  std::map<std::string, size_t> suite_index_;
  std::unique_ptr<SpillFile> failure_rows_;
  std::unique_ptr<SpillFile> html_records_;
  std::unique_ptr<SpillFile> html_passed_;  // the current group's passed records, folded at its end
  bool group_open_ = false;
  bool group_typical_ = false;
  std::string group_module_;
  int64_t group_passed_ = 0;
};

}  // namespace vardenix::cli
