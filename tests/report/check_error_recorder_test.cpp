// The check-error recorder: the indented text block and the RuleErr entry of each recorded problem.
#include <gtest/gtest.h>

#include "tests/support/fakes/failing_xml_dom.h"
#include "tests/support/fakes/report_reader.h"
#include "platform/xml_dom.h"
#include "report/check_error_recorder.h"
#include "report/mod_xml_rw.h"

namespace vardenix {
namespace {

struct Args {
  std::string info, operation, need, user, format, runtime, rule;
};

TEST(AddErrInfo, TextBlocksAndEntries) {
  const std::string kNeed = "题面要求操作：";
  const std::string kUser = "实际操作结果：";
  struct Row {
    const char* name;
    Args args;
    std::string block;
    std::string need_set;  // the NeedSet child
    std::string user_set;  // the UserSet child
  };
  const Row rows[] = {
      {"typical-document handler", {"对典型文档进行检测时出现运行时错误", "", "", "", "", "D", ""},
       "对典型文档进行检测时出现运行时错误\r\n    D\r\n", "", ""},
      {"total bank missing", {"对题库进行检测时出错", "指定的/x/t.db库不存在", "", "", "", "", ""},
       "对题库进行检测时出错\r\n    指定的/x/t.db库不存在\r\n", "", ""},
      {"no operation questions", {"对题库进行检测", "方案中不存在当前科目的操作题", "", "", "", "", ""},
       "对题库进行检测\r\n    方案中不存在当前科目的操作题\r\n", "", ""},
      {"all seven", {"I", "O", "N", "U", "F", "R", "L"},
       "I\r\n    F\r\n    R\r\n    O\r\n        " + kNeed + "N\r\n        " + kUser + "U\r\n",
       "        " + kNeed + "N\r\n", "        " + kUser + "U\r\n"},
      {"all empty", {}, "", "", ""},
      {"only runtime", {"", "", "", "", "", "R", ""}, "R\r\n", "", ""},
      {"no headline, operation and need set", {"", "O", "N", "", "", "", ""},
       "O\r\n    " + kNeed + "N\r\n", "    " + kNeed + "N\r\n", ""},
      {"headline and need set, no operation", {"I", "", "N", "", "", "", ""},
       "I\r\n    " + kNeed + "N\r\n", "    " + kNeed + "N\r\n", ""},
      {"user set without need set", {"", "", "", "U", "", "", ""}, kUser + "U\r\n", "", kUser + "U\r\n"},
      {"spaces are not empty", {"  ", "", " ", "", "", "", ""}, "  \r\n    " + kNeed + " \r\n",
       "    " + kNeed + " \r\n", ""},
      {"a line break inside a value gets no indentation", {"I", "a\r\nb", "", "", "", "", ""},
       "I\r\n    a\r\nb\r\n", "", ""},
  };
  for (const Row& row : rows) {
    std::string info = "earlier\r\n", xml;
    ErrorAccumulators acc{info, xml, SystemXmlDom()};
    const Args& a = row.args;
    AddErrInfo(acc, a.info, a.operation, a.need, a.user, a.format, a.runtime, a.rule);
    EXPECT_EQ(info, "earlier\r\n" + row.block) << row.name;
    const auto view = fakes::ReadReport(xml);
    ASSERT_EQ(view.entries.size(), 1u) << row.name;
    const std::vector<std::pair<std::string, std::string>> entry = {
        {"Rule", a.rule},         {"RuleErrInfo", a.info}, {"Operation", a.operation},
        {"NeedSet", row.need_set}, {"UserSet", row.user_set}, {"Runtime", a.runtime},
        {"Format", a.format}};
    EXPECT_EQ(view.entries[0], entry) << row.name;
  }
}

TEST(AddErrInfo, CallsAccumulateInOrder) {
  std::string info, xml;
  ErrorAccumulators acc{info, xml, SystemXmlDom()};
  AddErrInfo(acc, "first", "", "", "", "", "", "");
  AddErrInfo(acc, "second", "", "", "", "", "", "");
  EXPECT_EQ(info, "first\r\nsecond\r\n");
  EXPECT_EQ(fakes::ReadReport(xml).Field("RuleErrInfo"), (std::vector<std::string>{"first", "second"}));
}

// A text the XML report cannot hold as it is keeps its problem: by one rule, a byte that is not
// UTF-8 becomes \xNN and a character XML excludes \uXXXX, in the text and the XML alike, so both
// reports tell the problem and the report still parses.
TEST(AddErrInfo, AProblemWithATextXmlCannotHoldIsKeptWithThatTextReplaced) {
  const std::string nul("path/with\0NUL", 13);
  struct Row {
    const char* name;
    Args args;
    std::string field;     // the RuleErr field that holds it
    std::string expected;  // its text there, and in the text block
  };
  const Row rows[] = {
      {"NUL in the run-time description", {"对典型文档进行检测时出现运行时错误", "", "", "", "", nul, ""}, "Runtime",
       "path/with\\u0000NUL"},
      {"a bank path in GBK bytes", {"对题库进行检测时出错", "指定的/srv/\xBF\xBC\xCA\xD4.db库不存在", "", "", "", "", ""},
       "Operation", "指定的/srv/\\xBF\\xBC\\xCA\\xD4.db库不存在"},
      {"bytes that are not UTF-8 in the rule", {"I", "", "", "", "", "", "\xB6\xD4"}, "Rule", "\\xB6\\xD4"},
      {"a bell in a component's text", {"I", "", "", "", "", "the scorer says\a done", ""}, "Runtime",
       "the scorer says\\u0007 done"},
      {"U+FFFE and U+FFFF", {"I", "", "", "", "", "a\xEF\xBF\xBE b\xEF\xBF\xBF", ""}, "Runtime", "a\\uFFFE b\\uFFFF"},
      {"a cut UTF-8 character and a surrogate", {"I", "", "", "", "", "x\xE4\xB8 \xED\xA0\x80", ""}, "Runtime",
       "x\\xE4\\xB8 \\xED\\xA0\\x80"},
  };
  for (const Row& row : rows) {
    std::string info = "earlier\r\n";
    std::string xml;
    AddRuleErr(xml, "", "earlier", "", "", "", "", "");
    ErrorAccumulators acc{info, xml, SystemXmlDom()};
    const Args& a = row.args;
    AddErrInfo(acc, a.info, a.operation, a.need, a.user, a.format, a.runtime, a.rule);
    if (row.field != "Rule") {
      EXPECT_NE(info.find(row.expected + "\r\n"), std::string::npos) << row.name << ": " << info;
    }
    const auto report = fakes::ReadReport(xml);
    EXPECT_EQ(report.Field("RuleErrInfo").size(), 2u) << row.name << ": " << xml;
    EXPECT_EQ(report.Field(row.field).back(), row.expected) << row.name << ": " << xml;
    EXPECT_TRUE(XmlCanHoldText(info)) << row.name;
  }
}

TEST(AddErrInfo, TheTextIsKeptWhenTheXmlStepFails) {
  std::string info, xml;
  fakes::FailingXmlDom dom(2);
  ErrorAccumulators acc{info, xml, dom};
  EXPECT_NO_THROW(AddErrInfo(acc, "headline", "", "", "", "", "D", ""));
  EXPECT_EQ(info, "headline\r\n    D\r\n");
  EXPECT_EQ(xml, kReportSkeleton);
}

}  // namespace
}  // namespace vardenix
