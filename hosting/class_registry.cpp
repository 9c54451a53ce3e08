// The class registry over in-process classes, loaded modules and registration records.
#include "hosting/component_registry.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>

#include "hosting/component_module.h"
#include "hosting/component_process.h"
#include "hosting/component_records.h"
#include "vardenix/error.h"

namespace vardenix {
namespace {


// Held while an object is made, in every registry of the process, so that no component's create is
// entered twice at once; recursive because a component may create another one while it is made.
std::recursive_mutex& CreateMutex() {
  static std::recursive_mutex mutex;
  return mutex;
}

[[noreturn]] void NotRegistered(const std::string& prog_id) {
  throw RuntimeError("no scoring component is registered under the ProgID " + Quote(prog_id) +
                     ": load its module or run `vardenix register MODULE`");
}

// The in-process objects under way at once, and the children this process had when the first of
// them was made. Whose child a process is cannot be told once it is abandoned, so the objects of a
// moment end together: one finished while others are under way waits for them (`closing`; no new
// one is made meanwhile), and the last one stops what all of them started. So nothing a run started
// outlives that run's Finish, and no later run can meet it, with one worker or several.
struct Watch {
  std::mutex mutex;
  std::condition_variable ended;  // a round of objects ended
  int live = 0;
  bool closing = false;
  uint64_t round = 0;
  std::vector<pid_t> before;
};

Watch& InProcessWatch() {
  static Watch* watch = new Watch;
  return *watch;
}

std::vector<pid_t> OwnChildren() { return ChildrenOf(::getpid()); }

// An in-process object whose run's processes end with it (ComponentRegistry::ContainInProcess).
class ContainedObject final : public NamedObject {
 public:
  ContainedObject(std::unique_ptr<NamedObject> inner, std::string prog_id)
      : inner_(std::move(inner)), prog_id_(std::move(prog_id)) {}
  ~ContainedObject() override {
    if (inner_) Finish();
  }
  ContainedObject(const ContainedObject&) = delete;
  ContainedObject& operator=(const ContainedObject&) = delete;

  static std::unique_ptr<NamedObject> Make(const std::function<std::unique_ptr<NamedObject>()>& create,
                                           const std::string& prog_id) {
    Begin();
    std::unique_ptr<NamedObject> inner;
    try {
      inner = create();
    } catch (...) {
      End();
      throw;
    }
    return std::make_unique<ContainedObject>(std::move(inner), prog_id);
  }

  void Put(const std::string& member, const Variant& value) override { inner_->Put(member, value); }
  Variant Read(const std::string& member) override { return inner_->Read(member); }
  void ExpectReads(const std::vector<std::string>& members, AfterReads after) override {
    inner_->ExpectReads(members, after);
  }
  std::vector<std::string> Finish() override {
    std::vector<std::string> warnings;
    if (!inner_) return warnings;
    try {
      warnings = inner_->Finish();
    } catch (...) {
    }
    inner_.reset();
    for (const std::string& cmd : End()) warnings.push_back(LeftProcessWarning(prog_id_, cmd));
    return warnings;
  }

 private:
  static void Begin() {
    Watch& watch = InProcessWatch();
    std::unique_lock lock(watch.mutex);
    watch.ended.wait(lock, [&watch] { return !watch.closing; });
    if (watch.live++ == 0) watch.before = OwnChildren();
  }

