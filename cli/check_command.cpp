#include "cli/check_command.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "authoring/bank_editor.h"
#include "cli/check_results.h"
#include "cli/cli_support.h"
#include "cli/sha256.h"
#include "authoring/text_decoding.h"
#include "hosting/component_records.h"
#include "hosting/cpu_placement.h"
#include "cli/component_isolation_options.h"
#include "platform/platform.h"
#include "platform/random.h"
#include "platform/rule_err_reader.h"
#include "platform/text_encoding.h"
#include "report/mod_xml_rw.h"
#include "vardenix/component.h"
#include "vardenix/envi_chk.h"

namespace vardenix::cli {
namespace {

struct CheckArgs {
  std::string ping_name;
  std::string ping_path;
  std::vector<std::string> components;
  std::string registry;
  std::string archive;
  std::string rule_file;
  std::string rule_text;
  std::string options;
  std::string total;
  std::string subject;
  std::string subject_code;
  int32_t contract = -1;
  std::string rate = "0.1";
  std::string seed;
  std::string xml;
  bool json = false;
  bool keep = false;
  bool no_wait = false;
  bool quiet = false;
  bool verbose = false;
  bool all = false;
  int jobs = 0;  // 0: one per core
  bool dry_run = false;
  bool allow_empty = false;
  std::string rerun;
  std::string html;
  std::string junit;
  std::string shard;
  IsolationArgs isolation;
  std::string max_extract_size;

  CLI::Option* ping_path_opt = nullptr;
  CLI::Option* max_extract_opt = nullptr;
  CLI::Option* registry_opt = nullptr;
  CLI::Option* archive_opt = nullptr;
  CLI::Option* rule_file_opt = nullptr;
  CLI::Option* rule_text_opt = nullptr;
  CLI::Option* options_opt = nullptr;
  CLI::Option* total_opt = nullptr;
  CLI::Option* subject_opt = nullptr;
  CLI::Option* seed_opt = nullptr;
  CLI::Option* xml_opt = nullptr;
  CLI::Option* rerun_opt = nullptr;
  CLI::Option* rate_opt = nullptr;
  CLI::Option* contract_opt = nullptr;

  // The options that --rerun took from the earlier result's inputs, by name ("--total").
  std::set<std::string> from_earlier;
  // True when the option was given on the command line or taken from the earlier result.
  bool Has(const CLI::Option* option) const {
    return option->count() > 0 || from_earlier.count(option->get_name()) > 0;
  }
  CLI::Option* shard_opt = nullptr;
};

// "K/N": shard K (from 0) of N. Needs a sweep (--all or --rerun) of the subject bank alone.
std::pair<int32_t, int32_t> ParseShard(const CheckArgs& a, ChkPingConstants options) {
  const std::string& text = a.shard;
  const size_t slash = text.find('/');
  const std::optional<int64_t> k = slash == std::string::npos ? std::nullopt : ParseInt64(text.substr(0, slash));
  const std::optional<int64_t> n = slash == std::string::npos ? std::nullopt : ParseInt64(text.substr(slash + 1));
  if (!k || !n || *n < 1 || *n > 1000000 || *k < 0 || *k >= *n) {
    throw UsageError("--shard must be K/N, shard K (0 to N - 1) of N shards (N from 1 to 1000000), such as 0/4 or "
                     "$SLURM_ARRAY_TASK_ID/$SLURM_ARRAY_TASK_COUNT, not \"" + text + "\"");
  }
  if (!a.all && a.rerun_opt->count() == 0) {
    throw UsageError("--shard splits a sweep: give --all (or --rerun RESULTS.json); a random sample is not split");
  }
  if (options & ChkResultDoc) {
    throw UsageError("--shard splits the subject bank's sweep; check the typical document in a run of its own");
  }
  return {static_cast<int32_t>(*k), static_cast<int32_t>(*n)};
}

// What a listed selection names, as one SHA-256, so that shards of different reruns are told apart.
std::string ListedSha256(const std::vector<std::pair<std::string, std::string>>& listed) {
  std::string text;
  for (const auto& [module, rec_no] : listed) text += module + '\t' + rec_no + '\n';
  return Sha256Hex(text);
}

ChkPingConstants ResolveOptions(const CheckArgs& a) {
  const bool have_archive = a.Has(a.archive_opt);
  // Any input of the subject check asks for it, so that a forgotten one is reported below rather
  // than the subject check being left out of a verdict that then reads as passed.
  const bool have_subject = a.Has(a.total_opt) || a.Has(a.subject_opt) || !a.subject_code.empty();
  int32_t options = 0;
  if (a.Has(a.options_opt)) {
    const std::optional<int64_t> value = ParseInt64(a.options);
    if (!value || (*value != ChkResultDoc && *value != ChkSubject && *value != (ChkResultDoc | ChkSubject))) {
      throw UsageError("--options must be 1 (the typical document), 2 (the subject question bank) or 3 "
                       "(both), not \"" + a.options + "\"");
    }
    options = static_cast<int32_t>(*value);
  } else {
    options = (have_archive ? ChkResultDoc : 0) | (have_subject ? ChkSubject : 0);
    if (options == 0) {
      throw UsageError("nothing to check: give --archive ZIP (with --rule FILE or --rule-text TEXT) for the "
                       "typical document, and/or --total DB --subject DB --subject-code CODE for the subject "
                       "question bank");
    }
  }
  if ((options & ChkResultDoc) && !have_archive) {
    throw UsageError("the typical-document check needs --archive ZIP");
  }
  // A typical document graded against no rule says nothing of the set-up.
  if ((options & ChkResultDoc) && !a.Has(a.rule_file_opt) && !a.Has(a.rule_text_opt)) {
    throw UsageError("the typical-document check needs the archive's rule: give --rule FILE or --rule-text TEXT");
  }
  if (options & ChkSubject) {
    if (!a.Has(a.total_opt) || !a.Has(a.subject_opt)) {
      throw UsageError("the subject check needs --total DB and --subject DB");
    }
    if (a.subject_code.empty()) throw UsageError("the subject check needs --subject-code CODE");
  }
  return static_cast<ChkPingConstants>(options);
}

// A rate as people write it: decimal digits with at most one point and an optional exponent, from
// 0 to 1. Hexadecimal text, NaN, infinities, signs and blanks, which strtof would take, are refused.
float ParseRate(const std::string& text) {
  const auto refuse = [&text]() {
    return UsageError("--rate must be a number from 0 to 1 such as 0.1 (the share of each module's questions "
                      "to draw: floor(rate x questions) + 1 draws, with replacement), not \"" + text + "\"");
  };
  size_t i = 0;
  size_t digits = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i, ++digits;
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i, ++digits;
  }
  if (digits == 0) throw refuse();
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    size_t exponent_digits = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i, ++exponent_digits;
    if (exponent_digits == 0) throw refuse();
  }
  if (i != text.size()) throw refuse();
  errno = 0;
  const double value = std::strtod(text.c_str(), nullptr);
  if (!(value >= 0.0 && value <= 1.0)) throw refuse();
  return static_cast<float>(value);
}

