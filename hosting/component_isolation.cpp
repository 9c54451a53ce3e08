// The checking side of the component host process. Everything the host says is checked: the host
// runs outside code, and whatever it does must end as a clear run-time failure of the scoring run.
#include "hosting/component_isolation.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <poll.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <optional>
#include <thread>

#include "hosting/component_module.h"
#include "hosting/component_process.h"
#include "hosting/component_wire.h"
#include "hosting/cpu_placement.h"
#include "vardenix/error.h"

#ifndef VARDENIX_INSTALLED_HOST
#define VARDENIX_INSTALLED_HOST "/usr/local/bin/vardenix-component-host"
#endif
#ifndef VARDENIX_LIBDIR_TO_BINDIR
#define VARDENIX_LIBDIR_TO_BINDIR "../bin"
#endif

namespace vardenix {

using Clock = std::chrono::steady_clock;

namespace {

// How often a long call is looked at: the process still there, its memory below the limit.
constexpr auto kWatchTick = std::chrono::milliseconds(20);
// How long a scoring run's answers are watched for before the thread sleeps until they come.
constexpr auto kAnswerWatch = std::chrono::microseconds(150);
// The runs that sleep at once after a watch in vain.
constexpr int kWatchesSkipped = 8;
// What is kept of a component's stderr, and how much of it a failure's description quotes.
constexpr std::size_t kKeptStderr = 64 * 1024;
constexpr std::size_t kQuotedStderr = 600;


Clock::time_point DeadlineAfter(double seconds) {
  return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

}  // namespace

std::vector<std::string> SandboxArgv(const IsolationSettings& settings, const std::vector<std::string>& argv,
                                     const std::string& folder) {
  std::vector<std::string> out = {settings.bwrap_path.empty() ? std::string("bwrap") : settings.bwrap_path,
                                  "--ro-bind", "/", "/",
                                  "--dev", "/dev",
                                  "--tmpfs", "/tmp",
                                  "--bind", settings.sandbox_folder, settings.sandbox_folder,
                                  "--unshare-net", "--unshare-ipc", "--unshare-uts",
                                  "--die-with-parent",
                                  "--chdir", folder,
                                  "--"};
  out.insert(out.end(), argv.begin(), argv.end());
  return out;
}

void CheckIsolationSettings(const IsolationSettings& settings) {
  if (!(settings.seconds > 0) || !std::isfinite(settings.seconds) || settings.seconds > 86400.0 * 365) {
    throw RuntimeError("the time limit of a scoring component must be a positive number of seconds");
  }
  if (settings.memory_bytes < (uint64_t{16} << 20)) {
    throw RuntimeError("the memory limit of a scoring component must be at least 16 MiB");
  }
  if (settings.answer_bytes == 0 || settings.answer_bytes > (uint64_t{1} << 30)) {
    throw RuntimeError("the answer limit of a scoring component must be from 1 byte to 1 GiB");
  }
  if (settings.sandbox && (settings.sandbox_folder.empty() || settings.sandbox_folder.front() != '/')) {
    throw RuntimeError("the sandbox needs the absolute path of the working folder, the one folder it may write");
  }
}

namespace {

constexpr const char* kHostName = "vardenix-component-host";

std::string FolderOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash == 0 ? 1 : slash);
}

// Owned by root or by this user, and writable by no one else.
bool OwnedAndGuarded(const struct stat& st) {
  return (st.st_uid == 0 || st.st_uid == ::geteuid()) && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// A host the search may take: an executable file that neither it nor its folder lets anyone but
// root or this user change, so that a folder such as /tmp/bin that another user made is passed by.
bool IsExecutableFile(const std::string& path) {
  struct stat st;
  struct stat folder;
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && OwnedAndGuarded(st) &&
         ::access(path.c_str(), X_OK) == 0 && ::stat(FolderOf(path).c_str(), &folder) == 0 &&
         OwnedAndGuarded(folder);
}

std::string Realpath(const std::string& path) {
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return path;
  std::string out(resolved);
  std::free(resolved);
  return out;
}

// Why a host that is not there was taken, when no host_path named it.
std::string HostNotFoundHint(const IsolationSettings& settings, const std::string& path) {
  if (!settings.host_path.empty() || IsExecutableFile(path)) return "";
  const char* variable = std::getenv("VARDENIX_COMPONENT_HOST");
  if (variable != nullptr && variable[0] != '\0') return " (named by $VARDENIX_COMPONENT_HOST)";
  return std::string(" (no ") + kHostName +
         " beside the program or its library, in the installation or on PATH; set VARDENIX_COMPONENT_HOST to "
         "its path)";
}

}  // namespace

HostSearch ThisProcessHostSearch() {
  HostSearch search;
  if (const char* variable = std::getenv("VARDENIX_COMPONENT_HOST")) search.variable = variable;
  if (const char* path = std::getenv("PATH")) search.path = path;
  search.installed = VARDENIX_INSTALLED_HOST;
  search.libdir_to_bindir = VARDENIX_LIBDIR_TO_BINDIR;
  // The file this function is in: a shared object has a name in the loader's list; the program
  // itself has none there, and /proc/self/exe names it.
  Dl_info info{};
  link_map* map = nullptr;
  if (::dladdr1(reinterpret_cast<void*>(&ThisProcessHostSearch), &info, reinterpret_cast<void**>(&map),
                RTLD_DL_LINKMAP) != 0 &&
      map != nullptr && map->l_name != nullptr && map->l_name[0] != '\0') {
    search.object_path = Realpath(map->l_name);
    return search;
  }
  char self[4096];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n > 0) {
    search.object_path.assign(self, static_cast<std::size_t>(n));
    search.object_is_program = true;
  }
  return search;
}

