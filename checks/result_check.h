// The typical-document check: the host's archive, staged as "ChkPing.ZIP", graded against the rule.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "checks/check_context.h"

namespace vardenix {

inline constexpr const char* kResultDocArchive = "ChkPing.ZIP";
inline constexpr const char* kResultChkRuntimeError = "对典型文档进行检测时出现运行时错误";

// True only on a full score. The outputs receive the component's texts (also on a full score) and
// are left as passed in when extraction fails or a failure strikes before the component answers.
// A failure records one entry on the accumulators and answers False. Never throws.
bool ResultChk(CheckContext& ctx, const std::vector<uint8_t>& bytes, const std::string& rule,
               std::string& err_msg, std::string& err_msg_xml) noexcept;

}  // namespace vardenix
