// What libvardenix++.so takes from the static libraries beside the check object: the host calls of
// vardenix/component.h, which nothing inside the library calls. Naming them here makes the link
// take them in; the version script (vardenix++.map) exports them with the check object. Only the
// shared library is built from this file.
#include "vardenix/component.h"

namespace {

[[gnu::used]] const struct {
  decltype(&vardenix_register_class) register_class;
  decltype(&vardenix_load_module) load_module;
  decltype(&vardenix_set_registry_folder) set_registry_folder;
  decltype(&vardenix_isolate_components) isolate_components;
} kHostCalls = {&vardenix_register_class, &vardenix_load_module, &vardenix_set_registry_folder,
                &vardenix_isolate_components};

}  // namespace
