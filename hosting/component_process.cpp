// Starting and stopping component processes. The child side between fork and exec calls only
// async-signal-safe functions: the caller may have threads, and one of them may hold malloc's lock.
#include "hosting/component_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

#include "platform/limits.h"
#include "platform/text_encoding.h"
#include "vardenix/error.h"

namespace vardenix {
namespace {

// The descriptors given to the child are first copied above this number, so that a descriptor of
// the caller that happens to be 0, 1 or 2 is not overwritten before it is copied.
constexpr int kFirstHighDescriptor = 100;

}  // namespace

std::string FindInPath(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= dirs.size()) {
    std::size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string dir = dirs.substr(start, end - start);
    if (dir.empty()) dir = ".";
    const std::string candidate = dir + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return std::string();
}

namespace {

// Async-signal-safe helpers for the child side.
std::size_t Decimal(char* out, unsigned long value) {
  char digits[24];
  std::size_t n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  for (std::size_t i = 0; i < n; ++i) out[i] = digits[n - 1 - i];
  return n;
}

bool WriteFile(const char* path, const char* text, std::size_t size) {
  const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::write(fd, text, size) == static_cast<ssize_t>(size);
  ::close(fd);
  return ok;
}

// Maps the caller's user and group to themselves in the user namespace just made, so that the
// component keeps the caller's identity on the files it touches.
bool MapSelf(uid_t uid, gid_t gid) {
  char line[64];
  std::size_t n = Decimal(line, uid);
  line[n++] = ' ';
  n += Decimal(line + n, uid);
  line[n++] = ' ';
  line[n++] = '1';
  if (!WriteFile("/proc/self/uid_map", line, n)) return false;
  if (!WriteFile("/proc/self/setgroups", "deny", 4)) return false;
  n = Decimal(line, gid);
  line[n++] = ' ';
  n += Decimal(line + n, gid);
  line[n++] = ' ';
  line[n++] = '1';
  return WriteFile("/proc/self/gid_map", line, n);
}

void ResetSignals() {
  // Signals blocked, ignored or handled by the caller would stay so (handled: by the caller's code).
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sig == SIGKILL || sig == SIGSTOP) continue;
    struct sigaction action {};
    if (::sigaction(sig, nullptr, &action) == 0 && action.sa_handler != SIG_DFL) {
      action.sa_handler = SIG_DFL;
      action.sa_flags = 0;
      ::sigaction(sig, &action, nullptr);
    }
  }
}

// Appends what /proc tells of `pid` to `out` (at `used`, within `cap`): its command line with the
// arguments apart, or "[name]" when it has none; answers the new length.
std::size_t DescribeProcessInto(const char* pid_text, char* out, std::size_t used, std::size_t cap) {
  char path[64] = "/proc/";
  std::size_t n = 6;
  for (const char* c = pid_text; *c != '\0' && n < 40; ++c) path[n++] = *c;
  const char* tail = "/cmdline";
  std::size_t p = n;
  for (const char* c = tail; *c != '\0'; ++c) path[p++] = *c;
  path[p] = '\0';
  std::size_t start = used;
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    const ssize_t got = ::read(fd, out + used, cap - used);
    ::close(fd);
    if (got > 0) used += static_cast<std::size_t>(got);
  }
  while (used > start && out[used - 1] == '\0') --used;
  for (std::size_t i = start; i < used; ++i) {
    if (out[i] == '\0') out[i] = ' ';
  }
  if (used == start && cap - used > 20) {
    p = n;
    for (const char* c = "/comm"; *c != '\0'; ++c) path[p++] = *c;
    path[p] = '\0';
    fd = ::open(path, O_RDONLY | O_CLOEXEC);
    out[used++] = '[';
    if (fd >= 0) {
      const ssize_t got = ::read(fd, out + used, cap - used - 2);
      ::close(fd);
      if (got > 0) used += static_cast<std::size_t>(got);
    }
    while (used > start + 1 && out[used - 1] == '\n') --used;
    out[used++] = ']';
  }
  return used;
}