// What an earlier --json result asks a --rerun to grade again: the records that did not pass, as
// (module, record number) in its order, whether its typical document did not pass, and the inputs
// of that check (its "inputs" object; null in a result that has none).
struct EarlierResult {
  std::vector<std::pair<std::string, std::string>> records;
  bool typical_document_not_passed = false;
  nlohmann::json inputs;
};

EarlierResult ReadEarlierResult(const std::string& path) {
  // Read record by record: the result of a sweep of a million records is not held whole.
  EarlierResult result;
  std::set<std::pair<std::string, std::string>> seen;
  const auto take = [&](const nlohmann::json& r) {
    // A record whose outcome is missing is graded again, not taken as passed.
    if (!r.is_object() || r.value("outcome", "") == "passed") return;
    if (r.value("kind", "") == "typicalDocument") result.typical_document_not_passed = true;
    if (r.value("kind", "") != "record") return;
    std::pair<std::string, std::string> key{r.value("module", ""), r.value("recNo", "")};
    if (key.second.empty()) return;
    // A record drawn twice is graded again once.
    if (seen.insert(key).second) result.records.push_back(std::move(key));
  };
  nlohmann::json earlier;
  try {
    earlier = ReadResultJson(path, "the earlier result", take);
  } catch (const UsageError&) {
    throw;
  } catch (const std::exception& e) {
    throw UsageError("--rerun " + path + " is not the JSON of an earlier `vardenix check --json`: " + e.what());
  }
  if (!earlier.is_object() || !earlier.contains("records") || !earlier["records"].is_array()) {
    throw UsageError("--rerun " + path + " has no \"records\" list; it must be the output of `vardenix check --json`");
  }
  if (earlier.contains("inputs") && earlier["inputs"].is_object()) result.inputs = earlier["inputs"];
  // A check that was stopped never graded the records after the stop: their failures are not in it.
  if (earlier.value("interrupted", false)) {
    throw UsageError("--rerun " + path + " is the result of a check that was interrupted: the records after the stop "
                     "were never graded; run the whole check again");
  }
  return result;
}

// A string member of the earlier inputs, or nothing when it is missing or not a string.
std::optional<std::string> Text(const nlohmann::json& object, const char* name) {
  if (!object.is_object() || !object.contains(name) || !object[name].is_string()) return std::nullopt;
  return object[name].get<std::string>();
}

