#include "checks/record_check.h"

#include <memory>

#include "checks/close_object.h"
#include "checks/scoring_run.h"

namespace vardenix {

std::string TrimSpaces(const std::string& text) {
  const auto first = text.find_first_not_of(' ');
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

bool PingMdbRecNO(CheckContext& ctx, std::string& err_msg, std::string& err_msg_xml,
                  const std::string& rec_no, Database& subject) noexcept {
  err_msg.clear();
  err_msg_xml.clear();
  std::unique_ptr<Recordset> rs_operation;
  bool closed = false;
  try {
    // The record number is bound, never pasted into the query text.
    rs_operation = subject.OpenRecordset(
        "Select * From Tbl_Operation Where C_RecNo=? COLLATE NOCASE", {Variant::Text(rec_no)});
    if (rs_operation->Bof() && rs_operation->Eof()) {
      CloseObject(rs_operation);
      return true;
    }

    const std::string answer =
        TrimSpaces(rs_operation->IsNull("M_Answer") ? std::string() : ToText(rs_operation->Value("M_Answer")));
    if (answer.empty() || rs_operation->IsNull("O_Rudecont")) {
      CloseObject(rs_operation);
      return true;
    }

    const int64_t size = rs_operation->FieldSize("O_Rudecont");
    const std::vector<uint8_t> bytes = rs_operation->GetChunk("O_Rudecont", 0, size);
    CloseObject(rs_operation);
    closed = true;

    const ScoringResult result = RunScoring(ctx, kRecordArchive, bytes, answer, err_msg, err_msg_xml);
    if (result.outcome == ScoringOutcome::kExtractionFailed) return true;
    if (IsFullScore(result.score)) {
      err_msg.clear();
      return true;
    }
    return false;
  } catch (...) {
    if (!closed) CloseObject(rs_operation);
    return false;
  }
}

}  // namespace vardenix
