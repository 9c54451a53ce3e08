// The class registry seam: what the checks need to make a new late-bound object from a ProgID.
// The real registry (registered classes, loaded modules, registration records, components out of
// process) is ComponentRegistry, in hosting/component_registry.h; tests hand in their own.
#pragma once

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

}  // namespace vardenix
