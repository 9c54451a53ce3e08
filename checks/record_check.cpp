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

std::string BudgetWords(uint64_t bytes) {
  constexpr uint64_t kMiB = uint64_t{1} << 20;
  return bytes % kMiB == 0 ? std::to_string(bytes / kMiB) + " MB" : std::to_string(bytes) + " bytes";
}

namespace {

// One field of a record, read alone under its budget: a value over it fails the record naming the
// field and the budget, never reads as empty.
std::unique_ptr<Recordset> OpenRecordField(Database& subject, const std::string& rec_no, const char* field,
                                           const char* what, uint64_t budget) {
  const BankQuery query = QuestionRecordQuery(rec_no, field);
  try {
    return subject.OpenRecordset(query.text, query.params, budget);
  } catch (const ValueTooLarge&) {
    throw RuntimeError(std::string("the ") + what + " of record " + rec_no + " (" + field + ") is over the " +
                       BudgetWords(budget) + " limit");
  }
}

}  // namespace

bool PingMdbRecNO(CheckContext& ctx, std::string& err_msg, std::string& err_msg_xml,
                  const std::string& rec_no, Database& subject, RecordResult* result) noexcept {
  RecordResult unused;
  RecordResult& out = result ? *result : unused;
  const auto not_graded = [&out](const char* why) {
    out.outcome = RecordOutcome::kNotGraded;
    out.reason = why;
    return true;
  };
  err_msg.clear();
  err_msg_xml.clear();
  std::unique_ptr<Recordset> rs_operation;
  bool closed = false;
  try {
    const Limits& limits = ctx.platform.limits;
    rs_operation = OpenRecordField(subject, rec_no, "M_Answer", "answer text", limits.bank_text_bytes);
    if (rs_operation->Bof() && rs_operation->Eof()) {
      CloseObject(rs_operation);
      return not_graded("no Tbl_Operation row for this record number");
    }
    const std::string answer =
        TrimSpaces(rs_operation->IsNull("M_Answer") ? std::string() : ToText(rs_operation->Value("M_Answer")));
    CloseObject(rs_operation);
    // Both fields are read before either decides, so a bank without O_Rudecont is a failure even for
    // a record without an answer text.
    rs_operation = OpenRecordField(subject, rec_no, "O_Rudecont", "answer archive", limits.bank_archive_bytes);
    const bool no_content = (rs_operation->Bof() && rs_operation->Eof()) || rs_operation->IsNull("O_Rudecont");
    if (answer.empty() || no_content) {
      CloseObject(rs_operation);
      return not_graded(answer.empty() ? "no answer text (M_Answer is empty)" : "no answer archive (O_Rudecont is empty)");
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
      out.outcome = RecordOutcome::kRefusedArchive;
      out.reason = result.extraction_failure;
      return false;
    }
    out.score = result.score;
    out.text = err_msg;
    out.xml = err_msg_xml;
    if (IsFullScore(result.score)) {
      out.outcome = RecordOutcome::kPassed;
      err_msg.clear();
      return true;
    }
    out.outcome = RecordOutcome::kFailed;
    return false;
  } catch (const std::exception& e) {
    out.outcome = RecordOutcome::kRunTimeFailure;
    out.reason = e.what();
  } catch (...) {
    out.outcome = RecordOutcome::kRunTimeFailure;
    out.reason = "unknown failure";
  }
  if (!closed) CloseObject(rs_operation);
  return false;
}

}  // namespace vardenix