  // The last object of the moment stops what the objects started; answers what it stopped. The
  // others wait for it.
  static std::vector<std::string> End() {
    Watch& watch = InProcessWatch();
    std::unique_lock lock(watch.mutex);
    if (--watch.live > 0) {
      watch.closing = true;
      const uint64_t round = watch.round;
      watch.ended.wait(lock, [&watch, round] { return watch.round != round; });
      return {};
    }
    std::vector<std::string> stopped;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
      std::vector<pid_t> left;
      for (pid_t child : OwnChildren()) {
        if (std::find(watch.before.begin(), watch.before.end(), child) == watch.before.end()) left.push_back(child);
      }
      if (left.empty() || std::chrono::steady_clock::now() >= deadline) break;
      for (pid_t child : left) {
        // Its own children first: once it is gone they become this process's, but named once.
        std::vector<pid_t> tree = {child};
        for (std::size_t i = 0; i < tree.size() && tree.size() < 4096; ++i) {
          for (pid_t grandchild : ChildrenOf(tree[i])) tree.push_back(grandchild);
        }
        for (pid_t pid : tree) {
          stopped.push_back(DescribeProcess(pid));
          ::kill(pid, SIGKILL);
        }
        ::waitpid(child, nullptr, 0);
      }
      // What was killed below a child is now this process's child (a subreaper): reaped above on
      // the next round, and not named again.
      for (pid_t pid : OwnChildren()) {
        if (std::find(watch.before.begin(), watch.before.end(), pid) == watch.before.end()) {
          ::kill(pid, SIGKILL);
          ::waitpid(pid, nullptr, 0);
        }
      }
    }
    watch.closing = false;
    ++watch.round;
    watch.ended.notify_all();
    return stopped;
  }

  std::unique_ptr<NamedObject> inner_;
  std::string prog_id_;
};

std::atomic<bool> contain_in_process{false};

}  // namespace

void ComponentRegistry::ContainInProcess() {
  // A process abandoned by what a component started stays this process's child, where it is seen.
  ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
  contain_in_process = true;
}

ComponentRegistry::ComponentRegistry(std::string registry_folder) : folder_(std::move(registry_folder)) {}

ComponentRegistry::~ComponentRegistry() = default;

void ComponentRegistry::RegisterClass(const vx_class& cls) {
  auto adopted = AdoptComponentClass(&cls, "registered in-process");
  const std::string key = ProgIdKey(adopted->prog_id);
  std::lock_guard lock(mutex_);
  in_process_[key] = InProcess{std::move(adopted), nullptr};
}

void ComponentRegistry::RegisterFactory(const std::string& prog_id, Factory factory) {
  if (prog_id.empty()) throw RuntimeError("cannot register a class in-process without a ProgID");
  if (!factory) throw RuntimeError("cannot register the class " + Quote(prog_id) + " in-process without a factory");
  std::lock_guard lock(mutex_);
  in_process_[ProgIdKey(prog_id)] = InProcess{nullptr, std::move(factory)};
}

std::vector<std::string> ComponentRegistry::LoadModule(const std::string& path) {
  const std::shared_ptr<ComponentHosts> hosts = Isolation();
  std::vector<std::string> prog_ids;
  if (hosts) {
    // Loaded in a host process only: a module's code never runs in this process while isolated.
    std::string absolute;
    prog_ids = hosts->Load(path, absolute);
    std::lock_guard lock(mutex_);
    for (const std::string& prog_id : prog_ids) loaded_[ProgIdKey(prog_id)] = Loaded{absolute, prog_id, nullptr};
    return prog_ids;
  }
  const auto module = LoadComponentModule(path);
  std::lock_guard lock(mutex_);
  for (const auto& cls : module->classes) {
    loaded_[ProgIdKey(cls->prog_id)] = Loaded{module->path, cls->prog_id, cls};
    prog_ids.push_back(cls->prog_id);
  }
  return prog_ids;
}

void ComponentRegistry::SetRegistryFolder(std::string folder) {
  std::lock_guard lock(mutex_);
  folder_ = std::move(folder);
}

std::string ComponentRegistry::RegistryFolder() const {
  std::lock_guard lock(mutex_);
  return folder_;
}

void ComponentRegistry::SetIsolation(std::shared_ptr<ComponentHosts> hosts) {
  std::lock_guard lock(mutex_);
  hosts_ = std::move(hosts);
}

