// The class registry: creates a new late-bound object from a ProgID.
//
// Sources, in this order: classes registered in-process by a C++ host; classes of component
// modules the host loaded by path; registration records (small files in a registry folder that map
// a ProgID to its module, written by `vardenix register`). Creating is thread-safe.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/late_bound.h"

namespace vardenix {

class ClassRegistry {
 public:
  virtual ~ClassRegistry() = default;
  // A new object of the class. Throws RuntimeError naming the ProgID when no source knows it (and
  // saying how to register one), or with the component's message when creation fails.
  virtual std::unique_ptr<NamedObject> Create(const std::string& prog_id) = 0;
};

// The process-wide registry that hosts fill (see include/vardenix/component.h).
ClassRegistry& SystemClassRegistry();

}  // namespace vardenix