std::string FindComponentHost(const HostSearch& search) {
  if (!search.variable.empty()) return search.variable;
  if (!search.object_path.empty()) {
    const std::string folder = FolderOf(search.object_path);
    std::vector<std::string> places = {folder, folder + "/../bin"};
    if (!search.object_is_program && !search.libdir_to_bindir.empty()) {
      places.push_back(folder + "/" + search.libdir_to_bindir);
    }
    for (const std::string& place : places) {
      const std::string candidate = place + "/" + kHostName;
      if (IsExecutableFile(candidate)) return Realpath(candidate);
    }
  }
  if (IsExecutableFile(search.installed)) return search.installed;
  std::size_t start = 0;
  while (start <= search.path.size()) {
    std::size_t end = search.path.find(':', start);
    if (end == std::string::npos) end = search.path.size();
    const std::string folder = search.path.substr(start, end - start);
    // An empty entry of PATH is the current folder, which is no place to take a program from here.
    if (!folder.empty() && folder.front() == '/' && IsExecutableFile(folder + "/" + kHostName)) {
      return folder + "/" + kHostName;
    }
    start = end + 1;
  }
  return search.installed;
}

std::string DefaultComponentHostPath() { return FindComponentHost(ThisProcessHostSearch()); }

bool SandboxAvailable(const std::string& bwrap_path, std::string& why) {
  IsolationSettings settings;
  settings.bwrap_path = bwrap_path;
  settings.sandbox_folder = "/tmp";
  std::unique_ptr<ComponentProcess> probe;
  try {
    probe = ComponentProcess::Start({SandboxArgv(settings, {"/bin/true"}, "/tmp"), {}, {}, 0, true});
  } catch (const RuntimeError& e) {
    why = e.Description();
    return false;
  }
  const int status = probe->Reap();
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
  why = "bwrap cannot make a sandbox here (it " + DescribeWaitStatus(status) +
        "; are unprivileged user namespaces allowed?)";
  return false;
}

