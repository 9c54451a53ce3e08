// Child processes that run scoring components: the component host process and program components.
//
// A ComponentProcess is started in a session and process group of its own (so that it and
// everything it starts can be stopped together, and it has no controlling terminal), without core
// dumps, optionally with an address-space limit, and as a child subreaper (so that a process it
// starts and abandons stays its child, where it can be found and stopped). The owner stops it with
// Stop, which ends the whole group; the destructor does the same if the owner did not.
//
// A contained process (ProcessSpec::contain) runs as process 2 of a PID namespace of its own where
// the machine allows one (as root directly, otherwise inside a user namespace that maps the caller's
// user to itself). Process 1 of that namespace is a small init forked from the caller: it reaps
// every orphan, and when process 2 ends it names the processes still there, kills them all and
// ends, handing the caller process 2's wait status. Nothing started in the namespace outlives it:
// the kernel kills the namespace with its init. Process 2 may clear the namespace itself at any
// time with kill(-1, SIGKILL), which reaches every process of it but the init and the caller.
// Where no namespace can be made, the process is a subreaper as above (Containment::kSubreaper).
//
// Not thread-safe: one owner uses a process at a time.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vardenix {

struct ProcessSpec {
  // argv[0] is the program: a path, or a name looked up in PATH.
  std::vector<std::string> argv;
  // The current folder of the process; empty: the caller's.
  std::string folder;
  // Descriptors the process gets: {descriptor number in the child, descriptor of the caller}. Every
  // other descriptor is closed in the child. Descriptors 0, 1 and 2 that are not given are /dev/null.
  std::vector<std::pair<int, int>> descriptors;
  // RLIMIT_AS of the process; 0 for none.
  uint64_t address_space_bytes = 0;
  // argv[0] is a wrapper (bubblewrap) that runs the component as its child: the component's memory
  // is that child's. bubblewrap with a PID namespace runs it as a grandchild (its init between).
  bool wrapped = false;
  int wrapper_depth = 1;
  // Run as process 2 of a PID namespace of its own (see above), where the machine allows it.
  bool contain = false;
};

// How the processes a component starts are kept from outliving it.
enum class Containment {
  kPidNamespace,          // a PID namespace of its own (as root)
  kUserAndPidNamespace,   // a PID namespace inside a user namespace of its own (as another user)
  kSubreaper,             // no namespace could be made: a subreaper that kills every descendant
};

// "a PID namespace of its own", ...: for --verbose.
std::string DescribeContainment(Containment containment);

// The containment a contained process gets on this machine (probed once, by starting one).
Containment ContainmentAvailable();

class ComponentProcess {
 public:
  // Starts the process. Throws RuntimeError naming the program when it cannot be started (also
  // when it cannot be executed or the folder cannot be entered).
  static std::unique_ptr<ComponentProcess> Start(const ProcessSpec& spec);
  ~ComponentProcess();  // Stop(), when it has not been stopped or reaped
  ComponentProcess(const ComponentProcess&) = delete;
  ComponentProcess& operator=(const ComponentProcess&) = delete;

  pid_t pid() const { return pid_; }
  Containment containment() const { return containment_; }

  // The processes the init of its namespace found still there when the process ended, and
  // stopped: their command lines (or names). Known once reaped; always empty without a namespace.
  const std::vector<std::string>& left_behind() const { return left_behind_; }

  // Whether the process has ended; it stays a zombie (its id is not reused) until Stop or Reap.
  bool Ended();
  // Waits until the process has ended and reaps it; answers its wait status. Stops the rest of its
  // group first, so no process started by it is left. Not for a process that may not end.
  int Reap();
  // Ends the process and everything in its group and everything it started and abandoned: SIGTERM,
  // then SIGKILL after the grace period (kComponentStopGraceMs), then reaps. Answers the wait status.
  int Stop();
  // The wait status once reaped. For a process in a PID namespace, its own status, which the init
  // of the namespace hands on.
  std::optional<int> status() const { return status_; }

  // The process the component runs in: this one, or the child of a wrapper once it is there.
  pid_t Inner();
  // The resident memory of the component's process, in bytes; 0 when it cannot be read.
  uint64_t ResidentBytes();
  // The processes it started that are still there (its children, and the processes whose parent
  // ended, which a subreaper inherits).
  std::vector<pid_t> Children() const;

 private:
  ComponentProcess(pid_t pid, int depth) : pid_(pid), depth_(depth) {}
  void KillAll(int signal, const std::vector<pid_t>& extra) const;
  // Takes the init's report, once the init has ended, and answers the status to keep.
  int Finished(int init_status);

  pid_t pid_;
  int depth_;  // the generations between pid_ and the component's process
  Containment containment_ = Containment::kSubreaper;
  int init_report_ = -1;  // what the init of its namespace reports, read when it has ended
  std::vector<std::string> left_behind_;
  pid_t inner_ = 0;
  std::optional<int> status_;
};

// The program `name` as the shell finds it: a name with a slash as it is, else the first executable
// file of that name in a folder of PATH; empty when there is none.
std::string FindInPath(const std::string& name);

// The resident memory of any process, in bytes (0 when it cannot be read), and the processes it
// started that are still its children.
uint64_t ResidentBytesOf(pid_t pid);
std::vector<pid_t> ChildrenOf(pid_t pid);

// How a process ended, for a failure's description: "was killed by signal SIGSEGV (Segmentation
// fault)", "exited with status 3".
std::string DescribeWaitStatus(int status);

// "120 s", "1.5 s"; "2 GiB", "512 MiB", "1000 bytes".
std::string DescribeSeconds(double seconds);
std::string DescribeBytes(uint64_t bytes);

// Whether this build can put an address-space limit on a process it starts; a build with
// AddressSanitizer cannot (its shadow memory needs terabytes of address space), and relies on the
// resident-memory watch alone.
bool CanLimitAddressSpace();

}  // namespace vardenix

namespace vardenix {

// What a component wrote on stderr: the first bytes up to a cap, and the count of those dropped.
class OutputKeep {
 public:
  explicit OutputKeep(std::size_t cap) : cap_(cap) {}
  void Add(const char* data, std::size_t size);
  const std::string& text() const { return text_; }
  // The last `n` bytes, cut at a UTF-8 character boundary, with line breaks shown as " | ".
  std::string Last(std::size_t n) const;

 private:
  std::size_t cap_;
  std::string text_;
};

// The processes of the caller's PID namespace other than its init and the caller, as "cmd" texts
// (the command line, else the name in brackets); meant for process 2 of a namespace that is about to
// clear it. With `descendants_only`, only the caller's descendants (where there is no namespace).
std::vector<std::string> ProcessesLeft(bool descendants_only);

// What ProcessesLeft says of one process.
std::string DescribeProcess(pid_t pid);

// A command line as a warning may quote it: control characters as '?', and bytes that are not
// UTF-8 as well; at most 200 bytes.
std::string PrintableCommand(const std::string& cmd);

// Kills what ProcessesLeft lists and waits (within `ms`) until it is gone, reaping the caller's own
// children; answers false when something was still there at the end.
bool KillProcessesLeft(bool descendants_only, int ms);

// Reads what is there on the non-blocking descriptor `fd` into `keep` (at most `budget` bytes per
// call); answers false at the end of the stream or on a failure.
bool DrainInto(int fd, OutputKeep& keep);

// Makes `fd` non-blocking.
void SetNonBlocking(int fd);

}  // namespace vardenix
