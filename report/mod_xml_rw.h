// ModXmlRW: the routines on RuleErrs report strings.
//
// A report string is empty (nothing reported) or one whole XML document:
//   <?xml version="1.0" encoding="gb2312" ?>
//   <RuleErrs><RuleErr><Rule/><RuleErrInfo/><Operation/><NeedSet/><UserSet/><Runtime/><Format/>
//   </RuleErr>...</RuleErrs>
// The routines keep no state; each call makes its own documents through the DOM seam (the system
// DOM unless a caller passes its own, as tests do to inject faults).
#pragma once

#include <memory>
#include <string>

#include "platform/xml_dom.h"

namespace vardenix {

// What stands in for a blank report before its first entry, character for character.
inline constexpr const char* kReportSkeleton =
    "<?xml version=\"1.0\" encoding=\"gb2312\" ?>\r\n<RuleErrs>\r\n</RuleErrs>";

// Appends one RuleErr with its seven children, in this order, to `report`. A blank report (spaces
// only) is first replaced by the skeleton. A report that is not well-formed XML is left as it is
// and nothing is added. A DOM failure throws RuntimeError (a blank report then holds the skeleton);
// so does a text that XML cannot hold (a NUL, say), which is refused rather than cut.
void AddRuleErr(std::string& report, const std::string& rule, const std::string& rule_err_info,
                const std::string& operation, const std::string& need_set,
                const std::string& user_set, const std::string& runtime, const std::string& format,
                XmlDom& dom = SystemXmlDom());

// A new element `name` of `doc` whose whole content is `text`, not yet attached.
// Throws RuntimeError on a DOM failure.
XmlNode CreateXmlNode(XmlDocument& doc, const std::string& name, const std::string& text);

// Joins two reports, growing report first. Zero-length inputs are joined as text; otherwise every
// RuleErr anywhere in `second` is appended, in order, to the root of `first` (one that stands inside
// another comes inside it, once). Comments and processing instructions of `first` stay. When `first`
// or `second` is not well-formed XML, the result is `first`. Never throws: a DOM failure gives "".
std::string MergeXml(const std::string& first, const std::string& second,
                     XmlDom& dom = SystemXmlDom()) noexcept;

// Merges a run of reports into one growing report: after `Merge(p1)`, ..., `Merge(pn)` the Result()
// is exactly what `report = MergeXml(report, p)` for each p in turn would give, but the growing
// report is parsed once and written out once instead of at every step, so a run of n merges costs
// O(n) instead of O(n^2). Not thread-safe; `dom` must outlive the merger.
class ReportMerger {
 public:
  explicit ReportMerger(std::string report, XmlDom& dom = SystemXmlDom());
  ReportMerger(const ReportMerger&) = delete;
  ReportMerger& operator=(const ReportMerger&) = delete;
  ~ReportMerger();

  // Never throws; a DOM failure empties the report, as it does in MergeXml.
  void Merge(const std::string& piece) noexcept;
  // The merged report. Never throws; a DOM failure gives "" and empties the report.
  std::string Result() noexcept;

 private:
  void Reset() noexcept;  // after a DOM failure: the empty report

  XmlDom& dom_;
  std::string text_;                   // the report while it is held as text
  std::unique_ptr<XmlDocument> doc_;   // the report once parsed; it then stands for its serialisation
  bool unparseable_ = false;           // text_ does not parse, so merges leave it as it is
};

}  // namespace vardenix
