// Scoring components out of process: modules in a component host process, and programs.
//
// A module's component runs in vardenix-component-host, a process of its own that is kept across
// scoring runs and replaced after a crash or a stop. A program component is a program started once
// per scoring run that reads the four puts as one JSON object on stdin and writes the three answers
// as one JSON object on stdout (docs/component-programs.md). Both are reached as a NamedObject, so
// the scoring run drives them exactly as an in-process component.
//
// Limits are enforced from outside, per scoring run (from the object's creation to its release):
// wall time, memory (an address-space limit where the build allows it, and the resident memory
// watched), and the size of each answer string. On a breach the process and everything it started
// are stopped (SIGTERM, then SIGKILL after a short grace) and the call throws RuntimeError whose
// description names the ProgID, the limit and what happened; a crash or an early exit likewise
// names the signal or the exit status, and a process left running counts as a breach too.
//
// ComponentHosts is safe to use from any thread; each object it makes is used by one thread at a
// time, and holds a host process of its own while it lives.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/late_bound.h"
#include "platform/limits.h"

namespace vardenix {

// The memory limit of a component when none is given: Limits' component_memory_bytes (2 GiB), or
// less when this process may itself use less address space (its RLIMIT_AS, as `prlimit --as` or
// `ulimit -v` set it), since a process it starts cannot be given more. `why`, when given, is set to
// which of the two it is, in words.
uint64_t DefaultComponentMemoryBytes(std::string* why = nullptr);

struct IsolationSettings {
  double seconds = Limits{}.component_seconds;
  uint64_t memory_bytes = DefaultComponentMemoryBytes();
  uint64_t answer_bytes = Limits{}.component_answer_bytes;
  // The component host executable; empty: DefaultComponentHostPath().
  std::string host_path;
  // Run components under bubblewrap: the system read-only, only `sandbox_folder` writable, no
  // network, a private /tmp. `bwrap_path` empty: "bwrap" from PATH.
  bool sandbox = false;
  std::string sandbox_folder;
  std::string bwrap_path;
  // Receives what a component wrote on stderr during a scoring run, after the run; may be empty.
  std::function<void(const std::string& prog_id, const std::string& text)> trace;
};

// Throws RuntimeError saying what is wrong with `settings` (a limit of 0, a sandbox without folder).
void CheckIsolationSettings(const IsolationSettings& settings);

// Where the component host executable is looked for when no host_path is given; the first that
// is there wins:
//  1. $VARDENIX_COMPONENT_HOST, when set and not empty (taken as it is, there or not);
//  2. next to the file that holds this library, so that an installed tree finds its own host
//     wherever it was installed: the shared object the library was linked into, else the running
//     program; in its folder, in ../bin from it, and, for a shared object in <prefix>/<libdir>, in
//     <prefix>/bin;
//  3. the host of the installation as configured (<prefix>/bin at configure time);
//  4. each folder of $PATH.
// Steps 2 to 4 take only an executable file that neither it nor its folder lets anyone but root or
// this user change. When none is there, the configured path is answered, so that the failure names it.
struct HostSearch {
  std::string variable;            // $VARDENIX_COMPONENT_HOST
  std::string object_path;         // the shared object or program that holds this library
  bool object_is_program = false;  // object_path is the running program, not a shared object
  std::string libdir_to_bindir;    // from <prefix>/<libdir> to <prefix>/bin, relative ("../bin")
  std::string installed;           // the installation's host as configured
  std::string path;                // $PATH
};

// The search of this process: its environment, the file that holds this code, the configured paths.
HostSearch ThisProcessHostSearch();

// The host executable `search` finds (see HostSearch).
std::string FindComponentHost(const HostSearch& search);

// FindComponentHost(ThisProcessHostSearch()).
std::string DefaultComponentHostPath();

// Whether the sandbox can run on this machine; when not, `why` says why.
bool SandboxAvailable(const std::string& bwrap_path, std::string& why);

// The bubblewrap command line that runs `argv` in `folder` with the system read-only, only the
// sandbox folder of `settings` writable, no network and a private /tmp. Bubblewrap runs the command
// as its child (ProcessSpec::wrapped).
std::vector<std::string> SandboxArgv(const IsolationSettings& settings, const std::vector<std::string>& argv,
                                     const std::string& folder);

class HostProcess;

// The component host processes of one registry: a few idle ones are kept for the next runs.
class ComponentHosts : public std::enable_shared_from_this<ComponentHosts> {
 public:
  static std::shared_ptr<ComponentHosts> Make(IsolationSettings settings);
  ~ComponentHosts();
  ComponentHosts(const ComponentHosts&) = delete;
  ComponentHosts& operator=(const ComponentHosts&) = delete;

  const IsolationSettings& settings() const { return settings_; }

  // A new object of the class `prog_id` of the module at `module_path`, made in a host process;
  // the scoring run's time starts now. Throws RuntimeError as described above, or with the
  // component's own message when the module is refused or the object cannot be made.
  std::unique_ptr<NamedObject> Create(const std::string& module_path, const std::string& prog_id);
  // Loads the module in a host process (not in this one) and answers its absolute path and its
  // ProgIDs. Throws RuntimeError naming the module when it is refused or its host fails.
  std::vector<std::string> Load(const std::string& module_path, std::string& absolute_path);

  // The process ids of the idle host processes (for tests).
  std::vector<int> IdleHostIds();

  // Takes back a host that served an object well.
  void GiveBack(std::unique_ptr<HostProcess> host);

 private:
  explicit ComponentHosts(IsolationSettings settings);
  std::unique_ptr<HostProcess> TakeHost();

  IsolationSettings settings_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<HostProcess>> idle_;
};

// A program component's object (see docs/component-programs.md): the puts are kept, the program
// runs at the first read, and the reads answer from its JSON answer. The time limit counts from
// now. `argv[0]` is the program.
std::unique_ptr<NamedObject> CreateProgramObject(const std::string& prog_id, std::vector<std::string> argv,
                                                 const IsolationSettings& settings);

}  // namespace vardenix