// Process 1 of a PID namespace, forked from the caller: forks process 2, which goes on to run the
// program, and reaps every process of the namespace until process 2 ends. Then it reports on
// `report` process 2's wait status (4 bytes) and the processes still there (each "cmd" and a NUL),
// kills them (kill(-1) from the init of a namespace reaches every other process in it), reaps them
// and ends. Answers only in process 2.
void RunInit(int report) {
  // Not fork(): this process came from a raw clone of a process with other threads, so a lock one
  // of them held then (malloc's, say) stays held here for good, and fork() takes such locks.
  const pid_t child = static_cast<pid_t>(::syscall(SYS_clone, SIGCHLD, nullptr, nullptr, nullptr, nullptr));
  if (child == 0) return;
  if (child < 0) ::_exit(127);  // the caller reads no report: the start failed, and says why
  // The init keeps nothing of the caller's: a descriptor it held would keep a pipe of the component
  // open after the component ended.
  const int high = ::fcntl(report, F_DUPFD_CLOEXEC, kFirstHighDescriptor);
  if (high >= 0) report = high;
  if (::syscall(SYS_close_range, 0U, static_cast<unsigned>(report - 1), 0U) != 0) {
    for (int fd = 0; fd < report; ++fd) ::close(fd);
  }
  ::syscall(SYS_close_range, static_cast<unsigned>(report + 1), ~0U, 0U);
  int status = 0;
  for (;;) {
    int st = 0;
    const pid_t reaped = ::waitpid(-1, &st, 0);
    if (reaped == child) {
      status = st;
      break;
    }
    if (reaped < 0 && errno == ECHILD) break;
  }
  static char out[8192];
  std::size_t used = 0;
  std::memcpy(out, &status, sizeof status);
  used = sizeof status;
  const int fd = ::open("/proc/thread-self/children", O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    char list[1024];
    const ssize_t got = ::read(fd, list, sizeof list - 1);
    ::close(fd);
    if (got > 0) {
      list[got] = '\0';
      char* pos = list;
      int named = 0;
      while (*pos != '\0' && named < 16 && sizeof out - used > 300) {
        while (*pos == ' ' || *pos == '\n') ++pos;
        char* end = pos;
        while (*end >= '0' && *end <= '9') ++end;
        if (end == pos) break;
        const char saved = *end;
        *end = '\0';
        used = DescribeProcessInto(pos, out, used, used + 256);
        out[used++] = '\0';
        ++named;
        *end = saved;
        pos = end;
      }
    }
  }
  [[maybe_unused]] ssize_t ignored = ::write(report, out, used);
  ::close(report);
  ::kill(-1, SIGKILL);
  while (::waitpid(-1, nullptr, 0) > 0 || errno == EINTR) {
  }
  ::_exit(0);
}

// The child, after fork. Reports a failure as an errno and a step number on `report` and ends.
// `init_report`: the caller asked for a PID namespace and this is its process 1 (or -1).
[[noreturn]] void RunChild(const ProcessSpec& spec, const char* program, char* const* argv, int report,
                           int dev_null, Containment containment, int init_report, uid_t uid, gid_t gid) {
  auto fail = [&report](int step) {
    const int values[2] = {errno, step};
    [[maybe_unused]] ssize_t ignored = ::write(report, values, sizeof values);
    ::_exit(127);
  };
  ResetSignals();
  // The init and process 2 share a session and process group: stopping the group reaches both.
  if (::setsid() < 0) fail(1);
  if (containment == Containment::kUserAndPidNamespace && !MapSelf(uid, gid)) fail(7);
  if (containment != Containment::kSubreaper) {
    RunInit(init_report);
    ::close(init_report);
  }
  if (::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0) fail(2);
  const struct rlimit no_core = {0, 0};
  ::setrlimit(RLIMIT_CORE, &no_core);
  if (spec.address_space_bytes != 0) {
    const struct rlimit as = {spec.address_space_bytes, spec.address_space_bytes};
    if (::setrlimit(RLIMIT_AS, &as) != 0) fail(3);
  }
  if (!spec.folder.empty() && ::chdir(spec.folder.c_str()) != 0) fail(4);

  // Every descriptor involved is first copied high, so that placing one cannot overwrite another.
  const int report_high = ::fcntl(report, F_DUPFD_CLOEXEC, kFirstHighDescriptor);
  if (report_high < 0) fail(5);
  report = report_high;
  const int null_high = ::fcntl(dev_null, F_DUPFD_CLOEXEC, kFirstHighDescriptor);
  if (null_high < 0) fail(5);
  int high[16];
  const std::size_t count = spec.descriptors.size();
  for (std::size_t i = 0; i < count; ++i) {
    high[i] = ::fcntl(spec.descriptors[i].second, F_DUPFD_CLOEXEC, kFirstHighDescriptor);
    if (high[i] < 0) fail(5);
  }
  int top = 2;
  bool given[3] = {false, false, false};
  for (std::size_t i = 0; i < count; ++i) {
    const int target = spec.descriptors[i].first;
    if (::dup2(high[i], target) < 0) fail(5);  // the copy at `target` is inherited
    if (target <= 2) given[target] = true;
    if (target > top) top = target;
  }
  for (int fd = 0; fd <= 2; ++fd) {
    if (!given[fd] && ::dup2(null_high, fd) < 0) fail(5);
  }
  if (::dup3(report_high, top + 1, O_CLOEXEC) < 0) fail(5);
  report = top + 1;
  // Every other descriptor of the caller stays out of the component's reach, also one opened
  // without close-on-exec by another thread of the caller.
  if (::syscall(SYS_close_range, static_cast<unsigned>(top + 2), ~0U, 0U) != 0) {
    for (int fd = top + 2; fd < 65536; ++fd) ::close(fd);
  }
  ::execv(program, argv);
  fail(6);
  ::_exit(127);
}

