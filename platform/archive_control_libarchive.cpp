// Placeholder until the libarchive control lands.
#include "platform/archive_control.h"
#include "vardenix/error.h"

namespace vardenix {
DispatchObject& SystemArchiveControl() { throw RuntimeError("the archive control is not available"); }
}  // namespace vardenix
