// The typical-document check and the scoring run it shares with the question-record check.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "archive/archive_control.h"
#include "checks/rig.h"
#include "support/unprivileged.h"
#include "tests/support/fakes/report_reader.h"
#include "tests/support/fakes/temp_dir.h"
#include "vardenix/error.h"

namespace vardenix::testing {
namespace {

using fakes::Call;

TEST(ScoringRun, DrivesTheArchiveControlAndTheComponentInOrderWithFixedValuesAndTypes) {
  Rig rig;
  rig.script->show_err = Variant::Text("shown");
  rig.script->err_msg_xml = Variant::Text("<RuleErrs/>");
  std::vector<uint8_t> bytes = SomeArchive();
  std::string text = "old", xml = "old";
  ASSERT_TRUE(rig.chk->ResultChk(bytes, " rule text ", text, xml));

  const std::string archive = rig.dir.path() + "/ChkPing.ZIP";
  const std::vector<Call> control = {
      {"put", "18", Variant::Text(archive)}, {"put", "16", Variant::Bool(false)},
      {"put", "11", Variant::I2(2)},         {"put", "4", Variant::Text(rig.dir.path())},
      {"call", "48", Variant::I2(0)},
  };
  EXPECT_EQ(rig.control.log, control);

  const std::vector<Call> component = {
      {"put", "TestPath", Variant::Text(rig.dir.path())},
      {"put", "AnsCont", Variant::Text(" rule text ")},
      {"put", "GetTotalScore", Variant::I2(100)},
      {"put", "ErrInfoType", Variant::I2(63)},
      {"read", "ping", Variant()},
      {"read", "ShowErr", Variant()},
      {"read", "ErrMsgXml", Variant()},
  };
  EXPECT_EQ(rig.ComponentCalls(), component);
  EXPECT_EQ(rig.script->created, 1);
  EXPECT_EQ(rig.script->released, 1);
  EXPECT_EQ(text, "shown");
  EXPECT_EQ(xml, "<RuleErrs/>");
  EXPECT_EQ(fakes::ReadFileBytes(archive), bytes);
}

TEST(ScoringRun, ArchivePathAddsOneSeparatorAndThePropertiesGetTheFolderAsStored) {
  Rig rig;
  for (const std::string& folder : {rig.dir.path(), rig.dir.path() + "/"}) {
    rig.control.log.clear();
    rig.script->log.clear();
    rig.chk->PingPath(folder);
    std::vector<uint8_t> bytes = SomeArchive();
    std::string text, xml;
    rig.chk->ResultChk(bytes, "", text, xml);
    EXPECT_EQ(rig.control.log.at(0).value, Variant::Text(rig.dir.path() + "/ChkPing.ZIP")) << folder;
    EXPECT_EQ(rig.control.log.at(3).value, Variant::Text(folder)) << folder;
    EXPECT_EQ(rig.script->puts.at("TestPath"), Variant::Text(folder)) << folder;
    EXPECT_EQ(rig.chk->PingPath(), folder);
  }
}

TEST(ResultChk, ResultTable) {
  struct Row {
    const char* name;
    Variant ping;
    bool verdict;
    bool recorded;  // a run-time failure recorded one entry
  };
  const Row rows[] = {
      {"100 passes", Variant::R4(100.0f), true, false},
      {"100 as a 16-bit integer passes", Variant::I2(100), true, false},
      {"numeric text passes", Variant::Text(" 100 "), true, false},
      {"99.5 fails", Variant::R8(99.5), false, false},
      {"100.01 fails", Variant::R8(100.01), false, false},
      {"a double just above 100 that rounds to 100 in single precision passes", Variant::R8(100.000001), true, false},
      {"empty is 0", Variant(), false, false},
      {"null cannot convert", Variant::Null(), false, true},
      {"text that is not a number", Variant::Text("full"), false, true},
  };
  for (const Row& row : rows) {
    Rig rig;
    rig.script->ping = row.ping;
    rig.script->show_err = Variant::Text("ShowErr text");
    rig.script->err_msg_xml = Variant::Text("<RuleErrs/>");
    std::vector<uint8_t> bytes = SomeArchive();
    std::string text = "in", xml = "in";
    EXPECT_EQ(rig.chk->ResultChk(bytes, "r", text, xml), row.verdict) << row.name;
    if (row.recorded) {
      // The failure struck at "ping": nothing was written to the outputs.
      EXPECT_EQ(text, "in") << row.name;
      EXPECT_EQ(xml, "in") << row.name;
    } else {
      EXPECT_EQ(text, "ShowErr text") << row.name;  // a full score does not clear it
      EXPECT_EQ(xml, "<RuleErrs/>") << row.name;
    }
    // Recorded entries show in the next failed check's reports.
    std::string report, report_xml;
    rig.control.answer = Variant::I2(1);
    EXPECT_FALSE(rig.chk->PingEnviChk(report, report_xml, bytes, "r", ChkResultDoc));
    EXPECT_EQ(report.find("对典型文档进行检测时出现运行时错误") != std::string::npos, row.recorded) << row.name;
  }
}

TEST(ResultChk, ExtractionFailureCreatesNoComponentRecordsNothingAndKeepsTheArchive) {
  Rig rig;
  rig.control.answer = Variant::I2(1);
  std::vector<uint8_t> bytes = SomeArchive();
  std::string text = "keep", xml = "keep too";
  EXPECT_FALSE(rig.chk->ResultChk(bytes, "r", text, xml));
  EXPECT_EQ(text, "keep");
  EXPECT_EQ(xml, "keep too");
  EXPECT_EQ(rig.classes.create_calls, 0);
  EXPECT_TRUE(fakes::PathExists(rig.dir / "ChkPing.ZIP"));
  std::string report = "x", report_xml = "x";
  EXPECT_FALSE(rig.chk->PingEnviChk(report, report_xml, bytes, "r", ChkResultDoc));
  EXPECT_EQ(report, "");
  EXPECT_EQ(report_xml, "");
}

TEST(ResultChk, RunTimeFailuresRecordOneEntryWithTheDescription) {
  struct Row {
    const char* name;
    std::function<void(Rig&)> arrange;
    const char* description_part;
    bool extracted;  // the archive control was driven to call 48
  };
  const Row rows[] = {
      {"empty PingName", [](Rig& r) { r.chk->PingName(""); }, "\"\"", true},
      {"unknown PingName", [](Rig& r) { r.chk->PingName("No.Such"); }, "No.Such", true},
      {"component fails a put", [](Rig& r) { r.script->fail_member = "AnsCont"; r.script->fail_message = "AnsCont refused"; }, "AnsCont refused", true},
      {"archive control rejects a put", [](Rig& r) { r.control.fail_at = "put:11"; }, "11", false},
      {"extraction answer does not fit 16 bits", [](Rig& r) { r.control.answer = Variant::I4(70000); }, "Overflow", true},
      // A stop is no archive the control refused.
      {"extraction stopped by the host's stop flag",
       [](Rig& r) { r.control.answer = Variant::I2(archive_result::kStopped); }, kStoppedDescription, true},
      {"working folder missing", [](Rig& r) { r.chk->PingPath(r.dir / "missing"); }, "missing/ChkPing.ZIP", false},
      {"empty working folder", [](Rig& r) { r.chk->PingPath(""); }, "working folder is empty", false},
  };
  for (const Row& row : rows) {
    Rig rig;
    row.arrange(rig);
    std::vector<uint8_t> bytes = SomeArchive();
    std::string text = "in", xml = "in";
    EXPECT_FALSE(rig.chk->ResultChk(bytes, "r", text, xml)) << row.name;
    const bool called48 = !rig.control.log.empty() && rig.control.log.back().member == "48";
    EXPECT_EQ(called48, row.extracted) << row.name;

    // A second, failing check reports the recorded entry.
    rig.control.answer = Variant::I2(1);
    rig.control.fail_at.clear();
    rig.chk->PingPath(rig.dir.path());
    std::string report, report_xml;
    rig.chk->PingEnviChk(report, report_xml, bytes, "r", ChkResultDoc);
    const auto lines_start = report.find("对典型文档进行检测时出现运行时错误\r\n    ");
    EXPECT_EQ(lines_start, 0u) << row.name << ": " << report;
    EXPECT_NE(report.find(row.description_part), std::string::npos) << row.name << ": " << report;
    const auto view = fakes::ReadReport(report_xml);
    ASSERT_EQ(view.entries.size(), 1u) << row.name;
    EXPECT_EQ(view.Field("RuleErrInfo")[0], "对典型文档进行检测时出现运行时错误") << row.name;
    EXPECT_NE(view.Field("Runtime")[0].find(row.description_part), std::string::npos) << row.name;
  }
}

TEST(ResultChk, ShowErrIsStoredBeforeErrMsgXmlIsRead) {
  Rig rig;
  rig.script->show_err = Variant::Text("new text");
  rig.script->fail_member = "ErrMsgXml";
  std::vector<uint8_t> bytes = SomeArchive();
  std::string text = "old", xml = "old xml";
  EXPECT_FALSE(rig.chk->ResultChk(bytes, "r", text, xml));
  EXPECT_EQ(text, "new text");
  EXPECT_EQ(xml, "old xml");
  EXPECT_EQ(rig.script->released, 1);
}

// Run as an ordinary user: root writes through read-only files and folders.
TEST(ResultChk, AReadOnlyEarlierArchiveIsReplacedAndAReadOnlyFolderFails) {
  Rig rig;
  const std::string archive = rig.dir / "ChkPing.ZIP";
  fakes::WriteFileText(archive, std::string(5000, 'x'));
  fakes::MakeDirs(rig.dir / "locked");
  const std::string answer = support::RunUnprivileged(rig.dir.path(), [&]() -> std::string {
    if (::chmod(archive.c_str(), 0444) != 0 || ::chmod((rig.dir / "locked").c_str(), 0555) != 0) {
      return "cannot make the archive and the folder read-only";
    }
    for (std::vector<uint8_t> bytes : {std::vector<uint8_t>{}, SomeArchive()}) {
      std::string text, xml;
      if (!rig.chk->ResultChk(bytes, "r", text, xml)) return "the check failed over a read-only archive";
      if (fakes::ReadFileBytes(archive) != bytes) return "the archive does not hold the new bytes";
    }
    rig.chk->PingPath(rig.dir / "locked");
    std::vector<uint8_t> bytes = SomeArchive();
    std::string text, xml;
    if (rig.chk->ResultChk(bytes, "r", text, xml)) return "the check passed in a folder it cannot write";
    std::string report, report_xml;
    rig.chk->PingEnviChk(report, report_xml, bytes, "r", ChkResultDoc);
    if (report.find("locked/ChkPing.ZIP: Permission denied") == std::string::npos) return "report: " + report;
    return "";
  });
  EXPECT_EQ(answer, "");
}

TEST(ResultChk, ASymlinkPlantedAsTheArchiveIsReplacedNotFollowed) {
  Rig rig;
  fakes::TempDir elsewhere;
  const std::string victim = elsewhere / "victim";
  fakes::WriteFileText(victim, "precious");
  ASSERT_EQ(::symlink(victim.c_str(), (rig.dir / "ChkPing.ZIP").c_str()), 0);
  std::vector<uint8_t> bytes = SomeArchive();
  std::string text, xml;
  EXPECT_TRUE(rig.chk->ResultChk(bytes, "r", text, xml));
  EXPECT_EQ(fakes::ReadFileBytes(victim), std::vector<uint8_t>({'p', 'r', 'e', 'c', 'i', 'o', 'u', 's'}));
  EXPECT_EQ(fakes::ReadFileBytes(rig.dir / "ChkPing.ZIP"), bytes);
}

}  // namespace
}  // namespace vardenix::testing