const char* StepName(int step) {
  switch (step) {
    case 1: return "cannot start a session for it";
    case 2: return "cannot make it a subreaper";
    case 3: return "cannot limit its address space";
    case 4: return "cannot enter its folder";
    case 5: return "cannot hand it its descriptors";
    case 7: return "cannot map its user in a user namespace";
    default: return "cannot execute it";
  }
}

}  // namespace

std::unique_ptr<ComponentProcess> ComponentProcess::Start(const ProcessSpec& spec) {
  if (spec.argv.empty() || spec.argv[0].empty()) throw RuntimeError("cannot start a component process: no program given");
  if (spec.descriptors.size() > 16) throw RuntimeError("cannot start a component process: too many descriptors");
  const std::string program = FindInPath(spec.argv[0]);
  if (program.empty()) throw RuntimeError("cannot start " + spec.argv[0] + ": it is not found in PATH");
  // Everything the child needs is made before fork.
  std::vector<std::string> args = spec.argv;
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) {
    throw RuntimeError(std::string("cannot start ") + program + ": " + std::strerror(errno));
  }
  const int dev_null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (dev_null < 0) {
    const int e = errno;
    ::close(report[0]);
    ::close(report[1]);
    throw RuntimeError(std::string("cannot start ") + program + ": cannot open /dev/null: " + std::strerror(e));
  }
  int init_report[2] = {-1, -1};
  if (spec.contain && ::pipe2(init_report, O_CLOEXEC) != 0) init_report[0] = init_report[1] = -1;
  const uid_t uid = ::geteuid();
  const gid_t gid = ::getegid();
  Containment containment = Containment::kSubreaper;
  pid_t pid = -1;
  if (init_report[0] >= 0) {
    // Without a stack, clone returns in the child as fork does; the child calls nothing but
    // async-signal-safe functions before exec.
    pid = static_cast<pid_t>(::syscall(SYS_clone, CLONE_NEWPID | SIGCHLD, nullptr, nullptr, nullptr, nullptr));
    if (pid >= 0) {
      containment = Containment::kPidNamespace;
    } else {
      pid = static_cast<pid_t>(
          ::syscall(SYS_clone, CLONE_NEWUSER | CLONE_NEWPID | SIGCHLD, nullptr, nullptr, nullptr, nullptr));
      if (pid >= 0) containment = Containment::kUserAndPidNamespace;
    }
  }
  if (containment == Containment::kSubreaper) pid = ::fork();
  if (pid == 0) {
    ::close(report[0]);
    if (init_report[0] >= 0) ::close(init_report[0]);
    RunChild(spec, program.c_str(), argv.data(), report[1], dev_null, containment, init_report[1], uid, gid);
  }
  const int fork_errno = errno;
  ::close(report[1]);
  ::close(dev_null);
  if (init_report[1] >= 0) ::close(init_report[1]);
  if (pid < 0) {
    ::close(report[0]);
    if (init_report[0] >= 0) ::close(init_report[0]);
    throw RuntimeError(std::string("cannot start ") + program + ": " + std::strerror(fork_errno));
  }
  const int depth = (spec.wrapped ? spec.wrapper_depth : 0) + (containment == Containment::kSubreaper ? 0 : 1);
  std::unique_ptr<ComponentProcess> process(new ComponentProcess(pid, depth));
  process->containment_ = containment;
  if (containment == Containment::kSubreaper) {
    if (init_report[0] >= 0) ::close(init_report[0]);
  } else {
    process->init_report_ = init_report[0];
  }
  // The report pipe closes on exec; anything on it is why the child did not get there.
  int values[2] = {0, 0};
  ssize_t n;
  do {
    n = ::read(report[0], values, sizeof values);
  } while (n < 0 && errno == EINTR);
  ::close(report[0]);
  if (n == static_cast<ssize_t>(sizeof values)) {
    process->Reap();
    std::string what = StepName(values[1]);
    if (values[1] == 4) what += " " + spec.folder;
    throw RuntimeError("cannot start " + program + ": " + what + ": " + std::strerror(values[0]));
  }
  return process;
}

