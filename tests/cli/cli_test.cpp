// The `vardenix` command end to end: the real binary on real zip archives, real SQLite banks and a
// real component module ("Vardenix.Test.Scorer": full marks for the answer text "perfect", half
// otherwise; its error text echoes what it was given).
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <algorithm>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "authoring/zip_writer.h"
#include "tests/support/fakes/report_reader.h"
#include "tests/support/fakes/temp_dir.h"
#include "support/banks.h"
#include "support/command.h"

extern char** environ;

namespace vardenix {
namespace {

using fakes::ReadFileBytes;
using fakes::ReadReport;
using fakes::TempDir;
using fakes::WriteFileBytes;
using fakes::WriteFileText;

constexpr const char* kScorer = "Vardenix.Test.Scorer";

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

std::string ReadText(const std::string& path) {
  const std::vector<uint8_t> bytes = ReadFileBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

// The argument and environment vectors of a vardenix run: XDG_DATA_HOME points into `dir`, so the
// default registry folder is a fresh one, and TMPDIR is `dir`.
struct CommandLine {
  CommandLine(const TempDir& dir, const std::vector<std::string>& args) {
    argv_s = {VARDENIX_BIN};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    for (std::string& a : argv_s) argv.push_back(a.data());
    argv.push_back(nullptr);
    env_s = {"XDG_DATA_HOME=" + dir / "xdg", "TMPDIR=" + dir.path()};
    for (char** e = environ; *e; ++e) {
      const std::string var = *e;
      if (var.rfind("XDG_DATA_HOME=", 0) != 0 && var.rfind("TMPDIR=", 0) != 0) env_s.push_back(var);
    }
    for (std::string& e : env_s) envp.push_back(e.data());
    envp.push_back(nullptr);
  }
  std::vector<std::string> argv_s;
  std::vector<std::string> env_s;
  std::vector<char*> argv;
  std::vector<char*> envp;
};

int ExitStatus(int wstatus) {
  if (WIFEXITED(wstatus)) return WEXITSTATUS(wstatus);
  return WIFSIGNALED(wstatus) ? 1000 + WTERMSIG(wstatus) : -1;
}

// Runs vardenix with `args`, stdout and stderr captured in files of `dir`.
Outcome Vardenix(const TempDir& dir, const std::vector<std::string>& args) {
  CommandLine line(dir, args);
  std::vector<char*>& argv = line.argv;
  std::vector<char*>& envp = line.envp;

  const std::string out_path = dir / "stdout.txt";
  const std::string err_path = dir / "stderr.txt";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  Outcome outcome;
  if (rc != 0) return outcome;
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  outcome.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
  outcome.out = ReadText(out_path);
  outcome.err = ReadText(err_path);
  return outcome;
}

std::string Describe(const Outcome& o) { return "stdout:\n" + o.out + "\nstderr:\n" + o.err; }

// A zip of a one-file folder, made by the production zip writer.
std::string MakeDocumentZip(const TempDir& dir) {
  fakes::MakeDirs(dir / "doc/sub");
  WriteFileText(dir / "doc/sub/answer.txt", "typed by the candidate\n");
  WriteFileBytes(dir / "doc.zip", ZipFolder(dir / "doc"));
  return dir / "doc.zip";
}

// Arguments of a typical-document check with the scorer module loaded.
std::vector<std::string> DocumentCheck(const TempDir& dir, const std::string& rule_text) {
  return {"check", "--ping-name", kScorer, "--component", TEST_SCORER_MODULE, "--archive", MakeDocumentZip(dir),
          "--rule-text", rule_text, "--quiet"};
}

std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct Question {
  std::string module;
  std::string rec_no;
  std::string answer;
};

// Builds a total bank (subject "S1", each module once) and a subject bank with the questions, all
// through `vardenix bank`; answers are given with --answer, archives with --archive-dir.
void BuildBanks(const TempDir& dir, const std::vector<Question>& questions) {
  ASSERT_EQ(Vardenix(dir, {"bank", "create-total", dir / "total.db"}).status, 0);
  ASSERT_EQ(Vardenix(dir, {"bank", "create-subject", dir / "subject.db"}).status, 0);
  fakes::MakeDirs(dir / "answer/Docs");
  WriteFileText(dir / "answer/Docs/report.txt", "the model answer\n");
  std::vector<std::string> modules;
  for (const Question& q : questions) {
    if (std::find(modules.begin(), modules.end(), q.module) == modules.end()) {
      modules.push_back(q.module);
      const Outcome added =
          Vardenix(dir, {"bank", "add-module", dir / "total.db", "--subject-code", "S1", "--module", q.module});
      ASSERT_EQ(added.status, 0) << Describe(added);
    }
    const Outcome added = Vardenix(dir, {"bank", "add-question", dir / "subject.db", "--module", q.module, "--rec-no",
                                    q.rec_no, "--answer", q.answer, "--archive-dir", dir / "answer"});
    ASSERT_EQ(added.status, 0) << Describe(added);
  }
}

std::vector<std::string> SubjectCheck(const TempDir& dir) {
  return {"check",     "--ping-name",      kScorer, "--component", TEST_SCORER_MODULE, "--total", dir / "total.db",
          "--subject", dir / "subject.db", "--subject-code", "s1"};
}

// The "record <rec_no> (<module>): <outcome>" lines that --verbose prints, in order.
std::vector<std::string> SampledRecords(const std::string& err) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < err.size()) {
    size_t end = err.find('\n', start);
    if (end == std::string::npos) end = err.size();
    const std::string line = err.substr(start, end - start);
    if (line.rfind("  record ", 0) == 0) lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

TEST(CheckCommand, TypicalDocumentVerdictBecomesExitStatusAndTextReport) {
  struct Row {
    const char* name;
    const char* rule;
    int status;
    const char* verdict_line;
  };
  const Row rows[] = {
      {"full marks", "perfect", 0, "verdict: passed\n"},
      {"half marks", "not quite", 1, "verdict: not passed\n"},
  };
  for (const Row& row : rows) {
    TempDir dir;
    const Outcome o = Vardenix(dir, Concat(DocumentCheck(dir, row.rule), {"--seed", "99"}));
    EXPECT_EQ(o.status, row.status) << row.name << "\n" << Describe(o);
    EXPECT_NE(o.out.find(row.verdict_line), std::string::npos) << row.name << "\n" << Describe(o);
    // The seed is the last line, so a run can always be replayed.
    EXPECT_TRUE(o.out.ends_with("seed: 99 (replay with --seed 99)\n")) << row.name << "\n" << Describe(o);
    if (row.status == 1) {
      // The scorer's own text, which shows the rule text and the extraction folder it was given.
      EXPECT_NE(o.out.find("AnsCont=8:not quite;"), std::string::npos) << row.name << "\n" << Describe(o);
    }
  }
}

TEST(CheckCommand, RuleFileIsReadAsUtf8OrGb18030) {
  struct Row {
    const char* name;
    std::string bytes;
    int status;
    const char* shown;  // what the scorer must have been given, in UTF-8
  };
  const Row rows[] = {
      // The mark is dropped: the scorer is given the rule without it.
      {"UTF-8 with a byte-order mark", "\xEF\xBB\xBFnot perfect", 1, "AnsCont=8:not perfect;"},
      {"UTF-8 Chinese", "\xE8\xA7\x84\xE5\x88\x99", 1, "AnsCont=8:\xE8\xA7\x84\xE5\x88\x99;"},  // 规则
      {"GB18030 Chinese", "\xB9\xE6\xD4\xF2", 1, "AnsCont=8:\xE8\xA7\x84\xE5\x88\x99;"},        // 规则
  };
  for (const Row& row : rows) {
    TempDir dir;
    WriteFileText(dir / "rule.txt", row.bytes);
    const Outcome o = Vardenix(dir, {"check", "--ping-name", kScorer, "--component", TEST_SCORER_MODULE, "--archive",
                                MakeDocumentZip(dir), "--rule", dir / "rule.txt", "--quiet"});
    EXPECT_EQ(o.status, row.status) << row.name << "\n" << Describe(o);
    EXPECT_NE(o.out.find(row.shown), std::string::npos) << row.name << "\n" << Describe(o);
  }
}

TEST(CheckCommand, JsonCarriesVerdictBothReportsSeedAndCounts) {
  TempDir dir;
  BuildBanks(dir, {{"Word", "W-1", "perfect"}, {"Word", "W-2", "perfect"}});
  // A subject code without modules: the check records the problem in both reports.
  std::vector<std::string> args = SubjectCheck(dir);
  args[std::find(args.begin(), args.end(), "s1") - args.begin()] = "NO-SUCH-SUBJECT";
  const Outcome failed = Vardenix(dir, Concat(args, {"--json", "--seed", "5", "--ping-path", dir.path()}));
  ASSERT_EQ(failed.status, 1) << Describe(failed);
  const nlohmann::json j = nlohmann::json::parse(failed.out);
  EXPECT_EQ(j.at("verdict"), false);
  EXPECT_FALSE(j.at("errMsg").get<std::string>().empty());
  EXPECT_EQ(j.at("seed"), "5");  // text: a 64-bit seed does not survive a JSON number
  EXPECT_EQ(j.at("pingPath"), dir.path());
  EXPECT_EQ(j.at("counts").at("samples"), 0);
  EXPECT_TRUE(j.at("elapsedSeconds").is_number());
  const fakes::ReportView report = ReadReport(j.at("errMsgXml").get<std::string>());
  EXPECT_TRUE(report.parses);
  EXPECT_EQ(report.root, "RuleErrs");
  EXPECT_EQ(report.entries.size(), 1u) << j.dump(2);

  const Outcome passed = Vardenix(dir, Concat(SubjectCheck(dir), {"--json", "--rate", "1", "--verbose"}));
  ASSERT_EQ(passed.status, 0) << Describe(passed);
  const nlohmann::json k = nlohmann::json::parse(passed.out);
  EXPECT_EQ(k.at("verdict"), true);
  EXPECT_EQ(k.at("errMsg"), "");
  EXPECT_EQ(k.at("errMsgXml"), "");
  EXPECT_EQ(k.at("counts").at("modules"), 1);
  EXPECT_EQ(k.at("counts").at("samples"), SampledRecords(passed.err).size()) << passed.err;
  EXPECT_EQ(k.at("counts").at("failedSamples"), 0);
}

TEST(CheckCommand, XmlFileParsesWithOrWithoutEntries) {
  TempDir dir;
  BuildBanks(dir, {{"Word", "W-1", "perfect"}});
  std::vector<std::string> args = SubjectCheck(dir);
  args[std::find(args.begin(), args.end(), "s1") - args.begin()] = "NO-SUCH-SUBJECT";
  const Outcome failed = Vardenix(dir, Concat(args, {"--xml", dir / "failed.xml"}));
  ASSERT_EQ(failed.status, 1) << Describe(failed);
  const fakes::ReportView failed_report = ReadReport(ReadText(dir / "failed.xml"));
  EXPECT_TRUE(failed_report.parses);
  EXPECT_EQ(failed_report.root, "RuleErrs");
  EXPECT_EQ(failed_report.entries.size(), 1u);
  // The file is UTF-8 and says so, whatever the report string declares.
  EXPECT_EQ(failed_report.declared_encoding, "UTF-8");

  TempDir clean;
  const Outcome passed = Vardenix(clean, Concat(DocumentCheck(clean, "perfect"), {"--xml", clean / "passed.xml"}));
  ASSERT_EQ(passed.status, 0) << Describe(passed);
  const fakes::ReportView passed_report = ReadReport(ReadText(clean / "passed.xml"));
  EXPECT_TRUE(passed_report.parses);
  EXPECT_EQ(passed_report.root, "RuleErrs");
  EXPECT_TRUE(passed_report.entries.empty());
}

TEST(CheckCommand, SameSeedSamplesTheSameRecords) {
  TempDir dir;
  std::vector<Question> questions;
  for (int i = 1; i <= 12; ++i) questions.push_back({"Word", "W-" + std::to_string(i), i == 7 ? "wrong" : "perfect"});
  for (int i = 1; i <= 8; ++i) questions.push_back({"Excel", "E-" + std::to_string(i), "perfect"});
  BuildBanks(dir, questions);
  fakes::MakeDirs(dir / "work");  // one folder, so the scorer's echo of it is the same in both runs
  const std::vector<std::string> args =
      Concat(SubjectCheck(dir), {"--rate", "0.5", "--seed", "7", "--verbose", "--ping-path", dir / "work"});
  const Outcome first = Vardenix(dir, args);
  const Outcome second = Vardenix(dir, args);
  ASSERT_NE(first.status, 2) << Describe(first);
  EXPECT_EQ(first.status, second.status);
  const std::vector<std::string> records = SampledRecords(first.err);
  EXPECT_GE(records.size(), 10u) << first.err;  // at least half of 12 plus half of 8
  EXPECT_EQ(records, SampledRecords(second.err));
  EXPECT_EQ(first.out, second.out);
  // This seed draws the planted failure, which shows in the report and fails the run.
  EXPECT_NE(first.err.find("record W-7 (Word): not passed"), std::string::npos) << Describe(first);
  EXPECT_EQ(first.status, 1) << Describe(first);
}

TEST(CheckCommand, VerboseTellsWhyAnExtractionFailed) {
  TempDir dir;
  WriteFileText(dir / "broken.zip", "this is no zip archive");
  const Outcome o = Vardenix(dir, {"check", "--ping-name", kScorer, "--component", TEST_SCORER_MODULE, "--archive",
                                   dir / "broken.zip", "--rule-text", "perfect", "--verbose", "--ping-path",
                                   dir.path()});
  EXPECT_EQ(o.status, 1) << Describe(o);
  EXPECT_NE(o.err.find("extraction failed: " + dir / "ChkPing.ZIP" + ": "), std::string::npos) << Describe(o);
}

// The answer (23 bytes) passes under the default bound and is refused under 10 bytes, the refusal
// naming the limit and the flag; a malformed size cannot run.
TEST(CheckCommand, MaxExtractSizeBoundsWhatAnExtractionWrites) {
  TempDir dir;
  const Outcome passes = Vardenix(dir, Concat(DocumentCheck(dir, "perfect"), {"--max-extract-size", "1K"}));
  EXPECT_EQ(passes.status, 0) << Describe(passes);
  const Outcome refused =
      Vardenix(dir, Concat(DocumentCheck(dir, "perfect"), {"--max-extract-size", "10"}));
  EXPECT_EQ(refused.status, 1) << Describe(refused);
  EXPECT_NE(refused.out.find("more than 10 bytes"), std::string::npos) << Describe(refused);
  EXPECT_NE(refused.out.find("--max-extract-size"), std::string::npos) << Describe(refused);
  const Outcome malformed = Vardenix(dir, Concat(DocumentCheck(dir, "perfect"), {"--max-extract-size", "lots"}));
  EXPECT_EQ(malformed.status, 2) << Describe(malformed);
  EXPECT_NE(malformed.err.find("--max-extract-size"), std::string::npos) << Describe(malformed);
}

TEST(CheckCommand, CannotRunGivesExitTwoNamingTheProblem) {
  struct Row {
    const char* name;
    std::map<std::string, std::string> change;  // options of a passing check replaced; "" removes one
    const char* message;
  };
  const Row rows[] = {
      {"rate not a number", {{"--rate", "ten percent"}}, "--rate"},
      {"rate not finite", {{"--rate", "inf"}}, "--rate"},
      {"seed not a number", {{"--seed", "-3"}}, "--seed"},
      {"unknown options value", {{"--options", "4"}}, "--options"},
      {"missing archive", {{"--archive", "/nonexistent/model.zip"}}, "/nonexistent/model.zip"},
      {"missing rule file", {{"--rule-text", ""}, {"--rule", "/nonexistent/rule.txt"}}, "/nonexistent/rule.txt"},
      {"subject check without banks", {{"--options", "3"}}, "--total"},
      {"working folder missing", {{"--ping-path", "/nonexistent/work"}}, "/nonexistent/work"},
      {"module that is no module", {{"--component", "/nonexistent/scorer.so"}}, "/nonexistent/scorer.so"},
  };
  for (const Row& row : rows) {
    TempDir dir;
    std::map<std::string, std::string> options = {{"--ping-name", kScorer},
                                                  {"--component", TEST_SCORER_MODULE},
                                                  {"--archive", MakeDocumentZip(dir)},
                                                  {"--rule-text", "perfect"}};
    for (const auto& [name, value] : row.change) options[name] = value;
    std::vector<std::string> args = {"check", "--quiet"};
    for (const auto& [name, value] : options) {
      if (value.empty()) continue;
      args.push_back(name);
      args.push_back(value);
    }
    const Outcome o = Vardenix(dir, args);
    EXPECT_EQ(o.status, 2) << row.name << "\n" << Describe(o);
    EXPECT_NE(o.err.find(row.message), std::string::npos) << row.name << "\n" << Describe(o);
    EXPECT_EQ(o.out, "") << row.name;
  }
}

// A missing bank, a file that is no bank and a scoring component that is not installed are faults of
// the set-up under check: the command used to refuse them with exit 2 before the check ran, so the
// host never saw the reports the check gives for them.
TEST(CheckCommand, FaultsOfTheSetUpComeBackAsTheVerdictAndReports) {
  struct Row {
    const char* name;
    std::map<std::string, std::string> change;  // options of a passing check of both kinds replaced
    std::vector<std::string> reported;          // texts the report on stdout holds ("@" is the folder)
  };
  const Row rows[] = {
      {"missing total bank", {{"--total", "@/none/total.db"}}, {"对题库进行检测时出错", "指定的@/none/total.db库不存在"}},
      {"missing subject bank", {{"--subject", "@/none/subject.db"}}, {"指定的科目库[@/none/subject.db]不存在"}},
      {"total bank that is no database", {{"--total", "@/doc.zip"}}, {"对指定的题型进行检测时出现运行时错误"}},
      {"unknown ProgID", {{"--ping-name", "Acme.NoSuchScorer"}}, {"对典型文档进行检测时出现运行时错误", "Acme.NoSuchScorer"}},
  };
  TempDir dir;
  BuildBanks(dir, {{"Word", "W-1", "perfect"}});
  const auto expand = [&dir](std::string text) {
    for (size_t at = text.find('@'); at != std::string::npos; at = text.find('@', at + 1)) text.replace(at, 1, dir.path());
    return text;
  };
  for (const Row& row : rows) {
    std::map<std::string, std::string> options = {{"--ping-name", kScorer},     {"--component", TEST_SCORER_MODULE},
                                                  {"--archive", MakeDocumentZip(dir)}, {"--rule-text", "perfect"},
                                                  {"--total", dir / "total.db"},  {"--subject", dir / "subject.db"},
                                                  {"--subject-code", "s1"},       {"--rate", "1"}};
    for (const auto& [name, value] : row.change) options[name] = expand(value);
    std::vector<std::string> args = {"check", "--quiet"};
    for (const auto& [name, value] : options) {
      args.push_back(name);
      args.push_back(value);
    }
    const Outcome o = Vardenix(dir, args);
    EXPECT_EQ(o.status, 1) << row.name << "\n" << Describe(o);
    EXPECT_NE(o.out.find("verdict: not passed\n"), std::string::npos) << row.name << "\n" << Describe(o);
    for (const std::string& text : row.reported) {
      EXPECT_NE(o.out.find(expand(text)), std::string::npos) << row.name << ": " << expand(text) << "\n" << Describe(o);
    }
  }
}

// The XML report is written after the check; a path that cannot take it was found out only then,
// after the check had run (a subject check can take minutes), and its verdict and report were lost.
TEST(CheckCommand, XmlFileThatCannotBeWrittenStopsTheCommandBeforeTheCheckRuns) {
  struct Row {
    const char* name;
    std::string (*xml)(const TempDir& dir);
  };
  const Row rows[] = {
      {"folder missing", [](const TempDir& dir) { return dir / "missing/report.xml"; }},
      {"a folder", [](const TempDir& dir) { return dir.path(); }},
      {"under a file", [](const TempDir& dir) { return dir / "doc.zip/report.xml"; }},
  };
  for (const Row& row : rows) {
    TempDir dir;
    fakes::MakeDirs(dir / "work");
    const std::string xml = row.xml(dir);
    const Outcome o = Vardenix(dir, Concat(DocumentCheck(dir, "perfect"), {"--ping-path", dir / "work", "--xml", xml}));
    EXPECT_EQ(o.status, 2) << row.name << "\n" << Describe(o);
    EXPECT_NE(o.err.find(xml), std::string::npos) << row.name << "\n" << Describe(o);
    EXPECT_EQ(o.out, "") << row.name;
    EXPECT_FALSE(fakes::PathExists(dir / "work/ChkPing.ZIP")) << row.name << ": the check ran";
  }
}

// Without --options, a subject check given only in part was left out: with --archive the command
// answered "passed" (exit 0) for a bank it never looked at.
TEST(CheckCommand, SubjectCheckGivenInPartIsRefusedNotLeftOut) {
  struct Row {
    const char* name;
    std::vector<std::string> args;  // added to a passing typical-document check
    const char* message;
  };
  TempDir dir;
  BuildBanks(dir, {{"Word", "W-1", "perfect"}});
  const Row rows[] = {
      {"no subject bank", {"--total", dir / "total.db", "--subject-code", "s1"}, "--subject DB"},
      {"no total bank", {"--subject", dir / "subject.db", "--subject-code", "s1"}, "--total DB"},
      {"no subject code", {"--total", dir / "total.db", "--subject", dir / "subject.db"}, "--subject-code"},
      {"subject code alone", {"--subject-code", "s1"}, "--total DB"},
  };
  for (const Row& row : rows) {
    const Outcome o = Vardenix(dir, Concat(DocumentCheck(dir, "perfect"), row.args));
    EXPECT_EQ(o.status, 2) << row.name << "\n" << Describe(o);
    EXPECT_NE(o.err.find(row.message), std::string::npos) << row.name << "\n" << Describe(o);
    EXPECT_EQ(o.out, "") << row.name;
  }
}

// The folders "vardenix-check-*" that the command made under TMPDIR (the test's folder).
std::vector<std::string> TemporaryFolders(const TempDir& dir) {
  std::vector<std::string> found;
  for (const std::string& entry : fakes::ListTree(dir.path())) {
    if (entry.rfind("vardenix-check-", 0) == 0 && entry.find('/') == std::string::npos) found.push_back(entry);
  }
  return found;
}

// Each check without --ping-path left its folder, archive and extraction in /tmp.
TEST(CheckCommand, NewWorkingFolderIsRemovedUnlessKept) {
  struct Row {
    const char* name;
    const char* rule;
    std::vector<std::string> extra;
    int status;
    bool kept;
  };
  const Row rows[] = {
      {"passed", "perfect", {}, 0, false},
      {"not passed", "not quite", {}, 1, false},
      {"kept with --keep", "perfect", {"--keep"}, 0, true},
  };
  for (const Row& row : rows) {
    TempDir dir;
    std::vector<std::string> args = {"check", "--ping-name", kScorer, "--component", TEST_SCORER_MODULE, "--archive",
                                     MakeDocumentZip(dir), "--rule-text", row.rule};
    args = Concat(args, row.extra);
    const Outcome o = Vardenix(dir, args);
    EXPECT_EQ(o.status, row.status) << row.name << "\n" << Describe(o);
    const std::vector<std::string> left = TemporaryFolders(dir);
    if (!row.kept) {
      EXPECT_TRUE(left.empty()) << row.name << ": " << ::testing::PrintToString(left);
      continue;
    }
    ASSERT_EQ(left.size(), 1u) << row.name;
    EXPECT_NE(o.err.find("working folder: " + dir / left[0]), std::string::npos) << row.name << "\n" << Describe(o);
    EXPECT_TRUE(fakes::PathExists(dir / (left[0] + "/ChkPing.ZIP"))) << row.name;
    EXPECT_TRUE(fakes::PathExists(dir / (left[0] + "/sub/answer.txt"))) << row.name;
  }
}

// A file left in the working folder (by yesterday's check, say) can make an answer pass that lacks it;
// the command says so when the folder given to --ping-path holds anything.
TEST(CheckCommand, WorkingFolderThatHoldsFilesIsWarnedAbout) {
  struct Row {
    const char* name;
    void (*fill)(const std::string& folder);
    bool warned;
  };
  const Row rows[] = {
      {"empty folder", [](const std::string&) {}, false},
      {"a file left there", [](const std::string& f) { WriteFileText(f + "/old.txt", "x"); }, true},
      {"an empty folder left there", [](const std::string& f) { fakes::MakeDirs(f + "/考生"); }, true},
  };
  for (const Row& row : rows) {
    TempDir dir;
    fakes::MakeDirs(dir / "work");
    row.fill(dir / "work");
    const Outcome o = Vardenix(dir, Concat(DocumentCheck(dir, "perfect"), {"--ping-path", dir / "work"}));
    EXPECT_EQ(o.status, 0) << row.name << "\n" << Describe(o);
    const bool warned = o.err.find("already holds files") != std::string::npos;
    EXPECT_EQ(warned, row.warned) << row.name << "\n" << Describe(o);
    if (warned) {
      EXPECT_NE(o.err.find("empty folder"), std::string::npos) << row.name << "\n" << Describe(o);
    }
    // The given folder is the host's: it is never removed.
    EXPECT_TRUE(fakes::PathExists(dir / "work/ChkPing.ZIP")) << row.name;
  }
}

// A vardenix run going on in the background: stdout in a file of `dir`, stderr read through a pipe.
struct Running {
  pid_t pid = -1;
  int err_fd = -1;
  std::string err;
  std::string out_path;
};

Running Start(const TempDir& dir, const std::vector<std::string>& args, const std::string& out_name = "bg.txt") {
  CommandLine line(dir, args);
  Running r;
  r.out_path = dir / out_name;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return r;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, r.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
  const int rc = posix_spawn(&r.pid, line.argv[0], &actions, nullptr, line.argv.data(), line.envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  if (rc != 0) r.pid = -1;
  r.err_fd = fds[0];
  return r;
}

// Reads stderr until it holds `text`; false when the process closed it first.
bool WaitForStderr(Running& r, const std::string& text) {
  char buffer[4096];
  while (r.err.find(text) == std::string::npos) {
    const ssize_t n = ::read(r.err_fd, buffer, sizeof buffer);
    if (n <= 0) return false;
    r.err.append(buffer, static_cast<size_t>(n));
  }
  return true;
}

Outcome Finish(Running& r) {
  WaitForStderr(r, std::string(1, '\0'));  // reads to the end
  ::close(r.err_fd);
  int wstatus = 0;
  ::waitpid(r.pid, &wstatus, 0);
  return Outcome{ExitStatus(wstatus), ReadText(r.out_path), r.err};
}

// A report file used to be written in place: a full disk left a truncated report and, since the
// write error ended the command, no verdict at all. A file-size limit makes every write past a few
// bytes fail, as a full disk does (the check itself then fails too, since it cannot stage its archive).
TEST(CheckCommand, OutputFileThatCannotBeWrittenLeavesTheEarlierFileAndTheVerdictOnStdout) {
  TempDir dir;
  const std::string report = dir / "report.xml";
  WriteFileText(report, "<RuleErrs/>");
  CommandLine line(dir, Concat(DocumentCheck(dir, "perfect"), {"--ping-path", dir.path(), "--xml", report}));
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const struct rlimit limit = {16, 16};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    ::signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails with EFBIG instead of ending the process
    ::dup2(fds[1], STDOUT_FILENO);
    ::dup2(fds[1], STDERR_FILENO);
    ::execve(line.argv[0], line.argv.data(), line.envp.data());
    ::_exit(127);
  }
  ::close(fds[1]);
  Running r;
  r.pid = pid;
  r.err_fd = fds[0];
  r.out_path = dir / "unused.txt";
  WriteFileText(r.out_path, "");
  const Outcome o = Finish(r);  // stdout and stderr together, in `err`
  EXPECT_EQ(o.status, 2) << o.err;
  EXPECT_NE(o.err.find("verdict: not passed\n"), std::string::npos) << o.err;
  EXPECT_NE(o.err.find("cannot write " + report), std::string::npos) << o.err;
  EXPECT_LT(o.err.find("verdict: not passed"), o.err.find("cannot write " + report)) << o.err;
  EXPECT_EQ(ReadText(report), "<RuleErrs/>");
  for (const std::string& entry : fakes::ListTree(dir.path())) {
    EXPECT_EQ(entry.find(".part"), std::string::npos) << entry;
  }
}

// Two commands on one working folder collided on ChkPing.ZIP and answered wrong verdicts.
TEST(CheckCommand, ASecondCommandOnTheSameWorkingFolderWaitsOrStops) {
  TempDir dir;
  fakes::MakeDirs(dir / "work");
  // The test holds the lock as a running command would.
  const int held = ::open((dir / "work").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);

  const std::vector<std::string> args = Concat(DocumentCheck(dir, "perfect"), {"--ping-path", dir / "work"});
  const Outcome refused = Vardenix(dir, Concat(args, {"--no-wait"}));
  EXPECT_EQ(refused.status, 2) << Describe(refused);
  EXPECT_NE(refused.err.find("another check is using the working folder " + dir / "work"), std::string::npos)
      << Describe(refused);
  EXPECT_EQ(refused.out, "");
  EXPECT_FALSE(fakes::PathExists(dir / "work/ChkPing.ZIP"));

  Running waiting = Start(dir, args);
  ASSERT_TRUE(WaitForStderr(waiting, "waiting for another check")) << waiting.err;
  EXPECT_FALSE(fakes::PathExists(dir / "work/ChkPing.ZIP")) << "the check ran while the folder was held";
  ::close(held);
  const Outcome waited = Finish(waiting);
  EXPECT_EQ(waited.status, 0) << Describe(waited);
  EXPECT_NE(waited.out.find("verdict: passed\n"), std::string::npos) << Describe(waited);
}

// Ctrl-C used to end the command at once with nothing on stdout; a long check is now stopped
// between samples, shows what it had, and removes its new working folder.
TEST(CheckCommand, CtrlCAndSigtermStopBetweenSamplesAndShowWhatWasDone) {
  struct Row {
    const char* name;
    int signal;
    int status;
  };
  const Row rows[] = {{"Ctrl-C", SIGINT, 130}, {"SIGTERM", SIGTERM, 143}};
  for (const Row& row : rows) {
    TempDir dir;
    support::WriteTotalBank(dir / "total.db", support::OperationModules("S1", {"Word"}));
    support::WriteBankWithModules(dir / "subject.db", {{"Word", 2000}}, ZipFolder(dir.path()));
    Running r = Start(dir, {"check", "--ping-name", kScorer, "--component", TEST_SCORER_MODULE, "--total",
                            dir / "total.db", "--subject", dir / "subject.db", "--subject-code", "S1", "--rate", "1",
                            "--verbose"});
    ASSERT_TRUE(WaitForStderr(r, "  record ")) << row.name << "\n" << r.err;
    ::kill(r.pid, row.signal);
    const Outcome o = Finish(r);
    EXPECT_EQ(o.status, row.status) << row.name << "\n" << Describe(o);
    EXPECT_NE(o.out.find("verdict: interrupted\n"), std::string::npos) << row.name << "\n" << Describe(o);
    const size_t sampled = o.out.find("summary: ");
    ASSERT_NE(sampled, std::string::npos) << row.name << "\n" << Describe(o);
    EXPECT_NE(o.out.find("summary: 0 "), sampled) << row.name << "\n" << Describe(o);
    EXPECT_TRUE(TemporaryFolders(dir).empty()) << row.name;
  }
}

TEST(CheckCommand, NothingToCheckSaysWhatToGive) {
  TempDir dir;
  const Outcome o = Vardenix(dir, {"check", "--ping-name", kScorer, "--component", TEST_SCORER_MODULE});
  EXPECT_EQ(o.status, 2) << Describe(o);
  EXPECT_NE(o.err.find("--archive"), std::string::npos) << o.err;
  EXPECT_NE(o.err.find("--subject"), std::string::npos) << o.err;
}

TEST(RegistryCommands, RegisteredComponentIsCreatedByProgIdAlone) {
  TempDir dir;
  const std::string registry = dir / "registry";
  const Outcome reg = Vardenix(dir, {"register", TEST_SCORER_MODULE, "--registry", registry});
  ASSERT_EQ(reg.status, 0) << Describe(reg);
  const Outcome listed = Vardenix(dir, {"components", "--registry", registry});
  EXPECT_NE(listed.out.find(kScorer), std::string::npos) << Describe(listed);

  const std::vector<std::string> check = {"check", "--ping-name", kScorer, "--registry", registry, "--archive",
                                          MakeDocumentZip(dir), "--rule-text", "perfect", "--quiet"};
  EXPECT_EQ(Vardenix(dir, check).status, 0);

  ASSERT_EQ(Vardenix(dir, {"unregister", TEST_SCORER_MODULE, "--registry", registry}).status, 0);
  EXPECT_EQ(Vardenix(dir, {"components", "--registry", registry}).out.find(kScorer), std::string::npos);
  // A component that is no longer installed is a fault of the set-up: the check reports it.
  const Outcome gone = Vardenix(dir, check);
  EXPECT_EQ(gone.status, 1) << Describe(gone);
  EXPECT_NE(gone.out.find(kScorer), std::string::npos) << Describe(gone);
}

TEST(RegistryCommands, DefaultRegistryFolderIsUnderXdgDataHome) {
  TempDir dir;
  ASSERT_EQ(Vardenix(dir, {"register", TEST_SCORER_MODULE}).status, 0);
  const Outcome listed = Vardenix(dir, {"components"});
  EXPECT_NE(listed.out.find("registry: " + dir / "xdg/vardenix/registry"), std::string::npos) << Describe(listed);
  EXPECT_NE(listed.out.find(kScorer), std::string::npos) << Describe(listed);
}

TEST(BankCommand, BankItBuildsIsReadBackByTheCheck) {
  TempDir dir;
  BuildBanks(dir, {{"Word", "W-1", "perfect"}, {"Word", "W-2", "perfect"}, {"Excel", "E-1", "perfect"}});
  const Outcome passed = Vardenix(dir, Concat(SubjectCheck(dir), {"--rate", "1", "--verbose"}));
  EXPECT_EQ(passed.status, 0) << Describe(passed);
  // Every question was drawn and graded from the archive the bank command zipped.
  EXPECT_NE(passed.err.find("record E-1 (Excel): passed"), std::string::npos) << passed.err;
  EXPECT_EQ(passed.err.find("extraction failed"), std::string::npos) << passed.err;

  // An answer file and a zip file as the archive; the planted answer falls short.
  WriteFileText(dir / "answer.txt", "wrong\n");
  ASSERT_EQ(Vardenix(dir, {"bank", "add-module", dir / "total.db", "--subject-code", "S1", "--module", "PPT",
                            "--contract", "2"})
                .status,
            0);
  const Outcome added = Vardenix(dir, {"bank", "add-question", dir / "subject.db", "--module", "PPT", "--rec-no", "P-1",
                                       "--answer-file", dir / "answer.txt", "--archive", MakeDocumentZip(dir)});
  ASSERT_EQ(added.status, 0) << Describe(added);
  const Outcome failed = Vardenix(dir, Concat(SubjectCheck(dir), {"--rate", "1", "--verbose", "--seed", "1"}));
  EXPECT_EQ(failed.status, 1) << Describe(failed);
  EXPECT_NE(failed.err.find("record P-1 (PPT): not passed"), std::string::npos) << failed.err;
  EXPECT_NE(failed.out.find("AnsCont=8:wrong;"), std::string::npos) << failed.out;
  // The module row carries its contract: asking for another contract leaves it out.
  const Outcome other_contract = Vardenix(dir, Concat(SubjectCheck(dir), {"--contract", "1", "--verbose"}));
  EXPECT_EQ(other_contract.status, 1) << Describe(other_contract);  // no module has contract 1
  EXPECT_EQ(other_contract.err.find("module "), std::string::npos) << Describe(other_contract);
  EXPECT_NE(other_contract.out.find("summary: 0 records graded"), std::string::npos) << Describe(other_contract);
  const Outcome its_contract = Vardenix(dir, Concat(SubjectCheck(dir), {"--contract", "2", "--verbose"}));
  EXPECT_EQ(its_contract.status, 1) << Describe(its_contract);
  EXPECT_NE(its_contract.err.find("module 1 of 1: PPT"), std::string::npos) << its_contract.err;

  const Outcome listed = Vardenix(dir, {"bank", "list", dir / "subject.db"});
  EXPECT_EQ(listed.status, 0);
  EXPECT_NE(listed.out.find("module PPT: 1 question\n"), std::string::npos) << listed.out;
  EXPECT_NE(listed.out.find("module Word: 2 questions"), std::string::npos) << listed.out;
}

TEST(BankCommand, RefusesWhatWouldDamageABank) {
  TempDir dir;
  BuildBanks(dir, {{"Word", "W-1", "perfect"}});
  struct Row {
    const char* name;
    std::vector<std::string> args;
    const char* message;
  };
  const Row rows[] = {
      {"overwrite a bank", {"bank", "create-total", dir / "total.db"}, "--force"},
      {"a record number twice", {"bank", "add-question", dir / "subject.db", "--module", "Word", "--rec-no", "w-1",
                                 "--answer", "x", "--archive-dir", dir / "answer"}, "w-1"},
      {"a question into a total bank", {"bank", "add-question", dir / "total.db", "--module", "Word", "--rec-no",
                                        "W-9", "--answer", "x", "--archive-dir", dir / "answer"}, "Tbl_Public"},
      {"a module into a subject bank", {"bank", "add-module", dir / "subject.db", "--subject-code", "S1", "--module",
                                        "Word"}, "Tbl_Contract"},
      {"no archive", {"bank", "add-question", dir / "subject.db", "--module", "Word", "--rec-no", "W-9",
                      "--answer", "x"}, "--archive"},
      {"a missing bank", {"bank", "add-module", dir / "none.db", "--subject-code", "S1", "--module", "Word"},
       "none.db"},
  };
  for (const Row& row : rows) {
    const Outcome o = Vardenix(dir, row.args);
    EXPECT_EQ(o.status, 2) << row.name << "\n" << Describe(o);
    EXPECT_NE(o.err.find(row.message), std::string::npos) << row.name << "\n" << Describe(o);
  }
  EXPECT_FALSE(fakes::PathExists(dir / "none.db"));
  // The banks are as they were, and --force replaces one with an empty bank.
  EXPECT_NE(Vardenix(dir, {"bank", "list", dir / "subject.db"}).out.find("module Word: 1 question\n"), std::string::npos);
  ASSERT_EQ(Vardenix(dir, {"bank", "create-total", "--force", dir / "total.db"}).status, 0);
  EXPECT_NE(Vardenix(dir, {"bank", "list", dir / "total.db"}).out.find("0 rows in Tbl_Contract"), std::string::npos);
}

// A cgroup of the test's own with a CPU quota, in cgroup v2 or v1's cpu hierarchy, or the reason
// none can be made (not root, no CPU controller). Removed when it goes out of scope.
struct QuotaCgroup {
  std::string folder;   // empty when none could be made
  std::string procs;    // the file a process is moved in through
  std::string why_not;

  QuotaCgroup(long quota, long period) {
    std::ifstream mounts("/proc/self/mountinfo");
    std::string line, v2, v1;
    while (std::getline(mounts, line)) {
      const size_t dash = line.find(" - ");
      if (dash == std::string::npos) continue;
      std::istringstream before(line.substr(0, dash)), after(line.substr(dash + 3));
      std::string id, parent, dev, root, mount_point, type, source, options;
      before >> id >> parent >> dev >> root >> mount_point;
      after >> type >> source >> options;
      if (type == "cgroup2" && v2.empty()) v2 = mount_point;
      if (type == "cgroup" && ("," + options + ",").find(",cpu,") != std::string::npos && v1.empty()) v1 = mount_point;
    }
    const std::string name = "/vardenix-test-" + std::to_string(::getpid());
    if (!v2.empty() && ReadText(v2 + "/cgroup.controllers").find("cpu") != std::string::npos) {
      std::ofstream(v2 + "/cgroup.subtree_control") << "+cpu";
      if (::mkdir((v2 + name).c_str(), 0755) == 0) {
        std::ofstream(v2 + name + "/cpu.max") << quota << " " << period;
        if (ReadText(v2 + name + "/cpu.max").rfind(std::to_string(quota) + " ", 0) == 0) {
          folder = v2 + name;
          procs = folder + "/cgroup.procs";
          return;
        }
        ::rmdir((v2 + name).c_str());
      }
    }
    if (!v1.empty() && ::mkdir((v1 + name).c_str(), 0755) == 0) {
      std::ofstream(v1 + name + "/cpu.cfs_period_us") << period;
      std::ofstream(v1 + name + "/cpu.cfs_quota_us") << quota;
      if (ReadText(v1 + name + "/cpu.cfs_quota_us") == std::to_string(quota) + "\n") {
        folder = v1 + name;
        procs = folder + "/cgroup.procs";
        return;
      }
      ::rmdir((v1 + name).c_str());
    }
    why_not = "no cgroup with a CPU quota can be made here (needs root and a cgroup v2 or v1 CPU controller)";
  }
  ~QuotaCgroup() {
    if (!folder.empty()) ::rmdir(folder.c_str());
  }
};

// The workers of a sweep default to the CPUs the process may use: its affinity (taskset, a Slurm
// task's allocation), bounded by its cgroup's CPU quota (a container); --verbose says how many and
// why, and that workers share CPUs when --jobs asks for more.
TEST(CheckCommand, SweepWorkersDefaultToTheCpusTheProcessMayUse) {
  TempDir dir;
  BuildBanks(dir, {{"Docs", "R1", "perfect"}, {"Docs", "R2", "perfect"}});
  const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
  std::string every_cpu = "0";
  if (online > 1) every_cpu += "-" + std::to_string(online - 1);
  cpu_set_t own;
  CPU_ZERO(&own);
  const bool whole_machine = ::sched_getaffinity(0, sizeof own, &own) == 0 && CPU_COUNT(&own) == online;

  struct Row {
    const char* name;
    std::vector<std::string> prefix;  // what the command runs under
    long quota;                       // a cgroup's CPU quota per 100000 us; 0: none
    std::vector<std::string> extra;
    std::string expected;             // the line --verbose prints
  };
  const std::vector<Row> rows = {
      {"without limits", {}, 0, {},
       std::to_string(online) + (online == 1 ? " worker" : " workers") +
           ": the CPUs this process may use (affinity " + every_cpu + ")"},
      {"taskset -c 0", {"taskset", "-c", "0"}, 0, {}, "1 worker: the CPUs this process may use (affinity 0)"},
      {"more jobs than CPUs", {"taskset", "-c", "0"}, 0, {"--jobs", "3"},
       "3 workers share 1 CPU (the CPUs this process may use (affinity 0))"},
      {"a cgroup quota of 1", {}, 100000, {}, online >= 2 ? "1 worker: the cgroup's CPU quota of 1.0" : "1 worker"},
      {"a cgroup quota of 1.5", {}, 150000, {}, online >= 2 ? "2 workers: " : "1 worker"},
  };
  for (const Row& row : rows) {
    if (std::string(row.name) == "without limits" && !whole_machine) {
      std::cout << "[ SKIPPED  ] " << row.name << ": this test runs on fewer CPUs than the machine has\n";
      continue;
    }
    std::vector<std::string> args = row.prefix;
    args.push_back(VARDENIX_BIN);
    for (const std::string& a : Concat(SubjectCheck(dir), {"--all", "--verbose"})) args.push_back(a);
    for (const std::string& a : row.extra) args.push_back(a);
    std::optional<QuotaCgroup> cgroup;
    if (row.quota > 0) {
      cgroup.emplace(row.quota, 100000);
      if (cgroup->folder.empty()) {
        std::cout << "[ SKIPPED  ] " << row.name << ": " << cgroup->why_not << "\n";
        continue;
      }
      // The shell moves itself into the cgroup and becomes the command.
      args.insert(args.begin(), {"sh", "-c", "echo $$ > \"$0\" && exec \"$@\"", cgroup->procs});
    }
    const support::CommandOutcome o = support::RunCommand(args[0], {args.begin() + 1, args.end()}, dir.path());
    EXPECT_EQ(o.status, 0) << row.name << "\n" << o.Describe();
    EXPECT_NE(o.err.find(row.expected), std::string::npos) << row.name << ": expected \"" << row.expected << "\"\n"
                                                            << o.err;
  }
}

// A word the command does not know is named, with the nearest known one, and a typical document
// without its rule is refused; a value that looks like a
// flag is still taken as the value of the option before it.
TEST(CheckCommand, LineFaultsSayWhatIsWrongAndTheNearestKnownWord) {
  TempDir dir;
  struct Row {
    std::vector<std::string> args;
    std::string said;
  };
  const Row rows[] = {
      {{"chek"}, "unknown command \"chek\"; did you mean \"check\"?"},
      {{"check", "--ping-name", "X", "--seeed", "7"}, "unknown option \"--seeed\" for \"vardenix check\"; did you mean \"--seed\"?"},
      {{"check", "--json", "--sandbx", "--ping-name", "X"}, "did you mean \\\"--sandbox\\\"?"},
      {{"bank", "lst"}, "unknown command \"bank lst\"; did you mean \"bank list\"?"},
      {{"components", "--registy", "r"}, "unknown option \"--registy\" for \"vardenix components\"; did you mean \"--registry\"?"},
      {{"frobnicate"}, "unknown command \"frobnicate\"\n"},
      {{"check", "--ping-name", "X", "--archive", "a.zip"}, "needs the archive's rule: give --rule FILE or --rule-text TEXT"},
  };
  for (const Row& row : rows) {
    const Outcome o = Vardenix(dir, row.args);
    EXPECT_EQ(o.status, 2) << row.args[0] << "\n" << Describe(o);
    EXPECT_NE((o.err + o.out).find(row.said), std::string::npos) << row.said << "\n" << Describe(o);
  }
  // "--seeed" here is the text of a rule, not a flag: the line's fault is elsewhere.
  const Outcome value = Vardenix(dir, {"check", "--ping-name", "X", "--rule-text", "--seeed"});
  EXPECT_EQ(value.err.find("unknown option"), std::string::npos) << Describe(value);
}

}  // namespace
}  // namespace vardenix
