// Component classes and modules: the host side of include/vardenix/component.h.
//
// A ComponentClass is a checked copy of a component's class descriptor; CreateComponentObject
// makes a NamedObject of it that turns every Put and Read into a call across the module ABI and
// back into Variants or RuntimeErrors. LoadComponentModule loads a module once per process and
// keeps it loaded for the life of the process. All functions here are safe to call from any thread.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/late_bound.h"
#include "vardenix/component.h"

namespace vardenix {

struct ComponentClass {
  std::string prog_id;
  vx_class descriptor;  // a copy; its prog_id points into `prog_id` above
  std::string origin;   // "registered in-process", or the module's path; for messages
};

// A checked copy of `cls`. Throws RuntimeError naming `origin` when the descriptor is NULL, smaller
// than this host's vx_class, has no ProgID or lacks a function.
std::shared_ptr<const ComponentClass> AdoptComponentClass(const vx_class* cls, const std::string& origin);

struct ComponentModule {
  std::string path;  // absolute, as loaded
  std::vector<std::shared_ptr<const ComponentClass>> classes;  // in the module's order
};

// The module at `path` (relative paths are taken from the current folder), loaded with
// RTLD_NOW | RTLD_LOCAL and checked: its entry point, size, abi_version and each class. Loading the
// same file again answers the module already loaded. Throws RuntimeError naming the module when it
// cannot be loaded or is refused; a refused module is unloaded again.
std::shared_ptr<const ComponentModule> LoadComponentModule(const std::string& path);

// A new object of `cls`. Throws RuntimeError with the component's message when create fails. The
// object releases the component's object when destroyed, and keeps `cls` alive until then.
std::unique_ptr<NamedObject> CreateComponentObject(std::shared_ptr<const ComponentClass> cls);

// The class of `module` with the ProgID `prog_id` (compared as ProgIdKey does), or null.
std::shared_ptr<const ComponentClass> FindComponentClass(const ComponentModule& module, const std::string& prog_id);

// A name or a text in a message, in double quotes.
inline std::string Quote(const std::string& s) { return "\"" + s + "\""; }

// ProgIDs compare without regard to ASCII case; this is the form they are compared in.
std::string ProgIdKey(const std::string& prog_id);

}  // namespace vardenix
