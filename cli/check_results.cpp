#include "cli/check_results.h"

#include "cli/cli_support.h"
#include "platform/xml_dom.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>

#include "platform/rule_err_reader.h"
#include "report/mod_xml_rw.h"

namespace vardenix::cli {

std::string FirstLine(const std::string& text) {
  const size_t start = text.find_first_not_of(" \t\r\n");
  if (start == std::string::npos) return std::string();
  const size_t end = text.find_first_of("\r\n", start);
  std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
  constexpr size_t kMaxLine = 200;
  if (line.size() > kMaxLine) {
    size_t cut = kMaxLine;
    while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) --cut;  // keep UTF-8 whole
    line = line.substr(0, cut) + "...";
  }
  return line;
}

namespace {

std::string Score(float score) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%g", static_cast<double>(score));
  return buffer;
}

}  // namespace

const char* OutcomeName(RecordOutcome outcome) {
  switch (outcome) {
    case RecordOutcome::kPassed: return "passed";
    case RecordOutcome::kFailed: return "failed";
    case RecordOutcome::kNotGraded: return "notGraded";
    case RecordOutcome::kRefusedArchive: return "refusedArchive";
    case RecordOutcome::kRunTimeFailure: return "runTimeFailure";
  }
  return "runTimeFailure";
}

const char* OutcomeWords(RecordOutcome outcome) {
  switch (outcome) {
    case RecordOutcome::kPassed: return "passed";
    case RecordOutcome::kFailed: return "failed";
    case RecordOutcome::kNotGraded: return "not graded";
    case RecordOutcome::kRefusedArchive: return "archive refused";
    case RecordOutcome::kRunTimeFailure: return "run-time failure";
  }
  return "run-time failure";
}

bool IsProblem(RecordOutcome outcome) {
  return outcome == RecordOutcome::kFailed || outcome == RecordOutcome::kRefusedArchive ||
         outcome == RecordOutcome::kRunTimeFailure;
}

std::string ItemName(const RecordResult& record) {
  return record.typical_document ? std::string("typical document") : record.module + " " + record.rec_no;
}

std::string OneLineReason(const RecordResult& record) {
  switch (record.outcome) {
    case RecordOutcome::kPassed:
      return "passed";
    case RecordOutcome::kFailed: {
      const std::string line = FirstLine(record.text);
      return "failed, score " + Score(record.score) + (line.empty() ? " (the component gave no text)" : ": " + line);
    }
    case RecordOutcome::kNotGraded:
      return "not graded: " + record.reason;
    case RecordOutcome::kRefusedArchive:
      return "archive refused: " + (record.reason.empty() ? std::string("no reason given") : FirstLine(record.reason));
    case RecordOutcome::kRunTimeFailure:
      return "run-time failure: " +
             (record.reason.empty() ? std::string("no description given") : FirstLine(record.reason));
  }
  return std::string();
}

std::string DeclareUtf8(const std::string& report) {
  std::string text = report;
  if (text.rfind("<?xml", 0) != 0) return text;
  const size_t end = text.find("?>");
  const size_t enc = text.find("encoding=");
  if (end == std::string::npos || enc == std::string::npos || enc >= end || enc + 9 >= end) return text;
  const char quote = text[enc + 9];
  const size_t close = text.find(quote, enc + 10);
  if ((quote == '"' || quote == '\'') && close != std::string::npos && close < end) {
    text.replace(enc + 10, close - enc - 10, "UTF-8");
  }
  return text;
}

ResultsObserver::ResultsObserver(CheckRun& run, Progress progress, bool verbose)
    : run_(run), progress_(progress), verbose_(verbose) {}

void ResultsObserver::OnModules(int32_t count) { run_.module_rows = count; }

void ResultsObserver::OnModule(int32_t index, const std::string& name, int32_t questions, int32_t samples) {
  module_index_ = index;
  module_name_ = name;
  module_draws_ = samples;
  module_done_ = 0;
  run_.modules.push_back(ModuleResult{name, questions, samples, 0, 0, 0});
  const std::string line = "module " + std::to_string(index) + " of " + std::to_string(run_.module_rows) + ": " +
                           name + " (" + Count(questions, "question", "questions") + ", " +
                           (run_.mode == "sample" ? Count(samples, "sample", "samples") : Count(samples, "draw", "draws")) +
                           ")";
  if (verbose_ || progress_ == Progress::kLines) Line(line);
  Draw(true);
}

