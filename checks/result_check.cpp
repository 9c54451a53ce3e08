#include "checks/result_check.h"

#include <chrono>

#include "checks/scoring_run.h"

namespace vardenix {

bool ResultChk(CheckContext& ctx, const std::vector<uint8_t>& bytes, const std::string& rule,
               std::string& err_msg, std::string& err_msg_xml) noexcept {
  const auto start = std::chrono::steady_clock::now();
  RecordResult record;
  record.typical_document = true;
  // Tells the observer what became of the document; an observer's failure is not the check's.
  const auto tell = [&](bool passed) {
    if (ctx.observer) {
      record.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      try {
        ctx.observer->OnRecord(record);
      } catch (...) {
      }
    }
    return passed;
  };
  std::string description;
  try {
    const ScoringResult result = RunScoring(ctx, kResultDocArchive, bytes, rule, err_msg, err_msg_xml);
    if (result.outcome == ScoringOutcome::kExtractionFailed) {
      record.outcome = RecordOutcome::kRefusedArchive;
      record.reason = result.extraction_failure;
      return tell(false);
    }
    const bool passed = IsFullScore(result.score);
    record.outcome = passed ? RecordOutcome::kPassed : RecordOutcome::kFailed;
    record.score = result.score;
    record.warnings = result.warnings;
    record.text = err_msg;
    record.xml = err_msg_xml;
    return tell(passed);
  } catch (const std::exception& e) {
    description = e.what();
  } catch (...) {
    description = "unknown failure";
  }
  AddErrInfo(ctx.recorder, kResultChkRuntimeError, "", "", "", "", description, "");
  record.outcome = RecordOutcome::kRunTimeFailure;
  record.reason = description;
  return tell(false);
}

}  // namespace vardenix
