// The built Vardenix.FileCheck module, loaded by path through the C API and created by ProgID from
// the process-wide class registry, as a host does; and a real typical-document check that uses it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hosting/component_registry.h"
#include "tests/support/fakes/report_reader.h"
#include "tests/support/fakes/temp_dir.h"
#include "tests/support/fakes/zip_writer.h"
#include "platform/variant.h"
#include "vardenix/component.h"
#include "vardenix/envi_chk.h"
#include "vardenix/error.h"

namespace vardenix {
namespace {

constexpr const char* kProgId = "Vardenix.FileCheck";

// Loads the module into the process-wide registry (harmless when it is loaded already).
void LoadFileCheck() {
  char message[512];
  ASSERT_EQ(vardenix_load_module(VARDENIX_FILECHECK_MODULE, message, sizeof message), VX_OK) << message;
}

std::string FailureOf(NamedObject& object, const std::string& member) {
  try {
    object.Read(member);
  } catch (const RuntimeError& e) {
    return e.Description();
  }
  return "(no failure)";
}

TEST(FileCheckModule, GradesThroughTheClassRegistryAsAHostDrivesIt) {
  LoadFileCheck();
  fakes::TempDir dir;
  fakes::MakeDirs(dir / "考生");
  fakes::WriteFileText(dir / "考生/答案.txt", "第一题：A");

  // The ProgID in another case, as hosts write it.
  auto scorer = SystemClassRegistry().Create("vardenix.FILECHECK");
  scorer->Put("TestPath", Variant::Text(dir.path()));
  scorer->Put("AnsCont", Variant::Text("3 contains 考生\\答案.txt 第一题：A\r\n1 exists 考生/缺.txt\r\n"));
  scorer->Put("GetTotalScore", Variant::I2(100));
  scorer->Put("ErrInfoType", Variant::I2(63));
  EXPECT_EQ(ToSingle(scorer->Read("ping")), 75.0f);
  EXPECT_EQ(scorer->Read("ShowErr"), Variant::Text("第2行（1分）：缺少文件 考生/缺.txt\r\n"));
  EXPECT_EQ(fakes::ReadReport(ToText(scorer->Read("ErrMsgXml"))).Field("Rule"),
            std::vector<std::string>{"1 exists 考生/缺.txt"});

  // A put grades again; member names match in any case.
  scorer->Put("anscont", Variant::Text("3 contains 考生\\答案.txt 第一题：A"));
  EXPECT_EQ(scorer->Read("PING"), Variant::R8(100));
  EXPECT_EQ(scorer->Read("showerr"), Variant::Text(""));
  EXPECT_EQ(scorer->Read("ErrMsgXml"), Variant::Text(""));
}

TEST(FileCheckModule, RefusesWhatItCannotGradeWithAReason) {
  LoadFileCheck();
  fakes::TempDir dir;
  auto scorer = SystemClassRegistry().Create(kProgId);
  scorer->Put("TestPath", Variant::Text(dir.path()));
  scorer->Put("AnsCont", Variant::Text("1 exists a.txt\n1 exists ../b.txt"));
  EXPECT_NE(FailureOf(*scorer, "ping").find("rule line 2: the path ../b.txt leaves the graded folder"),
            std::string::npos);
  EXPECT_NE(FailureOf(*scorer, "ShowErr").find("rule line 2"), std::string::npos);

  const struct {
    const char* name;
    const char* member;
    Variant value;
    std::string message_part;
  } puts[] = {
      {"score as text", "GetTotalScore", Variant::Text("100"), "GetTotalScore takes a positive number"},
      {"zero score", "GetTotalScore", Variant::I2(0), "GetTotalScore takes a positive number"},
      {"path as number", "TestPath", Variant::I4(1), "TestPath takes a text"},
      {"no such member", "Weight", Variant::I2(1), "Weight"},
  };
  for (const auto& row : puts) {
    try {
      scorer->Put(row.member, row.value);
      ADD_FAILURE() << row.name << ": accepted";
    } catch (const RuntimeError& e) {
      EXPECT_NE(e.Description().find(row.message_part), std::string::npos) << row.name << ": " << e.Description();
    }
  }
  auto unset = SystemClassRegistry().Create(kProgId);
  unset->Put("AnsCont", Variant::Text("1 exists a.txt"));
  EXPECT_NE(FailureOf(*unset, "ping").find("TestPath was not put"), std::string::npos);
}

// An archive as a Chinese Windows machine writes it: backslashes, and a name in CP936 without the
// UTF-8 flag ("报告.txt"), next to a UTF-8 name with a space.
std::vector<uint8_t> ExamArchive() {
  return fakes::BuildZip({
      {"\xBF\xBC\xC9\xFA\\\xB1\xA8\xB8\xE6.txt", "期末成绩：优秀\r\n"},  // 考生\报告.txt
      {"考生/my notes.txt", "hello world", fakes::ZipEntryType::kFile, /*utf8_flag=*/true},
  });
}

TEST(FileCheckModule, DecidesARealTypicalDocumentCheck) {
  LoadFileCheck();
  // The archive holds 考生/报告.txt and 考生/my notes.txt; the scoring run stages ChkPing.ZIP beside them.
  const struct {
    const char* name;
    std::string rule;
    bool verdict;
    std::string text_part;  // what the text report holds when the check fails
    std::string xml_part;
  } rows[] = {
      {"met", "2 contains 考生/报告.txt 优秀\r\n1 exists \"考生\\my notes.txt\"\r\n1 absent 考生/临时.tmp", true, "", ""},
      {"unmet folder", "2 contains 考生/报告.txt 优秀\r\n1 folder 图片", false, "第2行（1分）：缺少文件夹 图片\r\n",
       "<Rule>1 folder 图片</Rule>"},
      // The staged archive is in the graded folder too, so a rule can see it.
      {"unmet absent", "2 contains 考生/报告.txt 优秀\r\n1 absent ChkPing.ZIP", false,
       "第2行（1分）：ChkPing.ZIP 不应存在，却有文件\r\n", "<Rule>1 absent ChkPing.ZIP</Rule>"},
      // The component's failure reaches both reports as a run-time error naming the component, the
      // exception's type and the line.
      {"malformed", "2 contains 考生/报告.txt", false,
       "对典型文档进行检测时出现运行时错误\r\n    the scoring component Vardenix.FileCheck failed while answering "
       "\"ping\": vardenix::filecheck::RuleError: rule line 1: a contains rule needs the text",
       "rule line 1: a contains rule needs the text"},
  };
  for (const auto& row : rows) {
    fakes::TempDir work;
    ClsEnviChk chk;
    chk.PingName(kProgId);
    chk.PingPath(work.path());
    std::vector<uint8_t> bytes = ExamArchive();
    std::string text = "unset", xml = "unset";
    EXPECT_EQ(chk.PingEnviChk(text, xml, bytes, row.rule, ChkResultDoc), row.verdict) << row.name;
    if (row.verdict) {
      EXPECT_EQ(text, "") << row.name;
      EXPECT_EQ(xml, "") << row.name;
    } else {
      EXPECT_NE(text.find(row.text_part), std::string::npos) << row.name << ": " << text;
      EXPECT_NE(xml.find(row.xml_part), std::string::npos) << row.name << ": " << xml;
    }
    EXPECT_TRUE(fakes::PathExists(work / "考生/报告.txt")) << row.name;
  }
}

}  // namespace
}  // namespace vardenix