void ResultsObserver::OnSample(const std::string& module, const std::string& rec_no, bool passed) {
  // After a stop the remaining samples are not graded; they are not counted as done.
  sample_after_stop_ = StopRequested();
  if (sample_after_stop_) return;
  ++run_.samples;
  if (!passed) ++run_.failed_samples;
  if (verbose_) Line("  record " + rec_no + " (" + module + "): " + (passed ? "passed" : "not passed"));
}

void ResultsObserver::OnExtractionFailed(const std::string& archive_path, const std::string& reason) {
  if (verbose_) Line("  extraction failed: " + archive_path + ": " + reason);
}

void ResultsObserver::OnEarlierEntriesChanged(const std::string& folder, const std::vector<std::string>& paths) {
  if (!verbose_) return;
  for (const std::string& path : paths) {
    Line("  the scoring run changed " + folder + "/" + path +
         ", which was in the working folder before it; it cannot be restored");
  }
}

void ResultsObserver::OnRecord(const RecordResult& result) {
  // A graded draw is told by OnSample first; its record is kept when OnSample kept it, even if a stop
  // came in between.
  const bool graded_draw = !result.typical_document && result.outcome != RecordOutcome::kNotGraded;
  if (graded_draw ? sample_after_stop_ : StopRequested()) return;
  run_.records.Add(result);
  if (!result.typical_document && !run_.modules.empty()) {
    ModuleResult& module = run_.modules.back();
    if (result.outcome == RecordOutcome::kPassed) {
      ++module.passed;
    } else if (IsProblem(result.outcome)) {
      ++module.failed;
    } else {
      ++module.not_graded;
    }
    ++module_done_;
    ++done_;
  }
  if (IsProblem(result.outcome)) ++failures_;
  if (verbose_) {
    for (const std::string& warning : result.warnings) Line("  " + ItemName(result) + ": warning: " + warning);
  }
  if (verbose_ && result.outcome != RecordOutcome::kPassed &&
      (result.typical_document || result.outcome == RecordOutcome::kNotGraded)) {
    Line("  " + ItemName(result) + ": " + OneLineReason(result));
  }
  Draw(false);
}

void ResultsObserver::Finish() {
  if (drawn_) std::cerr << "\r\033[K" << std::flush;
  drawn_ = false;
}

void ResultsObserver::Line(const std::string& text) {
  Finish();
  std::cerr << text << '\n';
}

std::string TimeLeft(int64_t seconds) {
  if (seconds < 60) return std::to_string(seconds) + " s";
  const int64_t minutes = seconds / 60;
  char buffer[48];
  if (minutes < 60) {
    std::snprintf(buffer, sizeof buffer, "%lld min %02lld s", static_cast<long long>(minutes),
                  static_cast<long long>(seconds % 60));
  } else {
    std::snprintf(buffer, sizeof buffer, "%lld h %02lld min", static_cast<long long>(minutes / 60),
                  static_cast<long long>(minutes % 60));
  }
  return buffer;
}

std::string Rate(double records_per_second) {
  char buffer[48];
  std::snprintf(buffer, sizeof buffer, records_per_second >= 10 ? "%.0f rec/s" : "%.1f rec/s", records_per_second);
  return buffer;
}

void ResultsObserver::Draw(bool force) {
  if (progress_ != Progress::kRedrawn || module_index_ == 0) return;
  const auto now = std::chrono::steady_clock::now();
  // At most ten redraws a second: a terminal redrawn on every draw of a fast check costs more than
  // the check.
  if (!force && drawn_ && now - last_draw_ < std::chrono::milliseconds(100)) return;
  last_draw_ = now;
  std::string line = "module " + std::to_string(module_index_) + " of " + std::to_string(run_.module_rows) + " (" +
                     module_name_ + "): draw " + std::to_string(module_done_) + " of " +
                     std::to_string(module_draws_) + ", " + std::to_string(done_) + " done, " +
                     std::to_string(failures_) + " failed";
  if (done_ > 0) {
    // The time of the draws so far, spread over the draws left in this module and, for the modules
    // still to come, as many draws as the modules so far had on average.
    const double per_draw = std::chrono::duration<double>(now - start_).count() / done_;
    const int32_t later_modules = std::max(0, run_.module_rows - module_index_);
    const double draws_per_module = static_cast<double>(done_ + (module_draws_ - module_done_)) / module_index_;
    const double left = per_draw * ((module_draws_ - module_done_) + later_modules * draws_per_module);
    line += ", " + Rate(per_draw > 0.0 ? 1.0 / per_draw : 0.0) + ", about " +
            TimeLeft(static_cast<int64_t>(std::ceil(left))) + " left";
  }
  std::cerr << "\r\033[K" << line << std::flush;
  drawn_ = true;
}