// Fills what the command line leaves out from the inputs the earlier result recorded, so that
// `vardenix check --rerun results.json` alone repeats that check on its failures; what the command
// line gives wins. Of the earlier check, the typical document is graded again when it did not pass,
// and the subject check when records did not pass. A bank or an archive whose SHA-256 is no longer
// the recorded one is named on stderr before anything runs.
void TakeEarlierInputs(CheckArgs& a, const EarlierResult& earlier, const std::string& path) {
  const nlohmann::json& in = earlier.inputs;
  if (in.is_null()) {
    if (a.ping_name.empty()) {
      throw UsageError("--rerun " + path + " records no inputs (it was made by an older vardenix); give the check's "
                       "--ping-name and banks as well");
    }
    return;
  }
  const auto take = [&a](CLI::Option* option, std::string& value, const std::optional<std::string>& earlier_value) {
    if (option->count() > 0 || !earlier_value) return;
    value = *earlier_value;
    a.from_earlier.insert(option->get_name());
  };
  if (a.ping_name.empty()) a.ping_name = Text(in, "pingName").value_or("");
  if (a.components.empty() && in.contains("components") && in["components"].is_array()) {
    for (const nlohmann::json& m : in["components"]) {
      if (m.is_string()) a.components.push_back(m.get<std::string>());
    }
  }
  take(a.registry_opt, a.registry, Text(in, "registry"));
  take(a.max_extract_opt, a.max_extract_size, Text(in, "maxExtractSize"));
  const int64_t options = in.value("options", 0);
  // The subject check runs only after a typical document that passed: a rerun of the document
  // alone would pass without the subject bank ever having been checked.
  if ((options & ChkSubject) && (options & ChkResultDoc) && earlier.typical_document_not_passed) {
    throw UsageError("--rerun " + path + ": its typical document did not pass, so its subject check never ran; run "
                     "the whole check again");
  }
  const bool subject = (options & ChkSubject) && !earlier.records.empty();
  const bool document = (options & ChkResultDoc) && earlier.typical_document_not_passed;
  if (a.options_opt->count() == 0 && (subject || document)) {
    a.options = std::to_string((subject ? ChkSubject : 0) | (document ? ChkResultDoc : 0));
    a.from_earlier.insert(a.options_opt->get_name());
  }
  const auto path_of = [&in](const char* name) {
    return in.contains(name) ? Text(in[name], "path") : std::optional<std::string>();
  };
  if (document) {
    take(a.archive_opt, a.archive, path_of("archive"));
    if (a.rule_file_opt->count() == 0) take(a.rule_text_opt, a.rule_text, Text(in, "rule"));
  }
  if (subject) {
    take(a.total_opt, a.total, path_of("total"));
    take(a.subject_opt, a.subject, path_of("subject"));
    if (a.subject_code.empty()) a.subject_code = Text(in, "subjectCode").value_or("");
    if (a.contract_opt->count() == 0 && in.contains("contract") && in["contract"].is_number_integer()) {
      a.contract = in["contract"].get<int32_t>();
    }
  }
  // What changed since the earlier check is said before the rerun, whose verdict it may change.
  const struct {
    const char* name;
    const char* what;
    const std::string& now;
    bool used;
  } files[] = {{"total", "the total bank", a.total, subject},
               {"subject", "the subject bank", a.subject, subject},
               {"archive", "the typical document's archive", a.archive, document}};
  for (const auto& file : files) {
    if (!file.used || !in.contains(file.name)) continue;
    const std::string recorded = Text(in[file.name], "sha256").value_or("");
    const std::string recorded_path = Text(in[file.name], "path").value_or("");
    if (recorded.empty() || Absolute(file.now) != recorded_path) continue;
    const std::string sha = FileSha256(file.now);
    if (sha != recorded) {
      std::cerr << "vardenix check: " << file.what << " " << file.now << " changed since the earlier check (SHA-256 "
                << recorded << ", now " << (sha.empty() ? std::string("cannot be read") : sha)
                << "); its records are graded as they are now\n";
    }
  }
}

// Lines that say what most likely went wrong when a check did not pass, for stderr: banks given the
// other way round, a subject code the total bank does not hold (with the codes it holds), a ProgID
// looked up in a registry folder that holds no record. The check's own reports are left as they
// are; these come after them.
std::vector<std::string> Hints(const CheckArgs& a, ChkPingConstants options, const std::string& component_source) {
  std::vector<std::string> hints;
  if (options & ChkSubject) {
    const auto summary = [](const std::string& path) -> std::optional<BankSummary> {
      try {
        return SummarizeBank(path);
      } catch (const std::exception&) {
        return std::nullopt;  // missing or no SQLite file: the check's report says so
      }
    };
    const std::optional<BankSummary> total = summary(a.total);
    const std::optional<BankSummary> subject = summary(a.subject);
    if (total && !total->has_contract && total->has_subject) {
      hints.push_back(a.total + " holds no Tbl_Contract; is it the subject bank?");
    }
    if (subject && !subject->has_subject && subject->has_contract) {
      hints.push_back(a.subject + " holds no Tbl_Public and Tbl_Operation; is it the total bank?");
    }
    if (total && total->has_contract) {
      std::vector<std::string> codes;
      bool found = false;
      for (const ContractRow& row : total->contracts) {
        if (!row.data_code) continue;
        std::string code = *row.data_code;
        found = found || EqualsIgnoringAsciiCase(code, a.subject_code);
        if (std::find(codes.begin(), codes.end(), code) == codes.end()) codes.push_back(std::move(code));
      }
      if (!found) {
        std::string list;
        for (const std::string& code : codes) list += (list.empty() ? "" : ", ") + code;
        hints.push_back("the total bank " + a.total + " holds no subject code " + a.subject_code +
                        (codes.empty() ? std::string("; it holds no subject at all")
                                       : "; it holds " + std::string(codes.size() == 1 ? "the code " : "the codes ") + list));
      }
    }
  }
  if (a.components.empty() && component_source.rfind("none: no registration record", 0) == 0) {
    const std::string folder = a.Has(a.registry_opt) ? a.registry : DefaultRegistry();
    if (!FolderHoldsAnything(folder)) {
      hints.push_back("the registry folder " + Absolute(folder) + " that " + a.ping_name +
                      " was looked up in holds no registration record: register the component with `vardenix "
                      "register MODULE`, or give --registry DIR or --component MODULE");
    }
  }
  return hints;
}

