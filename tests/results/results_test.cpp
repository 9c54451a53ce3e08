// What `vardenix check` tells people and programs about each record: the real binary on real banks,
// real zip archives and a real component module whose answer text picks the outcome.
#include <fcntl.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

#include <nlohmann/json.hpp>
#include <fstream>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "authoring/zip_writer.h"
#include "hosting/component_records.h"
#include "tests/support/fakes/report_reader.h"
#include "tests/support/fakes/temp_dir.h"
#include "platform/xml_dom.h"
#include "support/banks.h"
#include "support/command.h"

namespace vardenix {
namespace {

using fakes::TempDir;
using support::Bytes;
using support::CommandOutcome;

constexpr const char* kScorer = "Vardenix.Test.Results";
const std::string kSchema = std::string(VARDENIX_SOURCE_DIR) + "/docs/check-result.schema.json";

CommandOutcome Vardenix(const TempDir& dir, const std::vector<std::string>& args,
                        const std::vector<std::string>& env = {}) {
  std::vector<std::string> all_env = {"XDG_DATA_HOME=" + dir / "xdg", "TMPDIR=" + dir.path()};
  all_env.insert(all_env.end(), env.begin(), env.end());
  return support::RunCommand(VARDENIX_BIN, args, dir.path(), all_env);
}

std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::vector<uint8_t> AnswerZip(const TempDir& dir) {
  fakes::MakeDirs(dir / "answer/doc");
  fakes::WriteFileText(dir / "answer/doc/report.txt", "the model answer\n");
  return ZipFolder(dir / "answer");
}

// Subject "S1": module Empty (no questions), Excel (one that passes) and Word, whose records have
// every outcome in turn.
void WriteBanks(const TempDir& dir) {
  support::WriteTotalBank(dir / "total.db", support::OperationModules("S1", {"Word", "Excel", "Empty"}));
  const std::vector<uint8_t> zip = AnswerZip(dir);
  std::vector<support::Question> questions = {
      {"Word", "W-1", "perfect", zip},
      {"Word", "W-2", "short", zip},
      {"Word", "W-3", "perfect", zip, /*in_operation=*/false},
      {"Word", "W-4", std::nullopt, zip},
      {"Word", "W-5", "perfect", std::nullopt},
      {"Word", "W-6", "perfect", Bytes("this is no zip archive")},
      {"Word", "W-7", "explode", zip},
      {"Word", "W-8", "ill-formed", zip},
      {"Excel", "E-1", "perfect", zip},
  };
  support::WriteSubjectBank(dir / "subject.db", questions);
}

std::vector<std::string> SubjectCheck(const TempDir& dir) {
  return {"check",     "--ping-name",      kScorer,         "--component",  RESULTS_SCORER_MODULE, "--total",
          dir / "total.db", "--subject", dir / "subject.db", "--subject-code", "S1", "--ping-path", dir.path(),
          "--quiet"};
}

std::vector<std::string> DocumentCheck(const TempDir& dir, const std::string& rule) {
  fakes::WriteFileBytes(dir / "typical.zip", AnswerZip(dir));
  return {"check", "--ping-name", kScorer, "--component", RESULTS_SCORER_MODULE, "--archive", dir / "typical.zip",
          "--rule-text", rule, "--ping-path", dir.path(), "--quiet"};
}

nlohmann::json Json(const CommandOutcome& o) {
  try {
    return nlohmann::json::parse(o.out);
  } catch (const std::exception& e) {
    ADD_FAILURE() << "stdout is not one JSON object: " << e.what() << "\n" << o.Describe();
    return nlohmann::json::object();
  }
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// (module, record number, draw) of every bank record of a JSON result, in order.
std::vector<std::string> Draws(const nlohmann::json& j) {
  std::vector<std::string> draws;
  for (const auto& r : j.at("records")) {
    if (r.at("kind") == "record") {
      draws.push_back(r.at("module").get<std::string>() + " " + r.at("recNo").get<std::string>() + " #" +
                      std::to_string(r.at("draw").get<int>()));
    }
  }
  return draws;
}

TEST(CheckResults, EveryRecordOfASweepCarriesItsOutcomeInJson) {
  TempDir dir;
  WriteBanks(dir);
  const CommandOutcome o = Vardenix(dir, Concat(SubjectCheck(dir), {"--all", "--json", "--seed", "18446744073709551615"}));
  ASSERT_EQ(o.status, 1) << o.Describe();
  const nlohmann::json j = Json(o);
  // The full 64-bit seed, as text: a JSON number would lose it.
  EXPECT_EQ(j.at("seed"), "18446744073709551615");
  EXPECT_EQ(j.at("mode"), "all");

  struct Row {
    const char* rec_no;
    const char* outcome;
    const char* details;  // part of the details ("" for none)
    double score;         // < 0: null
  };
  const Row rows[] = {
      {"E-1", "passed", "", 100},
      {"W-1", "passed", "", 100},
      {"W-2", "failed", "", 50},
      {"W-3", "notGraded", "Tbl_Operation", -1},
      {"W-4", "notGraded", "answer text", -1},
      {"W-5", "notGraded", "archive", -1},
      {"W-6", "refusedArchive", "", -1},
      {"W-7", "runTimeFailure", "unknown rule kind", -1},
      {"W-8", "failed", "", 50},
  };
  const nlohmann::json& records = j.at("records");
  ASSERT_EQ(records.size(), std::size(rows)) << j.dump(2);
  for (size_t i = 0; i < std::size(rows); ++i) {
    const Row& row = rows[i];
    const nlohmann::json& r = records[i];
    EXPECT_EQ(r.at("recNo"), row.rec_no) << row.rec_no;
    EXPECT_EQ(r.at("kind"), "record") << row.rec_no;
    EXPECT_EQ(r.at("outcome"), row.outcome) << row.rec_no << "\n" << r.dump(2);
    EXPECT_NE(r.at("details").get<std::string>().find(row.details), std::string::npos) << row.rec_no << "\n" << r.dump(2);
    if (row.score < 0) {
      EXPECT_TRUE(r.at("score").is_null()) << row.rec_no;
    } else {
      EXPECT_EQ(r.at("score").get<double>(), row.score) << row.rec_no;
    }
    EXPECT_EQ(r.at("reason").get<std::string>().empty(), std::string(row.outcome) == "passed") << row.rec_no;
  }
  // The draw counts within its module; the archive control said why it refused W-6.
  EXPECT_EQ(records[2].at("draw"), 2);
  EXPECT_FALSE(records[6].at("details").get<std::string>().empty());
  // A failing record's report is a UTF-8 document a JSON consumer can parse.
  const fakes::ReportView w2 = fakes::ReadReport(records[2].at("errMsgXml").get<std::string>());
  EXPECT_TRUE(w2.parses);
  EXPECT_EQ(w2.declared_encoding, "UTF-8");
  EXPECT_EQ(w2.Field("Rule"), std::vector<std::string>{"short"});
  EXPECT_EQ(records[2].at("errMsg"), "short: short\r\n");
  EXPECT_EQ(fakes::ReadReport(j.at("errMsgXml").get<std::string>()).declared_encoding, "UTF-8");

  const nlohmann::json expected_modules = nlohmann::json::parse(R"([
    {"name": "Empty", "questions": 0, "samples": 0, "passed": 0, "failures": 0, "notGraded": 0},
    {"name": "Excel", "questions": 1, "samples": 1, "passed": 1, "failures": 0, "notGraded": 0},
    {"name": "Word", "questions": 8, "samples": 8, "passed": 1, "failures": 4, "notGraded": 3}])");
  EXPECT_EQ(j.at("modules"), expected_modules);
  EXPECT_EQ(j.at("counts").at("graded"), 6);
  EXPECT_EQ(j.at("counts").at("notPassed"), 4);
}

TEST(CheckResults, TextEndsWithEveryRecordThatDidNotPassAndTheCounts) {
  TempDir dir;
  WriteBanks(dir);
  const CommandOutcome o = Vardenix(dir, Concat(SubjectCheck(dir), {"--all"}));
  ASSERT_EQ(o.status, 1) << o.Describe();
  for (const char* line : {"  Word W-2 (draw 2): failed, score 50: short: short\n",
                           "  Word W-3 (draw 3): not graded: no Tbl_Operation row",
                           "  Word W-4 (draw 4): not graded: no answer text", "  Word W-5 (draw 5): not graded: no answer archive",
                           "  Word W-6 (draw 6): archive refused: ",
                           "  Word W-7 (draw 7): run-time failure: ", "unknown rule kind",
                           "summary: 6 records graded (2 passed, 4 not passed), 3 not graded, 3 modules\n"}) {
    EXPECT_NE(o.out.find(line), std::string::npos) << line << "\n" << o.Describe();
  }
  EXPECT_EQ(o.out.find("W-1 (draw"), std::string::npos) << o.out;
  EXPECT_TRUE(o.out.ends_with("verdict: not passed\nseed: " + std::string(o.out.substr(o.out.rfind("seed: ") + 6))))
      << o.out;

  // Nothing to grade is said, not hidden behind a bare "passed".
  TempDir empty;
  support::WriteTotalBank(empty / "total.db", support::OperationModules("S1", {"Empty"}));
  support::WriteSubjectBank(empty / "subject.db", {});
  const CommandOutcome nothing = Vardenix(empty, SubjectCheck(empty));
  EXPECT_NE(nothing.out.find("summary: 0 records graded"), std::string::npos) << nothing.Describe();
  EXPECT_NE(nothing.out.find("nothing was graded"), std::string::npos) << nothing.Describe();
}

TEST(CheckResults, TypicalDocumentIsARecordOfItsOwn) {
  struct Row {
    const char* name;
    std::string rule;
    bool broken_archive;
    const char* outcome;
  };
  const Row rows[] = {
      {"passed", "perfect", false, "passed"},
      {"failed", "half", false, "failed"},
      {"rule the component cannot read", "explode", false, "runTimeFailure"},
      {"archive refused", "perfect", true, "refusedArchive"},
  };
  for (const Row& row : rows) {
    TempDir dir;
    std::vector<std::string> args = DocumentCheck(dir, row.rule);
    if (row.broken_archive) fakes::WriteFileText(dir / "typical.zip", "this is no zip archive");
    const CommandOutcome o = Vardenix(dir, Concat(args, {"--json"}));
    const nlohmann::json j = Json(o);
    ASSERT_EQ(j.at("records").size(), 1u) << row.name << "\n" << o.Describe();
    const nlohmann::json& r = j.at("records")[0];
    EXPECT_EQ(r.at("kind"), "typicalDocument") << row.name;
    EXPECT_EQ(r.at("draw"), 0) << row.name;
    EXPECT_EQ(r.at("outcome"), row.outcome) << row.name << "\n" << r.dump(2);
    EXPECT_EQ(o.status, std::string(row.outcome) == "passed" ? 0 : 1) << row.name;
  }
}

TEST(CheckResults, XmlFileParsesEvenWhenTheComponentsReportDoesNot) {
  TempDir dir;
  const CommandOutcome o = Vardenix(dir, Concat(DocumentCheck(dir, "ill-formed"), {"--xml", dir / "report.xml"}));
  ASSERT_EQ(o.status, 1) << o.Describe();
  std::ifstream in(dir / "report.xml", std::ios::binary);
  const std::string xml((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const fakes::ReportView report = fakes::ReadReport(xml);
  EXPECT_TRUE(report.parses) << xml;
  EXPECT_EQ(report.declared_encoding, "UTF-8");
  ASSERT_EQ(report.entries.size(), 1u) << xml;
  EXPECT_NE(report.Field("RuleErrInfo")[0].find("not well-formed XML"), std::string::npos) << xml;
}

TEST(CheckResults, CommandThatCannotRunStillAnswersOneJsonObject) {
  struct Row {
    const char* name;
    std::vector<std::string> change;
  };
  const Row rows[] = {
      {"unknown flag", {"--no-such-flag"}},
      {"rate above 1", {"--rate", "1.5"}},
      {"negative rate", {"--rate", "-0.1"}},
      {"hexadecimal rate", {"--rate", "0x1p-3"}},
      {"NaN rate", {"--rate", "nan"}},
      {"infinite rate", {"--rate", "inf"}},
      {"rate with blanks", {"--rate", " 0.1"}},
      {"archive that cannot be read", {"--archive", "/nonexistent/typical.zip", "--rule-text", "perfect"}},
      {"rerun of a file that is not a result", {"--rerun", "/dev/null"}},
  };
  for (const Row& row : rows) {
    TempDir dir;
    WriteBanks(dir);
    const CommandOutcome o = Vardenix(dir, Concat(Concat(SubjectCheck(dir), row.change), {"--json"}));
    EXPECT_EQ(o.status, 2) << row.name << "\n" << o.Describe();
    const nlohmann::json j = Json(o);
    EXPECT_EQ(j.size(), 2u) << row.name << "\n" << o.out;
    EXPECT_FALSE(j.value("error", "").empty()) << row.name << "\n" << o.out;
    EXPECT_EQ(j.value("exitStatus", 0), 2) << row.name;
  }
  // "--json" that the parser does not read as the flag asks for no JSON: stdout stays empty.
  const Row not_json[] = {
      {"after --", {"--", "--json"}},
      {"value of --rule-text", {"--archive", "/nonexistent/typical.zip", "--rule-text", "--json"}},
  };
  for (const Row& row : not_json) {
    TempDir dir;
    WriteBanks(dir);
    const CommandOutcome o = Vardenix(dir, Concat(SubjectCheck(dir), row.change));
    EXPECT_EQ(o.status, 2) << row.name << "\n" << o.Describe();
    EXPECT_EQ(o.out, "") << row.name << "\n" << o.Describe();
    EXPECT_FALSE(o.err.empty()) << row.name;
  }
  {
    TempDir dir;
    const CommandOutcome o = Vardenix(dir, {"bank", "list", dir / "subject.db", "--json"});
    EXPECT_EQ(o.status, 2) << o.Describe();
    EXPECT_EQ(o.out, "") << "a command without JSON output\n" << o.Describe();
  }
  // Rates people write are taken.
  for (const char* rate : {"0", "1", "0.25", ".5", "1e-1", "1.0"}) {
    TempDir dir;
    WriteBanks(dir);
    const CommandOutcome o = Vardenix(dir, Concat(SubjectCheck(dir), {"--rate", rate, "--dry-run"}));
    EXPECT_EQ(o.status, 0) << rate << "\n" << o.Describe();
  }
}

// The JSON outputs of several runs, checked against the published schema with a validator of its
// own (python3-jsonschema); a result that breaks the schema is shown to be refused.
TEST(CheckResults, JsonOutputMatchesItsSchema) {
  TempDir dir;
  if (support::RunCommand("python3", {"-c", "import jsonschema"}, dir.path()).status != 0) {
    GTEST_SKIP() << "python3-jsonschema is not installed (scripts/setup installs it)";
  }
  WriteBanks(dir);
  const std::vector<std::vector<std::string>> runs = {
      Concat(SubjectCheck(dir), {"--all"}),
      Concat(SubjectCheck(dir), {"--rate", "0.5", "--seed", "3"}),
      Concat(SubjectCheck(dir), {"--rate", "0.5", "--seed", "3", "--dry-run"}),
      Concat(SubjectCheck(dir), {"--rate", "2"}),
      Concat(DocumentCheck(dir, "half"), {"--xml", dir / "report.xml"}),
  };
  std::vector<std::string> files;
  for (size_t i = 0; i < runs.size(); ++i) {
    const CommandOutcome o = Vardenix(dir, Concat(runs[i], {"--json"}));
    ASSERT_NE(o.status, -1);
    files.push_back(dir / ("result-" + std::to_string(i) + ".json"));
    fakes::WriteFileText(files.back(), o.out);
  }
  // A result whose seed is a number again, which the schema must refuse.
  nlohmann::json broken = nlohmann::json::parse(std::ifstream(files[0]));
  broken["seed"] = 7;
  fakes::WriteFileText(dir / "broken.json", broken.dump());

  const std::string validate =
      "import json, sys, jsonschema\n"
      "schema = json.load(open(sys.argv[1]))\n"
      "jsonschema.Draft202012Validator.check_schema(schema)\n"
      "validator = jsonschema.Draft202012Validator(schema)\n"
      "for name in sys.argv[2:]:\n"
      "    errors = list(validator.iter_errors(json.load(open(name, encoding='utf-8'))))\n"
      "    print(name, 'valid' if not errors else 'invalid: ' + '; '.join(e.message for e in errors))\n";
  std::vector<std::string> args = {"-c", validate, kSchema};
  args.insert(args.end(), files.begin(), files.end());
  args.push_back(dir / "broken.json");
  const CommandOutcome v = support::RunCommand("python3", args, dir.path());
  ASSERT_EQ(v.status, 0) << v.Describe();
  for (const std::string& file : files) {
    EXPECT_NE(v.out.find(file + " valid\n"), std::string::npos) << v.out;
  }
  EXPECT_NE(v.out.find(dir / "broken.json invalid"), std::string::npos) << v.out;
}

TEST(CheckResults, DryRunListsTheDrawsARealRunWithTheSameSeedGrades) {
  TempDir dir;
  WriteBanks(dir);
  const std::vector<std::string> args = Concat(SubjectCheck(dir), {"--rate", "0.6", "--seed", "424242", "--json"});
  const CommandOutcome dry = Vardenix(dir, Concat(args, {"--dry-run"}));
  // Nothing was staged in the working folder.
  EXPECT_FALSE(fakes::PathExists(dir / "Result.Zip"));
  const CommandOutcome real = Vardenix(dir, args);
  ASSERT_EQ(dry.status, 0) << dry.Describe();
  ASSERT_NE(real.status, 2) << real.Describe();
  const nlohmann::json dry_json = Json(dry);
  EXPECT_EQ(dry_json.at("dryRun"), true);
  // Nothing was graded, so there is no verdict for a script to take for a pass.
  EXPECT_TRUE(dry_json.at("verdict").is_null()) << dry.out;
  EXPECT_EQ(dry_json.at("seed"), "424242");
  for (const auto& r : dry_json.at("records")) EXPECT_EQ(r.at("outcome"), "notGraded") << r.dump();
  const std::vector<std::string> draws = Draws(dry_json);
  EXPECT_EQ(draws.size(), 1u + 5u) << dry.out;  // Excel: floor(0.6) + 1, Word: floor(4.8) + 1
  EXPECT_EQ(draws, Draws(Json(real)));

  const CommandOutcome text = Vardenix(dir, Concat(SubjectCheck(dir), {"--rate", "0.6", "--seed", "424242", "--dry-run"}));
  EXPECT_NE(text.out.find("seed: 424242"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("Excel E-1 (draw 1)\n"), std::string::npos) << text.out;

  // A dry run needs no working folder.
  std::vector<std::string> no_folder = SubjectCheck(dir);
  const auto flag = std::find(no_folder.begin(), no_folder.end(), "--ping-path");
  no_folder.erase(flag, flag + 2);
  const CommandOutcome folderless = Vardenix(dir, Concat(no_folder, {"--dry-run"}));
  EXPECT_EQ(folderless.status, 0) << folderless.Describe();

  // Draws that cannot be made say why, as a check would.
  TempDir empty;
  const CommandOutcome no_bank = Vardenix(empty, Concat(SubjectCheck(empty), {"--dry-run"}));
  EXPECT_EQ(no_bank.status, 1) << no_bank.Describe();
  EXPECT_NE(no_bank.out.find("total.db库不存在"), std::string::npos) << no_bank.Describe();
}

TEST(CheckResults, RerunGradesExactlyTheRecordsThatDidNotPass) {
  TempDir dir;
  WriteBanks(dir);
  const CommandOutcome first = Vardenix(dir, Concat(SubjectCheck(dir), {"--all", "--json"}));
  fakes::WriteFileText(dir / "first.json", first.out);
  const CommandOutcome again = Vardenix(dir, Concat(SubjectCheck(dir), {"--rerun", dir / "first.json", "--json"}));
  ASSERT_EQ(again.status, 1) << again.Describe();
  const nlohmann::json j = Json(again);
  EXPECT_EQ(j.at("mode"), "rerun");
  EXPECT_EQ(Draws(j), (std::vector<std::string>{"Word W-2 #1", "Word W-3 #2", "Word W-4 #3", "Word W-5 #4",
                                                "Word W-6 #5", "Word W-7 #6", "Word W-8 #7"}));
}

// The result of --json records the check's inputs, so that `--rerun results.json` alone, from
// another folder, repeats that check on what did not pass; a bank changed since is named first.
TEST(CheckResults, RerunAloneTakesTheInputsFromTheEarlierResult) {
  TempDir dir;
  WriteBanks(dir);
  fakes::WriteFileBytes(dir / "typical.zip", AnswerZip(dir));
  fakes::MakeDirs(dir / "elsewhere");
  // Relative paths, as typed in the folder that holds them.
  const std::vector<std::string> check = {"check", "--ping-name", kScorer, "--component", RESULTS_SCORER_MODULE,
                                          "--total", "total.db", "--subject", "subject.db", "--subject-code", "S1",
                                          "--archive", "typical.zip", "--rule-text", "perfect", "--contract", "-1",
                                          "--all", "--quiet", "--json"};
  // The command run in `folder`.
  const auto in_folder = [&dir](const std::string& folder, const std::vector<std::string>& args) {
    return support::RunCommand("sh", Concat({"-c", "cd \"$0\" && exec \"$@\"", folder, VARDENIX_BIN}, args),
                               dir.path(), {"XDG_DATA_HOME=" + dir / "xdg", "TMPDIR=" + dir.path()});
  };
  const CommandOutcome first = in_folder(dir.path(), check);
  ASSERT_EQ(first.status, 1) << first.Describe();
  const nlohmann::json inputs = Json(first).at("inputs");
  EXPECT_EQ(inputs.at("pingName"), kScorer);
  EXPECT_EQ(inputs.at("options"), 3);
  EXPECT_EQ(inputs.at("total").at("path"), dir / "total.db");
  const CommandOutcome sum = support::RunCommand("sha256sum", {dir / "subject.db"}, dir.path());
  EXPECT_EQ(inputs.at("subject").at("sha256"), sum.out.substr(0, 64));
  EXPECT_EQ(inputs.at("rule"), "perfect");
  fakes::WriteFileText(dir / "first.json", first.out);

  const auto rerun = [&]() { return in_folder(dir / "elsewhere", {"check", "--rerun", "../first.json", "--json"}); };
  const CommandOutcome again = rerun();
  ASSERT_EQ(again.status, 1) << again.Describe();
  const nlohmann::json j = Json(again);
  EXPECT_EQ(j.at("mode"), "rerun");
  // The typical document passed, so only the subject check's records are graded again.
  EXPECT_EQ(j.at("inputs").at("options"), 2);
  EXPECT_EQ(Draws(j), (std::vector<std::string>{"Word W-2 #1", "Word W-3 #2", "Word W-4 #3", "Word W-5 #4",
                                                "Word W-6 #5", "Word W-7 #6", "Word W-8 #7"}));
  EXPECT_EQ(again.err.find("changed"), std::string::npos) << again.Describe();

  // The subject bank changes: W-2's answer is now the perfect one.
  std::vector<support::Question> questions = {{"Word", "W-2", "perfect", AnswerZip(dir)}};
  ASSERT_EQ(::unlink((dir / "subject.db").c_str()), 0);
  support::WriteSubjectBank(dir / "subject.db", questions);
  const CommandOutcome changed = rerun();
  EXPECT_NE(changed.err.find("the subject bank " + dir / "subject.db" + " changed since the earlier check (SHA-256 " +
                             sum.out.substr(0, 64) + ", now "),
            std::string::npos)
      << changed.Describe();
  EXPECT_EQ(changed.err.find("the total bank"), std::string::npos) << changed.Describe();
}

// A rerun passes only on records graded again and passed: one the bank no longer holds, or whose
// module it no longer lists, has not passed, and an earlier result with nothing to rerun is refused.
TEST(CheckResults, RerunOfRecordsThatAreGoneDoesNotPass) {
  struct Row {
    const char* name;
    const char* earlier;
    int status;
    const char* said;  // in the error text ("" for nothing)
  } rows[] = {
      {"record gone", R"({"records":[{"kind":"record","module":"Word","recNo":"GONE","outcome":"failed"}]})", 1,
       "the record GONE of the module Word was not graded: no Tbl_Operation row"},
      {"module gone", R"({"records":[{"kind":"record","module":"Gone","recNo":"W-1","outcome":"failed"}]})", 1,
       "the record W-1 of the module Gone was not graded: the total bank lists no such module"},
      {"module left empty", R"({"records":[{"kind":"record","module":"Empty","recNo":"X-1","outcome":"failed"}]})", 1,
       "the record X-1 of the module Empty was not graded: the module has no questions"},
      {"one passes, one gone",
       R"({"records":[{"kind":"record","module":"Excel","recNo":"E-1","outcome":"failed"},
                      {"kind":"record","module":"Word","recNo":"GONE","outcome":"failed"}]})", 1, "GONE"},
      {"graded again and passed", R"({"records":[{"kind":"record","module":"excel","recNo":"E-1","outcome":"failed"}]})",
       0, ""},
      {"nothing to rerun", R"({"records":[]})", 2, ""},
      // Refused, not repeated on the failures it shows: the records after a stop were never graded,
      // and a subject check never runs after a typical document that did not pass.
      {"an interrupted check",
       R"({"interrupted":true,"records":[{"kind":"record","module":"excel","recNo":"E-1","outcome":"failed"}]})", 2,
       ""},
  };
  for (const Row& row : rows) {
    TempDir dir;
    WriteBanks(dir);
    fakes::WriteFileText(dir / "earlier.json", row.earlier);
    const CommandOutcome o = Vardenix(dir, Concat(SubjectCheck(dir), {"--rerun", dir / "earlier.json"}));
    EXPECT_EQ(o.status, row.status) << row.name << "\n" << o.Describe();
    EXPECT_NE(o.out.find(row.said), std::string::npos) << row.name << "\n" << o.Describe();
  }
  // The typical document that failed passes now: a rerun of it alone would pass a check whose
  // subject bank was never looked at.
  TempDir dir;
  WriteBanks(dir);
  fakes::WriteFileBytes(dir / "typical.zip", AnswerZip(dir));
  const nlohmann::json earlier = {
      {"inputs", {{"options", 3}, {"archive", {{"path", dir / "typical.zip"}}}, {"rule", "perfect"}}},
      {"records", {{{"kind", "typicalDocument"}, {"outcome", "failed"}}}}};
  fakes::WriteFileText(dir / "earlier.json", earlier.dump());
  const CommandOutcome o = Vardenix(dir, Concat(SubjectCheck(dir), {"--rerun", dir / "earlier.json"}));
  EXPECT_EQ(o.status, 2) << o.Describe();
  EXPECT_NE(o.err.find("its subject check never ran"), std::string::npos) << o.Describe();
}

TEST(CheckResults, ProgressIsPlainLinesWhenStderrIsNoTerminal) {
  TempDir dir;
  WriteBanks(dir);
  std::vector<std::string> args = SubjectCheck(dir);
  args.pop_back();  // progress wanted
  const CommandOutcome o = Vardenix(dir, Concat(args, {"--all"}), {"TERM=xterm-256color"});
  EXPECT_EQ(o.err.find('\r'), std::string::npos) << o.err;
  EXPECT_EQ(o.err.find('\033'), std::string::npos) << o.err;
  EXPECT_NE(o.err.find("module 1 of 3: Empty"), std::string::npos) << o.err;
  EXPECT_NE(o.err.find("module 3 of 3: Word (8 questions, 8 draws)"), std::string::npos) << o.err;
}

// The schemas JUnit reports are checked against with xmllint: the structure Jenkins' JUnit plugin and
// GitLab read (junit.xsd, ours) and the Jenkins xUnit plug-in's junit-10.xsd (MIT licence).
constexpr const char* kJUnitSchemas[] = {"/tests/results/junit.xsd", "/tests/results/junit-10.xsd"};

// The JUnit report against the structure CI systems read, and its content: a suite per module, a case per draw, the failing record's text.
TEST(CheckReports, JUnitReportIsWhatCiReads) {
  TempDir dir;
  WriteBanks(dir);
  fakes::WriteFileBytes(dir / "typical.zip", AnswerZip(dir));
  const CommandOutcome o =
      Vardenix(dir, Concat(SubjectCheck(dir), {"--all", "--archive", dir / "typical.zip", "--rule-text", "perfect",
                                               "--junit", dir / "junit.xml"}));
  ASSERT_EQ(o.status, 1) << o.Describe();
  ASSERT_TRUE(support::ProgramExists("xmllint")) << "xmllint is not installed (scripts/setup installs libxml2-utils)";
  for (const char* schema : kJUnitSchemas) {
    const CommandOutcome lint = support::RunCommand(
        "xmllint", {"--noout", "--schema", std::string(VARDENIX_SOURCE_DIR) + schema, dir / "junit.xml"}, dir.path());
    EXPECT_EQ(lint.status, 0) << schema << "\n" << lint.Describe();
  }
  const std::string xml = [&] {
    std::ifstream in(dir / "junit.xml", std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }();
  for (const char* part : {"<testsuites name=\"vardenix check\" tests=\"10\" failures=\"3\" errors=\"1\" time=",
                           "<testsuite name=\"typical document\" tests=\"1\" failures=\"0\"",
                           "<testsuite name=\"Empty\" tests=\"0\"",
                           "<testsuite name=\"Word\" tests=\"8\" failures=\"3\" errors=\"1\" skipped=\"3\"",
                           "<testcase classname=\"vardenix.Word\" name=\"W-2 (draw 2)\"",
                           "<failure message=\"failed, score 50: short: short\" type=\"failed\">short: short\r\n</failure>",
                           "<error message=\"run-time failure: ", "<skipped message=\"not graded: no Tbl_Operation row"}) {
    EXPECT_NE(xml.find(part), std::string::npos) << part << "\n" << xml;
  }
}

// A verdict of not passed always fails the JUnit report, also when no record shows why; a run that
// passed, or whose failing records show it, gets no case of its own.
TEST(CheckReports, JUnitFailsEveryVerdictOfNotPassed) {
  struct Row {
    const char* name;
    bool banks;
    std::vector<std::string> change;
    int status;
    const char* failure;  // in the "verdict" case's failure; nullptr: no such case
  };
  const Row rows[] = {
      {"banks that do not exist", false, {}, 1, "total.db库不存在"},
      {"subject without operation questions", true, {"S2"}, 1, "方案中不存在当前科目的操作题"},
      {"rerun of a record the bank no longer holds", true, {"--rerun", "earlier.json"}, 1,
       "the record GONE of the module Word was not graded"},
      {"dry run on banks that do not exist", false, {"--dry-run"}, 1, "total.db库不存在"},
      {"failing records", true, {"--all"}, 1, nullptr},
  };
  for (const Row& row : rows) {
    TempDir dir;
    if (row.banks) WriteBanks(dir);
    fakes::WriteFileText(dir / "earlier.json",
                         R"({"records":[{"kind":"record","module":"Word","recNo":"GONE","outcome":"failed"}]})");
    std::vector<std::string> args = Concat(SubjectCheck(dir), {"--junit", dir / "junit.xml"});
    for (const std::string& part : row.change) {
      if (part == "S2") {
        *(std::find(args.begin(), args.end(), "--subject-code") + 1) = part;  // a subject the total bank lacks
      } else {
        args.push_back(part == "earlier.json" ? dir / part : part);
      }
    }
    const CommandOutcome o = Vardenix(dir, args);
    EXPECT_EQ(o.status, row.status) << row.name << "\n" << o.Describe();
    const std::string xml = ReadFile(dir / "junit.xml");
    for (const char* schema : kJUnitSchemas) {
      const CommandOutcome lint = support::RunCommand(
          "xmllint", {"--noout", "--schema", std::string(VARDENIX_SOURCE_DIR) + schema, dir / "junit.xml"}, dir.path());
      EXPECT_EQ(lint.status, 0) << row.name << ": " << schema << "\n" << lint.Describe();
    }
    // CI reads the totals: a run that did not pass shows a failure there.
    const size_t totals = xml.find("<testsuites");
    ASSERT_NE(totals, std::string::npos) << row.name << "\n" << xml;
    const std::string head = xml.substr(totals, xml.find('>', totals) - totals);
    EXPECT_EQ(head.find("failures=\"0\" errors=\"0\""), std::string::npos) << row.name << "\n" << xml;
    const size_t verdict = xml.find("<testcase classname=\"vardenix.verdict\" name=\"verdict\"");
    if (row.failure == nullptr) {
      EXPECT_EQ(verdict, std::string::npos) << row.name << "\n" << xml;
    } else {
      ASSERT_NE(verdict, std::string::npos) << row.name << "\n" << xml;
      const std::string tail = xml.substr(verdict);
      EXPECT_NE(tail.find("<failure message=\"not passed: "), std::string::npos) << row.name << "\n" << xml;
      EXPECT_NE(tail.find(row.failure), std::string::npos) << row.name << "\n" << xml;
    }
  }
  TempDir dir;
  const CommandOutcome passed = Vardenix(dir, Concat(DocumentCheck(dir, "perfect"), {"--junit", dir / "junit.xml"}));
  EXPECT_EQ(passed.status, 0) << passed.Describe();
  EXPECT_EQ(ReadFile(dir / "junit.xml").find("vardenix.verdict"), std::string::npos) << ReadFile(dir / "junit.xml");
}

// The HTML report's environment names the component behind the ProgID, or says why it cannot.
TEST(CheckReports, HtmlNamesTheComponentOrWhyThereIsNone) {
  struct Row {
    const char* name;
    std::vector<std::string> flags;
    const char* record;  // the text of the ProgID's registration record; nullptr: none
    const char* said;
  };
  const Row rows[] = {
      {"loaded by path", {"--component", RESULTS_SCORER_MODULE}, nullptr, "loaded with --component: "},
      {"registered", {}, "progid=Vardenix.Test.Results\nmodule=" RESULTS_SCORER_MODULE "\n",
       RESULTS_SCORER_MODULE " (registered in "},
      {"no record", {}, nullptr, "none: no registration record for Vardenix.Test.Results in "},
      {"record that cannot be used", {}, "nonsense\n", "the record cannot be used: it has no progid= line"},
      {"no registry", {"--registry", ""}, nullptr, "none: no module loaded with --component and no registry folder"},
  };
  for (const Row& row : rows) {
    TempDir dir;
    fakes::WriteFileBytes(dir / "typical.zip", AnswerZip(dir));
    const std::string registry = dir / "xdg/vardenix/registry";
    fakes::MakeDirs(registry);
    if (row.record != nullptr) fakes::WriteFileText(ComponentRecordPath(registry, kScorer), row.record);
    const std::vector<std::string> args = {"check", "--ping-name", kScorer, "--archive", dir / "typical.zip",
                                           "--rule-text", "perfect", "--ping-path", dir.path(), "--quiet",
                                           "--html", dir / "report.html"};
    const CommandOutcome o = Vardenix(dir, Concat(args, row.flags));
    ASSERT_NE(o.status, 2) << row.name << "\n" << o.Describe();
    const std::string html = ReadFile(dir / "report.html");
    const size_t start = html.find("<code id=\"component\">");
    ASSERT_NE(start, std::string::npos) << row.name << "\n" << html;
    const std::string shown = html.substr(start, html.find("</code>", start) - start);
    EXPECT_NE(shown.find(row.said), std::string::npos) << row.name << "\n" << shown;
  }
}

TEST(CheckReports, XmlToStdoutReplacesTheTextReport) {
  TempDir dir;
  const CommandOutcome o = Vardenix(dir, Concat(DocumentCheck(dir, "half"), {"--xml", "-"}));
  ASSERT_EQ(o.status, 1) << o.Describe();
  const fakes::ReportView report = fakes::ReadReport(o.out);
  EXPECT_TRUE(report.parses) << o.out;
  EXPECT_EQ(report.Field("Rule"), std::vector<std::string>{"half"});
  const CommandOutcome both = Vardenix(dir, Concat(DocumentCheck(dir, "half"), {"--xml", "-", "--json"}));
  EXPECT_EQ(both.status, 2) << both.Describe();
}

// The bank and registry tools refuse what would only fail later, in a check.
TEST(NewcomerPath, ToolsRefuseWhatAChecksWouldTripOver) {
  TempDir dir;
  ASSERT_EQ(Vardenix(dir, {"bank", "create-total", dir / "total.db"}).status, 0);
  ASSERT_EQ(Vardenix(dir, {"bank", "create-subject", dir / "subject.db"}).status, 0);
  const std::vector<std::string> add_module = {"bank", "add-module", dir / "total.db", "--subject-code", "S1",
                                               "--module", "Word", "--contract", "7"};
  ASSERT_EQ(Vardenix(dir, add_module).status, 0);
  const CommandOutcome twice = Vardenix(dir, add_module);
  EXPECT_EQ(twice.status, 2) << twice.Describe();
  EXPECT_NE(twice.err.find("already"), std::string::npos) << twice.Describe();
  // Another contract is another row.
  EXPECT_EQ(Vardenix(dir, {"bank", "add-module", dir / "total.db", "--subject-code", "S1", "--module", "Word",
                           "--contract", "8"}).status, 0);

  fakes::WriteFileText(dir / "notes.zip", "this is no zip archive");
  fakes::WriteFileBytes(dir / "good.zip", AnswerZip(dir));
  const auto add_question = [&](const std::string& rec_no, const std::string& archive) {
    return Vardenix(dir, {"bank", "add-question", dir / "subject.db", "--module", "Word", "--rec-no", rec_no,
                          "--answer", "perfect", "--archive", archive});
  };
  const CommandOutcome refused = add_question("W-1", dir / "notes.zip");
  EXPECT_EQ(refused.status, 2) << refused.Describe();
  EXPECT_NE(refused.err.find("not an answer archive"), std::string::npos) << refused.Describe();
  EXPECT_EQ(Vardenix(dir, {"bank", "list", dir / "subject.db"}).out.find("W-1"), std::string::npos);
  const CommandOutcome taken = add_question("W-1", dir / "good.zip");
  EXPECT_EQ(taken.status, 0) << taken.Describe();

  // A registration record whose module file is gone is flagged.
  const std::string module = dir / "copy-of-scorer.so";
  fakes::WriteFileBytes(module, fakes::ReadFileBytes(RESULTS_SCORER_MODULE));
  ASSERT_EQ(Vardenix(dir, {"register", module}).status, 0);
  EXPECT_EQ(Vardenix(dir, {"components"}).out.find("unusable"), std::string::npos);
  ASSERT_EQ(::unlink(module.c_str()), 0);
  const CommandOutcome listed = Vardenix(dir, {"components"});
  EXPECT_NE(listed.out.find("module file is gone"), std::string::npos) << listed.Describe();
}

// `bank import` adds a tree or a manifest of questions in one transaction: all of them, or, with one
// bad question, none, naming it.
TEST(NewcomerPath, BankImportTakesAllQuestionsOrNone) {
  struct Row {
    const char* name;
    std::vector<std::string> args;  // after "bank import subject.db"
    const char* said;               // nullptr: imported
  };
  const Row rows[] = {
      {"folder tree", {"--from", "tree"}, nullptr},
      {"CSV manifest", {"--manifest", "questions.csv"}, nullptr},
      {"JSON manifest", {"--manifest", "questions.json"}, nullptr},
      {"a question without its answer", {"--from", "broken-tree"},
       "nothing was imported: the folder Word/W-2: it holds no answer folder answer/ nor an answer archive answer.zip"},
      {"a record number twice", {"--manifest", "twice.csv"},
       "twice.csv: the record number w-1 is already in line 2 of "},
      {"an archive the checks cannot extract", {"--manifest", "bad-zip.csv"},
       "nothing was imported: line 2 of "},
      {"a record number the bank holds", {"--manifest", "held.json"}, "it holds the record number W-0 already"},
  };
  for (const Row& row : rows) {
    TempDir dir;
    ASSERT_EQ(Vardenix(dir, {"bank", "create-subject", dir / "subject.db"}).status, 0);
    ASSERT_EQ(Vardenix(dir, {"bank", "add-question", dir / "subject.db", "--module", "Word", "--rec-no", "W-0",
                             "--answer", "perfect", "--archive-dir", dir.path()}).status, 0);
    for (const char* tree : {"tree", "broken-tree"}) {
      for (const char* question : {"Word/W-1", "Word/W-2", "文字/字-1"}) {
        const std::string folder = dir / (std::string(tree) + "/" + question);
        fakes::MakeDirs(folder + "/answer/doc");
        fakes::WriteFileText(folder + "/rule.txt", "perfect\n");
        fakes::WriteFileText(folder + "/answer/doc/a.txt", "answer\n");
      }
    }
    std::filesystem::remove_all(dir / "broken-tree/Word/W-2/answer");
    fakes::WriteFileText(dir / "notes.zip", "this is no zip archive");
    fakes::WriteFileText(dir / "questions.csv", "module,recNo,rule,archive\r\nWord,W-1,tree/Word/W-1/rule.txt,tree/Word/W-1/answer\r\n"
                                                "\"文字\",\"字,1\",tree/文字/字-1/rule.txt,tree/文字/字-1/answer\r\n");
    fakes::WriteFileText(dir / "questions.json", R"([{"module":"Word","recNo":"W-1","answer":"perfect","archive":"tree/Word/W-1/answer"},
                                                     {"module":"文字","recNo":"字-1","rule":"tree/文字/字-1/rule.txt","archive":"tree/文字/字-1/answer"}])");
    fakes::WriteFileText(dir / "twice.csv", "module,recNo,answer,archive\nWord,W-1,perfect,tree/Word/W-1/answer\n"
                                            "Word,w-1,perfect,tree/Word/W-1/answer\n");
    fakes::WriteFileText(dir / "bad-zip.csv", "module,recNo,answer,archive\nWord,W-1,perfect,notes.zip\n");
    fakes::WriteFileText(dir / "held.json", R"([{"module":"Word","recNo":"W-1","answer":"perfect","archive":"tree/Word/W-1/answer"},
                                                {"module":"Word","recNo":"W-0","answer":"perfect","archive":"tree/Word/W-1/answer"}])");
    std::vector<std::string> args = {"bank", "import", dir / "subject.db"};
    for (const std::string& arg : row.args) args.push_back(arg.rfind("--", 0) == 0 ? arg : dir / arg);
    const CommandOutcome o = Vardenix(dir, args);
    const CommandOutcome listed = Vardenix(dir, {"bank", "list", dir / "subject.db"});
    if (row.said == nullptr) {
      EXPECT_EQ(o.status, 0) << row.name << "\n" << o.Describe();
      EXPECT_NE(listed.out.find("record W-1 (Word)"), std::string::npos) << row.name << "\n" << listed.out;
      EXPECT_NE(listed.out.find("module 文字: 1 question\n"), std::string::npos) << row.name << "\n" << listed.out;
    } else {
      EXPECT_EQ(o.status, 2) << row.name << "\n" << o.Describe();
      EXPECT_NE(o.err.find(row.said), std::string::npos) << row.name << "\n" << o.Describe();
      EXPECT_NE(listed.out.find("1 row in Tbl_Operation"), std::string::npos) << row.name << ": a part was kept\n"
                                                                               << listed.out;
    }
  }
  // The folder tree's questions are graded as the bank's own.
  TempDir dir;
  ASSERT_EQ(Vardenix(dir, {"bank", "create-subject", dir / "subject.db"}).status, 0);
  fakes::MakeDirs(dir / "tree/Word/W-1/answer");
  fakes::WriteFileText(dir / "tree/Word/W-1/rule.txt", "perfect");
  fakes::WriteFileText(dir / "tree/Word/W-1/answer/a.txt", "a");
  ASSERT_EQ(Vardenix(dir, {"bank", "import", dir / "subject.db", "--from", dir / "tree"}).status, 0);
  support::WriteTotalBank(dir / "total.db", support::OperationModules("S1", {"Word"}));
  const CommandOutcome check = Vardenix(dir, Concat(SubjectCheck(dir), {"--all"}));
  EXPECT_EQ(check.status, 0) << check.Describe();
}

// On a terminal the progress line tells the rate and the time left (util-linux `script` gives the
// command a terminal).
TEST(CheckResults, ProgressOnATerminalShowsRateAndTimeLeft) {
  if (!support::ProgramExists("script")) GTEST_SKIP() << "script (util-linux) is not installed";
  TempDir dir;
  WriteBanks(dir);
  std::string command = "exec";
  for (const std::string& arg : Concat(SubjectCheck(dir), {"--all"})) {
    if (arg != "--quiet") command += " '" + arg + "'";
  }
  const CommandOutcome o = support::RunCommand("script", {"-qec", VARDENIX_BIN + (" " + command.substr(5)), "/dev/null"},
                                               dir.path(), {"TERM=xterm"});
  EXPECT_TRUE(std::regex_search(o.out, std::regex(R"(module 3 of 3 \(Word\): draw 0 of 8, [0-9]+ done, [0-9]+ failed, [0-9.]+ rec/s, about [0-9]+ s left)")))
      << o.Describe();
}

// A check that did not pass because of a slip in its inputs says the likely slip after its reports.
TEST(NewcomerPath, CheckNamesTheLikelySlipInItsInputs) {
  struct Row {
    const char* name;
    std::vector<std::string> change;  // "swap", a subject code, or flags to add
    const char* hint;
  };
  const Row rows[] = {
      {"banks swapped", {"swap"}, "hint: subject.db holds no Tbl_Contract; is it the subject bank?\nhint: total.db holds no Tbl_Public and Tbl_Operation; is it the total bank?"},
      {"unknown subject code", {"--subject-code", "S9"}, "hint: the total bank total.db holds no subject code S9; it holds the code S1\n"},
      {"empty registry", {"--registry", "empty-registry"}, "hint: the registry folder "},
  };
  for (const Row& row : rows) {
    TempDir dir;
    WriteBanks(dir);
    fakes::MakeDirs(dir / "empty-registry");
    std::vector<std::string> args = {"check", "--ping-name", kScorer, "--total", "total.db", "--subject", "subject.db",
                                     "--subject-code", "S1", "--ping-path", dir.path()};
    if (row.change[0] == "swap") {
      std::swap(args[4], args[6]);
    } else if (row.change[0] == "--subject-code") {
      args[8] = row.change[1];
      args.insert(args.begin() + 3, {"--component", RESULTS_SCORER_MODULE});
    } else {
      args.insert(args.end(), {row.change[0], dir / row.change[1]});
    }
    const CommandOutcome o = support::RunCommand(
        "sh", Concat({"-c", "cd \"$0\" && exec \"$@\"", dir.path(), VARDENIX_BIN}, args), dir.path(),
        {"XDG_DATA_HOME=" + dir / "xdg", "TMPDIR=" + dir.path()});
    EXPECT_EQ(o.status, 1) << row.name << "\n" << o.Describe();
    EXPECT_NE(o.err.find(row.hint), std::string::npos) << row.name << "\n" << o.Describe();
    EXPECT_EQ(o.out.find("hint:"), std::string::npos) << row.name << ": hints go to stderr";
  }
  TempDir dir;
  WriteBanks(dir);
  const CommandOutcome fine = Vardenix(dir, SubjectCheck(dir));
  EXPECT_EQ(fine.err.find("hint:"), std::string::npos) << fine.Describe();
}

// `bank list --module` and `--limit` keep a bank of thousands of records readable.
TEST(NewcomerPath, BankListShowsOneModuleAndAtMostLimitRecords) {
  TempDir dir;
  WriteBanks(dir);
  const CommandOutcome word = Vardenix(dir, {"bank", "list", dir / "subject.db", "--module", "word", "--limit", "3"});
  ASSERT_EQ(word.status, 0) << word.Describe();
  EXPECT_EQ(word.out.find("Excel"), std::string::npos) << word.out;
  EXPECT_EQ(word.out.find("E-1"), std::string::npos) << word.out;
  EXPECT_NE(word.out.find("record W-4:"), std::string::npos) << word.out;  // W-3 is no operation question
  EXPECT_EQ(word.out.find("record W-5"), std::string::npos) << word.out;
  EXPECT_NE(word.out.find("... and 4 more records (--limit 3)"), std::string::npos) << word.out;
}

// True when `text` holds `word` as a whole flag: not followed by more of a flag's name ("--answer"
// is not found in "--answer-file", nor "\-\-answer" in "\-\-answer\-file").
bool MentionsFlag(const std::string& text, const std::string& word) {
  for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
    const std::string next = text.substr(at + word.size(), 2);
    if (next.empty() || !(std::isalnum(static_cast<unsigned char>(next[0])) || next[0] == '-' || next == "\\-")) {
      return true;
    }
  }
  return false;
}

// Every flag that a command's --help lists is in the README, the man page and the bash completion.
TEST(NewcomerPath, EveryFlagOfTheHelpIsDocumented) {
  const std::string readme = ReadFile(std::string(VARDENIX_SOURCE_DIR) + "/README.md");
  const std::string man = ReadFile(std::string(VARDENIX_SOURCE_DIR) + "/docs/vardenix.1");
  const std::string completion = ReadFile(std::string(VARDENIX_SOURCE_DIR) + "/docs/vardenix.bash-completion");
  const std::vector<std::vector<std::string>> commands = {
      {"check"},         {"register"},          {"unregister"},           {"components"},
      {"bank", "create-total"}, {"bank", "create-subject"}, {"bank", "add-module"}, {"bank", "add-question"},
      {"bank", "list"},  {"bank", "import"}, {"merge"}};
  TempDir dir;
  size_t flags = 0;
  for (const std::vector<std::string>& command : commands) {
    const CommandOutcome help = Vardenix(dir, Concat(command, {"--help"}));
    ASSERT_EQ(help.status, 0) << help.Describe();
    std::istringstream lines(help.out.substr(help.out.find("Options:")));
    for (std::string line; std::getline(lines, line);) {
      // "  --flag VALUE  text" or "  -q,--quiet  text"
      const size_t start = line.find("--");
      if (line.rfind("  -", 0) != 0 || start == std::string::npos) continue;
      const std::string flag = line.substr(start, line.find_first_of(" \t", start) - start);
      if (flag == "--help") continue;
      ++flags;
      std::string escaped;  // as roff writes it: every '-' as "\-"
      for (const char c : flag) escaped += c == '-' ? std::string("\\-") : std::string(1, c);
      EXPECT_TRUE(MentionsFlag(readme, flag)) << command[0] << " " << flag << " is not in README.md";
      EXPECT_TRUE(MentionsFlag(man, escaped)) << command[0] << " " << flag << " is not in docs/vardenix.1";
      EXPECT_TRUE(MentionsFlag(completion, flag)) << command[0] << " " << flag << " is not in docs/vardenix.bash-completion";
    }
  }
  EXPECT_GT(flags, 30u) << "the help texts were not read";
}

TEST(NewcomerPath, MissingSymbolOfAModuleIsSaidInWords) {
  TempDir dir;
  const CommandOutcome o = Vardenix(dir, {"register", UNDEFINED_MEMBER_MODULE});
  EXPECT_EQ(o.status, 2) << o.Describe();
  EXPECT_NE(o.err.find("undefined symbol: _ZN15UndefinedScorer3Put"), std::string::npos) << o.Describe();
  EXPECT_NE(o.err.find("UndefinedScorer::Put(std::"), std::string::npos) << o.Describe();
  EXPECT_NE(o.err.find("which nothing defines"), std::string::npos) << o.Describe();
}

// The HTML report in a real browser: headless Chromium loads it from the file, the test reads the
// DOM it built, and a screenshot is kept in build/test-artefacts/ for a person to look at.
TEST(CheckReports, HtmlReportShowsVerdictRecordsAndEnvironmentInABrowser) {
  TempDir dir;
  WriteBanks(dir);
  const CommandOutcome o =
      Vardenix(dir, Concat(SubjectCheck(dir), {"--all", "--seed", "99", "--html", dir / "report.html"}));
  ASSERT_EQ(o.status, 1) << o.Describe();
  const std::string html = ReadFile(dir / "report.html");
  // Self-contained: nothing to fetch, nothing to run.
  EXPECT_EQ(html.find("<script"), std::string::npos);
  EXPECT_EQ(html.find(" src="), std::string::npos);
  EXPECT_EQ(html.find("<link"), std::string::npos);
  // The banks are named with their SHA-256, as sha256sum computes it.
  for (const char* bank : {"total.db", "subject.db"}) {
    const CommandOutcome sum = support::RunCommand("sha256sum", {dir / bank}, dir.path());
    ASSERT_EQ(sum.status, 0) << sum.Describe();
    EXPECT_NE(html.find(sum.out.substr(0, 64)), std::string::npos) << bank;
  }

  const char* browser = support::ProgramExists("chromium") ? "chromium"
                        : support::ProgramExists("chromium-browser") ? "chromium-browser" : nullptr;
  if (browser == nullptr) {
    GTEST_SKIP() << "Chromium is not installed, so the HTML report was not opened in a browser (scripts/setup "
                    "installs the chromium package; then run: ctest -R CheckReports.Html)";
  }
  const std::vector<std::string> flags = {"--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                                          "--user-data-dir=" + dir / "chromium-profile", "--window-size=1200,1600"};
  const CommandOutcome dom = support::RunCommand(browser, Concat(flags, {"--dump-dom", "file://" + dir / "report.html"}),
                                                 dir.path(), {"HOME=" + dir.path()});
  if (dom.status != 0 || dom.out.find("<html") == std::string::npos) {
    GTEST_SKIP() << "Chromium could not run here, so the HTML report was not opened in a browser:\n" << dom.Describe();
  }
  for (const char* part : {"<h1>Not passed</h1>", "Word W-2 (draw 2): <span class=\"outcome\">failed</span>, score 50",
                           "<td>short of short</td>", "<pre id=\"replay-command\">vardenix check --ping-name Vardenix.Test.Results",
                           "--all", "aria-label=\"1 passed, 4 failed, 3 not graded\"", "no Tbl_Operation row",
                           "<p id=\"seed\">No seed: --all"}) {
    EXPECT_NE(dom.out.find(part), std::string::npos) << part << "\n" << dom.out;
  }
  fakes::MakeDirs(RESULTS_ARTEFACT_DIR);
  const std::string shot = std::string(RESULTS_ARTEFACT_DIR) + "/check-report.png";
  const CommandOutcome png = support::RunCommand(browser, Concat(flags, {"--screenshot=" + shot, "file://" + dir / "report.html"}),
                                                 dir.path(), {"HOME=" + dir.path()});
  EXPECT_EQ(png.status, 0) << png.Describe();
  EXPECT_EQ(ReadFile(shot).substr(0, 8), "\x89PNG\r\n\x1a\n") << shot;
}


// Headless Chromium, or why the test cannot use one.
struct Browser {
  const char* program = nullptr;
  std::string why_not;
};
Browser FindBrowser() {
  if (support::ProgramExists("chromium")) return {"chromium", ""};
  if (support::ProgramExists("chromium-browser")) return {"chromium-browser", ""};
  return {nullptr, "Chromium is not installed (scripts/setup installs the chromium package)"};
}
std::vector<std::string> BrowserFlags(const TempDir& dir, const std::string& size) {
  return {"--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
          "--user-data-dir=" + dir / "chromium-profile", "--window-size=" + size};
}

// A sweep of 3,000 records, 81 of them failing, read in a browser window of 1200 x 900: the first
// failure is on the first screen, the Chinese texts are drawn with glyphs, and a passed record costs
// the page a few dozen bytes.
TEST(CheckReports, HtmlOfALargeSweepShowsTheFailuresFirstWithChineseGlyphs) {
  TempDir dir;
  std::vector<std::string> modules;
  for (int m = 1; m <= 10; ++m) modules.push_back(m == 3 ? "文字处理" : "M" + std::to_string(m));
  support::WriteTotalBank(dir / "total.db", support::OperationModules("S1", modules));
  const std::vector<uint8_t> zip = AnswerZip(dir);
  std::vector<support::Question> questions;
  for (int i = 0; i < 3000; ++i) {
    char rec_no[16];
    std::snprintf(rec_no, sizeof rec_no, "R%04d", i);
    // 81 failures, every 28th record from the 701st: 8 of them in 文字处理.
    const bool fails = i >= 700 && (i - 700) % 28 == 0 && i < 700 + 81 * 28;
    questions.push_back({modules[static_cast<size_t>(i / 300)], rec_no, fails ? "缺少标题" : "perfect", zip});
  }
  support::WriteSubjectBank(dir / "subject.db", questions);
  const CommandOutcome o = Vardenix(dir, Concat(SubjectCheck(dir), {"--all", "--in-process", "--html", dir / "report.html"}));
  ASSERT_EQ(o.status, 1) << o.Describe();
  const std::string html = ReadFile(dir / "report.html");

  // The failures' table comes before any record, with a link to each of the 81.
  const size_t table = html.find("<section id=\"failures\">");
  ASSERT_NE(table, std::string::npos);
  EXPECT_LT(table, html.find("<section id=\"records\">"));
  const std::string failures = html.substr(table, html.find("</section>", table) - table);
  const std::regex link(R"re(<a href="#(record-[0-9]+)">)re");
  std::vector<std::string> targets;
  for (auto it = std::sregex_iterator(failures.begin(), failures.end(), link); it != std::sregex_iterator(); ++it) {
    targets.push_back((*it)[1]);
  }
  ASSERT_EQ(targets.size(), 81u) << failures.substr(0, 2000);
  for (const std::string& target : targets) {
    EXPECT_NE(html.find("<article class=\"record failed\" id=\"" + target + "\""), std::string::npos) << target;
  }
  // Every module with a failure shows it on its bar, however small the share.
  EXPECT_NE(html.find(">8 failed</text>"), std::string::npos);
  EXPECT_EQ(html.find("<code id=\"seed\">"), std::string::npos) << "--all draws nothing, so it has no seed";
  EXPECT_NE(html.find("vardenix check --rerun results.json"), std::string::npos);
  EXPECT_NE(html.find("--total " + dir / "total.db"), std::string::npos) << "the replay's paths are absolute";
  // Passed records are folded, a short line each.
  const std::regex passed_line(R"re(<li id="record-[0-9]+"[^>]*>[^<]*</li>\n)re");
  size_t passed = 0;
  size_t passed_bytes = 0;
  for (auto it = std::sregex_iterator(html.begin(), html.end(), passed_line); it != std::sregex_iterator(); ++it) {
    ++passed;
    passed_bytes += static_cast<size_t>(it->length());
  }
  EXPECT_EQ(passed, 3000u - 81u);
  EXPECT_LE(passed_bytes, passed * 48) << "bytes per passed record";
  EXPECT_LE(html.size(), 400'000u);

  const Browser browser = FindBrowser();
  if (browser.program == nullptr) GTEST_SKIP() << browser.why_not << ", so the page was not opened in a browser";
  // The page itself runs nothing; a copy with a script measures where the first failure is drawn,
  // and draws Chinese characters of the page in the page's own font beside a code point no font has
  // (its missing-glyph box): boxes would all look alike.
  std::string measured = html;
  measured.insert(measured.rfind("</body>"), R"(<script>
const first = document.querySelector('#failures a');
const cell = document.querySelector('#failures td[lang="zh-CN"]');
const style = getComputedStyle(cell);
const font = style.fontSize + ' ' + style.fontFamily;
const draw = (text) => {
  const canvas = document.createElement('canvas');
  canvas.width = 48; canvas.height = 48;
  const context = canvas.getContext('2d');
  context.font = font; context.textBaseline = 'top'; context.fillText(text, 4, 4);
  return canvas.toDataURL();
};
const box = draw('\u{10FFFD}');
const glyphs = ['缺', '少', '标', '题', '文', '件'].map(draw);
document.body.setAttribute('data-first-failure-bottom', String(first.getBoundingClientRect().bottom));
document.body.setAttribute('data-screen', String(window.innerHeight));
document.body.setAttribute('data-cjk', new Set(glyphs).size === glyphs.length && !glyphs.includes(box) ? 'glyphs' : 'boxes');
</script>)");
  fakes::WriteFileText(dir / "measured.html", measured);
  const CommandOutcome dom = support::RunCommand(
      browser.program, Concat(BrowserFlags(dir, "1200,900"), {"--dump-dom", "file://" + dir / "measured.html"}),
      dir.path(), {"HOME=" + dir.path()});
  if (dom.status != 0 || dom.out.find("<html") == std::string::npos) {
    GTEST_SKIP() << "Chromium could not run here:\n" << dom.Describe();
  }
  std::smatch bottom;
  std::smatch screen;
  ASSERT_TRUE(std::regex_search(dom.out, bottom, std::regex(R"re(data-first-failure-bottom="([0-9.]+)")re")))
      << dom.out.substr(0, 3000);
  ASSERT_TRUE(std::regex_search(dom.out, screen, std::regex(R"re(data-screen="([0-9]+)")re")));
  EXPECT_GT(std::stod(bottom[1]), 0.0);
  EXPECT_LE(std::stod(bottom[1]), std::stod(screen[1])) << "the first failure is below the first screen";
  EXPECT_NE(dom.out.find("data-cjk=\"glyphs\""), std::string::npos)
      << "Chinese text is drawn as missing-glyph boxes: no CJK font (scripts/setup installs fonts-wqy-microhei)";
  fakes::MakeDirs(RESULTS_ARTEFACT_DIR);
  const std::string shot = std::string(RESULTS_ARTEFACT_DIR) + "/check-report-3000.png";
  const CommandOutcome png = support::RunCommand(
      browser.program, Concat(BrowserFlags(dir, "1200,900"), {"--screenshot=" + shot, "file://" + dir / "report.html"}),
      dir.path(), {"HOME=" + dir.path()});
  EXPECT_EQ(png.status, 0) << png.Describe();
}

}  // namespace
}  // namespace vardenix

namespace vardenix {
namespace {

// Times are the only thing two runs may differ in.
std::string WithoutTimes(std::string text) {
  static const std::vector<std::pair<std::regex, std::string>> times = {
      {std::regex(R"re("(seconds|elapsedSeconds)":[-+0-9.eE]+)re"), "\"$1\":T"},
      {std::regex(R"re(time="[0-9.]+")re"), "time=\"T\""},
      {std::regex(R"(Took [0-9.]+ s)"), "Took T s"},
      {std::regex(R"(\([0-9.]+ s\))"), "(T s)"},
  };
  for (const auto& [pattern, replacement] : times) text = std::regex_replace(text, pattern, replacement);
  return text;
}

// A sweep graded by several workers reports exactly what one worker reports, in the same order:
// every output, with records of every outcome, more records than workers and a module of one record.
TEST(CheckResults, ASweepInSeveralWorkersReportsWhatOneWorkerDoes) {
  struct Output {
    const char* name;
    std::vector<std::string> flags;
    std::string file;  // empty: stdout
  };
  const std::vector<Output> outputs = {
      {"text", {}, ""},
      {"json", {"--json"}, ""},
      {"xml", {"--xml", "report.xml"}, "report.xml"},
      {"junit", {"--junit", "junit.xml"}, "junit.xml"},
      {"html", {"--html", "report.html"}, "report.html"},
  };
  TempDir dir;
  WriteBanks(dir);
  for (const Output& output : outputs) {
    std::map<std::string, std::string> seen;
    std::map<std::string, int> status;
    for (const char* jobs : {"1", "3", "8"}) {
      std::vector<std::string> args = Concat(SubjectCheck(dir), {"--all", "--seed", "7", "--jobs", jobs});
      for (const std::string& flag : output.flags) args.push_back(output.file == flag ? dir / flag : flag);
      const CommandOutcome o = Vardenix(dir, args);
      status[jobs] = o.status;
      seen[jobs] = WithoutTimes(output.file.empty() ? o.out : ReadFile(dir / output.file));
    }
    EXPECT_EQ(status["1"], 1) << output.name;
    EXPECT_FALSE(seen["1"].empty()) << output.name;
    EXPECT_EQ(status["3"], status["1"]) << output.name;
    EXPECT_EQ(status["8"], status["1"]) << output.name;
    EXPECT_EQ(seen["3"], seen["1"]) << output.name;
    EXPECT_EQ(seen["8"], seen["1"]) << output.name;
  }
  // The workers' folders inside the working folder were the check's: they are gone with it.
  EXPECT_FALSE(fakes::PathExists(dir / "vardenix-job-1"));
  EXPECT_FALSE(fakes::PathExists(dir / "vardenix-job-3"));
}

// Runs `vardenix args` with stdout into `out_path` and answers its peak resident set in KiB. Forked,
// not spawned: a spawned child shares this process's memory until it execs and inherits its
// high-water mark, so the figure would be this test's; a forked one starts from this process's
// present resident set, kept small by freeing what it no longer holds before.
long PeakRssKb(const TempDir& dir, const std::vector<std::string>& args, const std::string& out_path) {
  std::vector<std::string> strings = {VARDENIX_BIN};
  strings.insert(strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& s : strings) argv.push_back(s.data());
  argv.push_back(nullptr);
  std::string xdg = "XDG_DATA_HOME=" + dir / "xdg";
  std::string tmpdir = "TMPDIR=" + dir.path();
  std::string path = std::string("PATH=") + (std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin");
  char* envp[] = {xdg.data(), tmpdir.data(), path.data(), nullptr};
  ::malloc_trim(0);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, STDIN_FILENO);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(null, STDERR_FILENO);
    ::execve(argv[0], argv.data(), envp);
    ::_exit(127);
  }
  int status = 0;
  struct rusage usage {};
  if (pid < 0 || ::wait4(pid, &status, 0, &usage) != pid) return -1;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << "status " << status;
  return usage.ru_maxrss;
}

// A sweep's records go into its outputs as they come: the command holds none of them, so its peak
// memory is the same for ten times the records (JSON on stdout, JUnit and HTML files). Both sweeps
// have the same 20 failures, whose reports the check's error text and XML gather as they always
// have. Bound generous, for a loaded machine; the records the command used to hold took it past 2x.
TEST(CheckResults, ASweepsMemoryDoesNotGrowWithItsRecords) {
  TempDir dir;
  const std::vector<uint8_t> zip = AnswerZip(dir);
  const auto sweep = [&](int records) {
    constexpr int kPerModule = 500;
    const std::string name = std::to_string(records);
    {
      std::vector<std::string> modules;
      for (int m = 0; m < records / kPerModule; ++m) modules.push_back("Module " + std::to_string(m));
      std::vector<support::Question> questions;
      for (int i = 0; i < records; ++i) {
        questions.push_back({modules[static_cast<size_t>(i / kPerModule)], "R-" + std::to_string(i),
                             i % (records / 20) == 7 ? "short" : "perfect", zip});
      }
      support::WriteTotalBank(dir / ("total-" + name + ".db"), support::OperationModules("S1", modules));
      support::WriteSubjectBank(dir / ("subject-" + name + ".db"), questions);
    }
    const long peak = PeakRssKb(
        dir,
        {"check", "--ping-name", kScorer, "--component", RESULTS_SCORER_MODULE, "--total", dir / ("total-" + name + ".db"),
         "--subject", dir / ("subject-" + name + ".db"), "--subject-code", "S1", "--all", "--jobs", "1", "--quiet",
         "--json", "--junit", dir / ("junit-" + name + ".xml"), "--html", dir / ("report-" + name + ".html")},
        dir / ("result-" + name + ".json"));
    const nlohmann::json j = nlohmann::json::parse(ReadFile(dir / ("result-" + name + ".json")));
    EXPECT_EQ(j["counts"]["records"], records);
    EXPECT_EQ(j["counts"]["notPassed"], 20);
    EXPECT_EQ(j["records"].size(), static_cast<size_t>(records));
    const std::string junit = ReadFile(dir / ("junit-" + name + ".xml"));
    EXPECT_NE(junit.find("R-" + std::to_string(records - 1) + " (draw 500)"), std::string::npos);
    const std::string html = ReadFile(dir / ("report-" + name + ".html"));
    EXPECT_NE(html.find("id=\"record-" + std::to_string(records) + "\""), std::string::npos);
    return peak;
  };
  const long small = sweep(1000);
  const long large = sweep(10000);
  ASSERT_GT(small, 0);
  EXPECT_LE(large, small * 3 / 2) << "peak RSS: " << small << " KiB for 1,000 records, " << large
                                  << " KiB for 10,000";
}

// A sweep's records wait in files under TMPDIR once they are more than a few dozen. When none can be
// made there, the command says so and fails (exit 2) with the verdict still on stdout, rather than
// write reports that lack records; a check of a few records needs no file at all.
TEST(CheckResults, ASweepWhoseRecordsCannotBeKeptUnderTmpdirFailsAndSaysSo) {
  TempDir dir;
  const std::vector<uint8_t> zip = AnswerZip(dir);
  std::vector<support::Question> questions;
  for (int i = 0; i < 1000; ++i) questions.push_back({"Word", "R-" + std::to_string(i), "perfect", zip});
  support::WriteTotalBank(dir / "total-1000.db", support::OperationModules("S1", {"Word"}));
  support::WriteSubjectBank(dir / "subject-1000.db", questions);
  WriteBanks(dir);
  fakes::MakeDirs(dir / "work");
  const std::vector<std::string> env = {"XDG_DATA_HOME=" + dir / "xdg", "TMPDIR=" + dir / "missing"};
  const auto sweep = [&](const std::string& bank) {
    return support::RunCommand(
        VARDENIX_BIN,
        {"check", "--ping-name", kScorer, "--component", RESULTS_SCORER_MODULE, "--total", dir / ("total" + bank),
         "--subject", dir / ("subject" + bank), "--subject-code", "S1", "--all", "--jobs", "1", "--quiet",
         "--ping-path", dir / "work", "--junit", dir / ("junit" + bank + ".xml")},
        dir.path(), env);
  };
  const CommandOutcome large = sweep("-1000.db");
  EXPECT_EQ(large.status, 2) << large.Describe();
  EXPECT_NE(large.out.find("verdict: passed\n"), std::string::npos) << large.Describe();
  EXPECT_NE(large.err.find("cannot make a file for the records in " + dir / "missing" + " (TMPDIR)"),
            std::string::npos)
      << large.Describe();
  EXPECT_FALSE(fakes::PathExists(dir / "junit-1000.db.xml"));
  const CommandOutcome small = sweep(".db");
  EXPECT_EQ(small.status, 1) << small.Describe();
  EXPECT_NE(ReadFile(dir / "junit.db.xml").find("W-8 (draw 8)"), std::string::npos);
}

// What stands at a worker folder's name and was not made by a sweep is the user's: the sweep fails
// and says so, and leaves it as it is (a folder with a file, a link to one). Every worker's folder is
// looked at before any record is graded, so this holds also for the last of eight workers, which on
// a busy machine often gets no record of the eight at all.
TEST(CheckResults, ASweepNeverEmptiesAFolderItDidNotMake) {
  struct Row {
    const char* name;
    const char* jobs;
    std::string folder;
    void (*plant)(const TempDir& dir, const std::string& folder);
  };
  const auto user_folder = [](const TempDir& dir, const std::string& folder) {
    fakes::MakeDirs(dir / folder);
    fakes::WriteFileText(dir / (folder + "/keep.txt"), "mine");
  };
  const Row rows[] = {
      {"a folder of the user's", "2", "vardenix-job-2", user_folder},
      {"a folder of the user's where the last of eight workers works", "8", "vardenix-job-8", user_folder},
      {"a link to a folder of the user's", "2", "vardenix-job-2", [](const TempDir& dir, const std::string& folder) {
         fakes::MakeDirs(dir / "mine");
         fakes::WriteFileText(dir / "mine/keep.txt", "mine");
         std::filesystem::create_directory_symlink(dir / "mine", dir / folder);
       }},
  };
  for (const Row& row : rows) {
    TempDir dir;
    WriteBanks(dir);
    row.plant(dir, row.folder);
    const CommandOutcome o = Vardenix(dir, Concat(SubjectCheck(dir), {"--all", "--seed", "7", "--jobs", row.jobs}));
    EXPECT_EQ(o.status, 1) << row.name << o.Describe();
    EXPECT_NE(o.out.find("something vardenix did not make is there"), std::string::npos) << row.name << o.Describe();
    EXPECT_EQ(ReadFile(dir / (row.folder + "/keep.txt")), "mine") << row.name;
  }
}

// A check in which nothing at all was graded has shown nothing: not passed, in every output, with
// any options and any number of workers, unless --allow-empty; the typical document alone is graded.
TEST(CheckResults, NothingGradedIsNotPassed) {
  struct Row {
    const char* name;
    std::vector<std::string> flags;
    int status;
  };
  const Row rows[] = {
      {"a sample", {}, 1},
      {"--options 2", {"--options", "2"}, 1},
      {"--all", {"--all", "--jobs", "1"}, 1},
      {"--all in two workers", {"--all", "--jobs", "2"}, 1},
      {"--allow-empty", {"--allow-empty"}, 0},
      {"--all --allow-empty", {"--all", "--jobs", "2", "--allow-empty"}, 0},
  };
  for (const Row& row : rows) {
    TempDir dir;
    // Two modules: one whose records have no answer text or no archive, one without questions.
    support::WriteTotalBank(dir / "total.db", support::OperationModules("S1", {"Word", "Empty"}));
    support::WriteSubjectBank(dir / "subject.db", {{"Word", "W-4", std::nullopt, AnswerZip(dir)},
                                                   {"Word", "W-5", "perfect", std::nullopt}});
    const std::vector<std::string> outputs = {"--junit", dir / "junit.xml", "--html", dir / "report.html"};
    const CommandOutcome text = Vardenix(dir, Concat(Concat(SubjectCheck(dir), row.flags), outputs));
    EXPECT_EQ(text.status, row.status) << row.name << "\n" << text.Describe();
    const CommandOutcome json = Vardenix(dir, Concat(Concat(SubjectCheck(dir), row.flags), {"--json"}));
    EXPECT_EQ(json.status, row.status) << row.name << "\n" << json.Describe();
    const nlohmann::json j = Json(json);
    const std::string junit = ReadFile(dir / "junit.xml");
    const std::string html = ReadFile(dir / "report.html");
    if (row.status == 1) {
      EXPECT_NE(text.out.find("verdict: not passed: nothing was graded\n"), std::string::npos) << row.name << text.out;
      EXPECT_EQ(j.value("verdict", true), false) << row.name;
      EXPECT_EQ(j.value("reason", ""), "nothing was graded") << row.name;
      EXPECT_NE(junit.find("<failure message=\"not passed: nothing was graded\" type=\"verdict\""), std::string::npos)
          << row.name << "\n" << junit;
      EXPECT_NE(html.find("<h1>Not passed: nothing was graded</h1>"), std::string::npos) << row.name;
    } else {
      EXPECT_NE(text.out.find("verdict: passed\n"), std::string::npos) << row.name << text.out;
      EXPECT_EQ(j.value("verdict", false), true) << row.name;
      EXPECT_FALSE(j.contains("reason")) << row.name;
      EXPECT_EQ(junit.find("vardenix.verdict"), std::string::npos) << row.name << "\n" << junit;
    }
  }
  // The typical document alone is graded: it passes, and the demo's first check with it.
  TempDir dir;
  const CommandOutcome typical = Vardenix(dir, Concat(DocumentCheck(dir, "perfect"), {"--json"}));
  EXPECT_EQ(typical.status, 0) << typical.Describe();
  EXPECT_FALSE(Json(typical).contains("reason"));
}

// A text XML cannot hold (a bell, U+FFFE, U+FFFF) in what a component says reaches every report by
// one rule, "\u0007" and "\uFFFE" as text: the JUnit, HTML and XML files stay well-formed, and JSON
// says the same.
TEST(CheckReports, ATextXmlCannotHoldReachesEveryReportByOneRule) {
  TempDir dir;
  const std::string answer = "odd \a \xEF\xBF\xBE \xEF\xBF\xBF";
  const std::string shown = "odd \\u0007 \\uFFFE \\uFFFF";
  const CommandOutcome o = Vardenix(dir, Concat(DocumentCheck(dir, answer),
                                                {"--junit", dir / "junit.xml", "--html", dir / "report.html", "--xml",
                                                 dir / "report.xml"}));
  EXPECT_EQ(o.status, 1) << o.Describe();
  for (const char* file : {"junit.xml", "report.xml"}) {
    const std::string text = ReadFile(dir / file);
    EXPECT_TRUE(SystemXmlDom().NewDocument()->LoadXml(text)) << file << "\n" << text;
  }
  EXPECT_NE(ReadFile(dir / "junit.xml").find("short: " + shown), std::string::npos) << ReadFile(dir / "junit.xml");
  EXPECT_NE(ReadFile(dir / "report.html").find("short: " + shown), std::string::npos);
  const CommandOutcome json = Vardenix(dir, Concat(DocumentCheck(dir, answer), {"--json"}));
  const nlohmann::json j = Json(json);
  EXPECT_NE(j.value("errMsg", "").find("short: " + shown), std::string::npos) << json.out;
  ASSERT_EQ(j.at("records").size(), 1u);
  EXPECT_NE(j.at("records")[0].value("errMsg", "").find("short: " + shown), std::string::npos) << json.out;
}

}  // namespace
}  // namespace vardenix