ResultsObserver::Progress ChooseProgress(bool quiet, bool stderr_is_terminal, const char* term) {
  if (quiet) return ResultsObserver::Progress::kNone;
  const bool dumb = term == nullptr || std::string(term).empty() || std::string(term) == "dumb";
  return stderr_is_terminal && !dumb ? ResultsObserver::Progress::kRedrawn : ResultsObserver::Progress::kLines;
}

namespace {

// Every text goes in by the rule the other reports use (XmlSafeText), so that a stray byte or a
// control character reads the same in JSON as in the XML, JUnit and HTML reports.
void SafeStrings(nlohmann::ordered_json& value) {
  if (value.is_string()) {
    const std::string& text = value.get_ref<const std::string&>();
    if (!XmlCanHoldText(text)) value = XmlSafeText(text);
  } else if (value.is_structured()) {
    for (auto& item : value) SafeStrings(item);
  }
}

std::string Dump(nlohmann::ordered_json value) {
  SafeStrings(value);
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

std::string RecordJson(const RecordResult& r, bool with_reports) {
  nlohmann::ordered_json item;
  item["kind"] = r.typical_document ? "typicalDocument" : "record";
  item["module"] = r.module;
  item["recNo"] = r.rec_no;
  item["draw"] = r.draw;
  item["outcome"] = OutcomeName(r.outcome);
  if (r.outcome == RecordOutcome::kPassed || r.outcome == RecordOutcome::kFailed) {
    item["score"] = r.score;
  } else {
    item["score"] = nullptr;
  }
  item["reason"] = r.outcome == RecordOutcome::kPassed ? std::string() : OneLineReason(r);
  item["details"] = r.reason;
  item["errMsg"] = r.text;
  item["errMsgXml"] = DeclareUtf8(r.xml);
  item["seconds"] = r.seconds;
  if (with_reports && !(r.report_text.empty() && r.report_xml.empty())) {
    item["reportText"] = r.report_text;
    item["reportXml"] = r.report_xml;
  }
  if (!r.warnings.empty()) item["warnings"] = r.warnings;
  return Dump(item);
}

void WriteRunJson(CheckRun& run, std::ostream& stream) {
  nlohmann::ordered_json out;
  // A dry run grades nothing, so it has no verdict: null, which a script cannot take for a pass.
  if (run.dry_run) {
    out["verdict"] = nullptr;
  } else {
    out["verdict"] = run.verdict;
  }
  if (run.interrupted) out["interrupted"] = true;
  if (!run.reason.empty()) out["reason"] = run.reason;
  out["errMsg"] = run.err_msg;
  out["errMsgXml"] = DeclareUtf8(run.err_xml);
  // A string: a 64-bit seed does not survive a JSON number in JavaScript or jq.
  out["seed"] = std::to_string(run.seed);
  out["pingPath"] = run.ping_path;
  out["mode"] = run.mode;
  out["dryRun"] = run.dry_run;
  const RecordCounts& counts = run.records.Counts();
  out["counts"] = {{"modules", run.module_rows},   {"samples", run.samples},      {"failedSamples", run.failed_samples},
                   {"records", counts.records},     {"graded", counts.graded},     {"passed", counts.passed},
                   {"notPassed", counts.not_passed}, {"notGraded", counts.not_graded}};
  out["elapsedSeconds"] = run.elapsed_seconds;
  // The records' objects go in as text, made while the check ran.
  std::string text = Dump(out);
  text.pop_back();  // the object's closing brace
  if (!run.inputs_json.empty()) text += ",\"inputs\":" + run.inputs_json;
  text += ",\"records\":[";
  stream << text;
  run.records.WriteJson(stream);
  text = "],\"modules\":";
  nlohmann::ordered_json modules = nlohmann::ordered_json::array();
  for (const ModuleResult& m : run.modules) {
    modules.push_back({{"name", m.name},
                       {"questions", m.questions},
                       {"samples", m.samples},
                       {"passed", m.passed},
                       {"failures", m.failed},
                       {"notGraded", m.not_graded}});
  }
  text += Dump(modules);
  if (run.sharded) {
    nlohmann::ordered_json shard;
    shard["index"] = run.shard.index;
    shard["count"] = run.shard.count;
    shard["version"] = VARDENIX_VERSION;
    shard["pingName"] = run.ping_name;
    shard["components"] = run.components;
    shard["componentSource"] = run.component_source;
    shard["total"] = {{"path", run.total_path}, {"sha256", run.shard.total_sha256}};
    shard["subject"] = {{"path", run.subject_path}, {"sha256", run.shard.subject_sha256}};
    shard["subjectCode"] = run.subject_code;
    shard["contract"] = run.shard.contract;
    shard["rate"] = run.rate;
    shard["selection"] = run.shard.selection;
    shard["replay"] = run.replay;
    shard["checkErrMsg"] = run.shard.check_err_msg;
    shard["checkErrMsgXml"] = run.shard.check_err_xml;
    text += ",\"shard\":" + Dump(shard);
  }
  text += '}';
  stream << text;
}

nlohmann::json ReadResultJson(const std::string& path, const std::string& what,
                              const std::function<void(const nlohmann::json&)>& record) {
  RequireReadableFile(path, what);
  std::ifstream in(path, std::ios::binary);
  if (!in.is_open()) throw UsageError("cannot read " + what + " " + path + ": " + std::strerror(errno));
  // Depths as the parser counts them: the document's members are at 1, the records at 2.
  std::string member;
  bool in_records = false;
  const nlohmann::json::parser_callback_t callback = [&](int depth, nlohmann::json::parse_event_t event,
                                                         nlohmann::json& parsed) {
    using Event = nlohmann::json::parse_event_t;
    if (depth == 1 && event == Event::key) member = parsed.is_string() ? parsed.get<std::string>() : std::string();
    if (depth == 1 && event == Event::array_start) in_records = member == "records";
    if (depth == 1 && event == Event::array_end) in_records = false;
    if (in_records && depth == 2 && event == Event::object_end) {
      record(parsed);
      return false;
    }
    return true;
  };
  nlohmann::json document = nlohmann::json::parse(in, callback);
  if (in.bad()) throw UsageError("cannot read " + what + " " + path + ": " + std::strerror(errno));
  return document;
}

std::string ErrorJson(const std::string& message, int exit_status) {
  nlohmann::ordered_json out;
  out["error"] = message;
  out["exitStatus"] = exit_status;
  return Dump(out);
}

std::string TextSummaryLine(const RecordResult& r) {
  return "  " + ItemName(r) + (r.draw > 0 ? " (draw " + std::to_string(r.draw) + ")" : "") + ": " + OneLineReason(r) +
         "\n";
}

void WriteTextSummary(CheckRun& run, std::ostream& stream) {
  const RecordCounts& counts = run.records.Counts();
  if (run.records.HasTextLines()) {
    stream << "not passed or not graded:\n";
    run.records.WriteTextLines(stream);
  }
  std::string out;
  if (run.dry_run) {
    out += "dry run: " + Count(counts.records, "draw", "draws") + " from " +
           Count(static_cast<int64_t>(run.modules.size()), "module", "modules") + ", nothing graded\n";
    stream << out;
    return;
  }
  out += "summary: " + Count(counts.graded, "record graded", "records graded");
  out += " (" + std::to_string(counts.passed) + " passed, " + std::to_string(counts.not_passed) + " not passed), " +
         std::to_string(counts.not_graded) + " not graded";
  if (!run.modules.empty() || run.module_rows > 0) {
    out += ", " + Count(static_cast<int64_t>(run.modules.size()), "module", "modules");
  }
  out += "\n";
  if (counts.graded == 0 && run.verdict) out += "warning: nothing was graded, so the verdict rests on no record\n";
  stream << out;
}

std::string VerdictWords(const CheckRun& run) {
  if (run.interrupted) return "interrupted";
  if (run.verdict) return "passed";
  return run.reason.empty() ? "not passed" : "not passed: " + run.reason;
}

std::string XmlFileText(const std::string& report) {
  // A report of blanks holds nothing either, and written as it is it would not parse.
  if (report.find_first_not_of(" \t\r\n") == std::string::npos) return DeclareUtf8(kReportSkeleton);
  const RuleErrReading reading = ReadRuleErrs(report);
  if (reading.parses) return DeclareUtf8(report);
  std::string replacement = kReportSkeleton;
  AddRuleErr(replacement, "", "the report is not well-formed XML (" + reading.problem + "); its text is in the error "
             "text report", "", "", "", "", "");
  return DeclareUtf8(replacement);
}

std::string ForStdout(const std::string& text) {
  if (!::isatty(STDOUT_FILENO)) return text;
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i];
  }
  return out;
}