ComponentProcess::~ComponentProcess() {
  if (!status_) Stop();
  if (init_report_ >= 0) ::close(init_report_);
}

int ComponentProcess::Finished(int init_status) {
  if (init_report_ < 0) return init_status;
  // The init wrote its report before it ended; a process of the caller forked meanwhile may still
  // hold the pipe's other end for a moment, so what is there is read without waiting for its end.
  SetNonBlocking(init_report_);
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(init_report_, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR)) {
    if (n > 0) text.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(init_report_);
  init_report_ = -1;
  if (text.size() < sizeof(int)) return init_status;  // the init was killed: its status tells
  int status = 0;
  std::memcpy(&status, text.data(), sizeof status);
  std::size_t pos = sizeof status;
  while (pos < text.size()) {
    const std::size_t end = text.find('\0', pos);
    if (end == std::string::npos) break;
    left_behind_.push_back(PrintableCommand(text.substr(pos, end - pos)));
    pos = end + 1;
  }
  return status;
}

bool ComponentProcess::Ended() {
  if (status_) return true;
  siginfo_t info{};
  if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0) return true;
  return info.si_pid == pid_;
}

void ComponentProcess::KillAll(int signal, const std::vector<pid_t>& extra) const {
  // The leader is not reaped yet, so its id, which is the group's, is not reused.
  ::kill(-pid_, signal);
  for (pid_t child : extra) ::kill(child, signal);
}

int ComponentProcess::Reap() {
  if (status_) return *status_;
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  // Processes it started and left behind end with it.
  ::kill(-pid_, SIGKILL);
  status_ = Finished(status);
  return *status_;
}

int ComponentProcess::Stop() {
  if (status_) return *status_;
  // Listed before the leader ends: afterwards its abandoned processes belong to someone else.
  const std::vector<pid_t> children = Children();
  KillAll(SIGTERM, children);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kComponentStopGraceMs);
  while (!Ended() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  std::vector<pid_t> all = children;
  for (pid_t child : Children()) all.push_back(child);
  KillAll(SIGKILL, all);
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  status_ = Finished(status);
  return *status_;
}

pid_t ComponentProcess::Inner() {
  if (depth_ == 0) return pid_;
  if (inner_ == 0 && !status_) {
    pid_t at = pid_;
    for (int level = 0; level < depth_; ++level) {
      const std::vector<pid_t> children = ChildrenOf(at);
      if (children.empty()) return pid_;  // not there yet
      at = children.front();
    }
    inner_ = at;
  }
  return inner_ != 0 ? inner_ : pid_;
}

uint64_t ComponentProcess::ResidentBytes() { return status_ ? 0 : ResidentBytesOf(Inner()); }

std::vector<pid_t> ComponentProcess::Children() const {
  if (status_) return {};
  return ChildrenOf(pid_);
}

