// The real class registry: creates a new late-bound object from a ProgID.
//
// Sources, in this order: classes registered in-process by a C++ host; classes of component
// modules the host loaded by path; registration records (small files in a registry folder that map
// a ProgID to its module or to a program, written by `vardenix register`; see
// hosting/component_records.h). ProgIDs compare without regard to ASCII case. Creating is
// thread-safe.
//
// Where components run: a module's component in this process, unless isolation is set
// (SetIsolation), which runs it in a component host process with limits; a program component
// always in a process of its own, with the limits of the isolation settings (or the defaults); a
// class registered in-process always in this process (it is the host's own code).
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/class_registry.h"
#include "hosting/component_isolation.h"
#include "platform/late_bound.h"
#include "vardenix/component.h"

namespace vardenix {

struct ComponentClass;

// The real registry over the three sources. Every member is safe to call from any thread; objects
// are made one at a time in the whole process, so a component's create is never entered twice at
// once. Modules loaded through it stay loaded for the life of the process.
class ComponentRegistry final : public ClassRegistry {
 public:
  using Factory = std::function<std::unique_ptr<NamedObject>()>;

  // `registry_folder`: where registration records are looked up; empty for none.
  explicit ComponentRegistry(std::string registry_folder = {});
  ~ComponentRegistry() override;
  ComponentRegistry(const ComponentRegistry&) = delete;
  ComponentRegistry& operator=(const ComponentRegistry&) = delete;

  // Registers a module-ABI class in-process (the descriptor is copied; its functions and context
  // must outlive the registry). Replaces an earlier in-process class of the same ProgID. Throws
  // RuntimeError for a descriptor that is too small, has no ProgID or lacks a function.
  void RegisterClass(const vx_class& cls);
  // Registers a C++ factory in-process; it must answer a new object or throw RuntimeError.
  // Replaces an earlier in-process class of the same ProgID. Throws RuntimeError for an empty ProgID.
  void RegisterFactory(const std::string& prog_id, Factory factory);
  // Loads the module at `path` (see LoadComponentModule) and makes its classes available after
  // the in-process ones; a later module's class replaces an earlier one's. Answers the ProgIDs of
  // the module. Throws RuntimeError naming the module when it is refused.
  std::vector<std::string> LoadModule(const std::string& path);
  // Where registration records are looked up; empty for nowhere. The folder need not exist.
  void SetRegistryFolder(std::string folder);
  std::string RegistryFolder() const;
  // Runs the components of modules out of process, in host processes of `hosts`, from now on;
  // null: in this process again. A module loaded while isolation is set is loaded in a host
  // process only. Program components use the limits of `hosts` (the defaults when null).
  void SetIsolation(std::shared_ptr<ComponentHosts> hosts);
  std::shared_ptr<ComponentHosts> Isolation() const;
  // From now on, components made in this process are watched for the processes they start: this
  // process becomes a child subreaper (so that a process they abandon stays its child), and when
  // the last such object of the moment is finished, every child this process gained since the
  // first of them was made is stopped and named in that object's Finish; an object finished while
  // others are under way waits for them, so nothing one started outlives its Finish. For a command that owns
  // its process (`vardenix check --in-process`), not for a library host whose children these may be.
  void ContainInProcess();

  std::unique_ptr<NamedObject> Create(const std::string& prog_id) override;

 private:
  struct InProcess {
    std::shared_ptr<const ComponentClass> cls;  // or
    Factory factory;
  };
  struct Loaded {
    std::string module_path;
    std::string prog_id;
    std::shared_ptr<const ComponentClass> cls;  // null when the module was loaded in a host process only
  };
  std::unique_ptr<NamedObject> CreateFromRecord(const std::string& prog_id, const std::string& folder,
                                                const std::shared_ptr<ComponentHosts>& hosts);
  // In this process.
  std::unique_ptr<NamedObject> CreateFromModule(const std::string& module_path, const std::string& prog_id);

  mutable std::mutex mutex_;  // guards the maps, the folder and the isolation
  std::map<std::string, InProcess> in_process_;  // by ProgIdKey
  std::map<std::string, Loaded> loaded_;         // by ProgIdKey
  std::string folder_;
  std::shared_ptr<ComponentHosts> hosts_;
};

// The process-wide registry that the check objects use by default and that the C calls of
// include/vardenix/component.h fill. It starts with no registry folder.
ComponentRegistry& SystemComponentRegistry();
// The same object, as the seam the checks see.
ClassRegistry& SystemClassRegistry();

}  // namespace vardenix