// The inputs of a check, for its --json result: what a --rerun of the result needs to repeat it.
std::string InputsJson(const CheckArgs& a, ChkPingConstants options, const std::vector<uint8_t>& archive,
                       const std::string& rule) {
  nlohmann::ordered_json in;
  in["pingName"] = a.ping_name;
  nlohmann::ordered_json components = nlohmann::ordered_json::array();
  for (const std::string& m : a.components) components.push_back(Absolute(m));
  in["components"] = components;
  if (a.Has(a.registry_opt)) {
    in["registry"] = a.registry.empty() ? a.registry : Absolute(a.registry);
  } else {
    in["registry"] = nullptr;  // the default folder
  }
  in["options"] = static_cast<int32_t>(options);
  if (options & ChkResultDoc) {
    const std::string bytes(archive.begin(), archive.end());
    in["archive"] = {{"path", Absolute(a.archive)}, {"sha256", Sha256Hex(bytes)}};
    in["rule"] = rule;
    if (a.Has(a.rule_file_opt)) in["ruleFile"] = Absolute(a.rule_file);
  }
  if (options & ChkSubject) {
    in["total"] = {{"path", Absolute(a.total)}, {"sha256", FileSha256(a.total)}};
    in["subject"] = {{"path", Absolute(a.subject)}, {"sha256", FileSha256(a.subject)}};
    in["subjectCode"] = a.subject_code;
    in["contract"] = a.contract;
    in["rate"] = a.rate;
  }
  if (a.Has(a.max_extract_opt)) in["maxExtractSize"] = a.max_extract_size;
  return in.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// Where the ProgID comes from: the modules loaded by path, or the registration record naming a
// module or a program; otherwise why none can be named (no record, a record that cannot be used, a
// registry that cannot be read), for the report's environment.
std::string ComponentSource(const CheckArgs& a) {
  std::string source;
  for (const std::string& m : a.components) source += (source.empty() ? "" : ", ") + Absolute(m);
  if (!source.empty()) return "loaded with --component: " + source;
  const std::string folder = a.Has(a.registry_opt) ? a.registry : DefaultRegistry();
  if (folder.empty()) return "none: no module loaded with --component and no registry folder";
  try {
    const std::optional<ComponentRecord> record = FindComponentRecord(folder, a.ping_name);
    if (!record) return "none: no registration record for " + a.ping_name + " in " + folder;
    std::string program;
    for (const std::string& part : record->program) program += (program.empty() ? "" : " ") + part;
    source = (record->module_path.empty() ? "program " + program : record->module_path) + " (registered in " +
             record->file + ")";
    if (!record->problem.empty()) source += "; the record cannot be used: " + record->problem;
    return source;
  } catch (const std::exception& e) {
    return "unknown: the registry folder " + folder + " cannot be read: " + e.what();
  }
}

// The command line that replays a run: the same inputs, with absolute paths so that it runs from any
// folder, and the seed it used (a sample only: --all and --rerun draw nothing).
std::string ReplayCommand(const CheckArgs& a, uint64_t seed) {
  const auto quote = [](const std::string& text) {
    if (!text.empty() && text.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
                                                "-_./=:+,@%") == std::string::npos) {
      return text;
    }
    std::string out = "'";
    for (const char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
  };
  std::string line = "vardenix check --ping-name " + quote(a.ping_name);
  for (const std::string& m : a.components) line += " --component " + quote(Absolute(m));
  if (a.Has(a.registry_opt)) line += " --registry " + quote(a.registry.empty() ? a.registry : Absolute(a.registry));
  if (a.Has(a.options_opt)) line += " --options " + quote(a.options);
  if (a.Has(a.archive_opt)) line += " --archive " + quote(Absolute(a.archive));
  if (a.Has(a.rule_file_opt)) line += " --rule " + quote(Absolute(a.rule_file));
  if (a.Has(a.rule_text_opt)) line += " --rule-text " + quote(a.rule_text);
  if (a.Has(a.total_opt)) line += " --total " + quote(Absolute(a.total));
  if (a.Has(a.subject_opt)) line += " --subject " + quote(Absolute(a.subject));
  if (!a.subject_code.empty()) line += " --subject-code " + quote(a.subject_code);
  if (a.contract != -1) line += " --contract " + std::to_string(a.contract);
  // A lower bound on what an extraction may write refuses archives the default takes.
  if (a.Has(a.max_extract_opt)) line += " --max-extract-size " + quote(a.max_extract_size);
  if (a.all) {
    line += " --all";
  } else if (a.Has(a.rerun_opt)) {
    line += " --rerun " + quote(Absolute(a.rerun));
  } else {
    line += " --rate " + quote(a.rate) + " --seed " + std::to_string(seed);
  }
  return line;
}

std::string ReadRule(const CheckArgs& a) {
  if (a.Has(a.rule_file_opt)) {
    const std::vector<uint8_t> bytes = ReadInputFile(a.rule_file, "the rule file");
    try {
      return DecodeTextFile(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()),
                            "the rule file " + a.rule_file);
    } catch (const RuntimeError& e) {
      throw UsageError(e.what());
    }
  }
  if (!IsValidUtf8(a.rule_text)) throw UsageError("--rule-text is not UTF-8 text");
  return a.rule_text;
}