std::shared_ptr<ComponentHosts> ComponentRegistry::Isolation() const {
  std::lock_guard lock(mutex_);
  return hosts_;
}

std::unique_ptr<NamedObject> ComponentRegistry::Create(const std::string& prog_id) {
  if (prog_id.empty()) NotRegistered(prog_id);
  const std::string key = ProgIdKey(prog_id);
  InProcess in_process;
  std::optional<Loaded> loaded;
  std::string folder;
  std::shared_ptr<ComponentHosts> hosts;
  {
    std::lock_guard lock(mutex_);
    if (auto it = in_process_.find(key); it != in_process_.end()) {
      in_process = it->second;
    } else if (auto jt = loaded_.find(key); jt != loaded_.end()) {
      loaded = jt->second;
    }
    folder = folder_;
    hosts = hosts_;
  }
  if (hosts && !in_process.factory && !in_process.cls) {
    // Out of process, a create cannot disturb another one: no lock, so that a component that hangs
    // in its create does not hold up the checks of other threads.
    if (loaded) return hosts->Create(loaded->module_path, loaded->prog_id);
    return CreateFromRecord(prog_id, folder, hosts);
  }
  auto create = [&]() -> std::unique_ptr<NamedObject> {
    std::lock_guard create_lock(CreateMutex());
    if (in_process.factory) return in_process.factory();
    if (in_process.cls) return CreateComponentObject(std::move(in_process.cls));
    if (loaded) {
      if (loaded->cls) return CreateComponentObject(std::move(loaded->cls));
      return CreateFromModule(loaded->module_path, loaded->prog_id);
    }
    return CreateFromRecord(prog_id, folder, nullptr);
  };
  if (!contain_in_process) return create();
  return ContainedObject::Make(create, prog_id);
}

std::unique_ptr<NamedObject> ComponentRegistry::CreateFromModule(const std::string& module_path,
                                                                 const std::string& prog_id) {
  const auto module = LoadComponentModule(module_path);
  if (auto cls = FindComponentClass(*module, prog_id)) return CreateComponentObject(std::move(cls));
  throw RuntimeError("the component module " + module->path + " has no class of the ProgID " + Quote(prog_id));
}

std::unique_ptr<NamedObject> ComponentRegistry::CreateFromRecord(const std::string& prog_id,
                                                                 const std::string& folder,
                                                                 const std::shared_ptr<ComponentHosts>& hosts) {
  // Records are read at each creation, so that `vardenix register` takes effect without a restart.
  const auto record = FindComponentRecord(folder, prog_id);
  if (!record) NotRegistered(prog_id);
  if (!record->problem.empty()) {
    throw RuntimeError("the registration record " + record->file + " of the ProgID " + Quote(prog_id) +
                       " cannot be used: " + record->problem + "; run `vardenix register MODULE` again");
  }
  if (!record->program.empty()) {
    return CreateProgramObject(record->prog_id, record->program, hosts ? hosts->settings() : IsolationSettings{});
  }
  if (hosts) return hosts->Create(record->module_path, record->prog_id);
  std::shared_ptr<const ComponentModule> module;
  try {
    module = LoadComponentModule(record->module_path);
  } catch (const RuntimeError& e) {
    throw RuntimeError("the ProgID " + Quote(prog_id) + " is registered in " + record->file + ", but " +
                       e.Description());
  }
  if (auto cls = FindComponentClass(*module, prog_id)) return CreateComponentObject(std::move(cls));
  throw RuntimeError("the ProgID " + Quote(prog_id) + " is registered in " + record->file + " to the module " +
                     module->path + ", which has no class of that ProgID: run `vardenix register MODULE` "
                     "with the module that has it");
}

ComponentRegistry& SystemComponentRegistry() {
  static ComponentRegistry* registry = new ComponentRegistry;  // lives as long as the modules it loaded
  return *registry;
}

ClassRegistry& SystemClassRegistry() { return SystemComponentRegistry(); }

}  // namespace vardenix
