#include "checks/result_check.h"

#include "checks/scoring_run.h"

namespace vardenix {

bool ResultChk(CheckContext& ctx, const std::vector<uint8_t>& bytes, const std::string& rule,
               std::string& err_msg, std::string& err_msg_xml) noexcept {
  std::string description;
  try {
    const ScoringResult result = RunScoring(ctx, kResultDocArchive, bytes, rule, err_msg, err_msg_xml);
    if (result.outcome == ScoringOutcome::kExtractionFailed) return false;
    return IsFullScore(result.score);
  } catch (const std::exception& e) {
    description = e.what();
  } catch (...) {
    description = "unknown failure";
  }
  AddErrInfo(ctx.recorder, kResultChkRuntimeError, "", "", "", "", description, "");
  return false;
}

}  // namespace vardenix
