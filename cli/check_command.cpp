#include "cli/check_command.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "cli/cli_support.h"
#include "cli/component_isolation_options.h"
#include "platform/platform.h"
#include "platform/random.h"
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
  IsolationArgs isolation;

  CLI::Option* ping_path_opt = nullptr;
  CLI::Option* registry_opt = nullptr;
  CLI::Option* archive_opt = nullptr;
  CLI::Option* rule_file_opt = nullptr;
  CLI::Option* rule_text_opt = nullptr;
  CLI::Option* options_opt = nullptr;
  CLI::Option* total_opt = nullptr;
  CLI::Option* subject_opt = nullptr;
  CLI::Option* seed_opt = nullptr;
  CLI::Option* xml_opt = nullptr;
};

// Counts for the summary, and progress for a person watching. Progress is one line on stderr,
// redrawn in place, so it is drawn only on a terminal; verbose lines are plain lines on stderr.
class CommandObserver final : public CheckObserver {
 public:
  CommandObserver(bool progress, bool verbose) : progress_(progress), verbose_(verbose) {}

  void OnModules(int32_t count) override { modules_ = count; }

  void OnModule(int32_t index, const std::string& name, int32_t questions, int32_t samples) override {
    module_index_ = index;
    module_name_ = name;
    if (verbose_) {
      Line("module " + std::to_string(index) + " of " + std::to_string(modules_) + ": " + name + " (" +
           std::to_string(questions) + " questions, " + std::to_string(samples) + " samples)");
    }
    Draw();
  }

  void OnSample(const std::string& module, const std::string& rec_no, bool passed) override {
    // After a stop the remaining samples are not graded; they are not counted as done.
    if (StopRequested()) return;
    ++samples_;
    if (!passed) ++failed_;
    if (verbose_) {
      Line("  record " + rec_no + " (" + module + "): " + (passed ? "passed" : "not passed"));
    }
    Draw();
  }

  void OnExtractionFailed(const std::string& archive_path, const std::string& reason) override {
    if (verbose_) Line("  extraction failed: " + archive_path + ": " + reason);
  }

  // Removes the progress line, if one is shown.
  void Finish() {
    if (drawn_) std::cerr << "\r\033[K" << std::flush;
    drawn_ = false;
  }

  int32_t modules() const { return modules_; }
  int32_t samples() const { return samples_; }
  int32_t failed() const { return failed_; }

 private:
  void Line(const std::string& text) {
    Finish();
    std::cerr << text << '\n';
  }
  void Draw() {
    if (!progress_) return;
    std::cerr << "\r\033[Kmodule " << module_index_ << " of " << modules_ << " (" << module_name_
              << "): samples done " << samples_ << ", failures " << failed_ << std::flush;
    drawn_ = true;
  }

  bool progress_;
  bool verbose_;
  bool drawn_ = false;
  int32_t modules_ = 0;
  int32_t module_index_ = 0;
  std::string module_name_;
  int32_t samples_ = 0;
  int32_t failed_ = 0;
};

