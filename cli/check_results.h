// What `vardenix check` gathers while a check runs (each graded item, each module) and the outputs
// it makes from it: the JSON object, the text summary, the JUnit and HTML reports, and progress on
// stderr. The check object's two reports are passed through as they are.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <vector>

#include "cli/record_log.h"
#include "vardenix/envi_chk.h"

namespace vardenix::cli {

struct ModuleResult {
  std::string name;
  int32_t questions = 0;
  int32_t samples = 0;  // draws
  int32_t passed = 0;
  int32_t failed = 0;      // failed, refused archive and run-time failures
  int32_t not_graded = 0;
};

// What a shard of a sweep (`vardenix check --shard K/N`) adds to its JSON, so that `vardenix merge`
// can tell which shards belong together and write the one result of the whole sweep: the shard's
// place, what was swept (ProgID, banks by SHA-256, subject, contract, selection) and the entries the
// check recorded besides its records' own reports.
struct ShardInfo {
  int32_t index = 0;
  int32_t count = 1;
  std::string total_sha256;
  std::string subject_sha256;
  int32_t contract = -1;
  std::string selection;  // "all", or "rerun " and the SHA-256 of the records listed to grade again
  std::string check_err_msg;
  std::string check_err_xml;
};

// Everything one run of the command found, for the outputs.
// Why a verdict is not passed when no item says it: nothing at all was graded.
inline constexpr const char* kNothingGraded = "nothing was graded";

// What a run found besides its records: the verdict, the reports, the counts of the modules and
// what was checked. A copy of it is a run without records.
struct CheckRunInfo {
  bool verdict = false;
  // Why the command did not pass the check by itself (kNothingGraded), or empty.
  std::string reason;
  bool dry_run = false;
  bool interrupted = false;  // stopped by a signal: no verdict
  std::string mode = "sample";  // "sample", "all" or "rerun"
  std::string err_msg;
  std::string err_xml;
  uint64_t seed = 0;
  std::string ping_path;
  double elapsed_seconds = 0.0;
  int32_t module_rows = 0;
  int32_t samples = 0;         // OnSample calls
  int32_t failed_samples = 0;  // OnSample calls that did not pass
  std::vector<ModuleResult> modules;

  // The environment, for the HTML report.
  std::string ping_name;
  std::vector<std::string> components;  // module paths loaded with --component
  // The module or program the ProgID resolves to, or why that cannot be told (no record, a registry
  // that cannot be read, a record that cannot be used).
  std::string component_source;
  std::string total_path;
  std::string subject_path;
  std::string subject_code;
  std::string rate;
  std::string replay;  // the command line that replays this run (a shard's: the whole sweep's)
  // The check's inputs as a JSON object (ProgID, registry, banks and archive with their SHA-256,
  // subject code, contract, options, rule), for --json; empty for none.
  std::string inputs_json;

  bool sharded = false;  // one shard of a sweep: its JSON carries `shard`
  ShardInfo shard;
};

struct CheckRun : CheckRunInfo {
  // The records, written into the outputs' pieces as they come (record_log.h): a sweep's records
  // are not held in memory.
  RecordLog records;
};

// Reads the --json result at `path` (of `vardenix check` or of a shard) without holding its
// records: each object of its "records" list goes to `record` as soon as it is read and is dropped
// from the document, whose rest is answered (with "records" an empty list). Throws UsageError
// naming `what` when the file cannot be read; what `record` throws, and nlohmann::json's errors for
// text that is not JSON, go to the caller.
nlohmann::json ReadResultJson(const std::string& path, const std::string& what,
                              const std::function<void(const nlohmann::json&)>& record);

// The outcome's name in JSON and JUnit: "passed", "failed", "notGraded", "refusedArchive",
// "runTimeFailure".
const char* OutcomeName(RecordOutcome outcome);
// The outcome in words for people: "passed", "failed", "not graded", ...
const char* OutcomeWords(RecordOutcome outcome);
// True when an item counts as not passed in the summaries: failed, refused, run-time failure.
bool IsProblem(RecordOutcome outcome);
// "typical document" or "MODULE REC_NO".
std::string ItemName(const RecordResult& record);
// The first line of `text` that holds more than blanks, cut at 200 bytes (at a UTF-8 boundary).
std::string FirstLine(const std::string& text);
// One line saying why an item did not pass, or was not graded.
std::string OneLineReason(const RecordResult& record);
// A report string made into a UTF-8 document: an encoding named in its declaration is replaced by
// UTF-8 (the text already is UTF-8). Other text is left alone.
std::string DeclareUtf8(const std::string& report);

// Gathers the run through the check observer and shows progress on stderr: on a terminal (TERM not
// "dumb") one line redrawn at most ten times a second; otherwise plain lines, one per module.
class ResultsObserver final : public CheckObserver {
 public:
  enum class Progress { kNone, kRedrawn, kLines };
  ResultsObserver(CheckRun& run, Progress progress, bool verbose);

  void OnModules(int32_t count) override;
  void OnModule(int32_t index, const std::string& name, int32_t questions, int32_t samples) override;
  void OnSample(const std::string& module, const std::string& rec_no, bool passed) override;
  void OnExtractionFailed(const std::string& archive_path, const std::string& reason) override;
  void OnEarlierEntriesChanged(const std::string& folder, const std::vector<std::string>& paths) override;
  void OnRecord(const RecordResult& result) override;

  // Removes the progress line, if one is shown.
  void Finish();