uint64_t ResidentBytesOf(pid_t pid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/statm", static_cast<int>(pid));
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char text[128];
  const ssize_t n = ::read(fd, text, sizeof text - 1);
  ::close(fd);
  if (n <= 0) return 0;
  text[n] = '\0';
  unsigned long long size = 0, resident = 0;
  if (std::sscanf(text, "%llu %llu", &size, &resident) != 2) return 0;
  return static_cast<uint64_t>(resident) * static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
}

std::vector<pid_t> ChildrenOf(pid_t pid) {
  std::vector<pid_t> children;
  const std::string task_dir = "/proc/" + std::to_string(pid) + "/task";
  DIR* dir = ::opendir(task_dir.c_str());
  if (dir == nullptr) return children;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    const std::string file = task_dir + "/" + entry->d_name + "/children";
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    std::string text;
    char buffer[512];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(n));
    ::close(fd);
    std::size_t pos = 0;
    while (pos < text.size()) {
      char* end = nullptr;
      const long value = std::strtol(text.c_str() + pos, &end, 10);
      if (end == text.c_str() + pos) break;
      children.push_back(static_cast<pid_t>(value));
      pos = static_cast<std::size_t>(end - text.c_str());
    }
  }
  ::closedir(dir);
  return children;
}

std::string DescribeContainment(Containment containment) {
  switch (containment) {
    case Containment::kPidNamespace: return "a PID namespace of its own";
    case Containment::kUserAndPidNamespace: return "a PID namespace of its own, inside a user namespace";
    case Containment::kSubreaper: return "a subreaper that stops every process it started (no PID namespace can be made here)";
  }
  return "?";
}

Containment ContainmentAvailable() {
  static const Containment found = [] {
    ProcessSpec spec;
    spec.argv = {"/bin/true"};
    spec.contain = true;
    try {
      auto probe = ComponentProcess::Start(spec);
      probe->Reap();
      return probe->containment();
    } catch (const RuntimeError&) {
      return Containment::kSubreaper;
    }
  }();
  return found;
}

namespace {

std::string ReadSmall(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::string();
  std::string text;
  char buffer[512];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0 && text.size() < 4096) text.append(buffer, static_cast<std::size_t>(n));
  ::close(fd);
  return text;
}

std::string LinkOf(const std::string& path) {
  char target[256];
  const ssize_t n = ::readlink(path.c_str(), target, sizeof target);
  return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}


// The processes ProcessesLeft means, by their ids as /proc shows them.
std::vector<pid_t> LeftIds(bool descendants_only) {
  const pid_t self = static_cast<pid_t>(std::atol(LinkOf("/proc/self").c_str()));
  std::vector<pid_t> out;
  if (descendants_only) {
    std::vector<pid_t> queue = ChildrenOf(self);
    for (std::size_t i = 0; i < queue.size() && queue.size() < 4096; ++i) {
      out.push_back(queue[i]);
      for (pid_t child : ChildrenOf(queue[i])) queue.push_back(child);
    }
    return out;
  }
  // The init is the caller's parent; /proc/self/stat names it as /proc counts.
  const std::string stat = ReadSmall("/proc/self/stat");
  const std::size_t close_paren = stat.rfind(')');
  pid_t init = 0;
  if (close_paren != std::string::npos) std::sscanf(stat.c_str() + close_paren + 1, " %*c %d", &init);
  const std::string own = LinkOf("/proc/self/ns/pid");
  DIR* dir = ::opendir("/proc");
  if (dir == nullptr) return out;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
    const pid_t pid = static_cast<pid_t>(std::atol(entry->d_name));
    if (pid == self || pid == init) continue;
    if (LinkOf(std::string("/proc/") + entry->d_name + "/ns/pid") == own) out.push_back(pid);
  }
  ::closedir(dir);
  return out;
}

}  // namespace

std::string DescribeProcess(pid_t pid) {
  char out[300];
  const std::string text = std::to_string(pid);
  const std::size_t used = DescribeProcessInto(text.c_str(), out, 0, 256);
  return PrintableCommand(std::string(out, used));
}

