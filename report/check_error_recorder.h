// The check-error recorder: records a problem a check runs into (a missing question bank, a subject
// without operation questions, a run-time failure) on the check object's two accumulators, as an
// indented block of CR LF lines and as one RuleErr entry.
#pragma once

#include <string>

#include "platform/xml_dom.h"

namespace vardenix {

// The two accumulators of a check object. They only ever grow.
struct ErrorAccumulators {
  std::string& err_info;      // mstrErrInfo
  std::string& err_info_xml;  // mstrErrInfoXml
  XmlDom& dom;
};

inline constexpr const char* kNeedSetLabel = "题面要求操作：";
inline constexpr const char* kUserSetLabel = "实际操作结果：";

// Builds the text block of one entry (lines: headline; then at one indentation strFormat, strRuntime,
// strOperation; then the labelled strNeedSet and strUserSet lines, 4 deeper after strOperation).
// The labelled lines are returned through `need_set_line` and `user_set_line` as they go into XML.
std::string BuildErrInfoBlock(const std::string& str_err_info, const std::string& str_operation,
                              const std::string& str_need_set, const std::string& str_user_set,
                              const std::string& str_format, const std::string& str_runtime,
                              std::string* need_set_line, std::string* user_set_line);

// Appends the block to err_info, then the entry to err_info_xml. Never throws: when the XML step
// fails the text is already recorded. A text that XML cannot hold as it is (a NUL, a control
// character, U+FFFE, bytes that are not UTF-8) is recorded in both with those characters replaced
// by the rule of XmlSafeText ("\\xB6" for a stray byte, "\\u0007" for a bell).
void AddErrInfo(ErrorAccumulators& acc, const std::string& str_err_info,
                const std::string& str_operation, const std::string& str_need_set,
                const std::string& str_user_set, const std::string& str_format,
                const std::string& str_runtime, const std::string& str_err_rule) noexcept;

}  // namespace vardenix
