#include "cli/merge_command.h"

#include <algorithm>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "cli/check_results.h"
#include "cli/cli_support.h"
#include "cli/sha256.h"
#include "checks/subject_check.h"
#include "report/check_error_recorder.h"
#include "report/mod_xml_rw.h"

namespace vardenix::cli {
namespace {

struct MergeArgs {
  std::vector<std::string> shards;
  bool json = false;
  std::string xml;
  std::string junit;
  std::string html;
  bool quiet = false;
  bool allow_empty = false;
};

// One shard's result as read back, with the file it came from; its records are read again, one at a
// time, when the shards are merged.
struct Shard {
  std::string file;
  CheckRunInfo run;
  int64_t records = 0;
  std::string digest;  // the file's SHA-256, which it keeps until it is read again
};

std::string ShardName(const Shard& s) {
  return "the shard " + std::to_string(s.run.shard.index) + "/" + std::to_string(s.run.shard.count) + " (" + s.file +
         ")";
}

RecordOutcome OutcomeFromName(const std::string& name, const std::string& file) {
  for (const RecordOutcome o : {RecordOutcome::kPassed, RecordOutcome::kFailed, RecordOutcome::kNotGraded,
                                RecordOutcome::kRefusedArchive, RecordOutcome::kRunTimeFailure}) {
    if (name == OutcomeName(o)) return o;
  }
  throw UsageError(file + " has a record with the unknown outcome \"" + name + "\"");
}

// A record of a shard's JSON read back.
RecordResult RecordFromJson(const nlohmann::json& r, const std::string& file) {
  RecordResult record;
  record.typical_document = r.at("kind").get<std::string>() == "typicalDocument";
  record.module = r.at("module").get<std::string>();
  record.rec_no = r.at("recNo").get<std::string>();
  record.draw = r.at("draw").get<int32_t>();
  record.outcome = OutcomeFromName(r.at("outcome").get<std::string>(), file);
  if (r.at("score").is_number()) record.score = static_cast<float>(r.at("score").get<double>());
  record.reason = r.at("details").get<std::string>();
  record.text = r.at("errMsg").get<std::string>();
  record.xml = r.at("errMsgXml").get<std::string>();
  record.seconds = r.at("seconds").get<double>();
  record.report_text = r.value("reportText", std::string());
  record.report_xml = r.value("reportXml", std::string());
  if (r.contains("warnings")) record.warnings = r.at("warnings").get<std::vector<std::string>>();
  return record;
}

// A shard's JSON read back into the run it describes, its records handed to `record` one at a time
// as they are read. Throws UsageError naming the file when it is not the --json result of a shard.
Shard ReadShard(const std::string& file, const std::function<void(RecordResult&&)>& record) {
  Shard s;
  s.file = file;
  nlohmann::json j;
  try {
    j = ReadResultJson(file, "the shard's result",
                       [&](const nlohmann::json& r) { record(RecordFromJson(r, file)); });
  } catch (const UsageError&) {
    throw;
  } catch (const nlohmann::json::parse_error& e) {
    throw UsageError(file + " is not JSON (" + e.what() + "); give the --json results of `vardenix check --all "
                     "--shard K/N`");
  } catch (const std::exception& e) {
    throw UsageError(file + " is not a whole shard's result: " + e.what());
  }
  if (!j.is_object() || j.contains("error")) {
    throw UsageError(file + " is the result of a command that could not run" +
                     (j.is_object() && j["error"].is_string() ? ": " + j["error"].get<std::string>() : std::string()) +
                     "; run that shard again");
  }
  if (!j.contains("shard") || !j["shard"].is_object()) {
    throw UsageError(file + " is not a shard's result (it has no \"shard\"); give the --json results of `vardenix "
                     "check --all --shard K/N`");
  }
  try {
    const nlohmann::json& sh = j.at("shard");
    CheckRunInfo& run = s.run;
    run.sharded = true;
    run.shard.index = sh.at("index").get<int32_t>();
    run.shard.count = sh.at("count").get<int32_t>();
    run.shard.total_sha256 = sh.at("total").at("sha256").get<std::string>();
    run.shard.subject_sha256 = sh.at("subject").at("sha256").get<std::string>();
    run.shard.contract = sh.at("contract").get<int32_t>();
    run.shard.selection = sh.at("selection").get<std::string>();
    run.shard.check_err_msg = sh.at("checkErrMsg").get<std::string>();
    run.shard.check_err_xml = sh.at("checkErrMsgXml").get<std::string>();
    run.ping_name = sh.at("pingName").get<std::string>();
    run.components = sh.at("components").get<std::vector<std::string>>();
    run.component_source = sh.at("componentSource").get<std::string>();
    run.total_path = sh.at("total").at("path").get<std::string>();
    run.subject_path = sh.at("subject").at("path").get<std::string>();
    run.subject_code = sh.at("subjectCode").get<std::string>();
    run.rate = sh.at("rate").get<std::string>();
    run.replay = sh.at("replay").get<std::string>();

    run.dry_run = j.at("dryRun").get<bool>();
    run.interrupted = j.value("interrupted", false);
    run.err_msg = j.at("errMsg").get<std::string>();
    // A dry run has no verdict (null): its draws were made unless it says why they could not be.
    run.verdict = run.dry_run ? run.err_msg.empty() : j.at("verdict").is_boolean() && j.at("verdict").get<bool>();
    run.err_xml = j.at("errMsgXml").get<std::string>();
    run.seed = std::stoull(j.at("seed").get<std::string>());
    run.ping_path = j.at("pingPath").get<std::string>();
    // The shards' inputs are the sweep's, so that a --rerun of the merged result needs nothing more.
    if (j.contains("inputs") && j.at("inputs").is_object()) run.inputs_json = j.at("inputs").dump();
    run.mode = j.at("mode").get<std::string>();
    run.module_rows = j.at("counts").at("modules").get<int32_t>();
    run.samples = j.at("counts").at("samples").get<int32_t>();
    run.failed_samples = j.at("counts").at("failedSamples").get<int32_t>();
    run.elapsed_seconds = j.at("elapsedSeconds").get<double>();
    for (const nlohmann::json& m : j.at("modules")) {
      run.modules.push_back(ModuleResult{m.at("name").get<std::string>(), m.at("questions").get<int32_t>(),
                                         m.at("samples").get<int32_t>(), m.at("passed").get<int32_t>(),
                                         m.at("failures").get<int32_t>(), m.at("notGraded").get<int32_t>()});
    }
  } catch (const UsageError&) {
    throw;
  } catch (const std::exception& e) {
    throw UsageError(file + " is not a whole shard's result: " + e.what());
  }
  if (s.run.shard.count < 1 || s.run.shard.index < 0 || s.run.shard.index >= s.run.shard.count) {
    throw UsageError(file + " names an impossible shard " + std::to_string(s.run.shard.index) + "/" +
                     std::to_string(s.run.shard.count));
  }
  return s;
}

// Refuses shards that are not of the same sweep as the first one, naming the shard and what differs.
void RequireSameSweep(const Shard& first, const Shard& s) {
  const auto differ = [&](const std::string& what, const std::string& a, const std::string& b) {
    if (a == b) return;
    throw UsageError(ShardName(s) + " is of another sweep than " + ShardName(first) + ": its " + what + " is \"" +
                     b + "\", not \"" + a + "\"");
  };
  differ("shard count", std::to_string(first.run.shard.count), std::to_string(s.run.shard.count));
  differ("ProgID", first.run.ping_name, s.run.ping_name);
  differ("total bank's SHA-256", first.run.shard.total_sha256, s.run.shard.total_sha256);
  differ("subject bank's SHA-256", first.run.shard.subject_sha256, s.run.shard.subject_sha256);
  differ("subject code", first.run.subject_code, s.run.subject_code);
  differ("contract", std::to_string(first.run.shard.contract), std::to_string(s.run.shard.contract));
  differ("selection", first.run.shard.selection, s.run.shard.selection);
  differ("mode", first.run.mode, s.run.mode);
  differ("dry run", first.run.dry_run ? "yes" : "no", s.run.dry_run ? "yes" : "no");
  differ("module count", std::to_string(first.run.module_rows), std::to_string(s.run.module_rows));
  if (first.run.modules.size() != s.run.modules.size()) {
    differ("number of modules", std::to_string(first.run.modules.size()), std::to_string(s.run.modules.size()));
  }
  for (size_t i = 0; i < s.run.modules.size(); ++i) {
    differ("module " + std::to_string(i + 1), first.run.modules[i].name + " (" +
           std::to_string(first.run.modules[i].questions) + " questions)",
           s.run.modules[i].name + " (" + std::to_string(s.run.modules[i].questions) + " questions)");
  }
}

// The shards in order, each once and all of them. Throws UsageError naming a duplicate, a missing
// shard or one of another sweep.
std::vector<Shard> ReadShards(const std::vector<std::string>& files) {
  std::vector<Shard> read;
  // Read once to check them, their records converted and dropped; MergeRuns reads them again.
  for (const std::string& file : files) {
    int64_t records = 0;
    read.push_back(ReadShard(file, [&records](RecordResult&&) { ++records; }));
    read.back().records = records;
    read.back().digest = FileSha256(file);
  }
  const Shard& first = read.front();
  for (const Shard& s : read) RequireSameSweep(first, s);
  const auto count = static_cast<size_t>(first.run.shard.count);
  std::vector<std::optional<size_t>> at(count);
  for (size_t i = 0; i < read.size(); ++i) {
    const auto k = static_cast<size_t>(read[i].run.shard.index);
    if (at[k]) {
      throw UsageError(ShardName(read[i]) + " is given twice: " + read[*at[k]].file + " is the same shard");
    }
    at[k] = i;
  }
  std::string missing;
  for (size_t k = 0; k < count; ++k) {
    if (!at[k]) missing += (missing.empty() ? "" : ", ") + std::to_string(k) + "/" + std::to_string(count);
  }
  if (!missing.empty()) {
    throw UsageError("the sweep has " + std::to_string(count) + " shards and " + missing +
                     (missing.find(',') == std::string::npos ? " is" : " are") + " missing; run " +
                     (missing.find(',') == std::string::npos ? "it" : "them") + " and merge again");
  }
  std::vector<Shard> ordered;
  for (size_t k = 0; k < count; ++k) ordered.push_back(std::move(read[*at[k]]));
  for (const Shard& s : ordered) {
    if (s.run.interrupted) throw UsageError(ShardName(s) + " was interrupted; run it again and merge again");
  }
  return ordered;
}

// The run of the whole sweep: the shards' records in order, the modules' counts added up, and the
// reports a single run writes: every failing record's report in sweep order, then the entries the
// check recorded besides (each different one once: a missing bank is told by every shard alike).
// The records go, one at a time, into the pieces of `outputs`.
// A sweep that graded nothing does not pass unless `allow_empty`, and says so with the entry one run
// of the whole sweep records (each shard alone may be empty and passes).
CheckRun MergeRuns(const std::vector<Shard>& shards, const ResultOutputs& outputs, bool allow_empty) {
  CheckRun merged;
  static_cast<CheckRunInfo&>(merged) = shards.front().run;
  merged.sharded = false;
  merged.records.Keep(PiecesFor(outputs, merged.dry_run, false));
  merged.samples = 0;
  merged.failed_samples = 0;
  merged.elapsed_seconds = 0;
  merged.verdict = true;
  for (ModuleResult& m : merged.modules) m.samples = m.passed = m.failed = m.not_graded = 0;
  std::string text;
  ReportMerger xml("");
  std::vector<std::pair<std::string, std::string>> recorded;
  for (const Shard& s : shards) {
    merged.verdict = merged.verdict && s.run.verdict;
    merged.samples += s.run.samples;
    merged.failed_samples += s.run.failed_samples;
    merged.elapsed_seconds += s.run.elapsed_seconds;
    for (size_t i = 0; i < merged.modules.size(); ++i) {
      merged.modules[i].samples += s.run.modules[i].samples;
      merged.modules[i].passed += s.run.modules[i].passed;
      merged.modules[i].failed += s.run.modules[i].failed;
      merged.modules[i].not_graded += s.run.modules[i].not_graded;
    }
    // Read again, a record at a time; a file that changed since it was checked is not merged.
    const int64_t before = merged.records.Size();
    ReadShard(s.file, [&](RecordResult&& r) {
      text += r.report_text;
      if (!r.report_xml.empty()) xml.Merge(r.report_xml);
      merged.records.Add(r);
    });
    if (merged.records.Size() - before != s.records || FileSha256(s.file) != s.digest) {
      throw UsageError(ShardName(s) + " changed while it was merged; merge again once it is written");
    }
    const std::pair<std::string, std::string> entry{s.run.shard.check_err_msg, s.run.shard.check_err_xml};
    if (!(entry.first.empty() && entry.second.empty()) &&
        std::find(recorded.begin(), recorded.end(), entry) == recorded.end()) {
      recorded.push_back(entry);
    }
  }
  if (!merged.dry_run && merged.verdict && merged.records.Counts().graded == 0 && !allow_empty) {
    merged.verdict = false;
    merged.reason = kNothingGraded;
    std::string entry_text;
    std::string entry_xml;
    ErrorAccumulators entry{entry_text, entry_xml, SystemXmlDom()};
    AddErrInfo(entry, kSubjectBankCheck, NothingGradedLine(merged.subject_code, merged.samples), "", "", "", "", "");
    recorded.push_back({entry_text, entry_xml});
  }
  if (merged.dry_run || merged.verdict) {
    merged.err_msg.clear();
    merged.err_xml.clear();
    // A dry run's reports say why the draws could not be made, alike in every shard.
    if (merged.dry_run && !recorded.empty()) {
      merged.err_msg = recorded.front().first;
      merged.err_xml = recorded.front().second;
    }
    return merged;
  }
  // As the check object joins a failed check's reports: the records' reports, then what it recorded.
  std::string err_xml = MergeXml("", xml.Result());
  for (const auto& [entry_text, entry_xml] : recorded) {
    text += entry_text;
    err_xml = MergeXml(err_xml, entry_xml);
  }
  merged.err_msg = text;
  merged.err_xml = err_xml;
  return merged;
}

int RunMerge(const MergeArgs& a) {
  if (a.xml == "-" && a.json) throw UsageError("--xml - and --json both print on stdout; write one of them to a file");
  if (!a.xml.empty() && a.xml != "-") RequireWritableFile(a.xml, "the XML report");
  if (!a.junit.empty()) RequireWritableFile(a.junit, "the JUnit report");
  if (!a.html.empty()) RequireWritableFile(a.html, "the HTML report");
  std::vector<Shard> shards = ReadShards(a.shards);
  ResultOutputs outputs;
  outputs.json = a.json;
  outputs.xml = a.xml;
  outputs.junit = a.junit;
  outputs.html = a.html;
  outputs.command = "vardenix merge";
  CheckRun merged = MergeRuns(shards, outputs, a.allow_empty);
  if (!a.quiet) {
    std::cerr << "merged " << shards.size() << (shards.size() == 1 ? " shard: " : " shards: ") << merged.records.Size()
              << (merged.records.Size() == 1 ? " record\n" : " records\n");
  }
  return WriteResults(merged, outputs);
}

}  // namespace

void AddMergeCommand(CLI::App& app, std::function<int()>& run) {
  auto args = std::make_shared<MergeArgs>();
  CLI::App* cmd = app.add_subcommand(
      "merge",
      "Join the --json results of the shards of one sweep (`vardenix check --all --shard K/N --json`, K = 0 to "
      "N - 1) into the result one `vardenix check --all` of the whole sweep gives: the same verdict, text report, "
      "JSON, RuleErrs XML, JUnit and HTML (timings add up). The shards must be of the same banks (by SHA-256), "
      "ProgID, subject, contract and selection, and each of the N shards must be given once; otherwise nothing "
      "is written and the exit status is 2, naming the shard. Exit status: 0 passed, 1 not passed, 2 could not "
      "merge.");
  MergeArgs& a = *args;
  cmd->add_option("SHARD.json", a.shards, "the shards' --json results, in any order")->required()->type_name("FILE");
  cmd->add_flag("--json", a.json, "print the merged result as the JSON object of `vardenix check --json`");
  cmd->add_option("--xml", a.xml, "write the RuleErrs report to this file, or to stdout with \"-\"")
      ->type_name("FILE");
  cmd->add_option("--junit", a.junit, "write the JUnit XML report to this file")->type_name("FILE");
  cmd->add_option("--html", a.html, "write the HTML report to this file")->type_name("FILE");
  cmd->add_flag("--quiet,-q", a.quiet, "no summary line on stderr");
  cmd->add_flag("--allow-empty", a.allow_empty,
                "let a sweep in which no record at all was graded pass (by default it does not: nothing was graded)");
  cmd->callback([args, &run] { run = [args] { return RunMerge(*args); }; });
}

}  // namespace vardenix::cli
