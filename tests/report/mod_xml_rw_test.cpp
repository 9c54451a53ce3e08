// The RuleErrs report routines: AddRuleErr and MergeXml, as tables of cases.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/fakes/failing_xml_dom.h"
#include "tests/support/fakes/report_reader.h"
#include "report/mod_xml_rw.h"
#include "vardenix/error.h"

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
      "\"quoted\" 'single'", "]]> and <![CDATA[", "&amp; stays literal", "a lone CR\r and LF\n and\ttab",
      "\r\n\r\n", "  \t ", "beyond the basic plane: \xF0\x9F\x98\x80, U+FFFD \xEF\xBF\xBD"};
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

// A text that XML cannot hold is refused whole, never cut: the call raises and the report keeps
// what it had.
TEST(AddRuleErr, TextsXmlCannotHoldAreRefusedWhole) {
  struct Row {
    const char* name;
    std::string text;
  };
  const Row rows[] = {
      {"embedded NUL", std::string("before\0after", 12)},
      {"leading NUL", std::string("\0x", 2)},
      {"control character", "a\x01b"},
      {"escape character", "\x1b[31m"},
      {"byte that is not UTF-8", "GBK \xB6\xD4"},
      {"cut UTF-8 sequence", "\xE5\xAF"},
      {"overlong encoding of '<'", "\xC0\xBC"},
      {"UTF-16 surrogate", "\xED\xA0\x80"},
      {"U+FFFE", "\xEF\xBF\xBE"},
  };
  for (const Row& row : rows) {
    const std::string before = ReportWithEntries({"kept"});
    std::string report = before;
    EXPECT_THROW(AddRuleErr(report, "", "headline", "", "", "", row.text, ""), RuntimeError) << row.name;
    EXPECT_EQ(report, before) << row.name;
    EXPECT_FALSE(XmlCanHoldText(row.text)) << row.name;
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

  // A RuleErr inside another arrives once, inside its parent, not a second time on its own.
  const std::string merged_text = MergeXml(
      two, "<RuleErrs><RuleErr><Rule>outer</Rule><RuleErr><Rule>inner</Rule></RuleErr></RuleErr></RuleErrs>");
  merged = ReadReport(merged_text);
  EXPECT_EQ(merged.Field("Rule"), (std::vector<std::string>{"", "", "outer"}));
  const std::size_t inner = merged_text.find("<Rule>inner</Rule>");
  EXPECT_NE(inner, std::string::npos);
  EXPECT_EQ(merged_text.find("<Rule>inner</Rule>", inner + 1), std::string::npos) << merged_text;

  // A root of another name in first still receives the entries.
  merged = ReadReport(MergeXml("<Other/>", two));
  EXPECT_EQ(merged.root, "Other");
  EXPECT_EQ(merged.entries.size(), 2u);
}

// Reports are held to XML 1.0 well-formedness: a second report that is not well-formed leaves the
// first as it is, a first one that is not is the result, and AddRuleErr leaves such a report alone.
TEST(MergeXml, ReportsThatAreNotWellFormedAreRefused) {
  const std::string kHead = "<?xml version=\"1.0\" encoding=\"gb2312\" ?>\r\n";
  const std::string kEntry = "<RuleErr><Rule>x</Rule></RuleErr>";
  struct Row {
    const char* name;
    std::string text;
  };
  const Row rows[] = {
      {"bare ampersand", "<RuleErrs><RuleErr><Rule>a & b</Rule></RuleErr></RuleErrs>"},
      {"&nbsp; without a DTD", "<RuleErrs><RuleErr><Rule>a&nbsp;b</Rule></RuleErr></RuleErrs>"},
      {"unknown entity", "<RuleErrs>" + kEntry + "&x;</RuleErrs>"},
      {"duplicate attribute", "<RuleErrs a=\"1\" a=\"2\">" + kEntry + "</RuleErrs>"},
      {"< in an attribute value", "<RuleErrs a=\"x<y\">" + kEntry + "</RuleErrs>"},
      {"unquoted attribute", "<RuleErrs a=1>" + kEntry + "</RuleErrs>"},
      {"declaration after the root", "<RuleErrs>" + kEntry + "</RuleErrs>" + kHead},
      {"declaration inside the root", "<RuleErrs>" + kHead + kEntry + "</RuleErrs>"},
      {"text after the root", kHead + "<RuleErrs>" + kEntry + "</RuleErrs>junk"},
      {"second root", "<RuleErrs>" + kEntry + "</RuleErrs><RuleErrs/>"},
      {"text after an embedded NUL", kHead + "<RuleErrs>" + kEntry + "</RuleErrs>" + std::string(1, '\0') + "junk"},
      {"NUL inside a text", "<RuleErrs><RuleErr><Rule>a" + std::string(1, '\0') + "b</Rule></RuleErr></RuleErrs>"},
      {"control character", "<RuleErrs><RuleErr><Rule>a\x01</Rule></RuleErr></RuleErrs>"},
      {"reference to a control character", "<RuleErrs><RuleErr><Rule>a&#1;</Rule></RuleErr></RuleErrs>"},
      {"bytes that are not UTF-8", "<RuleErrs><RuleErr><Rule>\xB6\xD4</Rule></RuleErr></RuleErrs>"},
      {"mismatched end tag", "<RuleErrs><RuleErr></RuleErrs></RuleErr>"},
      {"unclosed", "<RuleErrs>" + kEntry},
      {"double hyphen in a comment", "<RuleErrs><!-- a -- b -->" + kEntry + "</RuleErrs>"},
      {"]]> in a text", "<RuleErrs><RuleErr><Rule>a]]>b</Rule></RuleErr></RuleErrs>"},
      {"harmless DOCTYPE", "<!DOCTYPE RuleErrs><RuleErrs>" + kEntry + "</RuleErrs>"},
      {"DOCTYPE defining an entity",
       "<!DOCTYPE RuleErrs [<!ENTITY e \"boom\">]><RuleErrs><RuleErr><Rule>&e;</Rule></RuleErr></RuleErrs>"},
      {"DOCTYPE naming an outside DTD",
       "<!DOCTYPE RuleErrs SYSTEM \"file:///etc/passwd\"><RuleErrs>" + kEntry + "</RuleErrs>"},
  };
  const std::string good = ReportWithEntries({"a1", "a2"});
  for (const Row& row : rows) {
    EXPECT_EQ(MergeXml(good, row.text), good) << row.name;
    EXPECT_EQ(MergeXml(row.text, good), row.text) << row.name;
    std::string report = row.text;
    EXPECT_NO_THROW(AddRuleErr(report, "", "new", "", "", "", "", "")) << row.name;
    EXPECT_EQ(report, row.text) << row.name;
  }
}

// Comments and processing instructions of the first report stay where they were.
TEST(MergeXml, CommentsAndProcessingInstructionsOfTheFirstReportSurvive) {
  const std::string first =
      "<?xml version=\"1.0\" encoding=\"gb2312\" ?>\r\n<!-- made by the host -->\r\n"
      "<?xml-stylesheet type=\"text/xsl\" href=\"report.xsl\"?>\r\n<RuleErrs>\r\n<!-- first -->"
      "<RuleErr><Rule>a</Rule><?note kept?></RuleErr>\r\n</RuleErrs>\r\n<!-- the end -->";
  const std::string marks[] = {"<!-- made by the host -->", "<?xml-stylesheet type=\"text/xsl\" href=\"report.xsl\"?>",
                               "<!-- first -->", "<?note kept?>", "<Rule>b</Rule>", "<!-- the end -->"};
  std::string added = first;
  AddRuleErr(added, "b", "", "", "", "", "", "");
  const std::string merged = MergeXml(first, "<RuleErrs><RuleErr><Rule>b</Rule></RuleErr></RuleErrs>");
  for (const std::string& out : {merged, added}) {
    std::size_t at = 0;
    for (const std::string& mark : marks) {
      const std::size_t found = out.find(mark, at);
      ASSERT_NE(found, std::string::npos) << mark << " in\n" << out;
      at = found + mark.size();
    }
    EXPECT_TRUE(ReadReport(out).parses) << out;
  }
}

// No report, however deep, exhausts the stack: every walk over a document is a loop.
TEST(MergeXml, DocumentsAMillionLevelsDeep) {
  constexpr int kLevels = 1'000'000;
  const auto deep = [](const std::string& inner) {
    std::string text;
    text.reserve(static_cast<std::size_t>(kLevels) * 7 + inner.size());
    for (int i = 0; i < kLevels; ++i) text += "<x>";
    text += inner;
    for (int i = 0; i < kLevels; ++i) text += "</x>";
    return text;
  };
  const std::string two = ReportWithEntries({"a1", "a2"});
  // An entry at the bottom of a million levels.
  const std::string entry_at_bottom = "<RuleErrs>" + deep("<RuleErr><Rule>bottom</Rule></RuleErr>") + "</RuleErrs>";
  // An entry a million levels deep inside.
  const std::string deep_entry = "<RuleErrs><RuleErr><Rule>top</Rule>" + deep("") + "</RuleErr></RuleErrs>";

  auto merged = ReadReport(MergeXml(two, entry_at_bottom));
  EXPECT_EQ(merged.Field("Rule"), (std::vector<std::string>{"", "", "bottom"}));

  const std::string with_deep_entry = MergeXml(two, deep_entry);
  merged = ReadReport(with_deep_entry);
  ASSERT_TRUE(merged.parses);
  EXPECT_EQ(merged.Field("Rule"), (std::vector<std::string>{"", "", "top"}));

  // A deep first report: merged into, appended to, and merged through ReportMerger.
  merged = ReadReport(MergeXml(with_deep_entry, ReportWithEntries({"b1"})));
  EXPECT_EQ(merged.Field("Rule"), (std::vector<std::string>{"", "", "top", ""}));
  std::string added = deep_entry;
  AddRuleErr(added, "", "added", "", "", "", "", "");
  EXPECT_EQ(ReadReport(added).Field("Rule"), (std::vector<std::string>{"top", ""}));
  ReportMerger merger(deep_entry);
  merger.Merge(entry_at_bottom);
  merger.Merge(deep_entry);
  EXPECT_EQ(ReadReport(merger.Result()).Field("Rule"), (std::vector<std::string>{"top", "bottom", "top"}));
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