// One component host process, and the scoring run it serves.
class HostProcess {
 public:
  static std::unique_ptr<HostProcess> Start(const IsolationSettings& settings) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
      throw RuntimeError(std::string("cannot start the component host: ") + std::strerror(errno));
    }
    int err[2];
    if (::pipe2(err, O_CLOEXEC) != 0) {
      const int e = errno;
      ::close(pair[0]);
      ::close(pair[1]);
      throw RuntimeError(std::string("cannot start the component host: ") + std::strerror(e));
    }
    std::unique_ptr<HostProcess> host(new HostProcess(settings, pair[0], err[0]));
    ProcessSpec spec;
    const std::string path = settings.host_path.empty() ? DefaultComponentHostPath() : settings.host_path;
    spec.argv = {path};
    if (settings.sandbox) {
      spec.argv = SandboxArgv(settings, spec.argv, settings.sandbox_folder);
      spec.wrapped = true;
    }
    spec.descriptors = {{1, err[1]}, {2, err[1]}, {wire::kHostDescriptor, pair[1]}};
    // Without the shared count the host still serves; a failure then names the first request not
    // answered.
    const int progress = ::memfd_create("vardenix-host-progress", MFD_CLOEXEC);
    if (progress >= 0) {
      if (::ftruncate(progress, wire::kProgressBytes) == 0) {
        void* shared = ::mmap(nullptr, wire::kProgressBytes, PROT_READ | PROT_WRITE, MAP_SHARED, progress, 0);
        if (shared != MAP_FAILED) {
          host->progress_ = static_cast<std::atomic<uint32_t>*>(shared);
          host->answered_ = host->progress_ + 1;
          spec.descriptors.push_back({wire::kProgressDescriptor, progress});
        }
      }
    }
    if (CanLimitAddressSpace()) spec.address_space_bytes = settings.memory_bytes;
    auto close_ours = [&] {
      ::close(pair[1]);
      ::close(err[1]);
      if (progress >= 0) ::close(progress);
    };
    try {
      host->process_ = ComponentProcess::Start(spec);
    } catch (const RuntimeError& e) {
      close_ours();
      throw RuntimeError("cannot start the component host " + path + ": " + e.Description() + HostNotFoundHint(settings, path));
    }
    close_ours();
    // A process starts on the CPUs of the thread that started it.
    host->cpu_ = PlacedCpu();
    return host;
  }

  ~HostProcess() {
    ::close(socket_);  // the host reads the end of its stream and ends
    if (err_ >= 0) ::close(err_);
    if (process_) process_->Stop();
    if (progress_ != nullptr) ::munmap(progress_, wire::kProgressBytes);
  }
  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;

  int pid() const { return process_->pid(); }

  // Runs the host where the calling thread runs: on the CPU it was placed on, or, when it was not
  // placed, on the CPUs it may run on. A host that cannot be moved serves where it is.
  void Follow() {
    const int cpu = PlacedCpu();
    if (cpu == cpu_) return;
    cpu_set_t set;
    CPU_ZERO(&set);
    if (cpu >= 0) {
      CPU_SET(cpu, &set);
    } else if (::sched_getaffinity(0, sizeof set, &set) != 0) {
      return;
    }
    ::sched_setaffinity(process_->pid(), sizeof set, &set);
    if (process_->Inner() != process_->pid()) ::sched_setaffinity(process_->Inner(), sizeof set, &set);
    cpu_ = cpu;
  }

  // Still worth keeping: running, and within its memory limit (which a host whose address space is
  // limited to it cannot pass: what is resident is mapped).
  bool Usable() {
    return !process_->Ended() && (CanLimitAddressSpace() || Resident() <= settings_.memory_bytes);
  }

  // Queues `frame`, which the next Flush or Collect sends; its answer comes with a later Collect.
  // `doing` says what the component is asked to do, for the description of a failure ("taking
  // \"AnsCont\"").
  // Answers the request's number.
  uint32_t Post(const std::string& frame, const std::string& prog_id, std::string doing) {
    prog_id_ = prog_id;
    out_ += frame;
    pending_.push_back({++posted_, std::move(doing)});
    return posted_;
  }

  // Sends what is queued.
  void Flush(Clock::time_point deadline) {
    if (out_.empty()) return;
    // What goes out together is one batch: the host stops at its first failing request.
    out_.insert(0, wire::Writer(wire::Kind::kBatch).Frame());
    Send(out_, deadline);
    out_.clear();
  }

  // Sends what is queued, receives the answers to the requests posted up to the one numbered
  // `last` (0: every one), in order, and answers the body of that one. An Error answer to an earlier
  // request (a put the component refused) is thrown, as the component's own failure, once all are
  // in; the host stays usable. On a breach, a crash or a broken answer, stops the host and throws
  // RuntimeError naming the ProgID and what the component was doing.
  std::string Collect(Clock::time_point deadline, uint32_t last = 0) {
    Flush(deadline);
    if (last == 0) last = posted_;
    std::optional<std::string> refused;
    std::string body;
    while (!pending_.empty() && pending_.front().number <= last) {
      doing_ = pending_.front().doing;
      const uint32_t number = pending_.front().number;
      const bool disregarded = pending_.front().disregarded;
      body = ReceiveOne(deadline);
      pending_.pop_front();
      if (number == last) break;
      try {
        wire::Reader in(body);
        const wire::Kind kind = in.kind();
        if (kind == wire::Kind::kError) {
          std::string message = in.Text();
          if (!refused && !disregarded) refused = std::move(message);
        } else if (kind != wire::Kind::kOk && kind != wire::Kind::kNotRun) {
          ProtocolBreach("an answer of the wrong kind");
        }
        in.End();
      } catch (const wire::WireError& e) {
        ProtocolBreach(e.what);
      }
    }
    if (refused) throw RuntimeError(*refused);
    return body;
  }

  // The answers to the requests posted up to the one numbered `last` are not wanted any more: a
  // refusal among them fails nothing.
  void Disregard(uint32_t last) {
    for (Request& request : pending_) {
      if (request.number <= last) request.disregarded = true;
    }
  }

  // Post and Collect.
  std::string Exchange(const std::string& frame, Clock::time_point deadline, const std::string& prog_id,
                       std::string doing) {
    Post(frame, prog_id, std::move(doing));
    return Collect(deadline);
  }

  // Receives what is still owed from the last run (its release) before the next one, and makes sure
  // nothing else came: a message nobody asked for would be taken as the answer to the next run's
  // request. False when the host cannot serve another run (it is then stopped).
  bool Settle() {
    if (broken_) return false;
    try {
      if (!pending_.empty()) Collect(Clock::now() + std::chrono::milliseconds(5 * kComponentStopGraceMs));
    } catch (const std::exception&) {
      // A refusal (an object that could not be made, and then was released) leaves it usable.
    }
    if (broken_) return false;
    char byte;
    if (in_pos_ < in_.size() || ::recv(socket_, &byte, 1, MSG_PEEK | MSG_DONTWAIT) != -1) {
      // More than was asked for, or the end of the stream: either way, not a host to go on with.
      broken_ = true;
      process_->Stop();
      return false;
    }
    return true;
  }

  // The body of the next answer.
  std::string ReceiveOne(Clock::time_point deadline) {
    // The process is looked at every tick while the answer is awaited, also when the component
    // keeps writing on stderr and the wait never times out.
    auto next_watch = Clock::now() + kWatchTick;
    for (;;) {
      if (in_.size() - in_pos_ >= 4) {
        uint32_t length = 0;
        std::memcpy(&length, in_.data() + in_pos_, sizeof length);
        if (length > settings_.answer_bytes + wire::kFrameOverhead) {
          Breach("answered with more than " + DescribeBytes(settings_.answer_bytes) + " while " + doing_ +
                 " and was stopped");
        }
        if (length == 0) ProtocolBreach("an empty message");
        if (in_.size() - in_pos_ - 4 >= length) {
          std::string body = in_.substr(in_pos_ + 4, length);
          in_pos_ += 4 + length;
          if (in_pos_ == in_.size()) {
            in_.clear();
            in_pos_ = 0;
          }
          if (static_cast<wire::Kind>(body[0]) == wire::Kind::kOutOfMemory) MemoryBreach();
          // An answer to another request than the one owed (a message a component wrote on the
          // host's socket itself) would shift every answer after it.
          uint32_t number = 0;
          if (body.size() >= 5) std::memcpy(&number, body.data() + 1, sizeof number);
          if (body.size() < 5 || pending_.empty() || number != pending_.front().number) {
            ProtocolBreach("a message that answers no request owed");
          }
          body.erase(1, sizeof number);
          return body;
        }
      }
      if (in_pos_ > 0) {
        in_.erase(0, in_pos_);
        in_pos_ = 0;
      }
      const auto now = Clock::now();
      if (now >= deadline) Breach("did not answer within " + DescribeSeconds(settings_.seconds) + " and was stopped");
      if (now >= next_watch) {
        Watch();
        next_watch = now + kWatchTick;
      }
      // What is there is taken at once; the wait is only for what has not come yet. Right after
      // requests went out, their answers are not there yet: the wait comes first.
      if (just_sent_) {
        just_sent_ = false;
        if (AnsweredSoon()) continue;
      } else {
        char buffer[65536];
        const ssize_t n = ::recv(socket_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) {
          in_.append(buffer, static_cast<std::size_t>(n));
          ++received_;
          continue;
        }
        if (n == 0) Ended();
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) Ended();
      }
      const auto wait = std::min(deadline, next_watch) - now;
      pollfd fds[2] = {{socket_, POLLIN, 0}, {err_, POLLIN, 0}};
      const int ready = ::poll(fds, err_ >= 0 ? 2 : 1,
                               static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(wait).count()));
      if (ready < 0 && errno != EINTR) Breach(std::string("could not be watched: ") + std::strerror(errno));
      if (ready > 0 && err_ >= 0 && fds[1].revents != 0) DrainStderr();
    }
  }

  // Stops the host after a broken answer.
  [[noreturn]] void ProtocolBreach(const std::string& why) {
    Breach("broke the component host's protocol (" + why + ") while " + Doing() + " and was stopped");
  }

  // A process the component started and left: the run fails, and the host is replaced. The host's
  // processes are looked at again only when something came from the host since the last look: the
  // answers to a scoring run's reads come in one piece, and the look after the first of them already
  // saw the host idle after all of them.
  void CheckLeftovers() {
    if (received_ == looked_at_) return;
    looked_at_ = received_;
    const std::vector<pid_t> children = ChildrenOf(Watched());
    if (!children.empty()) {
      Breach("left a process running (process " + std::to_string(children.front()) + ") after " + doing_ +
             "; it was stopped");
    }
  }

  std::string TakeStderr() {
    if (err_ >= 0) DrainStderr();
    std::string text = stderr_.text();
    stderr_ = OutputKeep(kKeptStderr);
    return text;
  }

  bool broken() const { return broken_; }

 private:
  struct Request {
    uint32_t number;    // counted from 1 over the host's life, as the host counts what it started
    std::string doing;  // what the component is asked to do, for a failure's description
    bool disregarded = false;
  };

  HostProcess(const IsolationSettings& settings, int socket, int err)
      : settings_(settings), socket_(socket), err_(err), stderr_(kKeptStderr) {
    SetNonBlocking(err_);
  }

  // The process the component runs in: the host, also under the sandbox.
  pid_t Watched() { return process_->Inner(); }

  uint64_t Resident() { return process_->ResidentBytes(); }

  // What the component was doing when its host failed: the request the host had started on, when
  // it is one still owed (answers that arrive together leave no other trace of how far it got).
  std::string Doing() const {
    if (progress_ != nullptr) {
      const uint32_t started = progress_->load(std::memory_order_acquire);
      for (const Request& request : pending_) {
        if (request.number == started) return request.doing;
      }
    }
    return doing_;
  }

  void Send(const std::string& frame, Clock::time_point deadline) {
    just_sent_ = true;
    if (answered_ != nullptr) answered_seen_ = answered_->load(std::memory_order_acquire);
    std::size_t done = 0;
    while (done < frame.size()) {
      const ssize_t n = ::send(socket_, frame.data() + done, frame.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        const auto now = Clock::now();
        if (now >= deadline) Breach("did not answer within " + DescribeSeconds(settings_.seconds) + " and was stopped");
        pollfd fd = {socket_, POLLOUT, 0};
        const auto wait = std::min<Clock::duration>(deadline - now, kWatchTick);
        if (::poll(&fd, 1, static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(wait).count())) == 0) Watch();
        continue;
      }
      Ended();
    }
  }

  // Whether the host sends answers within a moment of the requests, watched without sleeping. A
  // thread that sleeps for the few dozen microseconds a scoring run takes leaves its CPU idle, and
  // waking it costs more than the watch. Not on a worker of a sweep (cpu_placement.h), which shares
  // the cores with the other workers and the hosts: placed on a CPU with its host, the watch would
  // only keep the host from running, and unplaced it would take CPU the others need.
  // After a watch in vain (a slow component, a busy machine) the next few runs sleep at once.
  bool AnsweredSoon() {
    if (answered_ == nullptr || IsWorkerThread()) return false;
    if (watches_skipped_ > 0) {
      --watches_skipped_;
      return false;
    }
    const auto until = Clock::now() + kAnswerWatch;
    do {
      if (answered_->load(std::memory_order_acquire) != answered_seen_) return true;
#if defined(__x86_64__) || defined(__i386__)
      __builtin_ia32_pause();
#endif
    } while (Clock::now() < until);
    watches_skipped_ = kWatchesSkipped;
    return false;
  }

  // While an answer is awaited: the process still there, its memory within the limit.
  void Watch() {
    if (process_->Ended()) Ended();
    if (Resident() > settings_.memory_bytes) MemoryBreach();
  }

  [[noreturn]] void MemoryBreach() {
    Breach("used more than " + DescribeBytes(settings_.memory_bytes) + " of memory and was stopped");
  }

  // The host's stream ended or its process did: how it ended is the failure.
  [[noreturn]] void Ended() {
    const std::string doing = Doing();
    const auto until = Clock::now() + std::chrono::milliseconds(kComponentStopGraceMs);
    while (!process_->Ended() && Clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (!process_->Ended()) ProtocolBreach("it closed its connection to Vardenix");
    const int status = process_->Reap();
    if (err_ >= 0) DrainStderr();
    broken_ = true;
    int signal = 0;
    if (WIFSIGNALED(status)) signal = WTERMSIG(status);
    // bubblewrap reports its command's death by a signal as the exit status 128 + signal.
    if (settings_.sandbox && WIFEXITED(status) && WEXITSTATUS(status) > 128) signal = WEXITSTATUS(status) - 128;
    if (signal != 0) {
      Fail("crashed while " + doing + ": its process " + DescribeWaitStatus(signal & 0x7f));
    }
    Fail("ended its process while " + doing + " (it " + DescribeWaitStatus(status) + ")");
  }

  [[noreturn]] void Breach(const std::string& what) {
    broken_ = true;
    process_->Stop();
    if (err_ >= 0) DrainStderr();
    Fail(what);
  }

  [[noreturn]] void Fail(const std::string& what) {
    std::string text = "the scoring component " + prog_id_ + " " + what;
    const std::string said = stderr_.Last(kQuotedStderr);
    if (!said.empty()) text += "; its last output on stderr: " + said;
    throw RuntimeError(text);
  }

  void DrainStderr() {
    if (!DrainInto(err_, stderr_)) {
      ::close(err_);
      err_ = -1;
    }
  }

  IsolationSettings settings_;
  int socket_;
  int err_;
  OutputKeep stderr_;
  std::unique_ptr<ComponentProcess> process_;
  std::atomic<uint32_t>* progress_ = nullptr;  // shared with the host: the requests it started on
  int cpu_ = -1;                  // the CPU the host was placed on (PlacedCpu), or -1
  bool just_sent_ = false;        // requests went out since the last wait for answers
  std::atomic<uint32_t>* answered_ = nullptr;  // shared with the host: the times it sent answers
  uint32_t answered_seen_ = 0;    // *answered_ when requests last went out
  int watches_skipped_ = 0;       // runs left that sleep without watching (AnsweredSoon)
  bool broken_ = false;
  std::string prog_id_;
  std::string doing_;             // what the component is doing, for a failure's description
  std::string out_;               // requests queued and not sent yet
  std::string in_;                // what came from the host and is not taken yet, from in_pos_
  std::size_t in_pos_ = 0;
  uint32_t posted_ = 0;           // requests posted over the host's life
  uint64_t received_ = 0;         // pieces of answers received over the host's life
  uint64_t looked_at_ = 0;        // `received_` when the host's processes were last looked at
  std::deque<Request> pending_;   // requests posted and not answered yet
};

