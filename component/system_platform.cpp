// The default platform bundle: the real system. It is assembled here, above the archive control and
// the component hosting, because the bundle's type (platform/platform.h) sits below both.
#include "archive/archive_control.h"
#include "hosting/component_registry.h"
#include "platform/platform.h"

namespace vardenix {

Platform::Platform()
    : files(&SystemFiles()),
      footprints(&SystemRunFootprints()),
      classes(&SystemClassRegistry()),
      archive_control([this]() -> DispatchObject& { return SystemArchiveControl(limits, stop); }),
      database_engine([]() -> DatabaseEngine& { return SystemDatabaseEngine(); }),
      xml(&SystemXmlDom()),
      random(MakeRandomSource()) {}

}  // namespace vardenix
