// The question-record check: one record of Tbl_Operation, its stored archive (O_Rudecont) staged as
// "Result.Zip" and graded against its stored answer (M_Answer).
#pragma once

#include <string>

#include "checks/check_context.h"
#include "platform/database.h"

namespace vardenix {

inline constexpr const char* kRecordArchive = "Result.Zip";

// Trims leading and trailing ASCII spaces only; tabs, line breaks and the ideographic space are
// part of an answer.
std::string TrimSpaces(const std::string& text);

// True when the record passes, and also when there is nothing to grade (no such record, no answer,
// no archive, an archive the control refuses). False when it scores below full or a failure
// strikes. Both outputs are emptied first; on a full score the error text is emptied again and the
// error XML kept. Records nothing and never throws. `subject` must stay open; it is not closed.
// When `result` is given, its outcome, score, reason, text and xml say what became of the record.
bool PingMdbRecNO(CheckContext& ctx, std::string& err_msg, std::string& err_msg_xml,
                  const std::string& rec_no, Database& subject, RecordResult* result = nullptr) noexcept;

}  // namespace vardenix