namespace {

// A component object in a host process.
class HostObject final : public NamedObject {
 public:
  HostObject(std::shared_ptr<ComponentHosts> hosts, std::unique_ptr<HostProcess> host, std::string prog_id,
             Clock::time_point deadline)
      : hosts_(std::move(hosts)), host_(std::move(host)), prog_id_(std::move(prog_id)), deadline_(deadline) {}

  ~HostObject() override {
    if (!host_ || host_->broken()) return;
    try {
      // Its answer is received before the host serves the next run (ComponentHosts::TakeHost), by
      // when the host has long given it: the release costs no wait here. After announced reads it
      // went to the host with them.
      if (!release_posted_) PostRelease();
      host_->Flush(std::max(deadline_, Clock::now() + std::chrono::milliseconds(kComponentStopGraceMs)));
      Trace();
      hosts_->GiveBack(std::move(host_));
    } catch (const std::exception&) {
      // The run has its answers; a component that fails on release only loses its host process.
    }
  }

  HostObject(const HostObject&) = delete;
  HostObject& operator=(const HostObject&) = delete;

  // Asks the host to make the object. Like a put, it is answered with the first read, so that a
  // scoring run, whose reads are announced, costs one exchange with the host; a create the component
  // refuses fails that read with the component's message.
  void Create(const std::string& module_path) {
    wire::Writer frame(wire::Kind::kCreate);
    frame.Text(module_path).Text(prog_id_);
    host_->Post(frame.Frame(), prog_id_, "being created");
  }

