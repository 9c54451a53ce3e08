// The check-error recorder: the indented text block and the RuleErr entry of each recorded problem.
#include <gtest/gtest.h>

#include "tests/support/fakes/failing_xml_dom.h"
#include "tests/support/fakes/report_reader.h"
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

// A text the XML report cannot hold whole is refused from both accumulators, so the text and the
// XML always tell the same problems, each one whole (never the text whole and the entry cut).
TEST(AddErrInfo, AProblemWithATextXmlCannotHoldIsRefusedFromBoth) {
  const std::string nul("path/with\0NUL", 14);
  struct Row {
    const char* name;
    Args args;
  };
  const Row rows[] = {
      {"NUL in the run-time description", {"对典型文档进行检测时出现运行时错误", "", "", "", "", nul, ""}},
      {"NUL in the operation", {"对题库进行检测时出错", "指定的" + nul + "库不存在", "", "", "", "", ""}},
      {"bytes that are not UTF-8 in the rule", {"I", "", "", "", "", "", "\xB6\xD4"}},
      {"control character in the need set", {"I", "", "a\x02", "", "", "", ""}},
  };
  for (const Row& row : rows) {
    std::string info = "earlier\r\n";
    std::string xml;
    AddRuleErr(xml, "", "earlier", "", "", "", "", "");
    const std::string xml_before = xml;
    ErrorAccumulators acc{info, xml, SystemXmlDom()};
    const Args& a = row.args;
    AddErrInfo(acc, a.info, a.operation, a.need, a.user, a.format, a.runtime, a.rule);
    EXPECT_EQ(info, "earlier\r\n") << row.name;
    EXPECT_EQ(xml, xml_before) << row.name;
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
