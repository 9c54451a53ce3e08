// The archive control's members by dispatch id, written once for every platform: the properties a
// scoring run puts (18, 16, 11, 4), the reason of the last failure (kLastFailureReason), and method
// 48, which extracts through the platform's reader. The Linux control (archive_control_libarchive.cpp)
// and the Windows one (windows/platform/archive_control_windows.cpp) derive from it and supply
// Unzip alone. Members are serialised on the instance (see archive_control.h for its threading).
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/late_bound.h"
#include "platform/limits.h"
#include "platform/variant.h"

namespace vardenix {

class ArchiveControlBase : public DispatchObject {
 public:
  // The limits and stop flag of the following calls; `stop` may be null, is not owned and must
  // outlive the calls.
  void Configure(const Limits& limits, StopFlag* stop);

  // Stores 18 and 4 as text, 16 as a Boolean and 11 as a 16-bit integer, from any value that
  // converts; a value that does not, or another dispatch id, throws RuntimeError.
  void Put(int32_t dispid, const Variant& value) final;
  // Reads back what was put, and kLastFailureReason; another dispatch id throws RuntimeError.
  Variant Get(int32_t dispid) final;
  // Method 48 with one argument that converts to 16 bits: extracts archive 18 into folder 4 and
  // answers 0, or the failure's code (archive_result) keeping its reason for kLastFailureReason.
  // Another dispatch id, another number of arguments or one that does not convert throws.
  Variant Call(int32_t dispid, const std::vector<Variant>& args) final;

 protected:
  // Extracts the archive at `archive_path` into `folder`; throws archive_policy::Refusal with the
  // code and reason of a failure. Called with the instance's members serialised.
  virtual void Unzip(const std::string& archive_path, const std::string& folder, const Limits& limits,
                     StopFlag* stop) = 0;

 private:
  std::mutex mutex_;
  Limits limits_;
  StopFlag* stop_ = nullptr;
  std::string archive_path_;
  bool option16_ = false;
  int16_t option11_ = 0;
  std::string target_;
  std::string last_failure_;
};

}  // namespace vardenix
