// What a check works with: the platform's seams, the check object's two settings and its two
// error accumulators, and the host's observer. Everything is borrowed from the check object, which
// outlives the call.
#pragma once

#include <string>

#include "platform/platform.h"
#include "report/check_error_recorder.h"
#include "vardenix/envi_chk.h"

namespace vardenix {

struct CheckContext {
  Platform& platform;
  const std::string& ping_path;  // working folder, as the host set it
  const std::string& ping_name;  // ProgID of the scoring component
  ErrorAccumulators recorder;    // mstrErrInfo, mstrErrInfoXml
  CheckObserver* observer = nullptr;
  const SubjectSelection* selection = nullptr;  // null: the random sample
};

}  // namespace vardenix
