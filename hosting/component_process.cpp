// Starting and stopping component processes. The child side between fork and exec calls only
// async-signal-safe functions: the caller may have threads, and one of them may hold malloc's lock.
#include "hosting/component_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
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

// The child, after fork. Reports a failure as an errno and a step number on `report` and ends.
[[noreturn]] void RunChild(const ProcessSpec& spec, const char* program, char* const* argv, int report,
                           int dev_null) {
  auto fail = [&report](int step) {
    const int values[2] = {errno, step};
    [[maybe_unused]] ssize_t ignored = ::write(report, values, sizeof values);
    ::_exit(127);
  };
  // Signals blocked or ignored by the caller would stay so across exec.
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sig == SIGKILL || sig == SIGSTOP) continue;
    struct sigaction action {};
    if (::sigaction(sig, nullptr, &action) == 0 && action.sa_handler == SIG_IGN) {
      action.sa_handler = SIG_DFL;
      ::sigaction(sig, &action, nullptr);
    }
  }
  if (::setsid() < 0) fail(1);
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
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(report[0]);
    RunChild(spec, program.c_str(), argv.data(), report[1], dev_null);
  }
  const int fork_errno = errno;
  ::close(report[1]);
  ::close(dev_null);
  if (pid < 0) {
    ::close(report[0]);
    throw RuntimeError(std::string("cannot start ") + program + ": " + std::strerror(fork_errno));
  }
  std::unique_ptr<ComponentProcess> process(new ComponentProcess(pid, spec.wrapped));
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
  status_ = status;
  return status;
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
  status_ = status;
  return status;
}

pid_t ComponentProcess::Inner() {
  if (!wrapped_) return pid_;
  if (inner_ == 0 && !status_) {
    const std::vector<pid_t> children = ChildrenOf(pid_);
    if (!children.empty()) inner_ = children.front();
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
