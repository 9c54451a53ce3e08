// The question-record check: one record of Tbl_Operation, its stored archive (O_Rudecont) staged as
// "Result.Zip" and graded against its stored answer (M_Answer).
#pragma once

#include <string>

#include "checks/check_context.h"
#include "platform/database.h"

namespace vardenix {

inline constexpr const char* kRecordArchive = "Result.Zip";

// The line that reports a record whose archive the control refuses:
// "题目 <rec_no> 的答案压缩包无法解压：<reason>" (without its line end).
inline constexpr const char* kUnextractableAnswerLead = "题目 ";
inline constexpr const char* kUnextractableAnswerMiddle = " 的答案压缩包无法解压：";
std::string UnextractableAnswerLine(const std::string& rec_no, const std::string& reason);

// Trims leading and trailing ASCII spaces only; tabs, line breaks and the ideographic space are
// part of an answer.
std::string TrimSpaces(const std::string& text);

// A bank value's budget as the failures name it: "16 MB".
std::string BudgetWords(uint64_t bytes);

// True when the record passes, and also when there is nothing to grade (no such record, no answer,
// no archive). False when it scores below full, when the archive control refuses its archive (the
// error text then holds one CR LF line naming the record and the control's reason, and the error
// XML one RuleErr with that line as its RuleErrInfo), or when a failure strikes. Both outputs are
// emptied first; on a full score the error text is emptied again and the error XML kept. Records
// nothing and never throws. `subject` must stay open; it is not closed.
// When `result` is given, its outcome, score, reason, text and xml say what became of the record.
bool PingMdbRecNO(CheckContext& ctx, std::string& err_msg, std::string& err_msg_xml,
                  const std::string& rec_no, Database& subject, RecordResult* result = nullptr) noexcept;

}  // namespace vardenix