  // A put is answered with the next read: the scoring run's puts and its first read cross to the
  // host together. The host does them in order; a refused put fails that read with its message.
  void Put(const std::string& member, const Variant& value) override {
    Usable();
    if (release_posted_) Released("put " + Quote(member) + " to");
    wire::Writer frame(wire::Kind::kPut);
    frame.Text(member).Value(value);
    host_->Post(frame.Frame(), prog_id_, "taking " + Quote(member));
  }

  // The reads the caller announced are asked for together at the first of them, and each answers
  // from what came back; the host does them in order after the puts, as the caller would have.
  void ExpectReads(const std::vector<std::string>& members, AfterReads after) override {
    expected_ = members;
    after_ = after;
    asked_.clear();
  }

  Variant Read(const std::string& member) override {
    Usable();
    if (asked_.empty() && !expected_.empty() && expected_.front() == member) {
      for (const std::string& expected : expected_) {
        wire::Writer frame(wire::Kind::kRead);
        frame.Text(expected);
        asked_.push_back({expected, host_->Post(frame.Frame(), prog_id_, "answering " + Quote(expected))});
      }
      // The host answers the reads before it releases the object: a component that fails on its
      // release has given its answers.
      if (after_ == AfterReads::kRelease) PostRelease();
    }
    expected_.clear();
    uint32_t number = 0;
    if (!asked_.empty() && asked_.front().first == member) {
      number = asked_.front().second;
      asked_.pop_front();
    } else {
      if (release_posted_) Released("read " + Quote(member) + " from");
      // Not what was announced: what was asked for already is answered first, and left aside.
      if (!asked_.empty()) host_->Disregard(asked_.back().second);
      asked_.clear();
      wire::Writer frame(wire::Kind::kRead);
      frame.Text(member);
      number = host_->Post(frame.Frame(), prog_id_, "answering " + Quote(member));
    }
    std::string body = Call(number);
    if (static_cast<wire::Kind>(body[0]) == wire::Kind::kNotRun) {
      // Asked ahead, in a batch whose earlier request failed: the caller went on after that
      // failure, so the read is asked again on its own, as it comes.
      if (release_posted_) Released("read " + Quote(member) + " from");
      wire::Writer frame(wire::Kind::kRead);
      frame.Text(member);
      body = Call(host_->Post(frame.Frame(), prog_id_, "answering " + Quote(member)));
    }
    wire::Reader in(body);
    Variant value;
    try {
      if (in.kind() == wire::Kind::kError) Refused(in);
      value = in.Value();
      in.End();
    } catch (const wire::WireError& e) {
      host_->ProtocolBreach(e.what);
    }
    host_->CheckLeftovers();
    return value;
  }

