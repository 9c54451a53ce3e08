// Placeholder until the component registry lands.
#include "platform/class_registry.h"
#include "vardenix/error.h"

namespace vardenix {
namespace {
class EmptyRegistry final : public ClassRegistry {
 public:
  std::unique_ptr<NamedObject> Create(const std::string& prog_id) override {
    throw RuntimeError("no class is registered under the ProgID \"" + prog_id + "\"");
  }
};
}  // namespace
ClassRegistry& SystemClassRegistry() {
  static EmptyRegistry registry;
  return registry;
}
}  // namespace vardenix
