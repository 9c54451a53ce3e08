// The subject sampling check on real SQLite banks, with a scripted random source and recording
// fakes for the archive control and the scoring component.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <set>
#include <thread>

#include "checks/banks.h"
#include "checks/rig.h"
#include "checks/subject_check.h"
#include "archive/archive_control.h"
#include "tests/support/fakes/bank_writer.h"
#include "tests/support/fakes/logging_database.h"
#include "tests/support/fakes/report_reader.h"
#include "tests/support/fakes/temp_dir.h"
#include "tests/support/fakes/zip_writer.h"
#include "platform/files.h"
#include "report/mod_xml_rw.h"

namespace vardenix::testing {
namespace {

// Scores each record by its answer: an answer starting with "bad" gets 50 and reports itself.
void ScoreByAnswer(Rig& rig) {
  rig.script->ping_hook = [](const fakes::ComponentScript& s) {
    return Variant::R4(s.puts.at("AnsCont").text().rfind("bad", 0) == 0 ? 50.0f : 100.0f);
  };
}

struct Banks {
  explicit Banks(const fakes::TempDir& dir) : total(dir / "total.db"), subject(dir / "subject.db") {}
  std::string total;
  std::string subject;
};

// Record numbers the component was asked to grade, in order.
std::vector<std::string> GradedAnswers(const Rig& rig) {
  std::vector<std::string> answers;
  for (const auto& c : rig.script->log) {
    if (c.kind == "put" && c.member == "AnsCont") answers.push_back(c.value.text());
  }
  return answers;
}

TEST(SampleCount, Table) {
  struct Row {
    float rate;
    int32_t count;
    int32_t samples;
  };
  const Row rows[] = {
      {0.0f, 7, 1},  {0.1f, 9, 1},  {0.1f, 10, 2}, {0.1f, 20, 3}, {0.3f, 10, 4},
      {0.5f, 10, 6}, {0.7f, 10, 7}, {1.0f, 10, 11}, {-0.5f, 10, -4}, {-0.01f, 1, 0},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(SampleCount(row.rate, row.count), row.samples) << row.rate << " x " << row.count;
  }
  EXPECT_THROW(SampleCount(3e9f, 1), RuntimeError);
}

TEST(SubjectMdbChk, GuardsInOrder) {
  struct Row {
    const char* name;
    bool total_exists, subject_exists;
    bool total_empty, subject_empty;
    bool subject_is_folder;
    std::string expected_info;  // with {T} and {S} for the paths
  };
  const Row rows[] = {
      {"empty subject path", true, true, false, true, false, ""},
      {"empty total path", true, true, true, false, false, ""},
      {"neither file: only the total bank", false, false, false, false, false,
       "对题库进行检测时出错\r\n    指定的{T}库不存在\r\n"},
      {"no subject file", true, false, false, false, false,
       "对题库进行检测时出错\r\n    指定的科目库[{S}]不存在\r\n"},
      {"a folder is no database", true, false, false, false, true,
       "对题库进行检测时出错\r\n    指定的科目库[{S}]不存在\r\n"},
  };
  for (const Row& row : rows) {
    DirectRig rig;
    Banks banks(rig.dir);
    if (row.total_exists) TotalBank(banks.total, "S1", {"m"});
    if (row.subject_exists) SubjectBank(banks.subject, {{"m", "R1"}});
    if (row.subject_is_folder) fakes::MakeDirs(banks.subject);
    std::string text = "before", xml;
    EXPECT_FALSE(SubjectMdbChk(rig.ctx, text, xml, row.total_empty ? "" : banks.total,
                               row.subject_empty ? "" : banks.subject, "S1", -1, 1.0f))
        << row.name;
    std::string expected = row.expected_info;
    for (auto [key, value] : {std::pair{"{T}", banks.total}, std::pair{"{S}", banks.subject}}) {
      const auto at = expected.find(key);
      if (at != std::string::npos) expected.replace(at, 3, value);
    }
    EXPECT_EQ(rig.err_info, expected) << row.name;
    EXPECT_EQ(text, "before") << row.name;
    EXPECT_EQ(rig.script->created, 0) << row.name;
  }
}

TEST(SubjectMdbChk, NoOperationQuestionsForTheSubject) {
  DirectRig rig;
  Banks banks(rig.dir);
  TotalBank(banks.total, "S1", {"m"});
  SubjectBank(banks.subject, {{"m", "R1"}});
  for (auto [code, contract] : {std::pair{"S2", -1}, std::pair{"S1", 7}}) {
    rig.err_info.clear();
    std::string text, xml;
    EXPECT_FALSE(SubjectMdbChk(rig.ctx, text, xml, banks.total, banks.subject, code, contract, 1.0f));
    EXPECT_EQ(rig.err_info, "对题库进行检测\r\n    方案中不存在当前科目的操作题\r\n") << code;
  }
  // Contract -1 leaves the contract out; the right contract and the subject code in another case find it.
  for (auto [code, contract] : {std::pair{"S1", -1}, std::pair{"s1", 1}}) {
    std::string text, xml;
    EXPECT_TRUE(SubjectMdbChk(rig.ctx, text, xml, banks.total, banks.subject, code, contract, 0.0f)) << code;
  }
}

TEST(SubjectMdbChk, TwoDrawPositioning) {
  struct Row {
    const char* name;
    int rows;
    std::deque<float> draws;
    std::vector<std::string> graded;
    int drawn;
  };
  const Row rows[] = {
      // rate 0: one sample per module
      {"k1 = 0 keeps the first row and draws once", 4, {0.1f}, {"a0"}, 1},
      {"k1 > 0 moves by the second draw", 4, {0.9f, 0.5f}, {"a2"}, 2},
      {"k2 = 0 stays on the first row", 4, {0.9f, 0.0f}, {"a0"}, 2},
      {"a module of one question always yields it", 1, {0.99f}, {"a0"}, 1},
      {"the largest draw reaches the last row", 4, {0.5f, 0.99999994f}, {"a3"}, 2},
  };
  for (const Row& row : rows) {
    DirectRig rig;
    Banks banks(rig.dir);
    TotalBank(banks.total, "S1", {"m"});
    std::vector<Question> questions;
    for (int i = 0; i < row.rows; ++i) {
      questions.push_back({"m", "R" + std::to_string(i), "a" + std::to_string(i)});
    }
    SubjectBank(banks.subject, questions);
    rig.random->draws = row.draws;
    std::string text, xml;
    EXPECT_TRUE(SubjectMdbChk(rig.ctx, text, xml, banks.total, banks.subject, "S1", -1, 0.0f)) << row.name;
    EXPECT_EQ(GradedAnswers(rig), row.graded) << row.name;
    EXPECT_EQ(rig.random->drawn, row.drawn) << row.name;
    EXPECT_EQ(rig.random->reseeds, 1) << row.name;
  }
}

TEST(SubjectMdbChk, SamplesEachModuleAndReportsEveryFailingDraw) {
  DirectRig rig;
  ScoreByAnswer(rig);
  Banks banks(rig.dir);
  TotalBank(banks.total, "S1", {"m1", "m2", "empty module"});
  SubjectBank(banks.subject, {{"m1", "R1", "bad one"},
                              {"m2", "R2", "good"},
                              {"m2", "R3", "good too"},
                              {"m2", "R4", "bad four"},
                              {"m2", "R5", "good"}});
  int sample = 0;
  rig.script->ping_hook = [&](const fakes::ComponentScript& s) {
    const bool bad = s.puts.at("AnsCont").text().rfind("bad", 0) == 0;
    rig.script->show_err = Variant::Text("fail " + std::to_string(++sample) + "\r\n");
    std::string report;
    AddRuleErr(report, "", "entry " + std::to_string(sample), "", "", "", "", "");
    rig.script->err_msg_xml = Variant::Text(report);
    return Variant::R4(bad ? 50.0f : 100.0f);
  };
  // m1 (1 row, rate 0.5 -> 1 sample): R1 fails. m2 (4 rows -> 3 samples): R4, R2, R4.
  rig.random->draws = {0.0f, 0.9f, 0.6f, 0.0f, 0.9f, 0.5f};
  std::string text = "kept\r\n", xml;
  EXPECT_FALSE(SubjectMdbChk(rig.ctx, text, xml, banks.total, banks.subject, "S1", -1, 0.5f));
  EXPECT_EQ(GradedAnswers(rig), (std::vector<std::string>{"bad one", "bad four", "good", "bad four"}));
  EXPECT_EQ(text, "kept\r\nfail 1\r\nfail 2\r\nfail 4\r\n");
  EXPECT_EQ(fakes::ReadReport(xml).Field("RuleErrInfo"), (std::vector<std::string>{"entry 1", "entry 2", "entry 4"}));
  EXPECT_EQ(rig.random->reseeds, 2) << "once per module with rows";
  EXPECT_EQ(rig.err_info, "");
}

TEST(SubjectMdbChk, NullAndEmptyValuesAndRates) {
  struct Row {
    const char* name;
    std::vector<std::optional<std::string>> modules;
    std::vector<Question> questions;
    float rate;
    std::vector<std::string> graded;
  };
  const Row rows[] = {
      {"a null module is queried as the empty name", {std::nullopt}, {{"", "R1", "empty-named"}}, 0.0f, {"empty-named"}},
      {"null and empty record numbers are passed over", {"m"}, {{"m", std::nullopt, "x"}, {"m", "", "y"}}, 1.0f, {}},
      {"a negative rate samples nothing", {"m"}, {{"m", "R1", "bad"}}, -1.0f, {}},
      {"rate 1 samples one more than the rows", {"m"}, {{"m", "R1", "a"}, {"m", "R2", "b"}}, 1.0f, {"a", "a", "a"}},
  };
  for (const Row& row : rows) {
    DirectRig rig;
    Banks banks(rig.dir);
    TotalBank(banks.total, "S1", row.modules);
    SubjectBank(banks.subject, row.questions);
    std::string text, xml;
    EXPECT_TRUE(SubjectMdbChk(rig.ctx, text, xml, banks.total, banks.subject, "S1", -1, row.rate)) << row.name;
    EXPECT_EQ(GradedAnswers(rig), row.graded) << row.name;
  }
}

TEST(SubjectMdbChk, ARunTimeFailureAfterAFailedQuestionAnswersFalseWithAnEntry) {
  DirectRig rig;
  ScoreByAnswer(rig);
  rig.script->show_err = Variant::Text("bad answer\r\n");
  std::string record_report;
  AddRuleErr(record_report, "", "bad answer", "", "", "", "", "");
  rig.script->err_msg_xml = Variant::Text(record_report);
  Banks banks(rig.dir);
  TotalBank(banks.total, "S1", {"m1", "m2"});
  SubjectBank(banks.subject, {{"m1", "R1", "bad"}, {"m2", "R2", "good"}, {"m2", "R3", "good"}});
  rig.random->draws = {0.0f};
  rig.random->fail_at_draw = 2;  // the first draw of the second module
  std::string text, xml;
  EXPECT_FALSE(SubjectMdbChk(rig.ctx, text, xml, banks.total, banks.subject, "S1", -1, 0.0f));
  EXPECT_EQ(text, "bad answer\r\n");
  EXPECT_EQ(fakes::ReadReport(xml).Field("RuleErrInfo"), std::vector<std::string>{"bad answer"});
  EXPECT_EQ(rig.err_info, "对指定的题型进行检测时出现运行时错误\r\n    injected failure of draw 2\r\n");
}

TEST(SubjectMdbChk, FailuresOfTheBanksEndOnTheErrorPath) {
  struct Row {
    const char* name;
    std::function<void(const Banks&)> spoil;
    float rate;
    const char* description_part;
  };
  const Row rows[] = {
      {"the total bank is not a database", [](const Banks& b) { fakes::WriteFileText(b.total, "hello"); }, 0.0f, "total.db"},
      {"Tbl_Public is missing", [](const Banks& b) { fakes::RunSqlOnBank(b.subject, "DROP TABLE Tbl_Public"); }, 0.0f, "Tbl_Public"},
      {"Tbl_Contract is missing", [](const Banks& b) { fakes::RunSqlOnBank(b.total, "DROP TABLE Tbl_Contract"); }, 0.0f, "Tbl_Contract"},
      {"a sample count beyond 32 bits", [](const Banks&) {}, 3e9f, "Overflow"},
  };
  for (const Row& row : rows) {
    DirectRig rig;
    Banks banks(rig.dir);
    TotalBank(banks.total, "S1", {"m"});
    SubjectBank(banks.subject, {{"m", "R1"}});
    row.spoil(banks);
    std::string text, xml;
    EXPECT_FALSE(SubjectMdbChk(rig.ctx, text, xml, banks.total, banks.subject, "S1", -1, row.rate)) << row.name;
    EXPECT_EQ(rig.err_info.rfind("对指定的题型进行检测时出现运行时错误\r\n    ", 0), 0u) << row.name << rig.err_info;
    EXPECT_NE(rig.err_info.find(row.description_part), std::string::npos) << row.name << ": " << rig.err_info;
  }
}

// A subject bank whose Tbl_Public is a view over an endless query ends the check at the platform's
// record-set limit, with an entry naming the bank and the limit.
TEST(SubjectMdbChk, AnEndlessQuestionListStopsAtTheRecordSetLimit) {
  DirectRig rig;
  rig.platform->limits.recordset_rows = 5000;
  Banks banks(rig.dir);
  TotalBank(banks.total, "S1", {"m"});
  SubjectBank(banks.subject, {{"m", "R1"}});
  fakes::RunSqlOnBank(banks.subject,
                      "DROP TABLE Tbl_Public; CREATE VIEW Tbl_Public AS WITH RECURSIVE r(n) AS "
                      "(SELECT 1 UNION ALL SELECT n + 1 FROM r) SELECT 'm' AS C_Module, 'R' || n AS C_RecNo FROM r");
  std::string text, xml;
  EXPECT_FALSE(SubjectMdbChk(rig.ctx, text, xml, banks.total, banks.subject, "S1", -1, 0.0f));
  EXPECT_EQ(rig.err_info, "对指定的题型进行检测时出现运行时错误\r\n    the question bank " + banks.subject +
                              ": a query's result passes the limit of 5000 rows for one record set\r\n");
  EXPECT_EQ(rig.script->created, 0);
}

// The host's stop flag ends the sampling between two samples: what was graded and reported stays,
// and the check ends as a run-time failure saying that the check was stopped.
TEST(SubjectMdbChk, TheStopFlagEndsTheSamplingBetweenSamples) {
  DirectRig rig;
  StopFlag stop(false);
  rig.platform->stop = &stop;
  rig.script->ping_hook = [&](const fakes::ComponentScript&) {
    stop = true;  // as a host would on Ctrl-C, while the first sample is graded
    return Variant::R4(50.0f);
  };
  rig.script->show_err = Variant::Text("first\r\n");
  Banks banks(rig.dir);
  TotalBank(banks.total, "S1", {"m"});
  SubjectBank(banks.subject, {{"m", "R1", "a"}, {"m", "R2", "b"}, {"m", "R3", "c"}});
  std::string text, xml;
  EXPECT_FALSE(SubjectMdbChk(rig.ctx, text, xml, banks.total, banks.subject, "S1", -1, 1.0f));
  EXPECT_EQ(GradedAnswers(rig), std::vector<std::string>{"a"});
  EXPECT_EQ(text, "first\r\n");
  EXPECT_EQ(rig.err_info, std::string("对指定的题型进行检测时出现运行时错误\r\n    ") + kStoppedDescription + "\r\n");
}

// What is open at each exit of the check is closed with CloseObject in one order, the module list
// released last; a "Close" that fails is passed over and changes neither the rest nor the verdict.
TEST(SubjectMdbChk, ClosesInOrderAtEveryExitAndPassesOverAFailingClose) {
  // Lines about the record check's own record set are left out: it opens and closes one per sample.
  const auto without_records = [](const std::vector<std::string>& log) {
    std::vector<std::string> kept;
    for (const std::string& line : log) {
      if (line.find("Tbl_Operation") == std::string::npos) kept.push_back(line);
    }
    return kept;
  };
  const std::vector<std::string> opened = {"open total.db", "open Tbl_Contract", "open subject.db", "open Tbl_Public"};
  const auto with = [](std::vector<std::string> head, const std::vector<std::string>& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
  };
  struct Row {
    const char* name;
    const char* subject_code;  // nullptr: no subject bank path (a guard)
    std::set<std::string> fail_close;
    int fail_at_draw;
    bool verdict;
    std::vector<std::string> log;
    const char* entry;  // start of the recorded entry, "" for none
  };
  const Row rows[] = {
      {"guard: nothing is opened", nullptr, {}, 0, false, {}, ""},
      {"empty module list", "S2", {}, 0, false,
       {"open total.db", "open Tbl_Contract", "close Tbl_Contract", "release Tbl_Contract", "close total.db",
        "release total.db"},
       "对题库进行检测\r\n"},
      {"empty module list, both closes fail", "S2", {"Tbl_Contract", "total.db"}, 0, false,
       {"open total.db", "open Tbl_Contract", "close Tbl_Contract, failed", "release Tbl_Contract",
        "close total.db, failed", "release total.db"},
       "对题库进行检测\r\n"},
      {"normal end", "S1", {}, 0, true,
       with(opened, {"open Tbl_Public", "release Tbl_Public", "close Tbl_Public", "release Tbl_Public",
                     "close subject.db", "release subject.db", "close total.db", "release total.db",
                     "release Tbl_Contract"}),
       ""},
      {"normal end, every close fails", "S1", {"Tbl_Public", "subject.db", "total.db"}, 0, true,
       with(opened, {"open Tbl_Public", "release Tbl_Public", "close Tbl_Public, failed", "release Tbl_Public",
                     "close subject.db, failed", "release subject.db", "close total.db, failed",
                     "release total.db", "release Tbl_Contract"}),
       ""},
      {"error path", "S1", {}, 1, false,
       with(opened, {"close Tbl_Public", "release Tbl_Public", "close subject.db", "release subject.db",
                     "close total.db", "release total.db", "release Tbl_Contract"}),
       "对指定的题型进行检测时出现运行时错误\r\n    injected failure of draw 1\r\n"},
      {"error path, a failing close keeps the description", "S1", {"subject.db"}, 1, false,
       with(opened, {"close Tbl_Public", "release Tbl_Public", "close subject.db, failed", "release subject.db",
                     "close total.db", "release total.db", "release Tbl_Contract"}),
       "对指定的题型进行检测时出现运行时错误\r\n    injected failure of draw 1\r\n"},
  };
  for (const Row& row : rows) {
    DirectRig rig;
    fakes::LoggingDatabaseEngine engine(SystemDatabaseEngine());
    engine.fail_close = row.fail_close;
    rig.platform->database_engine = [&engine]() -> DatabaseEngine& { return engine; };
    rig.random->fail_at_draw = row.fail_at_draw;
    Banks banks(rig.dir);
    TotalBank(banks.total, "S1", {"m1", "m2"});
    // m1 and m2 each hold a question with no archive: read, passed over without a scoring run.
    SubjectBank(banks.subject, {{"m1", "R1", "a", std::nullopt}, {"m2", "R2", "b", std::nullopt}});
    std::string text, xml;
    EXPECT_EQ(SubjectMdbChk(rig.ctx, text, xml, banks.total, row.subject_code ? banks.subject : "",
                            row.subject_code ? row.subject_code : "S1", -1, 0.0f),
              row.verdict)
        << row.name;
    EXPECT_EQ(without_records(engine.log), row.log) << row.name;
    EXPECT_EQ(rig.err_info.rfind(row.entry, 0), 0u) << row.name << ": " << rig.err_info;
    if (*row.entry == '\0') {
      EXPECT_EQ(rig.err_info, "") << row.name;
    } else {
      EXPECT_EQ(rig.err_info.find("Close"), std::string::npos) << row.name << ": a failing close is not recorded";
    }
  }
}

TEST(SubjectMdbChk, HostileValuesMatchLiterallyAndLeaveTheBanksUnchanged) {
  const std::string hostile[] = {"'", "' OR 1=1 --", "a'; DROP TABLE Tbl_Public; --", std::string("nu\0l", 4), ";"};
  for (const std::string& value : hostile) {
    DirectRig rig;
    Banks banks(rig.dir);
    TotalBank(banks.total, value, {value, "plain"});
    TotalBank(rig.dir / "other-total.db", "S1", {"plain"});
    SubjectBank(banks.subject, {{value, value, "hostile"}, {"plain", "P1", "plain"}});
    const auto total_before = fakes::ReadFileBytes(banks.total);
    const auto subject_before = fakes::ReadFileBytes(banks.subject);
    std::string text, xml;
    // The hostile subject code finds its two modules; the hostile module and record number their rows.
    EXPECT_TRUE(SubjectMdbChk(rig.ctx, text, xml, banks.total, banks.subject, value, -1, 0.0f));
    EXPECT_EQ(GradedAnswers(rig), (std::vector<std::string>{"hostile", "plain"})) << value;
    // A code that only looks like an injection finds nothing.
    EXPECT_FALSE(SubjectMdbChk(rig.ctx, text, xml, rig.dir / "other-total.db", banks.subject, "x' OR 'a'='a", -1, 0.0f));
    EXPECT_EQ(rig.err_info, "对题库进行检测\r\n    方案中不存在当前科目的操作题\r\n") << value;
    EXPECT_EQ(fakes::ReadFileBytes(banks.total), total_before) << value;
    EXPECT_EQ(fakes::ReadFileBytes(banks.subject), subject_before) << value;
  }
}

// The files of the system, except that the folder of worker 2 is refused after a while, as a
// folder of the user's at that name is: by then a fast worker 1 may have graded every record.
class SlowRefusingFiles final : public Files {
 public:
  bool FileExists(const std::string& path) override { return SystemFiles().FileExists(path); }
  void ResetAttributes(const std::string& path) override { SystemFiles().ResetAttributes(path); }
  void Delete(const std::string& path) override { SystemFiles().Delete(path); }
  void WriteNew(const std::string& path, const std::vector<uint8_t>& bytes) override {
    SystemFiles().WriteNew(path, bytes);
  }
  bool RewriteInPlace(const std::string& path, const std::vector<uint8_t>& bytes) override {
    return SystemFiles().RewriteInPlace(path, bytes);
  }
  void MakeWorkerFolder(const std::string& path) override {
    if (path.size() >= 14 && path.compare(path.size() - 14, 14, "vardenix-job-2") == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      throw RuntimeError("the worker folder " + path + ": something vardenix did not make is there");
    }
    SystemFiles().MakeWorkerFolder(path);
  }
};

// A sweep in several workers looks at every worker's folder before any record is graded: a folder it
// may not use fails the check also when the worker it belongs to would have got no record.
TEST(SubjectMdbChk, ASweepRefusesAWorkerFolderWhicheverWorkerIsFastest) {
  DirectRig rig;
  SlowRefusingFiles files;
  rig.platform->files = &files;
  SubjectSelection selection;
  selection.kind = SubjectSelection::Kind::kEveryQuestion;
  selection.jobs = 2;
  rig.ctx.selection = &selection;
  Banks banks(rig.dir);
  TotalBank(banks.total, "S1", {"m"});
  // Records without an archive are read and passed over quickly, with no scoring run.
  SubjectBank(banks.subject, {{"m", "R1", "a", std::nullopt}, {"m", "R2", "a", std::nullopt},
                              {"m", "R3", "a", std::nullopt}, {"m", "R4", "a", std::nullopt}});
  std::string text, xml;
  EXPECT_FALSE(SubjectMdbChk(rig.ctx, text, xml, banks.total, banks.subject, "S1", -1, 0.0f));
  EXPECT_NE(rig.err_info.find("something vardenix did not make is there"), std::string::npos) << rig.err_info;
}

// The workers of a sweep run at most a window of records ahead, their outcomes waiting in a ring of
// slots; a module several windows long (and a second module after it) is told record by record, each
// once, in bank order, with its own draw number.
TEST(SubjectMdbChk, ASweepLongerThanTheWorkersWindowTellsEveryRecordOnceInBankOrder) {
  DirectRig rig;
  SubjectSelection selection;
  selection.kind = SubjectSelection::Kind::kEveryQuestion;
  selection.jobs = 3;
  rig.ctx.selection = &selection;
  struct Told final : CheckObserver {
    std::vector<std::string> records;
    void OnRecord(const RecordResult& r) override {
      // The checking thread lags behind at first: the workers fill their window meanwhile.
      if (records.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(200));
      records.push_back(r.module + " " + r.rec_no + " #" + std::to_string(r.draw) + ": " + r.reason);
    }
  } told;
  rig.ctx.observer = &told;
  Banks banks(rig.dir);
  TotalBank(banks.total, "S1", {"m", "n"});
  // Records without an answer text or an archive are read and passed over quickly, with no scoring
  // run; which of the two each lacks tells the outcomes apart.
  std::vector<Question> questions;
  // Record 100 has no record number: no worker grades it, and its slot in the window is used again
  // a window later all the same.
  constexpr int kNoRecNo = 100;
  for (int i = 1; i <= 2500; ++i) {
    const bool text = i % 3 == 0;
    questions.push_back({"m", i == kNoRecNo ? std::nullopt : std::optional<std::string>("R" + std::to_string(i)),
                         text ? std::optional<std::string>("a") : std::nullopt,
                         text ? std::nullopt : std::optional<std::vector<uint8_t>>(SomeArchive())});
  }
  for (int i = 1; i <= 5; ++i) questions.push_back({"n", "N" + std::to_string(i), "a", std::nullopt});
  SubjectBank(banks.subject, questions);
  std::string text, xml;
  SubjectMdbChk(rig.ctx, text, xml, banks.total, banks.subject, "S1", -1, 0.0f);
  ASSERT_EQ(told.records.size(), 2505u);
  const std::string no_archive = told.records[2].substr(told.records[2].find(": "));
  const std::string no_text = told.records[0].substr(told.records[0].find(": "));
  ASSERT_NE(no_archive, no_text);
  for (int i = 1; i <= 2500; ++i) {
    if (i == kNoRecNo) {
      EXPECT_EQ(told.records[static_cast<size_t>(i - 1)],
                "m  #" + std::to_string(i) + ": the drawn Tbl_Public row has no record number (C_RecNo)");
      continue;
    }
    EXPECT_EQ(told.records[static_cast<size_t>(i - 1)],
              "m R" + std::to_string(i) + " #" + std::to_string(i) + (i % 3 == 0 ? no_archive : no_text));
  }
  for (int i = 1; i <= 5; ++i) {
    EXPECT_EQ(told.records[static_cast<size_t>(2499 + i)], "n N" + std::to_string(i) + " #" + std::to_string(i) + no_archive);
  }
}

// Every sample is graded on its own answer: a file that an earlier sample's archive left in the
// working folder must not make a later answer pass, whichever order the two are drawn in. Real
// banks and the real archive control; the scorer passes an answer "1 exists <file>" when the file is
// in the folder it was given.
TEST(SubjectMdbChk, ASampleIsNeverGradedOnAFileAnEarlierSampleLeft) {
  const auto zip_of = [](const std::string& name) {
    return fakes::BuildZip({{name, "answer", fakes::ZipEntryType::kFile, true}});
  };
  struct Row {
    const char* name;
    std::deque<float> draws;  // two samples of a module of two rows
    std::vector<std::string> graded;
  };
  const Row rows[] = {
      {"Q1 first", {0.0f, 0.9f, 0.9f}, {"Q1", "Q2"}},
      {"Q2 first", {0.9f, 0.9f, 0.0f}, {"Q2", "Q1"}},
  };
  for (const Row& row : rows) {
    DirectRig rig;
    rig.platform->archive_control = []() -> DispatchObject& { return SystemArchiveControl(); };
    rig.script->ping_hook = [](const fakes::ComponentScript& s) {
      const std::string rule = s.puts.at("AnsCont").text();
      const std::string file = s.puts.at("TestPath").text() + "/" + rule.substr(rule.find("考生/"));
      return Variant::R4(fakes::PathExists(file) ? 100.0f : 0.0f);
    };
    rig.script->show_err = Variant::Text("missing\r\n");
    Banks banks(rig.dir);
    TotalBank(banks.total, "S1", {"m"});
    SubjectBank(banks.subject, {{"m", "Q1", "Q1 1 exists 考生/a.txt", zip_of("考生/a.txt")},
                                {"m", "Q2", "Q2 1 exists 考生/a.txt", zip_of("考生/b.txt")}});
    rig.random->draws = row.draws;
    std::string text, xml;
    EXPECT_FALSE(SubjectMdbChk(rig.ctx, text, xml, banks.total, banks.subject, "S1", -1, 0.5f)) << row.name;
    std::vector<std::string> graded;
    for (const std::string& answer : GradedAnswers(rig)) graded.push_back(answer.substr(0, 2));
    EXPECT_EQ(graded, row.graded) << row.name;
    EXPECT_EQ(text, "missing\r\n") << row.name << ": Q2 fails, once";
  }
}

}  // namespace
}  // namespace vardenix::testing

