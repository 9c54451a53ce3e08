// ReportMerger must give exactly what a chain of MergeXml calls gives, for any run of pieces.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "tests/support/fakes/failing_xml_dom.h"
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
      "<RuleErrs><RuleErr><Rule>outer</Rule><x><RuleErr><Rule>inner</Rule></RuleErr></x></RuleErr></RuleErrs>",
      "<?xml version=\"1.0\"?><!-- head --><?pi data?><RuleErrs> <!-- c --> </RuleErrs><!-- tail -->",
      "<RuleErrs> </RuleErrs>",
      "<RuleErrs><RuleErr><Rule>raw CR LF\r\nand &#13; escaped</Rule></RuleErr></RuleErrs>",
      "<RuleErrs><RuleErr><Rule>a & b</Rule></RuleErr></RuleErrs>",
      "<RuleErrs a=\"1\" a=\"2\"><RuleErr/></RuleErrs>",
      std::string("<RuleErrs><RuleErr/></RuleErrs>\0<RuleErr/>", 41),
      "<!DOCTYPE RuleErrs><RuleErrs><RuleErr/></RuleErrs>",
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

// A DOM failure during a merge empties the report; the pieces after it are merged onto the empty
// report as usual. Both the chain of MergeXml and ReportMerger are run on a DOM that fails each of
// their operations in turn, and each result must be exactly the chain of the pieces after the
// failing one (or the empty report, for a failure in the final write of the merger).
TEST(ReportMerger, ADomFailureEmptiesTheReportAsMergeXmlDoes) {
  std::string one, two;
  AddRuleErr(one, "", "one", "", "", "", "", "");
  AddRuleErr(two, "", "two-a", "", "", "", "", "");
  AddRuleErr(two, "", "two-b", "", "", "", "", "");
  const std::string start = one;
  const std::vector<std::string> pieces = {two, "", "not xml <", one, kReportSkeleton, two};
  const auto chain_after = [&](std::size_t failed) {
    return Chain("", std::vector<std::string>(pieces.begin() + static_cast<long>(failed) + 1, pieces.end()),
                 SystemXmlDom());
  };

  // How many DOM operations each step takes in a clean run: ends[i] is the count after piece i.
  std::vector<int> chain_ends, merger_ends;
  {
    fakes::FailingXmlDom dom;
    std::string report = start;
    for (const auto& piece : pieces) {
      report = MergeXml(report, piece, dom);
      chain_ends.push_back(dom.operations);
    }
    ASSERT_EQ(report, Chain(start, pieces, SystemXmlDom()));
  }
  int merger_total = 0;
  {
    fakes::FailingXmlDom dom;
    ReportMerger merger(start, dom);
    for (const auto& piece : pieces) {
      merger.Merge(piece);
      merger_ends.push_back(dom.operations);
    }
    ASSERT_EQ(merger.Result(), Chain(start, pieces, SystemXmlDom()));
    merger_total = dom.operations;
  }
  const auto failed_step = [](const std::vector<int>& ends, int fail_at) {
    return static_cast<std::size_t>(std::lower_bound(ends.begin(), ends.end(), fail_at) - ends.begin());
  };

  for (int fail_at = 1; fail_at <= chain_ends.back(); ++fail_at) {
    fakes::FailingXmlDom dom(fail_at);
    const std::size_t failed = failed_step(chain_ends, fail_at);
    std::string report = start;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
      report = MergeXml(report, pieces[i], dom);
      if (i == failed) {
        EXPECT_EQ(report, "") << "chain, failing operation " << fail_at;
      }
    }
    EXPECT_EQ(report, chain_after(failed)) << "chain, failing operation " << fail_at;
  }
  for (int fail_at = 1; fail_at <= merger_total; ++fail_at) {
    fakes::FailingXmlDom dom(fail_at);
    const std::size_t failed = failed_step(merger_ends, fail_at);
    ReportMerger merger(start, dom);
    for (const auto& piece : pieces) merger.Merge(piece);
    const std::string expected = failed < pieces.size() ? chain_after(failed) : "";
    EXPECT_EQ(merger.Result(), expected) << "merger, failing operation " << fail_at;
  }

  // The same failing input for both: loading any text that holds the poison fails, wherever it
  // comes. Both must agree, piece for piece, and the failure must empty the report.
  const std::vector<std::string> poisoned = {two, "", one + "<!-- poison -->", one, two};
  for (std::size_t length = 1; length <= poisoned.size(); ++length) {
    const std::vector<std::string> run(poisoned.begin(), poisoned.begin() + static_cast<long>(length));
    fakes::FailingXmlDom chain_dom, merger_dom;
    chain_dom.poison = merger_dom.poison = "poison";
    ReportMerger merger(start, merger_dom);
    for (const auto& piece : run) merger.Merge(piece);
    const std::string chained = Chain(start, run, chain_dom);
    EXPECT_EQ(merger.Result(), chained) << length << " pieces";
    if (length == 3) {
      EXPECT_EQ(chained, "") << "the poisoned merge must empty the report";
    }
  }
}

}  // namespace
}  // namespace vardenix
