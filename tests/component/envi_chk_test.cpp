// The check object's properties and the entry point's verdicts and reports, through recording fakes.
#include <gtest/gtest.h>

#include "checks/rig.h"
#include "tests/support/fakes/report_reader.h"
#include "report/mod_xml_rw.h"

namespace vardenix::testing {
namespace {

const char* const kTypicalError = "对典型文档进行检测时出现运行时错误";

TEST(ClsEnviChk, PropertiesStartEmptyAndKeepValuesUnchanged) {
  ClsEnviChk chk(std::make_shared<Platform>());
  EXPECT_EQ(chk.PingName(), "");
  EXPECT_EQ(chk.PingPath(), "");
  for (const std::string value : {" Some.Scorer ", "/srv/work", "/srv/work/", "", "C:\\x\\"}) {
    chk.PingName(value);
    chk.PingPath(value);
    EXPECT_EQ(chk.PingName(), value);
    EXPECT_EQ(chk.PingPath(), value);
  }
}

TEST(PingEnviChk, OptionsWithoutEitherBitRunNothing) {
  for (int options : {0, 4, 8, 12}) {
    Rig rig;
    std::vector<uint8_t> bytes = SomeArchive();
    std::string text = "caller text", xml = "<caller/>";
    EXPECT_FALSE(rig.chk->PingEnviChk(text, xml, bytes, "r", ChkPingConstants(options), "/no/t", "/no/s"))
        << options;
    EXPECT_EQ(text, "") << options;
    EXPECT_EQ(xml, "") << options;
    EXPECT_TRUE(rig.control.log.empty()) << options;
    EXPECT_EQ(bytes, SomeArchive()) << options;
  }
}

TEST(PingEnviChk, TypicalDocumentVerdictsAndReports) {
  struct Row {
    const char* name;
    int options;
    Variant ping;
    bool verdict;
    bool subject_ran;  // a missing bank was recorded, so the subject check ran
  };
  const Row rows[] = {
      {"1, full score", 1, Variant::R4(100), true, false},
      {"1, below full", 1, Variant::R4(80), false, false},
      {"3, typical fails: subject not run", 3, Variant::R4(80), false, false},
      {"-1 is like 3", -1, Variant::R4(80), false, false},
      {"3, typical passes, subject fails", 3, Variant::R4(100), false, true},
      {"-1, typical passes, subject fails", -1, Variant::R4(100), false, true},
  };
  for (const Row& row : rows) {
    Rig rig;
    rig.script->ping = row.ping;
    rig.script->show_err = Variant::Text("component text\r\n");
    std::string component_xml;
    AddRuleErr(component_xml, "", "component entry", "", "", "", "", "");
    rig.script->err_msg_xml = Variant::Text(component_xml);
    std::vector<uint8_t> bytes = SomeArchive();
    std::string text = "caller", xml = "caller";
    const std::string missing = rig.dir / "missing.db";
    EXPECT_EQ(rig.chk->PingEnviChk(text, xml, bytes, "r", ChkPingConstants(row.options), missing, missing),
              row.verdict)
        << row.name;
    if (row.verdict) {
      EXPECT_EQ(text, "") << row.name;
      EXPECT_EQ(xml, "") << row.name;
      continue;
    }
    // The typical document's report comes first, then the recorded entries.
    std::string expected = "component text\r\n";
    std::vector<std::string> headlines = {"component entry"};
    if (row.subject_ran) {
      expected += "对题库进行检测时出错\r\n    指定的" + missing + "库不存在\r\n";
      headlines.push_back("对题库进行检测时出错");
    }
    EXPECT_EQ(text, expected) << row.name;
    EXPECT_EQ(fakes::ReadReport(xml).Field("RuleErrInfo"), headlines) << row.name;
  }
}

TEST(PingEnviChk, DefaultOptionsRequestBothChecks) {
  Rig rig;
  std::vector<uint8_t> bytes = SomeArchive();
  std::string text, xml;
  const std::string missing = rig.dir / "t.db";
  EXPECT_FALSE(rig.chk->PingEnviChk(text, xml, bytes, "r", ChkPingConstants(3), missing, missing));
  EXPECT_NE(text.find("库不存在"), std::string::npos);
  std::string text2, xml2;
  EXPECT_FALSE(rig.chk->PingEnviChk(text2, xml2, bytes, "r"));  // empty bank paths: False, nothing new
  EXPECT_EQ(text2, text);
}

TEST(PingEnviChk, SubjectOnlyGuardFailureGivesFalseAndTheAccumulatedEntriesOnly) {
  Rig rig;
  std::vector<uint8_t> bytes = SomeArchive();
  std::string text = "x", xml = "x";
  EXPECT_FALSE(rig.chk->PingEnviChk(text, xml, bytes, "r", ChkSubject, "", ""));
  EXPECT_EQ(text, "");
  EXPECT_EQ(xml, "");
  EXPECT_TRUE(rig.control.log.empty());
}

TEST(PingEnviChk, EntriesAccumulateAcrossCallsAndAppearInLaterFailedChecks) {
  Rig rig;
  std::vector<uint8_t> bytes = SomeArchive();
  // The recorder's layout: the headline, then the description indented by four, each line CR LF.
  const std::string e1 = std::string(kTypicalError) + "\r\n    E1: the scorer stopped\r\n";
  const std::string missing = rig.dir / "nope.db";
  const std::string e2 = "对题库进行检测时出错\r\n    指定的" + missing + "库不存在\r\n";

  // Call 1: the component raises, which records entry E1, and the call reports it.
  rig.script->fail_member = "ping";
  rig.script->fail_message = "E1: the scorer stopped";
  std::string text1, xml1;
  EXPECT_FALSE(rig.chk->PingEnviChk(text1, xml1, bytes, "r", ChkResultDoc));
  EXPECT_EQ(text1, e1);
  EXPECT_EQ(fakes::ReadReport(xml1).Field("RuleErrInfo"), std::vector<std::string>{kTypicalError});
  rig.script->fail_member.clear();

  // Call 2 passes: the entry is not reported by it.
  std::string text2 = "stale", xml2 = "stale";
  EXPECT_TRUE(rig.chk->PingEnviChk(text2, xml2, bytes, "r", ChkResultDoc));
  EXPECT_EQ(text2, "");
  EXPECT_EQ(xml2, "");

  // Call 3 fails by score and records nothing itself: its own text, then E1.
  rig.script->ping = Variant::R4(99.5f);
  rig.script->show_err = Variant::Text("low score\r\n");
  std::string text3, xml3;
  EXPECT_FALSE(rig.chk->PingEnviChk(text3, xml3, bytes, "r", ChkResultDoc));
  EXPECT_EQ(text3, "low score\r\n" + e1);

  // Call 4: the typical document passes with its text, the subject check records E2 and fails.
  rig.script->ping = Variant::R4(100);
  std::string text4, xml4;
  EXPECT_FALSE(rig.chk->PingEnviChk(text4, xml4, bytes, "r", ChkPingConstants(3), missing, missing));
  EXPECT_EQ(text4, "low score\r\n" + e1 + e2);
  EXPECT_EQ(fakes::ReadReport(xml4).Field("RuleErrInfo"),
            (std::vector<std::string>{kTypicalError, "对题库进行检测时出错"}));
}

TEST(PingEnviChk, AFailedCheckWithoutAReportOnAFreshObjectGivesEmptyReports) {
  Rig rig;
  rig.control.answer = Variant::I2(3);
  std::vector<uint8_t> bytes = SomeArchive();
  std::string text = "a", xml = "b";
  EXPECT_FALSE(rig.chk->PingEnviChk(text, xml, bytes, "r", ChkResultDoc));
  EXPECT_EQ(text, "");
  EXPECT_EQ(xml, "");
}

// A C++ host can set a working folder holding a NUL: the system read the archive path only up to the
// NUL, so the scoring run deleted <dir>/victim.txt and wrote the archive bytes in its place.
TEST(PingEnviChk, AWorkingFolderHoldingANulNeverReachesTheFileSystem) {
  Rig rig;
  const std::string victim = rig.dir / "victim.txt";
  fakes::WriteFileText(victim, "the host's file");
  rig.chk->PingPath(victim + std::string(1, '\0'));
  std::vector<uint8_t> bytes = SomeArchive();
  std::string text, xml;
  EXPECT_FALSE(rig.chk->PingEnviChk(text, xml, bytes, "r", ChkResultDoc));
  const std::vector<uint8_t> kept = fakes::ReadFileBytes(victim);
  EXPECT_EQ(std::string(kept.begin(), kept.end()), "the host's file");
  EXPECT_TRUE(rig.control.log.empty()) << "the archive control was driven";
  EXPECT_EQ(text.rfind(kTypicalError, 0), 0u) << text;
  EXPECT_NE(text.find("NUL"), std::string::npos) << text;
}

}  // namespace
}  // namespace vardenix::testing
