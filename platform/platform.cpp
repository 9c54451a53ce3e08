#include "platform/platform.h"

namespace vardenix {

Platform::Platform()
    : files(&SystemFiles()),
      classes(&SystemClassRegistry()),
      archive_control([this]() -> DispatchObject& { return SystemArchiveControl(limits, stop); }),
      database_engine([]() -> DatabaseEngine& { return SystemDatabaseEngine(); }),
      xml(&SystemXmlDom()),
      random(MakeRandomSource()) {}

}  // namespace vardenix