 private:
  void Usable() const {
    if (!host_ || host_->broken()) {
      throw RuntimeError("the scoring component " + prog_id_ + " was stopped earlier in this scoring run");
    }
  }

  // The answer to the request numbered `number`, and to everything posted before it.
  std::string Call(uint32_t number) {
    std::string body;
    try {
      body = host_->Collect(deadline_, number);
    } catch (const RuntimeError&) {
      if (!host_->broken()) {
        Trace();  // a refused put: the component's own failure
        ReleaseNotRun(number);
      }
      throw;
    }
    const auto kind = static_cast<wire::Kind>(body[0]);
    if (kind == wire::Kind::kError || kind == wire::Kind::kNotRun) ReleaseNotRun(number);
    if (kind != wire::Kind::kOk && kind != wire::Kind::kValue && kind != wire::Kind::kError &&
        kind != wire::Kind::kNotRun) {
      host_->ProtocolBreach("an answer of unknown kind");
    }
    return body;
  }

  // The component's own failure, as the host passed it on; the host stays usable.
  [[noreturn]] void Refused(wire::Reader& in) {
    std::string message = in.Text();
    in.End();
    Trace();
    throw RuntimeError(message);
  }

  void PostRelease() {
    release_number_ = host_->Post(wire::Writer(wire::Kind::kRelease).Frame(), prog_id_, "being released");
    release_posted_ = true;
  }

