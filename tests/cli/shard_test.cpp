// Sweeps split into shards and merged again, end to end: `vardenix check --all --shard K/N` on real
// banks with the test scorer module ("perfect" passes, any other answer fails), and `vardenix merge`
// of the shards' --json results compared with one --all run of the whole sweep.
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>

#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "authoring/zip_writer.h"
#include "support/banks.h"
#include "support/command.h"
#include "tests/support/fakes/temp_dir.h"

namespace vardenix {
namespace {

using fakes::TempDir;
using support::Bytes;
using support::CommandOutcome;

constexpr const char* kScorer = "Vardenix.Test.Scorer";

std::string ReadText(const std::string& path) {
  const std::vector<uint8_t> bytes = fakes::ReadFileBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

CommandOutcome Vardenix(const TempDir& dir, const std::vector<std::string>& args) {
  return support::RunCommand(VARDENIX_BIN, args, dir.path(), {"XDG_DATA_HOME=" + dir / "xdg", "TMPDIR=" + dir.path()});
}

// A subject bank of `per_module` questions in each module, numbered "<module>-<n>", all with the
// answer "perfect" but the planted ones: every fifth from the third a failing answer, and (in banks
// of more than eight) one archive that is no zip and one record without its Tbl_Operation row.
void WriteBanks(const TempDir& dir, const std::vector<std::string>& modules, int per_module,
                const std::string& name = "") {
  fakes::MakeDirs(dir / "answer/Docs");
  fakes::WriteFileText(dir / "answer/Docs/report.txt", "the model answer\n");
  const std::vector<uint8_t> zip = ZipFolder(dir / "answer");
  std::vector<support::Question> questions;
  int n = 0;
  for (const std::string& module : modules) {
    for (int i = 1; i <= per_module; ++i, ++n) {
      support::Question q{module, module + "-" + std::to_string(i), n % 5 == 2 ? "wrong" : "perfect", zip};
      if (n == 6) q.content = Bytes("this is not a zip archive");
      if (n == 8) q.in_operation = false;
      questions.push_back(q);
    }
  }
  support::WriteTotalBank(dir / (name + "total.db"), support::OperationModules("S1", modules));
  support::WriteSubjectBank(dir / (name + "subject.db"), questions);
}

// The sweep's command line: one worker in one working folder, so that the scorer's texts (which
// name the folder) are the same in every run.
std::vector<std::string> Sweep(const TempDir& dir, const std::vector<std::string>& more,
                               const std::string& ping_name = kScorer, const std::string& bank = "") {
  std::vector<std::string> args = {"check",        "--ping-name", ping_name,         "--component", TEST_SCORER_MODULE,
                                   "--total",      dir / (bank + "total.db"), "--subject",    dir / (bank + "subject.db"),
                                   "--subject-code", "S1",        "--all",           "--jobs",      "1",
                                   "--ping-path",  dir / "work",  "--seed",          "7",           "--quiet"};
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

// The JSON result without what differs from run to run: the timings.
nlohmann::json WithoutTimings(nlohmann::json result) {
  result.erase("elapsedSeconds");
  for (nlohmann::json& r : result["records"]) r.erase("seconds");
  return result;
}

std::string WithoutTimes(const std::string& text) {
  static const std::regex times(R"(time="[0-9.]+"|Took [0-9.]+ s|\([0-9.]+ s\))");
  return std::regex_replace(text, times, "TIME");
}

// Runs shards 0..n-1 of the sweep into shard-K.json files and answers their paths.
std::vector<std::string> RunShards(const TempDir& dir, int n, const std::vector<std::string>& more = {},
                                   const std::string& ping_name = kScorer, const std::string& bank = "") {
  std::vector<std::string> files;
  for (int k = 0; k < n; ++k) {
    const std::string file = dir / (bank + ping_name + "-shard-" + std::to_string(k) + "-of-" + std::to_string(n) + ".json");
    std::vector<std::string> args = more;
    args.insert(args.end(), {"--shard", std::to_string(k) + "/" + std::to_string(n), "--json"});
    const CommandOutcome shard = Vardenix(dir, Sweep(dir, args, ping_name, bank));
    EXPECT_TRUE(shard.status == 0 || shard.status == 1) << shard.Describe();
    fakes::WriteFileText(file, shard.out);
    files.push_back(file);
  }
  return files;
}

using RecordKey = std::tuple<std::string, std::string, int>;

RecordKey KeyOf(const nlohmann::json& r) {
  return {r["module"].get<std::string>(), r["recNo"].get<std::string>(), r["draw"].get<int>()};
}

TEST(ShardedSweep, EveryRecordIsInExactlyOneShardAndTheMergeIsTheSingleRun) {
  struct Row {
    const char* name;
    int per_module;  // in each of three modules
    int shards;
  };
  const Row rows[] = {
      {"one shard", 4, 1}, {"two shards", 4, 2}, {"three shards", 4, 3}, {"seven shards", 4, 7},
      {"a bank smaller than the shard count", 1, 7},
  };
  for (const Row& row : rows) {
    TempDir dir;
    fakes::MakeDirs(dir / "work");
    WriteBanks(dir, {"Word", "Excel", "PPT"}, row.per_module);
    const CommandOutcome single =
        Vardenix(dir, Sweep(dir, {"--json", "--xml", dir / "all.xml", "--junit", dir / "all.junit", "--html",
                                  dir / "all.html"}));
    ASSERT_EQ(single.status, 1) << row.name << single.Describe();
    const nlohmann::json whole = nlohmann::json::parse(single.out);
    const CommandOutcome single_text = Vardenix(dir, Sweep(dir, {}));

    const std::vector<std::string> files = RunShards(dir, row.shards);
    // Each draw of the sweep in one shard, the shards' runs in order making up the whole sweep.
    std::vector<RecordKey> joined;
    std::set<RecordKey> seen;
    for (const std::string& file : files) {
      const nlohmann::json shard = nlohmann::json::parse(ReadText(file));
      for (const nlohmann::json& r : shard["records"]) {
        EXPECT_TRUE(seen.insert(KeyOf(r)).second) << row.name << ": in two shards: " << r["recNo"];
        joined.push_back(KeyOf(r));
      }
    }
    std::vector<RecordKey> expected;
    for (const nlohmann::json& r : whole["records"]) expected.push_back(KeyOf(r));
    EXPECT_EQ(joined, expected) << row.name;

    std::vector<std::string> merge = {"merge", "--json", "--xml", dir / "merged.xml", "--junit", dir / "merged.junit",
                                      "--html", dir / "merged.html", "--quiet"};
    // Given in any order.
    merge.insert(merge.end(), files.rbegin(), files.rend());
    const CommandOutcome merged = Vardenix(dir, merge);
    ASSERT_EQ(merged.status, 1) << row.name << merged.Describe();
    EXPECT_EQ(WithoutTimings(nlohmann::json::parse(merged.out)), WithoutTimings(whole)) << row.name;
    EXPECT_EQ(nlohmann::json::parse(merged.out)["records"].size(), whole["records"].size()) << row.name;
    EXPECT_EQ(ReadText(dir / "merged.xml"), ReadText(dir / "all.xml")) << row.name;
    EXPECT_EQ(WithoutTimes(ReadText(dir / "merged.junit")), WithoutTimes(ReadText(dir / "all.junit"))) << row.name;
    EXPECT_EQ(WithoutTimes(ReadText(dir / "merged.html")), WithoutTimes(ReadText(dir / "all.html"))) << row.name;
    std::vector<std::string> merge_text = {"merge", "--quiet"};
    merge_text.insert(merge_text.end(), files.begin(), files.end());
    const CommandOutcome text = Vardenix(dir, merge_text);
    EXPECT_EQ(text.status, 1) << row.name;
    EXPECT_EQ(text.out, single_text.out) << row.name;
  }
}

TEST(ShardedSweep, AnEmptyShardIsAValidShardAndAPassingSweepMergesToPassed) {
  TempDir dir;
  fakes::MakeDirs(dir / "work");
  WriteBanks(dir, {"Word"}, 2);  // both "perfect"
  const std::vector<std::string> files = RunShards(dir, 4);
  for (const std::string& file : files) {
    const nlohmann::json shard = nlohmann::json::parse(ReadText(file));
    EXPECT_EQ(shard["verdict"], true) << file;
  }
  EXPECT_TRUE(nlohmann::json::parse(ReadText(files[0]))["records"].empty());
  std::vector<std::string> merge = {"merge", "--quiet"};
  merge.insert(merge.end(), files.begin(), files.end());
  const CommandOutcome merged = Vardenix(dir, merge);
  EXPECT_EQ(merged.status, 0) << merged.Describe();
  EXPECT_NE(merged.out.find("verdict: passed"), std::string::npos) << merged.out;
}

// Every shard of a sweep that grades nothing passes alone; the merge, as one run of the whole sweep,
// does not, and reports it with the same entry (unless --allow-empty).
TEST(ShardedSweep, ASweepThatGradesNothingMergesToTheSingleRunsFailure) {
  TempDir dir;
  fakes::MakeDirs(dir / "work");
  std::vector<support::Question> questions;
  for (int i = 1; i <= 3; ++i) {
    support::Question q{"Word", "Word-" + std::to_string(i), "perfect", Bytes("unused")};
    q.in_operation = false;  // no answer: drawn, not graded
    questions.push_back(q);
  }
  support::WriteTotalBank(dir / "total.db", support::OperationModules("S1", {"Word"}));
  support::WriteSubjectBank(dir / "subject.db", questions);
  const CommandOutcome single = Vardenix(dir, Sweep(dir, {"--xml", dir / "all.xml"}));
  ASSERT_EQ(single.status, 1) << single.Describe();
  ASSERT_NE(single.out.find("3 drawn, none with an answer"), std::string::npos) << single.out;
  // The one shard of one is the whole sweep: it does not pass on nothing.
  const CommandOutcome whole = Vardenix(dir, Sweep(dir, {"--shard", "0/1"}));
  EXPECT_EQ(whole.status, 1) << whole.Describe();
  const std::vector<std::string> files = RunShards(dir, 2);
  for (const std::string& file : files) EXPECT_EQ(nlohmann::json::parse(ReadText(file))["verdict"], true) << file;
  for (const bool allow_empty : {false, true}) {
    std::vector<std::string> merge = {"merge", "--quiet", "--xml", dir / "merged.xml"};
    if (allow_empty) merge.push_back("--allow-empty");
    merge.insert(merge.end(), files.begin(), files.end());
    const CommandOutcome merged = Vardenix(dir, merge);
    if (allow_empty) {
      EXPECT_EQ(merged.status, 0) << merged.Describe();
      continue;
    }
    EXPECT_EQ(merged.status, 1) << merged.Describe();
    EXPECT_EQ(merged.out, single.out);
    EXPECT_EQ(ReadText(dir / "merged.xml"), ReadText(dir / "all.xml"));
  }
}

TEST(ShardedSweep, MergeRefusesShardsThatDoNotMakeOneSweep) {
  TempDir dir;
  fakes::MakeDirs(dir / "work");
  WriteBanks(dir, {"Word", "Excel"}, 3);
  WriteBanks(dir, {"Word", "Excel"}, 4, "other-");
  const std::vector<std::string> shards = RunShards(dir, 3);
  const std::vector<std::string> other_bank = RunShards(dir, 3, {}, kScorer, "other-");
  const std::string other_prog_id = RunShards(dir, 3, {}, "Vardenix.Test.Missing")[1];
  fakes::WriteFileText(dir / "whole.json", Vardenix(dir, Sweep(dir, {"--json"})).out);
  struct Row {
    const char* name;
    std::vector<std::string> files;
    std::string named;  // what the refusal must name
  };
  const Row rows[] = {
      {"a missing shard", {shards[0], shards[2]}, "1/3"},
      {"a duplicate shard", {shards[0], shards[1], shards[1], shards[2]}, shards[1]},
      {"a shard of another bank", {shards[0], other_bank[1], shards[2]}, other_bank[1]},
      {"a shard of another ProgID", {shards[0], other_prog_id, shards[2]}, other_prog_id},
      {"a whole run, not a shard", {dir / "whole.json"}, dir / "whole.json"},
      {"a file that is not there", {shards[0], dir / "nowhere.json"}, dir / "nowhere.json"},
  };
  for (const Row& row : rows) {
    std::vector<std::string> args = {"merge", "--xml", dir / "refused.xml"};
    args.insert(args.end(), row.files.begin(), row.files.end());
    const CommandOutcome refused = Vardenix(dir, args);
    EXPECT_EQ(refused.status, 2) << row.name << refused.Describe();
    EXPECT_NE(refused.err.find(row.named), std::string::npos) << row.name << refused.Describe();
    EXPECT_TRUE(refused.out.empty()) << row.name << refused.out;
    EXPECT_NE(::access((dir / "refused.xml").c_str(), F_OK), 0) << row.name;
    // A script asking for JSON gets the refusal as the error object.
    args.push_back("--json");
    const nlohmann::json error = nlohmann::json::parse(Vardenix(dir, args).out);
    EXPECT_EQ(error["exitStatus"], 2) << row.name;
    EXPECT_NE(error["error"].get<std::string>().find(row.named), std::string::npos) << row.name;
  }
}

TEST(ShardedSweep, ShardNeedsASweepOfTheSubjectBankAndAWellFormedShare) {
  TempDir dir;
  fakes::MakeDirs(dir / "work");
  WriteBanks(dir, {"Word"}, 2);
  const std::vector<std::string> base = {"check",     "--ping-name",      kScorer,   "--component", TEST_SCORER_MODULE,
                                         "--total",   dir / "total.db",   "--subject", dir / "subject.db",
                                         "--subject-code", "S1", "--quiet"};
  struct Row {
    const char* name;
    std::vector<std::string> more;
    const char* says;
  };
  const Row rows[] = {
      {"a random sample", {"--shard", "0/2"}, "--all"},
      {"K not below N", {"--all", "--shard", "2/2"}, "K/N"},
      {"no slash", {"--all", "--shard", "1"}, "K/N"},
      {"no shards", {"--all", "--shard", "0/0"}, "K/N"},
      {"a negative K", {"--all", "--shard", "-1/2"}, "K/N"},
      {"with the typical document",
       {"--all", "--shard", "0/2", "--archive", dir / "total.db", "--rule-text", "r"},
       "typical document"},
  };
  for (const Row& row : rows) {
    std::vector<std::string> args = base;
    args.insert(args.end(), row.more.begin(), row.more.end());
    const CommandOutcome refused = Vardenix(dir, args);
    EXPECT_EQ(refused.status, 2) << row.name << refused.Describe();
    EXPECT_NE(refused.err.find(row.says), std::string::npos) << row.name << refused.Describe();
  }
}

TEST(ShardedSweep, RerunOfTheMergedResultAndShardedRerunsGradeTheRecordsThatDidNotPass) {
  TempDir dir;
  fakes::MakeDirs(dir / "work");
  WriteBanks(dir, {"Word", "Excel", "PPT"}, 4);
  std::vector<std::string> merge = {"merge", "--json", "--quiet"};
  const std::vector<std::string> files = RunShards(dir, 3);
  merge.insert(merge.end(), files.begin(), files.end());
  fakes::WriteFileText(dir / "merged.json", Vardenix(dir, merge).out);
  const nlohmann::json merged = nlohmann::json::parse(ReadText(dir / "merged.json"));

  std::vector<std::string> rerun_args = Sweep(dir, {"--rerun", dir / "merged.json", "--json"});
  rerun_args.erase(std::find(rerun_args.begin(), rerun_args.end(), "--all"));
  const CommandOutcome rerun = Vardenix(dir, rerun_args);
  EXPECT_EQ(rerun.status, 1) << rerun.Describe();
  const nlohmann::json again = nlohmann::json::parse(rerun.out);
  std::vector<std::string> expected;
  for (const nlohmann::json& r : merged["records"]) {
    if (r["outcome"] != "passed") expected.push_back(r["recNo"]);
  }
  std::vector<std::string> graded;
  for (const nlohmann::json& r : again["records"]) graded.push_back(r["recNo"]);
  EXPECT_EQ(graded, expected);
  ASSERT_FALSE(expected.empty());

  // The rerun split in two and merged is the rerun.
  std::vector<std::string> merge_rerun = {"merge", "--json", "--quiet"};
  for (int k = 0; k < 2; ++k) {
    std::vector<std::string> args = rerun_args;
    args.insert(args.end(), {"--shard", std::to_string(k) + "/2"});
    fakes::WriteFileText(dir / ("rerun-" + std::to_string(k) + ".json"), Vardenix(dir, args).out);
    merge_rerun.push_back(dir / ("rerun-" + std::to_string(k) + ".json"));
  }
  const CommandOutcome merged_rerun = Vardenix(dir, merge_rerun);
  EXPECT_EQ(merged_rerun.status, 1) << merged_rerun.Describe();
  EXPECT_EQ(WithoutTimings(nlohmann::json::parse(merged_rerun.out)), WithoutTimings(again));
}

}  // namespace
}  // namespace vardenix
