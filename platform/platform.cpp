#include "platform/platform.h"

namespace vardenix {

Platform::Platform()
    : files(&SystemFiles()),
      classes(&SystemClassRegistry()),
      archive_control([]() -> DispatchObject& { return SystemArchiveControl(); }),
      database_engine([]() -> DatabaseEngine& { return SystemDatabaseEngine(); }),
      xml(&SystemXmlDom()),
      random(MakeRandomSource()) {}

}  // namespace vardenix