  // A request up to `number` failed (or was not run): a release posted after it in its batch is not
  // run by the host, so the object is still there, and is released later.
  void ReleaseNotRun(uint32_t number) {
    if (release_posted_ && release_number_ > number) release_posted_ = false;
  }

  // A call after the release the caller announced: the object is gone in the host.
  [[noreturn]] void Released(const std::string& call) const {
    throw RuntimeError("cannot " + call + " the scoring component " + prog_id_ +
                       ": it is released after the reads announced");
  }

  void Trace() {
    const std::string text = host_->TakeStderr();
    if (!text.empty() && hosts_->settings().trace) hosts_->settings().trace(prog_id_, text);
  }

  std::shared_ptr<ComponentHosts> hosts_;
  std::unique_ptr<HostProcess> host_;
  std::string prog_id_;
  Clock::time_point deadline_;
  std::vector<std::string> expected_;                 // reads announced and not asked for yet
  AfterReads after_ = AfterReads::kMore;              // what the caller does after them
  bool release_posted_ = false;                       // the release is on its way to the host
  uint32_t release_number_ = 0;                       // the number of the release posted last
  std::deque<std::pair<std::string, uint32_t>> asked_;  // reads asked for ahead, by request number
};

}  // namespace

std::shared_ptr<ComponentHosts> ComponentHosts::Make(IsolationSettings settings) {
  CheckIsolationSettings(settings);
  return std::shared_ptr<ComponentHosts>(new ComponentHosts(std::move(settings)));
}