RecordPieces PiecesFor(const ResultOutputs& outputs, bool dry_run, bool sharded) {
  RecordPieces pieces;
  const bool xml_on_stdout = outputs.xml == "-";
  pieces.json = outputs.json && !xml_on_stdout;
  pieces.json_with_reports = sharded;
  pieces.text = !outputs.json && !xml_on_stdout;
  pieces.draw_list = pieces.text && dry_run;
  pieces.junit = !outputs.junit.empty();
  pieces.html = !outputs.html.empty();
  pieces.dry_run = dry_run;
  return pieces;
}

int WriteResults(CheckRun& run, const ResultOutputs& outputs) {
  const bool interrupted = run.interrupted;
  // The records could not be written down as they came (a full $TMPDIR): no output would be whole.
  // The verdict is still said, as the text report says it.
  if (!run.records.Problem().empty()) {
    if (!outputs.json && outputs.xml != "-" && !run.dry_run && !interrupted) {
      std::cout << "verdict: " << VerdictWords(run) << '\n' << std::flush;
    }
    std::cerr << outputs.command << ": " << run.records.Problem() << '\n';
    return kExitCannotRun;
  }
  try {
    if (outputs.xml == "-") {
      std::cout << XmlFileText(run.err_xml);
    } else if (outputs.json) {
      WriteRunJson(run, std::cout);
      std::cout << '\n';
    } else if (run.dry_run) {
      // Why the draws could not be made (a bank that cannot be read), as a check would say it.
      std::string text = ForStdout(run.err_msg);
      if (!text.empty() && text.back() != '\n') text += '\n';
      std::cout << text;
      run.records.WriteDrawList(std::cout);
      WriteTextSummary(run, std::cout);
      std::cout << "seed: " << run.seed << " (replay with --seed " << run.seed << ")\n";
    } else {
      std::string text = ForStdout(run.err_msg);
      if (!text.empty() && text.back() != '\n') text += '\n';
      std::cout << text;
      WriteTextSummary(run, std::cout);
      std::cout << "verdict: " << VerdictWords(run) << '\n';
      if (!interrupted && !run.verdict && run.err_msg.empty() && outputs.hint_details) {
        std::cerr << "the check reported no details; --verbose shows why an archive could not be extracted\n";
      }
      std::cout << "seed: " << run.seed << " (replay with --seed " << run.seed << ")\n";
    }
    std::cout.flush();
  } catch (const UsageError& e) {
    std::cout.flush();
    std::cerr << outputs.command << ": " << e.what() << '\n';
    return kExitCannotRun;
  }
  if (interrupted) {
    std::cerr << outputs.command << ": stopped by " << (StopSignal() == SIGTERM ? "SIGTERM" : "Ctrl-C") << " after "
              << Count(run.samples, "sample", "samples") << "\n";
    return 128 + (StopSignal() != 0 ? StopSignal() : SIGINT);
  }
  // Written after the verdict and reports are on stdout, so a write that fails loses neither.
  try {
    if (!outputs.xml.empty() && outputs.xml != "-") WriteOutputFile(outputs.xml, XmlFileText(run.err_xml));
    if (!outputs.junit.empty()) {
      OutputFile file(outputs.junit);
      WriteJUnitXml(run, file.Stream());
      file.Commit();
    }
    if (!outputs.html.empty()) {
      OutputFile file(outputs.html);
      WriteHtmlReport(run, std::string("vardenix ") + VARDENIX_VERSION, file.Stream());
      file.Commit();
    }
  } catch (const UsageError& e) {
    std::cerr << outputs.command << ": " << e.what() << '\n';
    return kExitCannotRun;
  }
  return run.verdict ? kExitPassed : kExitNotPassed;
}

}  // namespace vardenix::cli
