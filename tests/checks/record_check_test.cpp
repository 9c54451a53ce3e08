// The question-record check on real SQLite banks, with recording fakes for the archive control and
// the scoring component.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "checks/banks.h"
#include "checks/record_check.h"
#include "checks/rig.h"
#include "archive/archive_control.h"
#include "platform/database.h"
#include "tests/support/fakes/bank_writer.h"
#include "tests/support/fakes/report_reader.h"
#include "tests/support/fakes/zip_writer.h"

namespace vardenix::testing {
namespace {

struct RecordRow {
  const char* name;
  Question question;
  const char* rec_no;
  std::function<void(DirectRig&)> arrange;
  bool verdict;
  std::string text;
  std::string xml;
  bool scored;  // the scoring component was created
};

TEST(PingMdbRecNO, ResultTable) {
  const std::vector<uint8_t> zip = {'P', 'K', 3, 4, 9, 9, 9};
  auto none = [](DirectRig&) {};
  auto score = [](float s) {
    return [s](DirectRig& r) {
      r.script->ping = Variant::R4(s);
      r.script->show_err = Variant::Text("shown");
      r.script->err_msg_xml = Variant::Text("<RuleErrs/>");
    };
  };
  const RecordRow rows[] = {
      {"no such record", {"m", "R1", "a", zip}, "R2", none, true, "", "", false},
      {"answer of spaces only", {"m", "R1", "   ", zip}, "R1", none, true, "", "", false},
      {"null answer", {"m", "R1", std::nullopt, zip}, "R1", none, true, "", "", false},
      {"null content", {"m", "R1", "a", std::nullopt}, "R1", none, true, "", "", false},
      {"a refused archive without a reason names the control's answer", {"m", "R1", "a", zip}, "R1",
       [](DirectRig& r) { r.control.answer = Variant::I2(2); }, false,
       "题目 R1 的答案压缩包无法解压：the archive control answered 2\r\n", "", false},
      {"full score empties the text, keeps the XML", {"m", "R1", "a", zip}, "R1", score(100), true, "",
       "<RuleErrs/>", true},
      {"a score of 80", {"m", "R1", "a", zip}, "R1", score(80), false, "shown", "<RuleErrs/>", true},
      {"record number compared without case", {"m", "ab1", "a", zip}, "AB1", score(80), false, "shown",
       "<RuleErrs/>", true},
      {"component fails after ShowErr", {"m", "R1", "a", zip}, "R1",
       [](DirectRig& r) {
         r.script->show_err = Variant::Text("partial");
         r.script->fail_member = "ErrMsgXml";
       },
       false, "partial", "", true},
  };
  for (const RecordRow& row : rows) {
    DirectRig rig;
    const std::string bank = rig.dir / "subject.db";
    SubjectBank(bank, {row.question});
    row.arrange(rig);
    auto db = SystemDatabaseEngine().OpenDatabase(bank);
    std::string text = "in", xml = "in";
    EXPECT_EQ(PingMdbRecNO(rig.ctx, text, xml, row.rec_no, *db), row.verdict) << row.name;
    EXPECT_EQ(text, row.text) << row.name;
    if (row.verdict || row.scored) {
      EXPECT_EQ(xml, row.xml) << row.name;
    } else {
      EXPECT_EQ(fakes::ReadReport(xml).Field("RuleErrInfo"),
                std::vector<std::string>{row.text.substr(0, row.text.size() - 2)})
          << row.name;
    }
    EXPECT_EQ(rig.script->created, row.scored ? 1 : 0) << row.name;
    EXPECT_EQ(rig.err_info, "") << row.name << ": the record check records nothing";
  }
}

TEST(PingMdbRecNO, StagesTheStoredArchiveAndGivesTheTrimmedAnswer) {
  DirectRig rig;
  const std::string bank = rig.dir / "subject.db";
  std::vector<uint8_t> big(300000);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7);
  SubjectBank(bank, {{"m", "R1", "  \t1 exists a.txt\u3000  ", big}});
  std::vector<uint8_t> staged;
  rig.control.on_extract = [&](const std::map<int32_t, Variant>& props) {
    staged = fakes::ReadFileBytes(props.at(18).text());
  };
  auto db = SystemDatabaseEngine().OpenDatabase(bank);
  std::string text, xml;
  EXPECT_TRUE(PingMdbRecNO(rig.ctx, text, xml, "R1", *db));
  EXPECT_EQ(rig.control.log.at(0).value, Variant::Text(rig.dir / "Result.Zip"));
  EXPECT_EQ(staged, big);
  // Spaces go; a tab and the ideographic space are part of the answer.
  EXPECT_EQ(rig.script->puts.at("AnsCont"), Variant::Text("\t1 exists a.txt\u3000"));
}

// An answer archive that cannot be extracted is a broken question, not one passed over: the record
// fails with the control's reason in both reports. Real banks and the real archive control.
TEST(PingMdbRecNO, AnArchiveTheControlRefusesFailsWithItsReason) {
  const std::vector<uint8_t> good = fakes::BuildZip({{"考生/a.txt", "text", fakes::ZipEntryType::kFile, true}});
  std::vector<uint8_t> truncated = fakes::BuildZip({{"a.txt", std::string(4000, 'x')}});
  truncated.resize(truncated.size() / 2);
  struct Row {
    const char* name;
    std::vector<uint8_t> archive;
    const char* reason_part;  // a part of the control's reason that tells this fault
  };
  const Row rows[] = {
      {"truncated", truncated, "zip archive"},
      {"traversal", fakes::BuildZip({{"../x", "escaped"}}), "entry \"../x\": the name has a \"..\" component"},
      {"not a zip", support::Bytes("an answer written as plain text, not zipped\r\n"), "zip archive"},
  };
  for (const Row& row : rows) {
    DirectRig rig;
    rig.platform->archive_control = []() -> DispatchObject& { return SystemArchiveControl(); };
    const std::string bank = rig.dir / "subject.db";
    SubjectBank(bank, {{"m", "DOC-01", "1 exists 考生/a.txt", row.archive}, {"m", "DOC-02", "a", good}});
    auto db = SystemDatabaseEngine().OpenDatabase(bank);
    std::string text, xml;
    EXPECT_FALSE(PingMdbRecNO(rig.ctx, text, xml, "DOC-01", *db)) << row.name;
    const std::string reason = ToText(SystemArchiveControl().Get(archive_dispid::kLastFailureReason));
    EXPECT_THAT(reason, ::testing::HasSubstr(row.reason_part)) << row.name;
    const std::string line = "题目 DOC-01 的答案压缩包无法解压：" + reason;
    EXPECT_EQ(text, line + "\r\n") << row.name;
    const auto report = fakes::ReadReport(xml);
    EXPECT_EQ(report.root, "RuleErrs") << row.name;
    EXPECT_EQ(report.Field("RuleErrInfo"), std::vector<std::string>{line}) << row.name;
    EXPECT_EQ(rig.script->created, 0) << row.name;
    EXPECT_EQ(rig.err_info, "") << row.name;

    // A sound archive in the same bank is still graded and passes.
    EXPECT_TRUE(PingMdbRecNO(rig.ctx, text, xml, "DOC-02", *db)) << row.name;
    EXPECT_EQ(text, "") << row.name;
  }
}

// A stop in the extraction says nothing about the stored answer: no line blames it, and the record
// ends as a run-time failure saying that the check was stopped.
TEST(PingMdbRecNO, AStoppedExtractionIsNoUnextractableAnswer) {
  DirectRig rig;
  rig.control.answer = Variant::I2(archive_result::kStopped);
  const std::string bank = rig.dir / "subject.db";
  SubjectBank(bank, {{"m", "DOC-01", "a", SomeArchive()}});
  auto db = SystemDatabaseEngine().OpenDatabase(bank);
  std::string text, xml;
  RecordResult record;
  EXPECT_FALSE(PingMdbRecNO(rig.ctx, text, xml, "DOC-01", *db, &record));
  EXPECT_EQ(record.outcome, RecordOutcome::kRunTimeFailure);
  EXPECT_EQ(record.reason, kStoppedDescription);
  EXPECT_EQ(text, "");
  EXPECT_EQ(xml, "");
  EXPECT_EQ(rig.script->created, 0);
}

// A bank that lacks the table or one of its fields cannot be checked: a failure, never a pass, even
// for a record that would otherwise be passed over for want of an answer text.
TEST(PingMdbRecNO, AMissingTableOrFieldFailsWithoutAnEntry) {
  struct Row {
    const char* name;
    const char* sql;  // run on a bank without Tbl_Operation
  };
  const Row rows[] = {
      {"no Tbl_Operation", ""},
      {"no O_Rudecont, no answer text",
       "CREATE TABLE Tbl_Operation (C_RecNo TEXT, M_Answer TEXT); INSERT INTO Tbl_Operation VALUES ('R1', '  ')"},
      {"no O_Rudecont, an answer text",
       "CREATE TABLE Tbl_Operation (C_RecNo TEXT, M_Answer TEXT); INSERT INTO Tbl_Operation VALUES ('R1', 'a')"},
      {"no M_Answer",
       "CREATE TABLE Tbl_Operation (C_RecNo TEXT, O_Rudecont BLOB); INSERT INTO Tbl_Operation VALUES ('R1', NULL)"},
  };
  for (const Row& row : rows) {
    DirectRig rig;
    const std::string bank = rig.dir / "subject.db";
    SubjectBank(bank, {});
    fakes::RunSqlOnBank(bank, std::string("DROP TABLE Tbl_Operation; ") + row.sql);
    auto db = SystemDatabaseEngine().OpenDatabase(bank);
    std::string text = "x", xml = "x";
    EXPECT_FALSE(PingMdbRecNO(rig.ctx, text, xml, "R1", *db)) << row.name;
    EXPECT_EQ(text, "") << row.name;
    EXPECT_EQ(xml, "") << row.name;
    EXPECT_EQ(rig.err_info, "") << row.name;
    EXPECT_EQ(rig.script->created, 0) << row.name;
  }
}

// A value over its field's budget fails its record naming the record, the field and the budget; it
// never reads as empty (which would pass the record over). Real SQLite banks, stored values and
// views that make long values cheaply, under budgets lowered so the values stay small.
TEST(PingMdbRecNO, AValueOverItsBudgetFailsTheRecordNamingIt) {
  constexpr uint64_t kText = uint64_t{1} << 20;
  constexpr uint64_t kArchive = uint64_t{2} << 20;
  const std::vector<uint8_t> zip = {'P', 'K', 3, 4, 9, 9, 9};
  const std::string at_budget = "1 exists a.txt" + std::string(kText - 14, ' ');
  const std::string answer_over = "the answer text of record R1 (M_Answer) is over the 1 MB limit";
  struct Row {
    const char* name;
    Question question;
    const char* sql;      // run on the bank after it is written
    const char* failure;  // the run-time failure's description, or a part of it; nullptr: graded
  };
  const Row rows[] = {
      {"a stored answer text one byte over", {"m", "R1", at_budget + "x", zip}, "", answer_over.c_str()},
      {"a stored answer text at the budget", {"m", "R1", at_budget, zip}, "", nullptr},
      {"an answer text of 70 MB made by a view", {"m", "R1", "a", zip},
       "ALTER TABLE Tbl_Operation RENAME TO T; CREATE VIEW Tbl_Operation AS SELECT C_RecNo, "
       "CAST(zeroblob(70000000) AS TEXT) || M_Answer AS M_Answer, O_Rudecont FROM T",
       answer_over.c_str()},
      {"an answer text printf() makes too long, which SQLite would make NULL", {"m", "R1", "a", zip},
       "ALTER TABLE Tbl_Operation RENAME TO T; CREATE VIEW Tbl_Operation AS SELECT C_RecNo, "
       "printf('%.*c', 70000000, 'x') || M_Answer AS M_Answer, O_Rudecont FROM T",
       "printf()"},
      {"a stored archive one byte over", {"m", "R1", "a", std::vector<uint8_t>(kArchive + 1, 'z')}, "",
       "the answer archive of record R1 (O_Rudecont) is over the 2 MB limit"},
      {"an archive of 70 MB made by a view", {"m", "R1", "a", zip},
       "ALTER TABLE Tbl_Operation RENAME TO T; CREATE VIEW Tbl_Operation AS SELECT C_RecNo, M_Answer, "
       "zeroblob(70000000) AS O_Rudecont FROM T",
       "the answer archive of record R1 (O_Rudecont) is over the 2 MB limit"},
  };
  for (const Row& row : rows) {
    DirectRig rig;
    rig.platform->limits.bank_text_bytes = kText;
    rig.platform->limits.bank_archive_bytes = kArchive;
    const std::string bank = rig.dir / "subject.db";
    SubjectBank(bank, {row.question});
    if (*row.sql != '\0') fakes::RunSqlOnBank(bank, row.sql);
    auto db = SystemDatabaseEngine().OpenDatabase(bank, rig.platform->limits, nullptr);
    std::string text, xml;
    RecordResult result;
    const bool passed = PingMdbRecNO(rig.ctx, text, xml, "R1", *db, &result);
    if (row.failure == nullptr) {
      EXPECT_TRUE(passed) << row.name;
      EXPECT_EQ(result.outcome, RecordOutcome::kPassed) << row.name << ": " << result.reason;
      continue;
    }
    EXPECT_FALSE(passed) << row.name;
    EXPECT_EQ(result.outcome, RecordOutcome::kRunTimeFailure) << row.name << ": " << result.reason;
    EXPECT_THAT(result.reason, ::testing::HasSubstr(row.failure)) << row.name;
    EXPECT_EQ(rig.script->created, 0) << row.name;
  }
}

}  // namespace
}  // namespace vardenix::testing
