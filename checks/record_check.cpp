#include "checks/record_check.h"

#include <memory>

#include "checks/bank_queries.h"
#include "checks/close_object.h"
#include "checks/scoring_run.h"
#include "report/mod_xml_rw.h"

namespace vardenix {

std::string TrimSpaces(const std::string& text) {
  const auto first = text.find_first_not_of(' ');
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

std::string UnextractableAnswerLine(const std::string& rec_no, const std::string& reason) {
  return std::string(kUnextractableAnswerLead) + rec_no + kUnextractableAnswerMiddle + reason;
}

bool PingMdbRecNO(CheckContext& ctx, std::string& err_msg, std::string& err_msg_xml,
                  const std::string& rec_no, Database& subject) noexcept {
  err_msg.clear();
  err_msg_xml.clear();
  std::unique_ptr<Recordset> rs_operation;
  bool closed = false;
  try {
    const BankQuery record = QuestionRecordQuery(rec_no);
    rs_operation = subject.OpenRecordset(record.text, record.params);
    if (rs_operation->Bof() && rs_operation->Eof()) {
      CloseObject(rs_operation);
      return true;
    }

    const std::string answer =
        TrimSpaces(rs_operation->IsNull("M_Answer") ? std::string() : ToText(rs_operation->Value("M_Answer")));
    // Both fields are looked up before either decides, so a bank without O_Rudecont is a failure
    // even for a record without an answer text.
    const bool no_content = rs_operation->IsNull("O_Rudecont");
    if (answer.empty() || no_content) {
      CloseObject(rs_operation);
      return true;
    }

    const int64_t size = rs_operation->FieldSize("O_Rudecont");
    const std::vector<uint8_t> bytes = rs_operation->GetChunk("O_Rudecont", 0, size);
    CloseObject(rs_operation);
    closed = true;

    const ScoringResult result = RunScoring(ctx, kRecordArchive, bytes, answer, err_msg, err_msg_xml);
    if (result.outcome == ScoringOutcome::kExtractionFailed) {
      // The stored answer is what the exam grades against: one that cannot even be extracted is a
      // broken question, reported with the control's reason so it shows without more detail.
      const std::string line = UnextractableAnswerLine(rec_no, result.extraction_failure);
      err_msg = line + "\r\n";
      AddRuleErr(err_msg_xml, "", line, "", "", "", "", "", ctx.recorder.dom);
      return false;
    }
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
