#include "report/check_error_recorder.h"

#include "platform/xml_dom.h"
#include "report/mod_xml_rw.h"

namespace vardenix {

std::string BuildErrInfoBlock(const std::string& str_err_info, const std::string& str_operation,
                              const std::string& str_need_set, const std::string& str_user_set,
                              const std::string& str_format, const std::string& str_runtime,
                              std::string* need_set_line, std::string* user_set_line) {
  static constexpr const char* kCrLf = "\r\n";
  std::string block;
  std::size_t indent = 0;
  auto line = [&](const std::string& text) { return std::string(indent, ' ') + text + kCrLf; };

  if (!str_err_info.empty()) {
    block = str_err_info + kCrLf;
    indent = 4;
  }
  if (!str_format.empty()) block += line(str_format);
  if (!str_runtime.empty()) block += line(str_runtime);
  if (!str_operation.empty()) {
    block += line(str_operation);
    indent += 4;
  }
  std::string need = str_need_set;
  std::string user = str_user_set;
  if (!need.empty()) {
    need = line(kNeedSetLabel + need);
    block += need;
  }
  if (!user.empty()) {
    user = line(kUserSetLabel + user);
    block += user;
  }
  if (need_set_line) *need_set_line = std::move(need);
  if (user_set_line) *user_set_line = std::move(user);
  return block;
}

void AddErrInfo(ErrorAccumulators& acc, const std::string& str_err_info,
                const std::string& str_operation, const std::string& str_need_set,
                const std::string& str_user_set, const std::string& str_format,
                const std::string& str_runtime, const std::string& str_err_rule) noexcept {
  // A text that a report cannot hold as it is (a NUL, a control character, bytes that are not
  // UTF-8) is kept with those characters replaced, by the one rule of XmlSafeText, in the text and
  // the XML alike: the problem is never lost, and the two accumulators tell the same.
  const std::string info = XmlSafeText(str_err_info);
  const std::string operation = XmlSafeText(str_operation);
  const std::string need_set = XmlSafeText(str_need_set);
  const std::string user_set = XmlSafeText(str_user_set);
  const std::string format = XmlSafeText(str_format);
  const std::string runtime = XmlSafeText(str_runtime);
  const std::string rule = XmlSafeText(str_err_rule);
  try {
    std::string need_line;
    std::string user_line;
    acc.err_info += BuildErrInfoBlock(info, operation, need_set, user_set, format, runtime, &need_line, &user_line);
    AddRuleErr(acc.err_info_xml, rule, info, operation, need_line, user_line, runtime, format, acc.dom);
  } catch (...) {
    // The recorder never fails its caller; the text block is already in place.
  }
}

}  // namespace vardenix
