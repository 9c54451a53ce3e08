#include "archive/archive_control_base.h"

#include "archive/archive_control.h"
#include "archive/archive_policy.h"
#include "vardenix/error.h"

namespace vardenix {
namespace {

[[noreturn]] void NoProperty(int32_t dispid) {
  throw RuntimeError("the archive control has no property with dispatch id " + std::to_string(dispid));
}

}  // namespace

void ArchiveControlBase::Configure(const Limits& limits, StopFlag* stop) {
  std::lock_guard lock(mutex_);
  limits_ = limits;
  stop_ = stop;
}

void ArchiveControlBase::Put(int32_t dispid, const Variant& value) {
  std::lock_guard lock(mutex_);
  switch (dispid) {
    case archive_dispid::kZipFilename:
      archive_path_ = ToText(value);
      return;
    case archive_dispid::kOption16:
      option16_ = ToInt32(value) != 0;
      return;
    case archive_dispid::kOption11:
      option11_ = ToInt16(value);
      return;
    case archive_dispid::kUnzipToFolder:
      target_ = ToText(value);
      return;
    default:
      NoProperty(dispid);
  }
}

Variant ArchiveControlBase::Get(int32_t dispid) {
  std::lock_guard lock(mutex_);
  switch (dispid) {
    case archive_dispid::kZipFilename:
      return Variant::Text(archive_path_);
    case archive_dispid::kOption16:
      return Variant::Bool(option16_);
    case archive_dispid::kOption11:
      return Variant::I2(option11_);
    case archive_dispid::kUnzipToFolder:
      return Variant::Text(target_);
    case archive_dispid::kLastFailureReason:
      return Variant::Text(last_failure_);
    default:
      NoProperty(dispid);
  }
}

Variant ArchiveControlBase::Call(int32_t dispid, const std::vector<Variant>& args) {
  std::lock_guard lock(mutex_);
  if (dispid != archive_dispid::kUnzip) {
    throw RuntimeError("the archive control has no method with dispatch id " + std::to_string(dispid));
  }
  if (args.size() != 1) {
    throw RuntimeError("method " + std::to_string(dispid) + " of the archive control takes 1 argument, not " +
                       std::to_string(args.size()));
  }
  (void)ToInt16(args.front());  // an argument that does not convert fails the call, as Automation would
  try {
    Unzip(archive_path_, target_, limits_, stop_);
  } catch (const archive_policy::Refusal& refusal) {
    last_failure_ = refusal.reason;
    return Variant::I2(refusal.code);
  }
  last_failure_.clear();
  return Variant::I2(archive_result::kSuccess);
}

}  // namespace vardenix
