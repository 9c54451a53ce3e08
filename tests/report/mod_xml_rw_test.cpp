// The RuleErrs report routines: AddRuleErr and MergeXml, as tables of cases.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/fakes/failing_xml_dom.h"
#include "platform/fakes/report_reader.h"
#include "report/mod_xml_rw.h"

namespace vardenix {
namespace {

using fakes::ReadReport;

const std::vector<std::string> kChildOrder = {"Rule",    "RuleErrInfo", "Operation", "NeedSet",
                                              "UserSet", "Runtime",     "Format"};

std::string ReportWithEntries(const std::vector<std::string>& headlines) {
  std::string report;
  for (const auto& h : headlines) AddRuleErr(report, "", h, "", "", "", "", "");
  return report;
}

std::vector<std::string> ChildNames(const fakes::ReportView& view, std::size_t entry) {
  std::vector<std::string> names;
  for (const auto& [name, text] : view.entries.at(entry)) names.push_back(name);
  return names;
}

TEST(AddRuleErr, BlankReportsBecomeOneEntryWithSevenChildrenInOrder) {
  struct Row {
    const char* name;
    std::string report;
  };
  const Row rows[] = {{"empty", ""}, {"spaces", "   "}};
  for (const Row& row : rows) {
    std::string report = row.report;
    AddRuleErr(report, "L", "I", "O", "N", "U", "R", "F");
    const auto view = ReadReport(report);
    ASSERT_TRUE(view.parses) << row.name;
    EXPECT_EQ(view.root, "RuleErrs") << row.name;
    EXPECT_EQ(view.declared_encoding, "gb2312") << row.name;
    ASSERT_EQ(view.entries.size(), 1u) << row.name;
    EXPECT_EQ(ChildNames(view, 0), kChildOrder) << row.name;
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"Rule", "L"}, {"RuleErrInfo", "I"}, {"Operation", "O"}, {"NeedSet", "N"},
        {"UserSet", "U"}, {"Runtime", "R"},   {"Format", "F"}};
    EXPECT_EQ(view.entries[0], expected) << row.name;
  }
}

TEST(AddRuleErr, TableOfReports) {
  struct Row {
    const char* name;
    std::string before;
    bool changes;             // false: the report must stay character for character
    std::string root;         // root after the call
    std::size_t entries;      // RuleErr children of the root after the call
  };
  const std::string one = ReportWithEntries({"first"});
  const Row rows[] = {
      {"not xml is left alone", "not <xml", false, "", 0},
      {"tab is not blank and does not parse", "\t", false, "", 0},
      {"text outside a root does not parse", "<a/>junk", false, "", 0},
      {"two roots do not parse", "<a/><b/>", false, "", 0},
      {"another root takes the entry", "<Other/>", true, "Other", 1},
      {"an entry is added after the others", one, true, "RuleErrs", 2},
      {"the skeleton itself", kReportSkeleton, true, "RuleErrs", 1},
  };
  for (const Row& row : rows) {
    std::string report = row.before;
    EXPECT_NO_THROW(AddRuleErr(report, "", "new", "", "", "", "", "")) << row.name;
    if (!row.changes) {
      EXPECT_EQ(report, row.before) << row.name;
      continue;
    }
    const auto view = ReadReport(report);
    ASSERT_TRUE(view.parses) << row.name;
    EXPECT_EQ(view.root, row.root) << row.name;
    ASSERT_EQ(view.entries.size(), row.entries) << row.name;
    EXPECT_EQ(view.Field("RuleErrInfo").back(), "new") << row.name;
  }
}

TEST(AddRuleErr, EmptyTextsGiveSevenEmptyChildrenAndCallsKeepTheirOrder) {
  std::string report;
  AddRuleErr(report, "", "", "", "", "", "", "");
  AddRuleErr(report, "", "second", "", "", "", "", "");
  const auto view = ReadReport(report);
  ASSERT_EQ(view.entries.size(), 2u);
  for (const auto& [name, text] : view.entries[0]) EXPECT_EQ(text, "") << name;
  EXPECT_EQ(ChildNames(view, 0), kChildOrder);
  EXPECT_EQ(view.Field("RuleErrInfo"), (std::vector<std::string>{"", "second"}));
}

TEST(AddRuleErr, TextsSurviveExactly) {
  const std::string texts[] = {
      "a < b && c > d", "对典型文档进行检测时出现运行时错误", "        题面要求操作：x\r\n",
      "\"quoted\" 'single'", "]]> and <![CDATA[", "&amp; stays literal"};
  for (const std::string& text : texts) {
    std::string report;
    AddRuleErr(report, text, text, text, text, text, text, text);
    const auto view = ReadReport(report);
    ASSERT_EQ(view.entries.size(), 1u) << text;
    for (const auto& [name, value] : view.entries[0]) EXPECT_EQ(value, text) << name;
    // and once more through a merge
    const auto merged = ReadReport(MergeXml(ReportWithEntries({"x"}), report));
    ASSERT_EQ(merged.entries.size(), 2u) << text;
    EXPECT_EQ(merged.Field("Operation")[1], text);
  }
}