ChkPingConstants ResolveOptions(const CheckArgs& a) {
  const bool have_archive = a.archive_opt->count() > 0;
  // Any input of the subject check asks for it, so that a forgotten one is reported below rather
  // than the subject check being left out of a verdict that then reads as passed.
  const bool have_subject = a.total_opt->count() > 0 || a.subject_opt->count() > 0 || !a.subject_code.empty();
  int32_t options = 0;
  if (a.options_opt->count() > 0) {
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
  if (options & ChkSubject) {
    if (a.total_opt->count() == 0 || a.subject_opt->count() == 0) {
      throw UsageError("the subject check needs --total DB and --subject DB");
    }
    if (a.subject_code.empty()) throw UsageError("the subject check needs --subject-code CODE");
  }
  return static_cast<ChkPingConstants>(options);
}

float ParseRate(const std::string& text) {
  char* end = nullptr;
  errno = 0;
  const float rate = std::strtof(text.c_str(), &end);
  if (text.empty() || end != text.c_str() + text.size() || !std::isfinite(rate) || errno == ERANGE) {
    throw UsageError("--rate must be a number such as 0.1 (the share of each module's questions to sample), "
                     "not \"" + text + "\"");
  }
  return rate;
}

std::string ReadRule(const CheckArgs& a) {
  if (a.rule_file_opt->count() > 0) {
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
  const std::string folder = a.registry_opt->count() > 0 ? a.registry : DefaultRegistry();
  if (vardenix_set_registry_folder(folder.c_str(), message, sizeof message) != VX_OK) {
    throw UsageError(std::string("cannot use the registry folder ") + folder + ": " + message);
  }
  // The ProgID is not tried here: a scoring component that is not installed is a fault of the set-up
  // under check, which the check reports in its verdict and reports like any other.
}

// The report as a file: the XML declaration names the encoding of the string a host receives,
// while the file is written in UTF-8, so the declaration is made to say UTF-8. An empty report
// (nothing to report) is written as a RuleErrs document without entries, so the file always parses.
std::string XmlFileText(const std::string& report) {
  std::string text = report.empty() ? std::string(kReportSkeleton) : report;
  if (text.rfind("<?xml", 0) == 0) {
    const size_t end = text.find("?>");
    const size_t enc = text.find("encoding=", 0);
    if (end != std::string::npos && enc != std::string::npos && enc < end && enc + 9 < end) {
      const char quote = text[enc + 9];
      const size_t close = text.find(quote, enc + 10);
      if ((quote == '"' || quote == '\'') && close != std::string::npos && close < end) {
        text.replace(enc + 10, close - enc - 10, "UTF-8");
      }
    }
  }
  return text;
}

// CR LF as the checks write it, except on a terminal, where it is shown with plain line ends.
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

int RunCheck(const CheckArgs& a) {
  InstallStopHandlers();
  // Everything the command line says is checked before anything runs.
  const ChkPingConstants options = ResolveOptions(a);
  const float rate = ParseRate(a.rate);
  std::optional<uint64_t> seed;
  if (a.seed_opt->count() > 0) {
    seed = ParseUint64(a.seed);
    if (!seed) throw UsageError("--seed must be a whole number from 0 to 18446744073709551615, not \"" + a.seed + "\"");
  }
  std::vector<uint8_t> archive;
  if (options & ChkResultDoc) archive = ReadInputFile(a.archive, "the archive");
  const std::string rule = ReadRule(a);
  // The bank paths and the ProgID go to the check as given: a missing bank, a file that is not a
  // bank or a component that is not installed is what the check exists to find, and it answers
  // them with its verdict and reports (exit 1), not with a refusal of the command line.
  if (a.ping_path_opt->count() > 0) RequireFolder(a.ping_path, "the working folder");
  // Found out now rather than after a subject check that may take minutes, whose verdict and
  // report would then be lost.
  if (a.xml_opt->count() > 0) RequireWritableFile(a.xml, "the XML report");
  PrepareComponents(a);

  std::string ping_path = a.ping_path;
  std::optional<TemporaryWorkingFolder> temporary;
  if (a.ping_path_opt->count() == 0) {
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
  ApplySandboxFolder(a.isolation, a.verbose, ping_path);

  // One working folder serves one check at a time: a second command on it waits, or stops.
  const FolderLock lock(ping_path, !a.no_wait);

  auto platform = std::make_shared<Platform>();
  platform->random = MakeRandomSource(seed);
  platform->stop = &StopFlag();
  const uint64_t base_seed = platform->random->BaseSeed();
  ClsEnviChk check(platform);
  check.PingName(a.ping_name);
  check.PingPath(ping_path);
  CommandObserver observer(!a.quiet && ::isatty(STDERR_FILENO), a.verbose);
  check.SetObserver(&observer);

  std::string err_msg;
  std::string err_xml;
  const auto start = std::chrono::steady_clock::now();
  bool verdict = false;
  try {
    verdict = check.PingEnviChk(err_msg, err_xml, archive, rule, options, a.total, a.subject, a.subject_code,
                                a.contract, rate);
  } catch (const std::exception& e) {
    observer.Finish();
    std::cerr << "vardenix check: the check could not run: " << e.what() << '\n';
    return kExitCannotRun;
  }
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  observer.Finish();
  // Stopped by Ctrl-C or SIGTERM: what the check had is shown, but it is no verdict, and no report
  // file is written from it.
  const bool interrupted = StopRequested();

  if (a.json) {
    nlohmann::ordered_json out;
    out["verdict"] = verdict;
    if (interrupted) out["interrupted"] = true;
    out["errMsg"] = err_msg;
    out["errMsgXml"] = err_xml;
    out["seed"] = base_seed;
    out["pingPath"] = ping_path;
    out["counts"] = {{"modules", observer.modules()},
                     {"samples", observer.samples()},
                     {"failedSamples", observer.failed()}};
    out["elapsedSeconds"] = elapsed;
    // Component texts are checked for UTF-8 at the boundary; replace keeps a stray byte from
    // costing the whole summary.
    std::cout << out.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
  } else {
    std::string text = ForStdout(err_msg);
    if (!text.empty() && text.back() != '\n') text += '\n';
    std::cout << text;
    if (options & ChkSubject) {
      std::cout << "sampled: " << observer.samples() << " records from " << observer.modules() << " modules, "
                << observer.failed() << " not passed\n";
    }
    std::cout << "verdict: " << (interrupted ? "interrupted" : verdict ? "passed" : "not passed") << '\n';
    if (!interrupted && !verdict && err_msg.empty() && !a.verbose && !a.quiet) {
      std::cerr << "the check reported no details; --verbose shows why an archive could not be extracted\n";
    }
    std::cout << "seed: " << base_seed << " (replay with --seed " << base_seed << ")\n";
  }
  std::cout.flush();
  if (interrupted) {
    std::cerr << "vardenix check: stopped by " << (StopSignal() == SIGTERM ? "SIGTERM" : "Ctrl-C") << " after "
              << observer.samples() << " samples\n";
    return 128 + (StopSignal() != 0 ? StopSignal() : SIGINT);
  }
  // Written after the verdict and reports are on stdout, so a write that fails loses neither.
  if (a.xml_opt->count() > 0) {
    try {
      WriteOutputFile(a.xml, XmlFileText(err_xml));
    } catch (const UsageError& e) {
      std::cerr << "vardenix check: " << e.what() << '\n';
      return kExitCannotRun;
    }
  }
  return verdict ? kExitPassed : kExitNotPassed;
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
  cmd->add_option("--ping-name", a.ping_name, "ProgID of the scoring component (required)")->required()->type_name("PROGID");
  a.ping_path_opt = cmd->add_option("--ping-path", a.ping_path,
                                    "working folder, best empty (default: a new folder under $TMPDIR or /tmp, "
                                    "removed at the end unless --keep)")
                      ->type_name("DIR");
  cmd->add_flag("--no-wait", a.no_wait,
                "when another check is using the working folder, stop at once (exit 2) instead of waiting");
  cmd->add_flag("--keep", a.keep,
                "keep the new working folder made without --ping-path, and print its path on stderr");
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
  cmd->add_option("--contract", a.contract, "the contract code; -1 for every contract")
      ->capture_default_str()
      ->type_name("N");
  cmd->add_option("--rate", a.rate, "share of each module's questions to sample")
      ->capture_default_str()
      ->type_name("R");
  a.seed_opt = cmd->add_option("--seed", a.seed, "base seed of the sampling, to replay a run (default: the clock)")
                    ->type_name("N");
  a.xml_opt = cmd->add_option("--xml", a.xml,
                              "write the RuleErrs report to this file (UTF-8; a report without entries when "
                              "there is nothing to report)")
                  ->type_name("FILE");
  cmd->add_flag("--json", a.json, "print one JSON object instead of the text report");
  auto* quiet = cmd->add_flag("--quiet,-q", a.quiet, "no progress and no working-folder line on stderr");
  auto* verbose = cmd->add_flag("--verbose,-v", a.verbose,
                                "print each sampled record with its outcome, and why an extraction failed, on "
                                "stderr");
  quiet->excludes(verbose);
  AddIsolationOptions(*cmd, a.isolation);
  cmd->callback([args, &run] { run = [args] { return RunCheck(*args); }; });
}

}  // namespace vardenix::cli