void PrepareComponents(const CheckArgs& a) {
  ApplyIsolation(a.isolation, a.verbose);
  char message[1024];
  for (const std::string& module : a.components) {
    if (vardenix_load_module(module.c_str(), message, sizeof message) != VX_OK) {
      throw UsageError(message);
    }
  }
  const std::string folder = a.Has(a.registry_opt) ? a.registry : DefaultRegistry();
  if (vardenix_set_registry_folder(folder.c_str(), message, sizeof message) != VX_OK) {
    throw UsageError(std::string("cannot use the registry folder ") + folder + ": " + message);
  }
  // The ProgID is not tried here: a scoring component that is not installed is a fault of the set-up
  // under check, which the check reports in its verdict and reports like any other.
}

// The new working folder made when --ping-path is not given: removed with everything in it when the
// command ends, on every path, unless --keep is given.
class TemporaryWorkingFolder {
 public:
  TemporaryWorkingFolder(std::string path, bool keep) : path_(std::move(path)), keep_(keep) {}
  ~TemporaryWorkingFolder() {
    if (keep_) return;
    std::string reason;
    if (!RemoveTree(path_, reason)) {
      std::cerr << "vardenix check: warning: cannot remove the working folder " << path_ << ": " << reason << '\n';
    }
  }
  TemporaryWorkingFolder(const TemporaryWorkingFolder&) = delete;
  TemporaryWorkingFolder& operator=(const TemporaryWorkingFolder&) = delete;

 private:
  std::string path_;
  bool keep_;
};

// The folder as an absolute path: a relative one is taken from the current folder, without its
// "." components; ".." and links are left as they are, and so is a trailing '/'.
std::string AbsoluteFolder(const std::string& path) {
  if (path.empty()) return path;
  std::string out = Absolute(path);
  for (size_t at = out.find("/./"); at != std::string::npos; at = out.find("/./", at)) out.erase(at, 2);
  if (out.size() > 2 && out.compare(out.size() - 2, 2, "/.") == 0) out.erase(out.size() - 1);
  return out;
}

// What the check created in a working folder given with --ping-path: removed when the check ends, on
// every path (passed, not passed, interrupted, a failure), by the rule each scoring run's own
// footprint is removed by, unless --keep is given. What was there before stays, and so do the
// reports the command writes after the check.
class CheckFootprint {
 public:
  CheckFootprint(RunFootprints& footprints, std::string folder, bool keep)
      : footprints_(footprints), folder_(std::move(folder)), keep_(keep), start_(footprints_.Begin(folder_, "")) {}
  ~CheckFootprint() { Finish(); }

  void Finish() {
    if (keep_ || finished_) return;
    finished_ = true;
    std::string stayed;
    try {
      footprints_.End(folder_, *start_);
    } catch (const std::exception& e) {
      stayed = e.what();
    }
    const std::string left = footprints_.Clear(folder_);
    if (stayed.empty()) stayed = left;
    if (!stayed.empty()) {
      std::cerr << "vardenix check: warning: cannot remove all the check made in the working folder " << folder_
                << ": " << stayed << '\n';
    }
  }
  CheckFootprint(const CheckFootprint&) = delete;
  CheckFootprint& operator=(const CheckFootprint&) = delete;

 private:
  RunFootprints& footprints_;
  std::string folder_;
  bool keep_;
  bool finished_ = false;
  std::unique_ptr<RunFootprints::Start> start_;
};