 private:
  void Line(const std::string& text);
  void Draw(bool force);

  CheckRun& run_;
  Progress progress_;
  bool verbose_;
  bool drawn_ = false;
  bool sample_after_stop_ = false;
  int32_t module_index_ = 0;
  std::string module_name_;
  int32_t module_draws_ = 0;
  int32_t module_done_ = 0;
  int32_t done_ = 0;
  int32_t failures_ = 0;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point last_draw_{};
};

// The time left as the progress line shows it: "42 s", "2 min 05 s", "1 h 03 min".
std::string TimeLeft(int64_t seconds);
// A rate of grading: "850 rec/s", "2.5 rec/s".
std::string Rate(double records_per_second);

// Which progress a command run shows: none when quiet; redrawn on a terminal whose TERM is not
// "dumb"; plain lines otherwise.
ResultsObserver::Progress ChooseProgress(bool quiet, bool stderr_is_terminal, const char* term);

// The JSON object of --json (docs/check-result.schema.json describes it), records and all.
void WriteRunJson(CheckRun& run, std::ostream& out);
// One record's object in its "records" list; with `with_reports`, also what it added to the check's
// error text and error XML ("reportText", "reportXml"), as a shard's records carry it.
std::string RecordJson(const RecordResult& record, bool with_reports = false);
// The one JSON object printed with --json when the command cannot run.
std::string ErrorJson(const std::string& message, int exit_status);
// The lines printed after the error text: the records that did not pass, and the counts.
void WriteTextSummary(CheckRun& run, std::ostream& out);
// The summary's line of a record that did not pass, or was not graded.
std::string TextSummaryLine(const RecordResult& record);
// The verdict in words: "passed", "not passed", "not passed: nothing was graded", "interrupted".
std::string VerdictWords(const CheckRun& run);

// The report as a file: the XML declaration names the encoding of the string a host receives,
// while the file is written in UTF-8, so the declaration is made to say UTF-8. An empty report
// (nothing to report) is written as a RuleErrs document without entries, and a report that does not
// parse (a component's ill-formed ErrMsgXml) as one whose entry names the problem, so the file
// always parses.
std::string XmlFileText(const std::string& report);

// CR LF as the checks write it, except on a terminal, where it is shown with plain line ends.
std::string ForStdout(const std::string& text);

// Where a run's results go: stdout carries the text report, the JSON object or the XML report;
// files get the XML, JUnit and HTML reports.
struct ResultOutputs {
  bool json = false;
  std::string xml;  // a file, "-" for stdout, or empty
  std::string junit;
  std::string html;
  bool hint_details = false;  // a failed verdict without details says how to see why (on stderr)
  std::string command;        // "vardenix check", for messages
};

// Prints the run on stdout and writes its report files, after the verdict is on stdout so that a
// write that fails loses neither; answers the exit status (0 passed, 1 not passed, 2 a report file
// could not be written, 128 + the signal when the run was stopped).
int WriteResults(CheckRun& run, const ResultOutputs& outputs);

// The pieces of the outputs a run's records are written into as they come, for these outputs
// (before the first record).
RecordPieces PiecesFor(const ResultOutputs& outputs, bool dry_run, bool sharded);

}  // namespace vardenix::cli

namespace vardenix::cli {

// Text made safe inside XML and HTML: what XML 1.0 cannot hold replaced by the rule of XmlSafeText
// ("\xNN" for a byte that is not UTF-8, "\u0007" for a control character, U+FFFE or U+FFFF), then
// & < > " ' escaped. In attributes line ends are kept as character references.
std::string XmlEscape(const std::string& text, bool attribute = false);

// JUnit XML as Jenkins and GitLab read it: one testsuite per module (and one for the typical
// document), one testcase per draw; a failed record or a refused archive is a <failure> with the
// record's text, a run-time failure an <error>, a record with nothing to grade <skipped>. A verdict
// of not passed that no failing case shows (a bank that cannot be opened, records a rerun no longer
// finds) is a failing case "verdict" of its own, with the check's error text, so that CI reading
// only this file sees the failure.
void WriteJUnitXml(CheckRun& run, std::ostream& out);
// One record's testcase element in its suite.
std::string JUnitCase(const RecordResult& record, const std::string& suite);

}  // namespace vardenix::cli

namespace vardenix::cli {

// One self-contained HTML page (no script, nothing fetched): the verdict at the top, the seed and
// the command that replays the run, the environment (ProgID and its module, banks with their
// SHA-256, the version), a table of modules with a bar of passed / failed / not graded, and every
// record with its outcome, its text and its RuleErr entries. `version` is the command's version.
void WriteHtmlReport(CheckRun& run, const std::string& version, std::ostream& out);

// The page's pieces of one record, made as it comes; `number` is its place in draw order, from 1.
// Its row in the table of what did not pass:
std::string HtmlFailureRow(const RecordResult& record, int64_t number);
// The heading of the group of records (a module, or the typical document) it begins:
std::string HtmlGroupHeading(const RecordResult& first);
// What did not pass, in full:
std::string HtmlRecordArticle(const RecordResult& record, int64_t number);
// What passed, one short line of the group's fold:
std::string HtmlPassedItem(const RecordResult& record, int64_t number);
// The fold of a group's passed records around their lines.
std::string HtmlPassedFoldStart(int64_t count);
inline constexpr const char* kHtmlPassedFoldEnd = "</ol></details>\n";

}  // namespace vardenix::cli
