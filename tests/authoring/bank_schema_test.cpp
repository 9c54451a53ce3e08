// The question-bank format and its writer: what the writer stores is what the checks' queries read,
// and the lookups they make are answered from the indexes.
#include "authoring/bank_schema.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "authoring/bank_editor.h"
#include "checks/bank_queries.h"
#include "platform/database.h"
#include "tests/support/fakes/bank_writer.h"
#include "tests/support/fakes/temp_dir.h"
#include "support/banks.h"
#include "support/failure.h"
#include "vardenix/error.h"

namespace vardenix {
namespace {

using support::Bytes;
using support::FailureOf;
using ::testing::HasSubstr;

std::unique_ptr<Database> Open(const std::string& path) { return SystemDatabaseEngine().OpenDatabase(path); }

// Every value of `field` in the record set, Null as "<null>".
std::vector<std::string> Column(Recordset& rs, const std::string& field) {
  std::vector<std::string> values;
  for (; !rs.Eof(); rs.MoveNext()) values.push_back(rs.IsNull(field) ? "<null>" : ToText(rs.Value(field)));
  return values;
}

TEST(BankFormat, ModuleQueryReadsWhatTheWriterStored) {
  fakes::TempDir dir;
  std::vector<ContractRow> rows = support::OperationModules("S01", {"Word", "Excel", "word"}, 1);
  rows.push_back({"S01", support::kOperationQuestion, 2, "Access"});
  rows.push_back({"S01", support::kOperationQuestion, 1, std::nullopt});
  rows.push_back({"S01", "选择题", 1, "Choice"});
  rows.push_back({"S02", support::kOperationQuestion, 1, "Other"});
  rows.push_back({"s01", support::kOperationQuestion, 1, "PowerPoint"});
  auto db = Open(support::WriteTotalBank(dir / "total.db", rows));

  struct Row {
    const char* name;
    BankQuery query;
    std::vector<std::string> modules;
  };
  const Row cases[] = {
      {"every contract", ModuleQuery("S01", -1), {"<null>", "Access", "Excel", "PowerPoint", "Word"}},
      {"contract 2", ModuleQuery("S01", 2), {"Access"}},
      {"contract 0", ModuleQuery("S01", 0), {}},
      {"unknown subject", ModuleQuery("S03", -1), {}},
  };
  for (const Row& row : cases) {
    auto rs = db->OpenRecordset(row.query.text, row.query.params);
    EXPECT_EQ(Column(*rs, "C_Module"), row.modules) << row.name;
  }
}

TEST(BankFormat, QuestionRowsKeepNullsAndRecordNumbers) {
  fakes::TempDir dir;
  const std::string path =
      support::WriteSubjectBank(dir / "subject.db", {{"Word", "W-1", "a1", Bytes("zip1")},
                                                     {"Word", std::nullopt, "a2", Bytes("zip2"), false},
                                                     {"Word", "", "a3", Bytes("zip3"), false},
                                                     {"Word", "W-4", "a4", Bytes("zip4"), false},
                                                     {std::nullopt, "N-1", std::nullopt, std::nullopt}});
  auto db = Open(path);
  const auto open = [&](const BankQuery& query) { return db->OpenRecordset(query.text, query.params); };
  auto rs = open(QuestionListQuery("word"));
  EXPECT_EQ(Column(*rs, "C_RecNo"), (std::vector<std::string>{"W-1", "<null>", "", "W-4"}));
  // A question listed in Tbl_Public need not have a Tbl_Operation row.
  rs = open(QuestionRecordQuery("W-4", "M_Answer"));
  EXPECT_TRUE(rs->Bof() && rs->Eof());
  rs = open(QuestionRecordQuery("N-1", "M_Answer"));
  EXPECT_TRUE(rs->IsNull("M_Answer"));
  rs = open(QuestionRecordQuery("N-1", "O_Rudecont"));
  EXPECT_TRUE(rs->IsNull("O_Rudecont"));
}

TEST(BankFormat, BankWithModulesNumbersItsQuestions) {
  fakes::TempDir dir;
  auto db = Open(support::WriteBankWithModules(dir / "subject.db", {{"Word", 3}, {"Excel", 1}}, Bytes("PK")));
  const BankQuery list = QuestionListQuery("Word");
  auto rs = db->OpenRecordset(list.text, list.params);
  EXPECT_EQ(Column(*rs, "C_RecNo"), (std::vector<std::string>{"Word-1", "Word-2", "Word-3"}));
  const BankQuery answer = QuestionRecordQuery("Excel-1", "M_Answer");
  rs = db->OpenRecordset(answer.text, answer.params);
  EXPECT_EQ(Describe(rs->Value("M_Answer")), Describe(Variant::Text("answer Excel-1")));
  const BankQuery archive = QuestionRecordQuery("Excel-1", "O_Rudecont");
  rs = db->OpenRecordset(archive.text, archive.params);
  EXPECT_TRUE(rs->GetChunk("O_Rudecont", 0, 10) == Bytes("PK"));
}

// A lookup that scans instead of searching the index still gives the right rows, so only the plan
// shows it: a collation that differs between a query and its index does exactly that.
TEST(BankFormat, TheChecksLookupsUseTheIndexes) {
  fakes::TempDir dir;
  const std::string total = support::WriteTotalBank(dir / "total.db", support::OperationModules("S", {"M"}));
  const std::string subject = support::WriteBankWithModules(dir / "subject.db", {{"M", 2}});
  struct Row {
    std::string bank;
    BankQuery query;
    std::string index;
  };
  const Row rows[] = {
      {total, ModuleQuery("S", 1), "Idx_Contract_DataCode"},
      {total, ModuleQuery("S", -1), "Idx_Contract_DataCode"},
      {subject, QuestionListQuery("M"), "Idx_Public_Module"},
      {subject, QuestionRecordQuery("M-1", "M_Answer"), "Idx_Operation_RecNo"},
  };
  for (const Row& row : rows) {
    auto db = Open(row.bank);
    auto plan = db->OpenRecordset("EXPLAIN QUERY PLAN " + row.query.text, row.query.params);
    std::string details;
    for (; !plan->Eof(); plan->MoveNext()) details += ToText(plan->Value("detail")) + "; ";
    EXPECT_THAT(details, HasSubstr("USING INDEX " + row.index)) << row.query.text;
  }
}

TEST(BankWriter, NeverOverwritesAndKeepsTablesToTheirKind) {
  fakes::TempDir dir;
  const std::string existing = dir / "existing.db";
  fakes::WriteFileText(existing, "keep me");
  EXPECT_THAT(FailureOf([&] { BankWriter::Create(BankKind::Subject, existing); }), HasSubstr(existing));
  EXPECT_EQ(fakes::ReadFileBytes(existing), Bytes("keep me"));

  auto total = BankWriter::Create(BankKind::Total, dir / "total.db");
  EXPECT_THAT(FailureOf([&] { total->AddPublic({"M", "R"}); }), HasSubstr("Tbl_Public"));
  auto subject = BankWriter::Create(BankKind::Subject, dir / "subject.db");
  EXPECT_THAT(FailureOf([&] { subject->AddContract({"S", "T", 1, "M"}); }), HasSubstr("Tbl_Contract"));
}

TEST(BankWriter, RowsWithoutCommitAreDiscarded) {
  fakes::TempDir dir;
  const std::string path = dir / "subject.db";
  {
    auto writer = BankWriter::Create(BankKind::Subject, path);
    writer->AddQuestion("M", "R", "A", Bytes("Z"));
  }
  auto rs = Open(path)->OpenRecordset("Select * From Tbl_Public");
  EXPECT_TRUE(rs->Bof() && rs->Eof());
}

// The bank tools write only banks they made: a trigger or any other object of someone else's is
// refused by name and the bank is left byte for byte as it was.
TEST(BankEditor, RefusesToWriteABankWithSchemaObjectsItDidNotMake) {
  struct Row {
    const char* name;
    BankKind kind;
    std::string sql;        // run on a fresh bank of `kind` holding one row
    const char* named;      // what the refusal names; nullptr: the write goes through
  };
  const Row rows[] = {
      {"a bank the tools made", BankKind::Subject, "", nullptr},
      {"a total bank the tools made", BankKind::Total, "", nullptr},
      {"a trigger that deletes rows", BankKind::Subject,
       "CREATE TRIGGER Wipe AFTER INSERT ON Tbl_Public BEGIN DELETE FROM Tbl_Public; END", "trigger Wipe on Tbl_Public"},
      {"a trigger on the total bank", BankKind::Total,
       "CREATE TRIGGER Wipe AFTER INSERT ON Tbl_Contract BEGIN DELETE FROM Tbl_Contract; END",
       "trigger Wipe on Tbl_Contract"},
      {"a view", BankKind::Subject, "CREATE VIEW V AS SELECT * FROM Tbl_Public", "view V"},
      {"another table", BankKind::Total, "CREATE TABLE Notes (x)", "table Notes"},
      {"another index", BankKind::Subject, "CREATE INDEX Idx_Answer ON Tbl_Operation (M_Answer)",
       "index Idx_Answer on Tbl_Operation"},
      {"a column added", BankKind::Subject, "ALTER TABLE Tbl_Public ADD COLUMN C_Extra TEXT", "table Tbl_Public"},
      {"a table put back as a view", BankKind::Subject,
       "DROP TABLE Tbl_Public; CREATE VIEW Tbl_Public AS SELECT 'M' AS C_Module, 'R' AS C_RecNo",
       "Tbl_Public"},
  };
  for (const Row& row : rows) {
    fakes::TempDir dir;
    const std::string path = dir / "bank.db";
    if (row.kind == BankKind::Subject) {
      support::WriteSubjectBank(path, {{"M", "R0", "A", Bytes("Z")}});
    } else {
      support::WriteTotalBank(path, support::OperationModules("S", {"M"}));
    }
    if (!row.sql.empty()) fakes::RunSqlOnBank(path, row.sql);
    const auto before = fakes::ReadFileBytes(path);
    const auto write = [&] {
      if (row.kind == BankKind::Subject) {
        AppendQuestion(path, "M", "R1", "A", Bytes("Z"));
      } else {
        AppendContract(path, {"S", support::kOperationQuestion, 1, "M2"});
      }
    };
    if (!row.named) {
      EXPECT_EQ(FailureOf(write), "(nothing thrown)") << row.name;
      EXPECT_NE(fakes::ReadFileBytes(path), before) << row.name;
      continue;
    }
    const std::string failure = FailureOf(write);
    EXPECT_THAT(failure, HasSubstr(path)) << row.name;
    EXPECT_THAT(failure, HasSubstr(row.named)) << row.name;
    EXPECT_EQ(fakes::ReadFileBytes(path), before) << row.name;
  }
}

// A bank that SQLite cannot open (here: a path longer than SQLite takes, which the system takes)
// left its connection handle behind, which the sanitizer build reports as a leak.
TEST(BankEditor, BankThatSqliteCannotOpenIsReportedAndLeavesNothingOpen) {
  fakes::TempDir dir;
  std::string deep = dir.path();
  while (deep.size() < 600) deep += "/" + std::string(60, 'd');
  fakes::MakeDirs(deep);
  const std::string path = deep + "/bank.db";
  BankWriter::Create(BankKind::Subject, dir / "bank.db")->Commit();
  ASSERT_EQ(std::rename((dir / "bank.db").c_str(), path.c_str()), 0);
  struct Row {
    const char* name;
    std::function<void()> action;
  };
  const Row rows[] = {
      {"add a module", [&] { AppendContract(path, {"S", "T", 1, "M"}); }},
      {"add a question", [&] { AppendQuestion(path, "M", "R", "A", Bytes("Z")); }},
      {"summarize", [&] { SummarizeBank(path); }},
  };
  for (const Row& row : rows) EXPECT_THAT(FailureOf(row.action), HasSubstr(path)) << row.name;
}

}  // namespace
}  // namespace vardenix