ComponentHosts::ComponentHosts(IsolationSettings settings) : settings_(std::move(settings)) {}

ComponentHosts::~ComponentHosts() = default;

std::unique_ptr<HostProcess> ComponentHosts::TakeHost() {
  for (;;) {
    std::unique_ptr<HostProcess> host;
    {
      std::lock_guard lock(mutex_);
      if (idle_.empty()) break;
      host = std::move(idle_.back());
      idle_.pop_back();
    }
    if (host->Settle() && host->Usable()) {
      host->Follow();
      return host;
    }
  }
  return HostProcess::Start(settings_);
}

// Every host given back is kept: a host is taken from the idle ones before a new one is started, so
// there are never more idle hosts than scoring runs that were under way at the same time (one per
// worker of a check with --jobs N). A fixed cap below that would stop and start a host process on
// every run of the workers above it.
void ComponentHosts::GiveBack(std::unique_ptr<HostProcess> host) {
  std::lock_guard lock(mutex_);
  idle_.push_back(std::move(host));
}

std::vector<int> ComponentHosts::IdleHostIds() {
  std::lock_guard lock(mutex_);
  std::vector<int> ids;
  for (const auto& host : idle_) ids.push_back(host->pid());
  return ids;
}

std::unique_ptr<NamedObject> ComponentHosts::Create(const std::string& module_path, const std::string& prog_id) {
  // The run's time starts once it has a host: settling what the last run left (a release that
  // hangs) is not this run's time.
  std::unique_ptr<HostProcess> host = TakeHost();
  const auto deadline = DeadlineAfter(settings_.seconds);
  auto object = std::make_unique<HostObject>(shared_from_this(), std::move(host), prog_id, deadline);
  object->Create(module_path);
  return object;
}

std::vector<std::string> ComponentHosts::Load(const std::string& module_path, std::string& absolute_path) {
  std::unique_ptr<HostProcess> host = TakeHost();
  wire::Writer frame(wire::Kind::kLoad);
  frame.Text(module_path);
  const std::string who = "in the module " + module_path;
  const std::string doing = "being loaded";
  const std::string body = host->Exchange(frame.Frame(), DeadlineAfter(settings_.seconds), who, doing);
  wire::Reader in(body);
  std::vector<std::string> prog_ids;
  try {
    const wire::Kind kind = in.kind();
    if (kind == wire::Kind::kError) {
      std::string message = in.Text();
      in.End();
      GiveBack(std::move(host));
      throw RuntimeError(message);
    }
    if (kind != wire::Kind::kNames) host->ProtocolBreach("an answer of the wrong kind");
    absolute_path = in.Text();
    const uint32_t count = in.U32();
    for (uint32_t i = 0; i < count; ++i) prog_ids.push_back(in.Text());
    in.End();
  } catch (const wire::WireError& e) {
    host->ProtocolBreach(e.what);
  }
  if (prog_ids.empty()) host->ProtocolBreach("a module without classes");
  GiveBack(std::move(host));
  return prog_ids;
}

}  // namespace vardenix