std::string PrintableCommand(const std::string& cmd) {
  std::string out = cmd.substr(0, 200);
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  if (!IsValidUtf8(out)) {
    for (char& c : out) {
      if (static_cast<unsigned char>(c) >= 0x80) c = '?';
    }
  }
  return out;
}

std::vector<std::string> ProcessesLeft(bool descendants_only) {
  if (!descendants_only && ::kill(-1, 0) != 0) return {};  // the usual case, in one call
  std::vector<std::string> out;
  for (pid_t pid : LeftIds(descendants_only)) {
    std::string text = DescribeProcess(pid);
    if (!text.empty()) out.push_back(std::move(text));
  }
  return out;
}

bool KillProcessesLeft(bool descendants_only, int ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    bool any;
    if (descendants_only) {
      const std::vector<pid_t> left = LeftIds(true);
      for (pid_t pid : left) ::kill(pid, SIGKILL);
      any = !left.empty();
    } else {
      // From process 2 of a namespace: every process of it but the init and the caller. Orphans
      // are the init's to reap; the caller's own children are reaped here.
      any = ::kill(-1, SIGKILL) == 0;
    }
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    if (!any) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
}

std::string DescribeWaitStatus(int status) {
  if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) {
    const int sig = WTERMSIG(status);
    const char* abbrev = ::sigabbrev_np(sig);
    const char* text = ::sigdescr_np(sig);
    std::string out = "was killed by signal ";
    out += abbrev != nullptr ? std::string("SIG") + abbrev : std::to_string(sig);
    if (text != nullptr) out += std::string(" (") + text + ")";
    return out;
  }
  return "ended (wait status " + std::to_string(status) + ")";
}

std::string DescribeSeconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%g s", seconds);
  return text;
}

std::string DescribeBytes(uint64_t bytes) {
  constexpr uint64_t kKiB = 1024, kMiB = kKiB << 10, kGiB = kMiB << 10;
  if (bytes >= kGiB && bytes % kGiB == 0) return std::to_string(bytes / kGiB) + " GiB";
  if (bytes >= kMiB && bytes % kMiB == 0) return std::to_string(bytes / kMiB) + " MiB";
  if (bytes >= kKiB && bytes % kKiB == 0) return std::to_string(bytes / kKiB) + " KiB";
  return std::to_string(bytes) + " bytes";
}

uint64_t DefaultComponentMemoryBytes(std::string* why) {
  const uint64_t standard = Limits{}.component_memory_bytes;
  struct rlimit own {};
  if (::getrlimit(RLIMIT_AS, &own) == 0 && own.rlim_cur != RLIM_INFINITY && own.rlim_cur < standard) {
    if (why) *why = "the address-space limit of this process (" + DescribeBytes(own.rlim_cur) + "), below the default of " +
                    DescribeBytes(standard);
    return own.rlim_cur;
  }
  if (why) *why = "the default; this process may use at least as much address space";
  return standard;
}

bool CanLimitAddressSpace() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
  return false;
#else
  return true;
#endif
#else
  return true;
#endif
}

}  // namespace vardenix

namespace vardenix {

void OutputKeep::Add(const char* data, std::size_t size) {
  // The end is what explains a failure; keep the last `cap_` bytes.
  text_.append(data, size);
  if (text_.size() > cap_) text_.erase(0, text_.size() - cap_);
}

std::string OutputKeep::Last(std::size_t n) const {
  std::size_t start = text_.size() > n ? text_.size() - n : 0;
  while (start < text_.size() && (static_cast<unsigned char>(text_[start]) & 0xC0) == 0x80) ++start;
  std::string out;
  std::size_t end = text_.size();
  while (end > start && (text_[end - 1] == '\n' || text_[end - 1] == '\r' || text_[end - 1] == ' ')) --end;
  for (std::size_t i = start; i < end; ++i) {
    if (text_[i] == '\r') continue;
    if (text_[i] == '\n') {
      out += " | ";
    } else {
      out += text_[i];
    }
  }
  return out;
}

bool DrainInto(int fd, OutputKeep& keep) {
  char buffer[16384];
  for (int round = 0; round < 64; ++round) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      keep.Add(buffer, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    return false;
  }
  return true;
}

void SetNonBlocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

}  // namespace vardenix
