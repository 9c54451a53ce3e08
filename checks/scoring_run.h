// The scoring run shared by the typical-document check and the question-record check: stage the
// archive bytes in the working folder, have the archive control extract them there, and let a new
// scoring component grade the result.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "checks/check_context.h"

namespace vardenix {

enum class ScoringOutcome {
  kExtractionFailed,  // the archive control answered non-zero; no component was created
  kScored,            // the component answered; its texts are in the outputs
};

struct ScoringResult {
  ScoringOutcome outcome = ScoringOutcome::kExtractionFailed;
  float score = 0.0f;
  // When extraction failed: why, as the archive control tells it (naming the entry), or the
  // control's answer code when it gives no reason.
  std::string extraction_failure;
  // When scored: a process the component left running, for each that was stopped.
  std::vector<std::string> warnings;
};

// Only a score whose single-precision value is exactly 100 is full; there is no tolerance.
inline bool IsFullScore(float score) { return score == 100.0f; }

// Has the archive control extract the archive at `archive_path` into `folder` with the values every
// scoring run passes. Answers an empty string when it did; otherwise why not, as the control tells
// it, or its answer code when it gives no reason. A control stopped by the host's stop flag throws
// RuntimeError(kStoppedDescription) instead. The tools use it to refuse, before it is stored, an
// archive that a check would not extract.
std::string ExtractArchive(DispatchObject& control, const std::string& archive_path, const std::string& folder);

// The archive's path: the folder, a "/" unless it already ends in one, and the file name.
// Throws RuntimeError for an empty folder, before anything is written.
std::string ArchivePath(const std::string& folder, const std::string& file_name);

// Performs the run. The component's error text is stored in `err_text` as soon as it is read, then
// its error XML in `err_xml`; outputs are untouched when extraction fails. Any failure throws
// RuntimeError (the outputs written before it keep their values); the component is released on
// every path. When it answers, everything the component started is gone (NamedObject::Finish).
ScoringResult RunScoring(CheckContext& ctx, const std::string& archive_name,
                         const std::vector<uint8_t>& bytes, const std::string& answer,
                         std::string& err_text, std::string& err_xml);

}  // namespace vardenix