TEST(AddRuleErr, DomFailureRaisesAndLeavesTheSkeletonInABlankReport) {
  for (int fail_at = 1; fail_at <= 3; ++fail_at) {
    fakes::FailingXmlDom dom(fail_at);
    std::string report = " ";
    EXPECT_THROW(AddRuleErr(report, "", "x", "", "", "", "", "", dom), std::exception) << fail_at;
    EXPECT_EQ(report, kReportSkeleton) << fail_at;

    fakes::FailingXmlDom dom2(fail_at);
    const std::string before = ReportWithEntries({"kept"});
    std::string existing = before;
    EXPECT_THROW(AddRuleErr(existing, "", "x", "", "", "", "", "", dom2), std::exception) << fail_at;
    EXPECT_EQ(existing, before) << fail_at;
  }
}

TEST(MergeXml, TableOfCases) {
  const std::string two = ReportWithEntries({"a1", "a2"});
  const std::string three = ReportWithEntries({"b1", "b2", "b3"});
  const std::string none = kReportSkeleton;
  const std::string nested =
      "<Outer><x><y><RuleErr><Rule>deep</Rule></RuleErr></y></x><RuleErr><Rule>top</Rule></RuleErr></Outer>";

  struct Row {
    const char* name;
    std::string first;
    std::string second;
    // Either an exact result, or the headlines of the merged entries.
    const char* exact;
    std::vector<std::string> rules_or_headlines;
  };
  const Row rows[] = {
      {"both empty", "", "", "", {}},
      {"empty first gives second as is", "", "not xml", "not xml", {}},
      {"empty second gives first as is", "  x <", "", "  x <", {}},
      {"a single space with a report", " ", two, " ", {}},
      {"second malformed gives first", two, "<RuleErrs><RuleErr>", nullptr, {}},
      {"first malformed gives first", "<broken", two, "<broken", {}},
  };
  for (const Row& row : rows) {
    const std::string merged = MergeXml(row.first, row.second);
    if (row.exact) {
      EXPECT_EQ(merged, row.exact) << row.name;
    } else {
      EXPECT_EQ(merged, row.first) << row.name;
    }
  }

  // Entries carried over: first's stay first, second's follow in their order.
  auto merged = ReadReport(MergeXml(two, three));
  EXPECT_EQ(merged.Field("RuleErrInfo"), (std::vector<std::string>{"a1", "a2", "b1", "b2", "b3"}));
  EXPECT_EQ(merged.declared_encoding, "gb2312");

  // Nothing to carry: first re-serialised, still its entries.
  merged = ReadReport(MergeXml(two, none));
  EXPECT_EQ(merged.Field("RuleErrInfo"), (std::vector<std::string>{"a1", "a2"}));

  // RuleErr elements anywhere in second arrive as direct children, in document order.
  merged = ReadReport(MergeXml(none, nested));
  EXPECT_EQ(merged.root, "RuleErrs");
  EXPECT_EQ(merged.Field("Rule"), (std::vector<std::string>{"deep", "top"}));

  // A root of another name in first still receives the entries.
  merged = ReadReport(MergeXml("<Other/>", two));
  EXPECT_EQ(merged.root, "Other");
  EXPECT_EQ(merged.entries.size(), 2u);
}

TEST(MergeXml, InputsAreNotReDecodedByTheDeclaredEncoding) {
  // The declaration says gb2312 but the text is already decoded (UTF-8 here); it must stay so.
  std::string first;
  AddRuleErr(first, "", "对题库进行检测时出错", "", "", "", "", "");
  const std::string second =
      "<?xml version=\"1.0\" encoding=\"gb2312\" ?>\r\n<RuleErrs><RuleErr><Rule>实际操作结果：合格</Rule>"
      "</RuleErr></RuleErrs>";
  const auto merged = ReadReport(MergeXml(first, second));
  EXPECT_EQ(merged.Field("RuleErrInfo").front(), "对题库进行检测时出错");
  EXPECT_EQ(merged.Field("Rule").back(), "实际操作结果：合格");
}

TEST(MergeXml, AnyDomFailureGivesTheEmptyString) {
  const std::string two = ReportWithEntries({"a1", "a2"});
  const std::string one = ReportWithEntries({"b1"});
  // Count the operations of a clean merge, then fail each one in turn.
  fakes::FailingXmlDom counter(0);
  ASSERT_FALSE(MergeXml(two, one, counter).empty());
  ASSERT_GT(counter.operations, 4);
  for (int fail_at = 1; fail_at <= counter.operations; ++fail_at) {
    fakes::FailingXmlDom dom(fail_at);
    EXPECT_EQ(MergeXml(two, one, dom), "") << "failing operation " << fail_at;
  }
}

}  // namespace
}  // namespace vardenix
