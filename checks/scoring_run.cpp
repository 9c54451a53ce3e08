#include "checks/scoring_run.h"

#include <exception>
#include <memory>
#include <utility>
#include <string>

#include "archive/archive_control.h"
#include "vardenix/error.h"

namespace vardenix {
namespace {

// Values every run passes; what they mean is the archive control's and the component's business.
constexpr bool kExtractOption16 = false;
constexpr int16_t kExtractOption11 = 2;
constexpr int16_t kExtractArgument = 0;
constexpr int16_t kTotalScore = 100;
constexpr int16_t kErrInfoType = 63;

std::string ExtractionFailureReason(DispatchObject& control, int16_t answer_code) {
  std::string reason;
  try {
    reason = ToText(control.Get(archive_dispid::kLastFailureReason));
  } catch (const std::exception&) {
    reason.clear();
  }
  if (reason.empty()) reason = "the archive control answered " + std::to_string(answer_code);
  return reason;
}

ScoringResult Score(CheckContext& ctx, const std::string& archive_path, const std::vector<uint8_t>& bytes,
                    const std::string& answer, std::string& err_text, std::string& err_xml);

}  // namespace

std::string ExtractArchive(DispatchObject& control, const std::string& archive_path, const std::string& folder) {
  control.Put(archive_dispid::kZipFilename, Variant::Text(archive_path));
  control.Put(archive_dispid::kOption16, Variant::Bool(kExtractOption16));
  control.Put(archive_dispid::kOption11, Variant::I2(kExtractOption11));
  control.Put(archive_dispid::kUnzipToFolder, Variant::Text(folder));
  const int16_t answer_code = ToInt16(control.Call(archive_dispid::kUnzip, {Variant::I2(kExtractArgument)}));
  // A stop says nothing about the archive: it ends the check as the stop before a run does, and is
  // never reported as an answer that cannot be extracted.
  if (answer_code == archive_result::kStopped) throw RuntimeError(kStoppedDescription);
  return answer_code == 0 ? std::string() : ExtractionFailureReason(control, answer_code);
}

std::string ArchivePath(const std::string& folder, const std::string& file_name) {
  if (folder.empty()) {
    throw RuntimeError("the working folder is empty: set PingPath to an existing, writable folder");
  }
  // Only the system's own separator counts as one at the end: on Windows a folder ending in "/"
  // still gets a backslash.
#ifdef _WIN32
  constexpr char kSeparator = '\\';
#else
  constexpr char kSeparator = '/';
#endif
  return folder.back() == kSeparator ? folder + file_name : folder + kSeparator + file_name;
}

ScoringResult RunScoring(CheckContext& ctx, const std::string& archive_name,
                         const std::vector<uint8_t>& bytes, const std::string& answer,
                         std::string& err_text, std::string& err_xml) {
  // A safe point: a host that set the stop flag gets no further run started (between the samples
  // of a subject check, say); the check reports the stop as a run-time failure.
  if (ctx.platform.stop && ctx.platform.stop->load()) throw RuntimeError(kStoppedDescription);
  const std::string archive_path = ArchivePath(ctx.ping_path, archive_name);
  // What the last run in the folder left goes first, whoever made it; what is there now is noted,
  // and everything else is this run's footprint, recorded when the run ends on every path.
  RunFootprints& footprints = *ctx.platform.footprints;
  const std::unique_ptr<RunFootprints::Start> start = footprints.Begin(ctx.ping_path, archive_name);
  const auto end_run = [&] {
    const std::vector<std::string> changed = footprints.End(ctx.ping_path, *start);
    if (ctx.observer && !changed.empty()) ctx.observer->OnEarlierEntriesChanged(ctx.ping_path, changed);
  };
  ScoringResult result;
  std::exception_ptr failure;
  try {
    result = Score(ctx, archive_path, bytes, answer, err_text, err_xml);
  } catch (...) {
    failure = std::current_exception();
  }
  try {
    end_run();
  } catch (...) {
    // The run's own failure is the one to tell; the next run meets this one again.
    if (!failure) throw;
  }
  if (failure) std::rethrow_exception(failure);
  return result;
}

namespace {

ScoringResult Score(CheckContext& ctx, const std::string& archive_path, const std::vector<uint8_t>& bytes,
                    const std::string& answer, std::string& err_text, std::string& err_xml) {
  Files& files = *ctx.platform.files;

  // Clear the way and stage the bytes. The archive file an earlier run staged is usually still there
  // as that run wrote it; writing over it in place ends the same (exactly the archive bytes in a
  // normal file) and spares the file system a removal and a creation for every record.
  if (!files.RewriteInPlace(archive_path, bytes)) {
    if (files.FileExists(archive_path)) {
      files.ResetAttributes(archive_path);
      files.Delete(archive_path);
    }
    files.WriteNew(archive_path, bytes);
  }

  {
    std::string refusal = ExtractArchive(ctx.platform.archive_control(), archive_path, ctx.ping_path);
    if (!refusal.empty()) {
      ScoringResult failed{ScoringOutcome::kExtractionFailed, 0.0f, std::move(refusal), {}};
      if (ctx.observer) ctx.observer->OnExtractionFailed(archive_path, failed.extraction_failure);
      return failed;
    }
  }

  std::unique_ptr<NamedObject> component = ctx.platform.classes->Create(ctx.ping_name);
  component->Put("TestPath", Variant::Text(ctx.ping_path));
  component->Put("AnsCont", Variant::Text(answer));
  component->Put("GetTotalScore", Variant::I2(kTotalScore));
  component->Put("ErrInfoType", Variant::I2(kErrInfoType));
  component->ExpectReads({"ping", "ShowErr", "ErrMsgXml"}, NamedObject::AfterReads::kRelease);
  float score = 0.0f;
  try {
    score = ToSingle(component->Read("ping"));
    err_text = ToText(component->Read("ShowErr"));
    err_xml = ToText(component->Read("ErrMsgXml"));
  } catch (...) {
    // A run that failed ends like one that went well: the component is released and whatever it
    // started is gone before the run's footprint is taken.
    try {
      component->Finish();
    } catch (...) {
    }
    throw;
  }
  ScoringResult result{ScoringOutcome::kScored, score, std::string(), component->Finish()};
  component.reset();
  return result;
}

}  // namespace

}  // namespace vardenix
