// ModXmlRW: the routines on RuleErrs report strings.
//
// A report string is empty (nothing reported) or one whole XML document:
//   <?xml version="1.0" encoding="gb2312" ?>
//   <RuleErrs><RuleErr><Rule/><RuleErrInfo/><Operation/><NeedSet/><UserSet/><Runtime/><Format/>
//   </RuleErr>...</RuleErrs>
// The routines keep no state; each call makes its own documents through the DOM seam (the system
// DOM unless a caller passes its own, as tests do to inject faults).
#pragma once

#include <string>

#include "platform/xml_dom.h"

namespace vardenix {

// What stands in for a blank report before its first entry, character for character.
inline constexpr const char* kReportSkeleton =
    "<?xml version=\"1.0\" encoding=\"gb2312\" ?>\r\n<RuleErrs>\r\n</RuleErrs>";

// Appends one RuleErr with its seven children, in this order, to `report`. A blank report (spaces
// only) is first replaced by the skeleton. A report that does not parse is left as it is and
// nothing is added. A DOM failure throws RuntimeError (a blank report then holds the skeleton).
void AddRuleErr(std::string& report, const std::string& rule, const std::string& rule_err_info,
                const std::string& operation, const std::string& need_set,
                const std::string& user_set, const std::string& runtime, const std::string& format,
                XmlDom& dom = SystemXmlDom());

// A new element `name` of `doc` whose whole content is `text`, not yet attached.
// Throws RuntimeError on a DOM failure.
XmlNode CreateXmlNode(XmlDocument& doc, const std::string& name, const std::string& text);

// Joins two reports, growing report first. Zero-length inputs are joined as text; otherwise every
// RuleErr anywhere in `second` is appended, in order, to the root of `first`. When `first` or
// `second` does not parse, the result is `first`. Never throws: a DOM failure gives "".
std::string MergeXml(const std::string& first, const std::string& second,
                     XmlDom& dom = SystemXmlDom()) noexcept;

}  // namespace vardenix