int RunCheck(const CheckArgs& given) {
  InstallStopHandlers();
  CheckArgs a = given;
  std::optional<EarlierResult> earlier;
  if (a.Has(a.rerun_opt)) {
    earlier = ReadEarlierResult(a.rerun);
    TakeEarlierInputs(a, *earlier, a.rerun);
  }
  if (a.ping_name.empty()) throw UsageError("--ping-name is required: the ProgID of the scoring component");
  // Everything the command line says is checked before anything runs.
  ChkPingConstants options = ResolveOptions(a);
  if (a.dry_run) {
    if (!(options & ChkSubject)) {
      throw UsageError("--dry-run lists the draws of the subject check: give --total DB --subject DB --subject-code CODE");
    }
    options = ChkSubject;  // nothing is graded, so the typical document is left alone
  }
  const float rate = ParseRate(a.rate);
  std::optional<std::pair<int32_t, int32_t>> shard;
  if (a.shard_opt->count() > 0) shard = ParseShard(a, options);
  std::optional<uint64_t> max_extract_size;
  if (a.Has(a.max_extract_opt)) {
    max_extract_size = ParseSize(a.max_extract_size);
    if (!max_extract_size) {
      throw UsageError("--max-extract-size must be a size such as 1G or 500M, not \"" + a.max_extract_size + "\"");
    }
  }
  SubjectSelection selection;
  selection.grade = !a.dry_run;
  // A shard may be empty; the rule of nothing graded is the merge's, over the whole sweep. The one
  // shard of one is the whole sweep, and keeps the rule.
  const bool share_of_a_sweep = shard.has_value() && shard->second > 1;
  selection.allow_nothing_graded = a.allow_empty || share_of_a_sweep;
  if (a.all) {
    selection.kind = SubjectSelection::Kind::kEveryQuestion;
    // As many workers as the CPUs the process may use: its affinity mask, bounded by its cgroup's
    // CPU quota (a Slurm task, a container), not the machine's core count.
    const UsableCpus cpus = CountUsableCpus();
    selection.jobs = a.jobs > 0 ? a.jobs : static_cast<int32_t>(cpus.count);
    if (a.verbose) {
      const auto jobs = static_cast<unsigned>(selection.jobs);
      if (a.jobs <= 0) {
        std::cerr << jobs << (jobs == 1 ? " worker: " : " workers: ") << cpus.reason << "\n";
      } else if (jobs > cpus.count) {
        std::cerr << jobs << " workers share " << cpus.count << (cpus.count == 1 ? " CPU (" : " CPUs (") << cpus.reason
                  << ")\n";
      }
    }
  }
  if (earlier) {
    selection.kind = SubjectSelection::Kind::kListed;
    selection.listed = earlier->records;
    if (selection.listed.empty() && (options & ChkSubject)) {
      throw UsageError("--rerun " + a.rerun + " names no record that did not pass: there is nothing to grade again");
    }
  }
  if (shard) {
    selection.shard_index = shard->first;
    selection.shard_count = shard->second;
  }
  std::optional<uint64_t> seed;
  if (a.Has(a.seed_opt)) {
    seed = ParseUint64(a.seed);
    if (!seed) throw UsageError("--seed must be a whole number from 0 to 18446744073709551615, not \"" + a.seed + "\"");
  }
  std::vector<uint8_t> archive;
  if (options & ChkResultDoc) archive = ReadInputFile(a.archive, "the archive");
  const std::string rule = ReadRule(a);
  // The bank paths and the ProgID go to the check as given: a missing bank, a file that is not a
  // bank or a component that is not installed is what the check exists to find, and it answers
  // them with its verdict and reports (exit 1), not with a refusal of the command line.
  if (a.Has(a.ping_path_opt)) RequireFolder(a.ping_path, "the working folder");
  // Found out now rather than after a subject check that may take minutes, whose verdict and
  // report would then be lost.
  if (a.Has(a.xml_opt) && a.xml == "-" && a.json) {
    throw UsageError("--xml - and --json both print on stdout; write one of them to a file");
  }
  if (a.Has(a.xml_opt) && a.xml != "-") RequireWritableFile(a.xml, "the XML report");
  if (!a.junit.empty()) RequireWritableFile(a.junit, "the JUnit report");
  if (!a.html.empty()) RequireWritableFile(a.html, "the HTML report");
  if (!a.dry_run) PrepareComponents(a);

  // A program component runs inside the working folder and gets it as TestPath: given relative, a
  // program joining TestPath with a file name would look in a folder inside it.
  std::string ping_path = a.ping_path_opt->count() > 0 ? AbsoluteFolder(a.ping_path) : a.ping_path;
  std::optional<TemporaryWorkingFolder> temporary;
  if (!a.Has(a.ping_path_opt) && !a.dry_run) {
    ping_path = MakeWorkingFolder();
    temporary.emplace(ping_path, a.keep);
    if (a.keep && !a.quiet) std::cerr << "working folder: " << ping_path << " (kept)\n";
  } else if (FolderHoldsAnything(ping_path)) {
    // An answer is graded on what is in the folder after its extraction: a file that an earlier
    // check, another answer or a person left there can make an answer pass that lacks it.
    std::cerr << "vardenix check: warning: the working folder " << ping_path
              << " already holds files; a file already there can make an answer pass that lacks it. Give an "
                 "empty folder to --ping-path, or leave --ping-path out to check in a new folder.\n";
  }
  // One working folder serves one check at a time: a second command on it waits, or stops. A dry
  // run stages, extracts and grades nothing, so it needs no folder.
  std::optional<FolderLock> lock;
  if (!a.dry_run) {
    ApplySandboxFolder(a.isolation, a.verbose, ping_path);
    lock.emplace(ping_path, !a.no_wait);
  }

  auto platform = std::make_shared<Platform>();
  std::optional<CheckFootprint> footprint;
  if (!a.dry_run && !temporary) footprint.emplace(*platform->footprints, ping_path, a.keep);
  platform->random = MakeRandomSource(seed);
  if (max_extract_size) platform->limits.archive_total_bytes = *max_extract_size;
  CheckRun run;
  run.seed = platform->random->BaseSeed();
  run.ping_path = ping_path;
  run.dry_run = a.dry_run;
  run.mode = a.all ? "all" : a.Has(a.rerun_opt) ? "rerun" : "sample";
  run.replay = ReplayCommand(a, run.seed);
  run.ping_name = a.ping_name;
  run.components = a.components;
  run.component_source = ComponentSource(a);
  if (options & ChkSubject) {
    run.total_path = a.total;
    run.subject_path = a.subject;
    run.subject_code = a.subject_code;
  }
  run.rate = a.rate;
  run.inputs_json = InputsJson(a, options, archive, rule);
  if (shard) {
    run.sharded = true;
    run.shard.index = shard->first;
    run.shard.count = shard->second;
    run.shard.total_sha256 = FileSha256(a.total);
    run.shard.subject_sha256 = FileSha256(a.subject);
    run.shard.contract = a.contract;
    run.shard.selection = a.all ? "all" : "rerun " + ListedSha256(selection.listed);
  }
  platform->stop = &StopFlag();
  ClsEnviChk check(platform);
  check.SetSelection(selection);
  check.PingName(a.ping_name);
  check.PingPath(ping_path);
  ResultsObserver observer(run, ChooseProgress(a.quiet, ::isatty(STDERR_FILENO), std::getenv("TERM")), a.verbose);
  ResultOutputs outputs;
  outputs.json = a.json;
  outputs.xml = a.Has(a.xml_opt) ? a.xml : std::string();
  outputs.junit = a.junit;
  outputs.html = a.html;
  outputs.hint_details = !a.verbose && !a.quiet;
  outputs.command = "vardenix check";
  run.records.Keep(PiecesFor(outputs, run.dry_run, run.sharded));
  check.SetObserver(&observer);

  const auto start = std::chrono::steady_clock::now();
  try {
    run.verdict = check.PingEnviChk(run.err_msg, run.err_xml, archive, rule, options, a.total, a.subject,
                                    a.subject_code, a.contract, rate);
  } catch (const std::exception& e) {
    observer.Finish();
    throw std::runtime_error(std::string("the check could not run: ") + e.what());
  }
  run.elapsed_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  observer.Finish();
  if (footprint) footprint->Finish();
  // Stopped by Ctrl-C or SIGTERM: what the check had is shown, but it is no verdict, and no report
  // file is written from it.
  run.interrupted = StopRequested();
  run.shard.check_err_msg = check.RecordedErrInfo();
  run.shard.check_err_xml = check.RecordedErrInfoXml();
  // A check that graded nothing at all (no record, no typical document) has shown nothing: whatever
  // the options, it does not pass unless --allow-empty says it may. A shard is a share of a sweep,
  // and a share may be empty: `vardenix merge` applies the rule to the whole.
  if (!a.dry_run && !run.interrupted && !share_of_a_sweep && run.records.Counts().graded == 0) {
    if (!a.allow_empty) {
      run.verdict = false;
      run.reason = kNothingGraded;
    } else if (!a.quiet) {
      std::cerr << "vardenix check: warning: nothing was graded; --allow-empty lets the verdict pass on no record\n";
    }
  }

  const int status = WriteResults(run, outputs);
  if (!run.interrupted && !run.verdict && !a.quiet) {
    for (const std::string& hint : Hints(a, options, run.component_source)) std::cerr << "hint: " << hint << '\n';
  }
  return status;
}

}  // namespace

