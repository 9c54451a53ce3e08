// ReportMerger must give exactly what a chain of MergeXml calls gives, for any run of pieces.
#include <gtest/gtest.h>

#include <random>

#include "platform/fakes/failing_xml_dom.h"
#include "report/mod_xml_rw.h"

namespace vardenix {
namespace {

std::vector<std::string> Pieces() {
  std::string one, two;
  AddRuleErr(one, "L", "对题库进行检测", "O", "", "", "R <&>", "");
  AddRuleErr(two, "", "  ", "a\r\nb", "", "", "", "");
  AddRuleErr(two, "", "second", "", "", "", "", "");
  return {
      "",
      " ",
      "not xml <",
      "<RuleErrs><RuleErr>",
      kReportSkeleton,
      one,
      two,
      "<Other/>",
      "<Outer><x><RuleErr><Rule>deep</Rule></RuleErr></x><RuleErr><Rule>top</Rule></RuleErr></Outer>",
      "<RuleErrs><RuleErr>text before<Rule>a</Rule> tail </RuleErr></RuleErrs>",
      "<RuleErrs><RuleErr><Rule><![CDATA[x < y]]></Rule></RuleErr></RuleErrs>",
      "<RuleErrs a=\"1\"><!-- note --><RuleErr b=\"&amp;\">  <Rule>\t</Rule>  </RuleErr></RuleErrs>",
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><RuleErrs><RuleErr><Rule>实际操作结果：</Rule></RuleErr></RuleErrs>",
      "<RuleErr><RuleErr><Rule>inner</Rule></RuleErr></RuleErr>",
  };
}

std::string Chain(const std::string& start, const std::vector<std::string>& pieces, XmlDom& dom) {
  std::string report = start;
  for (const auto& piece : pieces) report = MergeXml(report, piece, dom);
  return report;
}

TEST(ReportMerger, GivesWhatAChainOfMergesGives) {
  const std::vector<std::string> pool = Pieces();
  std::mt19937 random(::testing::UnitTest::GetInstance()->random_seed());
  std::uniform_int_distribution<std::size_t> pick(0, pool.size() - 1);
  std::uniform_int_distribution<int> length(0, 7);
  for (int round = 0; round < 2000; ++round) {
    const std::string start = pool[pick(random)];
    std::vector<std::string> pieces(static_cast<std::size_t>(length(random)));
    for (auto& piece : pieces) piece = pool[pick(random)];

    ReportMerger merger(start);
    for (const auto& piece : pieces) merger.Merge(piece);
    ASSERT_EQ(merger.Result(), Chain(start, pieces, SystemXmlDom())) << "round " << round << " from \"" << start
                                                                      << "\" with " << pieces.size() << " pieces";
  }
}

TEST(ReportMerger, ADomFailureEmptiesTheReportAsMergeXmlDoes) {
  std::string one;
  AddRuleErr(one, "", "one", "", "", "", "", "");
  for (int fail_at = 1; fail_at <= 8; ++fail_at) {
    fakes::FailingXmlDom dom(fail_at);
    ReportMerger merger(one, dom);
    merger.Merge(one);
    const std::string after_failure = merger.Result();
    // Whatever step failed, the report is either empty or a whole merge; a later piece is taken as
    // MergeXml takes it after a failure: verbatim onto an empty report.
    merger.Merge("piece");
    if (after_failure.empty()) {
      EXPECT_EQ(merger.Result(), "piece") << fail_at;
    }
  }
}

}  // namespace
}  // namespace vardenix
