// Child processes that run scoring components: the component host process and program components.
//
// A ComponentProcess is started in a session and process group of its own (so that it and
// everything it starts can be stopped together, and it has no controlling terminal), without core
// dumps, optionally with an address-space limit, and as a child subreaper (so that a process it
// starts and abandons stays its child, where it can be found and stopped). The owner stops it with
// Stop, which ends the whole group; the destructor does the same if the owner did not.
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
  // is that child's.
  bool wrapped = false;
};

class ComponentProcess {
 public:
  // Starts the process. Throws RuntimeError naming the program when it cannot be started (also
  // when it cannot be executed or the folder cannot be entered).
  static std::unique_ptr<ComponentProcess> Start(const ProcessSpec& spec);
  ~ComponentProcess();  // Stop(), when it has not been stopped or reaped
  ComponentProcess(const ComponentProcess&) = delete;
  ComponentProcess& operator=(const ComponentProcess&) = delete;

  pid_t pid() const { return pid_; }

  // Whether the process has ended; it stays a zombie (its id is not reused) until Stop or Reap.
  bool Ended();
  // Waits until the process has ended and reaps it; answers its wait status. Stops the rest of its
  // group first, so no process started by it is left. Not for a process that may not end.
  int Reap();
  // Ends the process and everything in its group and everything it started and abandoned: SIGTERM,
  // then SIGKILL after the grace period (kComponentStopGraceMs), then reaps. Answers the wait status.
  int Stop();
  // The wait status once reaped.
  std::optional<int> status() const { return status_; }

  // The process the component runs in: this one, or the child of a wrapper once it is there.
  pid_t Inner();
  // The resident memory of the component's process, in bytes; 0 when it cannot be read.
  uint64_t ResidentBytes();
  // The processes it started that are still there (its children, and the processes whose parent
  // ended, which a subreaper inherits).
  std::vector<pid_t> Children() const;

 private:
  ComponentProcess(pid_t pid, bool wrapped) : pid_(pid), wrapped_(wrapped) {}
  void KillAll(int signal, const std::vector<pid_t>& extra) const;

  pid_t pid_;
  bool wrapped_;
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

// Reads what is there on the non-blocking descriptor `fd` into `keep` (at most `budget` bytes per
// call); answers false at the end of the stream or on a failure.
bool DrainInto(int fd, OutputKeep& keep);

// Makes `fd` non-blocking.
void SetNonBlocking(int fd);

}  // namespace vardenix