void AddCheckCommand(CLI::App& app, std::function<int()>& run) {
  auto args = std::make_shared<CheckArgs>();
  CLI::App* cmd = app.add_subcommand(
      "check",
      "Check an exam set-up: stage the typical document's archive, extract it and let the scoring component "
      "grade it, then sample the operation questions of the subject's question bank.\n"
      "Prints the error text report (CR LF line ends as the checks write them; plain line ends when stdout "
      "is a terminal), then the verdict and the seed. Exit status: 0 passed, 1 not passed, 2 could not run.");
  CheckArgs& a = *args;
  cmd->add_option("--ping-name", a.ping_name,
                  "ProgID of the scoring component (required, but with --rerun, which takes it from the earlier result)")
      ->type_name("PROGID");
  a.ping_path_opt = cmd->add_option("--ping-path", a.ping_path,
                                    "working folder, best empty; what the check makes there is removed at the end "
                                    "unless --keep (default: a new folder under $TMPDIR or /tmp, removed at the end "
                                    "unless --keep)")
                      ->type_name("DIR");
  cmd->add_flag("--no-wait", a.no_wait,
                "when another check is using the working folder, stop at once (exit 2) instead of waiting");
  cmd->add_flag("--keep", a.keep,
                "keep what the check made in the working folder: the new one made without --ping-path (its "
                "path is printed on stderr), or the last answer and what its component made in --ping-path");
  cmd->add_option("--component", a.components, "load a component module (.so) by path; repeatable")
      ->type_name("MODULE");
  a.registry_opt = cmd->add_option("--registry", a.registry,
                                   "folder of registration records (default: $XDG_DATA_HOME/vardenix/registry "
                                   "or ~/.local/share/vardenix/registry; \"\" for none)")
                        ->type_name("DIR");
  a.archive_opt = cmd->add_option("--archive", a.archive, "the typical document: a zip archive")->type_name("ZIP");
  a.rule_file_opt = cmd->add_option("--rule", a.rule_file,
                                    "file holding the rule text (UTF-8, or GB18030 when not valid UTF-8)")
                          ->type_name("FILE");
  a.rule_text_opt = cmd->add_option("--rule-text", a.rule_text, "the rule text itself");
  a.rule_file_opt->excludes(a.rule_text_opt);
  a.options_opt = cmd->add_option("--options", a.options,
                                  "checks to run: 1 typical document, 2 subject question bank, 3 both (default: "
                                  "those whose inputs are given)")
                      ->type_name("N");
  a.total_opt = cmd->add_option("--total", a.total, "the total question bank (SQLite)")->type_name("DB");
  a.subject_opt = cmd->add_option("--subject", a.subject, "the subject question bank (SQLite)")->type_name("DB");
  cmd->add_option("--subject-code", a.subject_code, "the subject code (C_DataCode) to sample")->type_name("CODE");
  a.contract_opt = cmd->add_option("--contract", a.contract, "the contract code; -1 for every contract")
      ->capture_default_str()
      ->type_name("N");
  a.rate_opt = cmd->add_option("--rate", a.rate,
                  "share of each module's questions to sample, from 0 to 1 (0.1 is 10 %): each module gets "
                  "floor(rate x questions) + 1 draws, with replacement, so a record may be drawn twice")
      ->capture_default_str()
      ->type_name("R");
  a.seed_opt = cmd->add_option("--seed", a.seed, "base seed of the sampling, to replay a run (default: the clock)")
                    ->type_name("N");
  a.xml_opt = cmd->add_option("--xml", a.xml,
                              "write the RuleErrs report to this file, or to stdout instead of the text report "
                              "with \"-\" (UTF-8; a report without entries when there is nothing to report, and one "
                              "entry naming the problem when a component's report is not well-formed, so it always "
                              "parses)")
                  ->type_name("FILE");
  cmd->add_flag("--json", a.json,
                "print one JSON object instead of the text report (its JSON Schema: share/doc/vardenix/check-result.schema.json of the install, docs/ of the source); "
                "also when the command cannot run: {\"error\", \"exitStatus\"}");
  cmd->add_option("--html", a.html,
                  "write one self-contained HTML page of the results to this file (verdict, replay command, "
                  "environment, modules, every record with its report)")
      ->type_name("FILE");
  cmd->add_option("--junit", a.junit,
                  "write a JUnit XML report to this file for CI (a test suite per module, a test case per draw; "
                  "a verdict of not passed that no test case shows is a failing case \"verdict\")")
      ->type_name("FILE");
  auto* all = cmd->add_flag("--all", a.all,
                            "grade every question of every selected module once, in bank order, instead of a sample; "
                            "the verdict: every graded question passed");
  a.max_extract_opt = cmd->add_option("--max-extract-size", a.max_extract_size,
                                      "refuse an answer archive that would write more than SIZE when extracted "
                                      "(default 1G; K, M, G suffixes): what bounds a decompression bomb")
                         ->type_name("SIZE");
  cmd->add_option("--jobs", a.jobs,
                  "with --all: grade N records at once, each worker in a folder of its own (vardenix-job-1, ...) "
                  "inside the working folder, with its own archive control and component host; the reports are "
                  "the same, in the same order, as with --jobs 1 (default: the CPUs this process may use: its affinity, bounded by its cgroup's CPU quota)")
      ->type_name("N")
      ->check(CLI::Range(1, 256));
  cmd->add_flag("--allow-empty", a.allow_empty,
                "let a check in which nothing was graded (no record drawn had an answer text and an archive, no "
                "module listed a question, and no typical document was checked) pass; without it such a check is "
                "\"not passed: nothing was graded\" (exit 1)");
  auto* dry_run = cmd->add_flag("--dry-run", a.dry_run,
                                "list the draws the seed and rate would make (module, record number) and the seed, "
                                "without extracting or grading anything; no verdict (null in --json), exit 0 when the "
                                "draws could be made");
  a.rerun_opt = cmd->add_option("--rerun", a.rerun,
                                "grade again exactly the records that did not pass in an earlier --json result; passes "
                                "only when each was graded again and passed")
                    ->type_name("RESULTS.json");
  all->excludes(a.rerun_opt);
  a.shard_opt = cmd->add_option("--shard", a.shard,
                                "with --all or --rerun: grade only shard K (from 0) of N of the sweep: the draws are "
                                "numbered across the modules in bank order and cut into N contiguous runs of nearly "
                                "equal length, the same on every run of the same banks; a shard may be empty. Its "
                                "--json result goes to `vardenix merge` with the other shards'")
                    ->type_name("K/N");
  dry_run->excludes(a.rerun_opt);
  auto* quiet = cmd->add_flag("--quiet,-q", a.quiet, "no progress and no working-folder line on stderr");
  auto* verbose = cmd->add_flag("--verbose,-v", a.verbose,
                                "print each sampled record with its outcome, and why an extraction failed, on "
                                "stderr");
  quiet->excludes(verbose);
  AddIsolationOptions(*cmd, a.isolation);
  cmd->callback([args, &run] { run = [args] { return RunCheck(*args); }; });
}

}  // namespace vardenix::cli
