// The subject question-bank sampling check: the subject's operation-question modules from the total
// bank, a random sample of each module's records from the subject bank, each graded by the
// question-record check.
#pragma once

#include <cstdint>
#include <string>

#include "checks/check_context.h"

namespace vardenix {

inline constexpr const char* kSubjectBankError = "对题库进行检测时出错";
inline constexpr const char* kSubjectBankCheck = "对题库进行检测";
inline constexpr const char* kNoOperationQuestions = "方案中不存在当前科目的操作题";
inline constexpr const char* kSubjectChkRuntimeError = "对指定的题型进行检测时出现运行时错误";
inline constexpr const char* kOperationQuestionType = "操作题";

// n = floor(rate × count) + 1, the product formed in double precision from the single-precision
// rate. Throws RuntimeError("Overflow") when n does not fit 32 bits. n < 1 means no sample.
int32_t SampleCount(float rate, int32_t count);

// What a subject check drew and graded: every draw, and the draws graded (told an outcome other
// than not graded).
struct SubjectTally {
  int32_t drawn = 0;
  int32_t graded = 0;
};

// Appends the error text of each failing sampled record to `err_text` and merges its error XML into
// `err_xml`; neither is ever cleared. Problems on the way are recorded on the accumulators. True
// when every sampled record passed; False on a guard, an empty module list, a failing record or a
// run-time failure (which is recorded). The platform's limits bound what the banks' queries may
// take; its stop flag, looked at before each sample (and by a running query), ends the check as a
// run-time failure described by kStoppedDescription (platform/limits.h). `tally`, when given, is set to what was drawn and graded. Never
// throws.
bool SubjectMdbChk(CheckContext& ctx, std::string& err_text, std::string& err_xml,
                   const std::string& total_path, const std::string& subject_path,
                   const std::string& subject_code, int32_t contract_code, float rate,
                   SubjectTally* tally = nullptr) noexcept;

// The entry a subject check asked for alone records when it graded nothing.
std::string NothingGradedLine(const std::string& subject_code, int32_t drawn);

}  // namespace vardenix