namespace vardenix::testing {
namespace {

// A subject check alone that graded nothing (no record drawn had an answer, or no module listed a
// question) has shown nothing and does not pass; with the typical document, that document was graded.
TEST(PingEnviChk, VerdictsWithTheSubjectCheck) {
  struct Row {
    const char* name;
    int options;
    std::vector<Question> questions;  // answer "bad..." fails the sampled record
    bool allow_nothing_graded;
    bool verdict;
    const char* entry;  // the one recorded entry's description; nullptr: none
  };
  const std::optional<std::string> none;
  const Row rows[] = {
      {"subject only, passes", ChkSubject, {{"m", "R1", "good"}}, false, true, nullptr},
      {"subject only, fails", ChkSubject, {{"m", "R1", "bad"}}, false, false, nullptr},
      {"both pass", 3, {{"m", "R1", "good"}}, false, true, nullptr},
      {"typical passes, subject fails", 3, {{"m", "R1", "bad"}}, false, false, nullptr},
      {"subject only, no answer text", ChkSubject, {{"m", "R1", none}}, false, false,
       "no operation question of subject S1 could be graded: 1 drawn, none with an answer"},
      {"subject only, no archive", ChkSubject, {{"m", "R1", "good", std::nullopt}}, false, false,
       "no operation question of subject S1 could be graded: 1 drawn, none with an answer"},
      {"subject only, the module has no question", ChkSubject, {{"other", "R1", "good"}}, false, false,
       "no operation question of subject S1 could be graded: 0 drawn, none with an answer"},
      {"subject only, nothing graded, allowed", ChkSubject, {{"m", "R1", none}}, true, true, nullptr},
      {"both, the typical document graded", 3, {{"m", "R1", none}}, false, true, nullptr},
  };
  for (const Row& row : rows) {
    Rig rig;
    ScoreByAnswer(rig);
    rig.script->show_err = Variant::Text("text of the component\r\n");
    SubjectSelection selection;
    selection.allow_nothing_graded = row.allow_nothing_graded;
    rig.chk->SetSelection(selection);
    Banks banks(rig.dir);
    TotalBank(banks.total, "S1", {"m"});
    SubjectBank(banks.subject, row.questions);
    std::vector<uint8_t> bytes = SomeArchive();
    std::string text = "caller", xml = "caller";
    EXPECT_EQ(rig.chk->PingEnviChk(text, xml, bytes, "good rule", ChkPingConstants(row.options), banks.total,
                                   banks.subject, "S1", -1, 0.0f),
              row.verdict)
        << row.name;
    if (row.verdict) {
      EXPECT_EQ(text, "") << row.name;
      EXPECT_EQ(xml, "") << row.name;
    } else if (row.entry != nullptr) {
      // The recorder's layout: the headline, then the description indented by four.
      EXPECT_EQ(text, std::string("对题库进行检测\r\n    ") + row.entry + "\r\n") << row.name;
      EXPECT_EQ(fakes::ReadReport(xml).Field("RuleErrInfo"), std::vector<std::string>{"对题库进行检测"}) << row.name;
    } else {
      // What the typical document left (when it ran), then the failing record's text.
      const std::string expected = row.options == 3 ? "text of the component\r\ntext of the component\r\n"
                                                    : "text of the component\r\n";
      EXPECT_EQ(text, expected) << row.name;
    }
  }
}

}  // namespace
}  // namespace vardenix::testing
