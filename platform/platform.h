// The platform bundle: every seam a check object reaches the outside through.
//
// A default-constructed bundle (assembled in component/system_platform.cpp) uses the real system: the file system, the process-wide class
// registry, archive control and database engine (each created on first use), the pugixml DOM and a
// random source seeded from the clock. Tests and hosts replace members with their own seams. The
// objects behind the raw pointers are not owned and must outlive every check object using the bundle.
#pragma once

#include <functional>
#include <memory>

#include "platform/class_registry.h"
#include "platform/database.h"
#include "platform/files.h"
#include "platform/late_bound.h"
#include "platform/limits.h"
#include "platform/random.h"
#include "platform/run_footprints.h"
#include "platform/xml_dom.h"

namespace vardenix {

struct Platform {
  Platform();
  // The default archive_control reads this bundle's limits and stop flag, so the bundle stays where
  // it was made.
  Platform(const Platform&) = delete;
  Platform& operator=(const Platform&) = delete;

  Files* files;
  // What each scoring run leaves in its working folder, removed before the next one.
  RunFootprints* footprints;
  ClassRegistry* classes;
  // Called at each use; answers the long-lived control, creating it the first time. The default
  // answers the calling thread's own control, set to this bundle's limits and stop flag.
  std::function<DispatchObject&()> archive_control;
  std::function<DatabaseEngine&()> database_engine;
  XmlDom* xml;
  std::shared_ptr<RandomSource> random;
  // Bounds on hostile inputs; see platform/limits.h.
  Limits limits;
  // Set by a host to stop a running check at its next safe point; may be null. Not owned.
  StopFlag* stop = nullptr;
};

}  // namespace vardenix
