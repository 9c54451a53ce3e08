// Hostile report strings through MergeXml (both ways), ReportMerger and AddRuleErr. The input is
// split at each pair of NULs into reports (a single NUL stays inside a report, as hostile text).
//
// What must hold:
// - MergeXml(a, b) of two well-formed reports holds a's root elements, unchanged, followed by every
//   RuleErr of b that is not inside another, unchanged and in b's order; read back through
//   pugixml, a reader independent of the system DOM. When a or b is not well-formed the result is a
//   as it is; when one is empty it is the other as it is.
// - A merge result is well-formed and merges again.
// - ReportMerger over the pieces gives exactly the chain of MergeXml over them.
// - AddRuleErr leaves a report it cannot parse as it is, and otherwise adds one entry.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/fakes/report_reader.h"
#include "platform/xml_dom.h"
#include "report/mod_xml_rw.h"
#include "vardenix/error.h"

namespace {

using vardenix::fakes::ReadShape;
using vardenix::fakes::ReportShape;

bool WellFormed(const std::string& text) { return vardenix::SystemXmlDom().NewDocument()->LoadXml(text); }

void Require(bool condition) {
  if (!condition) std::abort();
}

void CheckMerge(const std::string& a, const std::string& b) {
  const std::string merged = vardenix::MergeXml(a, b);
  if (a.empty() || b.empty()) {
    Require(merged == a + b);
    return;
  }
  const bool a_ok = WellFormed(a);
  if (!a_ok || !WellFormed(b)) {
    Require(merged == a);
    return;
  }
  Require(WellFormed(merged));
  const ReportShape sa = ReadShape(a);
  const ReportShape sb = ReadShape(b);
  const ReportShape sm = ReadShape(merged);
  Require(sm.parses);
  // pugixml may refuse what expat accepts (a byte-order mark, say); then there is nothing to
  // compare against.
  if (sa.parses && sb.parses) {
    std::vector<std::string> expected = sa.root_elements;
    expected.insert(expected.end(), sb.outermost_entries.begin(), sb.outermost_entries.end());
    Require(sm.root == sa.root);
    Require(sm.root_elements == expected);
  }
  // A merge result merges again, and merging what it already holds changes nothing of it.
  const std::string again = vardenix::MergeXml(merged, b);
  Require(WellFormed(again));
  Require(vardenix::MergeXml(merged, "<RuleErrs/>") == merged);
}

void CheckMerger(const std::vector<std::string>& pieces) {
  std::string chained = pieces.front();
  vardenix::ReportMerger merger(pieces.front());
  for (std::size_t i = 1; i < pieces.size(); ++i) {
    chained = vardenix::MergeXml(chained, pieces[i]);
    merger.Merge(pieces[i]);
  }
  Require(merger.Result() == chained);
}

void CheckAdd(const std::string& report) {
  std::string r = report;
  try {
    vardenix::AddRuleErr(r, report, "<&>", "", "题面要求操作：", "", "\r\n", "]]>");
  } catch (const vardenix::RuntimeError&) {
    // The report text itself goes in as the Rule: one that XML cannot hold is refused whole.
    Require(r == report || r == vardenix::kReportSkeleton);
    Require(!vardenix::XmlCanHoldText(report));
    return;
  }
  const bool blank = report.find_first_not_of(' ') == std::string::npos;
  if (!blank && !WellFormed(report)) {
    Require(r == report);
    return;
  }
  Require(WellFormed(r));
  const ReportShape before = ReadShape(blank ? std::string(vardenix::kReportSkeleton) : report);
  const ReportShape after = ReadShape(r);
  if (before.parses) {
    Require(after.root_elements.size() == before.root_elements.size() + 1);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> pieces;
  std::size_t from = 0;
  for (;;) {
    const std::size_t at = input.find(std::string(2, '\0'), from);
    pieces.push_back(input.substr(from, at == std::string::npos ? std::string::npos : at - from));
    if (at == std::string::npos || pieces.size() == 6) break;
    from = at + 2;
  }
  const std::string& first = pieces[0];
  const std::string second = pieces.size() > 1 ? pieces[1] : std::string();
  CheckMerge(first, second);
  CheckMerge(second, first);
  CheckMerger(pieces);
  CheckAdd(first);
  CheckAdd(second);
  return 0;
}
