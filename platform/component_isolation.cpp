// The checking side of the component host process. Everything the host says is checked: the host
// runs outside code, and whatever it does must end as a clear run-time failure of the scoring run.
#include "platform/component_isolation.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <deque>
#include <optional>
#include <thread>

#include "platform/component_process.h"
#include "platform/component_wire.h"
#include "vardenix/error.h"

#ifndef VARDENIX_INSTALLED_HOST
#define VARDENIX_INSTALLED_HOST "/usr/local/bin/vardenix-component-host"
#endif

namespace vardenix {

using Clock = std::chrono::steady_clock;

namespace {

// How often a long call is looked at: the process still there, its memory below the limit.
constexpr auto kWatchTick = std::chrono::milliseconds(20);
// Idle host processes kept for later scoring runs (one per thread that checks at the same time).
constexpr std::size_t kMaxIdleHosts = 4;
// What is kept of a component's stderr, and how much of it a failure's description quotes.
constexpr std::size_t kKeptStderr = 64 * 1024;
constexpr std::size_t kQuotedStderr = 600;

std::string Quote(const std::string& s) { return "\"" + s + "\""; }

Clock::time_point DeadlineAfter(double seconds) {
  return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// The bubblewrap command line that runs `argv` with the system read-only, only `folder` writable,
// no network and a private /tmp.
std::vector<std::string> SandboxArgv(const IsolationSettings& settings, const std::vector<std::string>& argv) {
  std::vector<std::string> out = {settings.bwrap_path.empty() ? std::string("bwrap") : settings.bwrap_path,
                                  "--ro-bind", "/", "/",
                                  "--dev", "/dev",
                                  "--tmpfs", "/tmp",
                                  "--bind", settings.sandbox_folder, settings.sandbox_folder,
                                  "--unshare-net", "--unshare-ipc", "--unshare-uts",
                                  "--die-with-parent",
                                  "--chdir", settings.sandbox_folder,
                                  "--"};
  out.insert(out.end(), argv.begin(), argv.end());
  return out;
}

}  // namespace

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

std::string DefaultComponentHostPath() {
  char self[4096];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n > 0) {
    std::string path(self, static_cast<std::size_t>(n));
    const auto slash = path.rfind('/');
    if (slash != std::string::npos) {
      const std::string beside = path.substr(0, slash + 1) + "vardenix-component-host";
      if (::access(beside.c_str(), X_OK) == 0) return beside;
    }
  }
  return VARDENIX_INSTALLED_HOST;
}

bool SandboxAvailable(const std::string& bwrap_path, std::string& why) {
  IsolationSettings settings;
  settings.bwrap_path = bwrap_path;
  settings.sandbox_folder = "/tmp";
  std::unique_ptr<ComponentProcess> probe;
  try {
    probe = ComponentProcess::Start({SandboxArgv(settings, {"/bin/true"}), {}, {}, 0});
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
    if (settings.sandbox) spec.argv = SandboxArgv(settings, spec.argv);
    spec.descriptors = {{1, err[1]}, {2, err[1]}, {wire::kHostDescriptor, pair[1]}};
    if (CanLimitAddressSpace()) spec.address_space_bytes = settings.memory_bytes;
    try {
      host->process_ = ComponentProcess::Start(spec);
    } catch (const RuntimeError& e) {
      ::close(pair[1]);
      ::close(err[1]);
      throw RuntimeError("cannot start the component host " + path + ": " + e.Description());
    }
    ::close(pair[1]);
    ::close(err[1]);
    return host;
  }

  ~HostProcess() {
    ::close(socket_);  // the host reads the end of its stream and ends
    if (err_ >= 0) ::close(err_);
    if (process_) process_->Stop();
  }
  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;

  int pid() const { return process_->pid(); }

  // Still worth keeping: running, and within its memory limit.
  bool Usable() { return !process_->Ended() && Resident() <= settings_.memory_bytes; }

  // Sends `frame` without waiting for its answer, which a later Collect receives. `doing` says what
  // the component is asked to do, for the description of a failure ("taking \"AnsCont\"").
  void Post(const std::string& frame, Clock::time_point deadline, const std::string& prog_id, std::string doing) {
    prog_id_ = prog_id;
    doing_ = doing;
    Send(frame, deadline);
    pending_.push_back(std::move(doing));
  }

  // Receives the answers to every request posted, in order, and answers the body of the last one.
  // An Error answer to an earlier request (a put the component refused) is thrown, as the
  // component's own failure, once all are in; the host stays usable. On a breach, a crash or a
  // broken answer, stops the host and throws RuntimeError naming the ProgID and what the component
  // was doing.
  std::string Collect(Clock::time_point deadline) {
    std::optional<std::string> refused;
    std::string body;
    while (!pending_.empty()) {
      doing_ = pending_.front();
      body = ReceiveOne(deadline);
      pending_.pop_front();
      if (pending_.empty()) break;
      try {
        wire::Reader in(body);
        const wire::Kind kind = in.kind();
        if (kind == wire::Kind::kError) {
          std::string message = in.Text();
          if (!refused) refused = std::move(message);
        } else if (kind != wire::Kind::kOk) {
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

  // Post and Collect.
  std::string Exchange(const std::string& frame, Clock::time_point deadline, const std::string& prog_id,
                       std::string doing) {
    Post(frame, deadline, prog_id, std::move(doing));
    return Collect(deadline);
  }

  // Receives what is still owed from the last run (its release) before the next one; false when the
  // host cannot serve another run (it is then stopped).
  bool Settle() {
    if (pending_.empty()) return true;
    try {
      Collect(Clock::now() + std::chrono::milliseconds(5 * kComponentStopGraceMs));
    } catch (const std::exception&) {
      // A refusal (an object that could not be made, and then was released) leaves it usable.
    }
    return !broken_;
  }

  // The body of the next answer on the socket.
  std::string ReceiveOne(Clock::time_point deadline) {
    std::string header;
    std::string body;
    uint32_t length = 0;
    bool have_length = false;
    for (;;) {
      const auto now = Clock::now();
      if (now >= deadline) Breach("did not answer within " + DescribeSeconds(settings_.seconds) + " and was stopped");
      const auto wait = std::min<Clock::duration>(deadline - now, kWatchTick);
      pollfd fds[2] = {{socket_, POLLIN, 0}, {err_, POLLIN, 0}};
      const int ready = ::poll(fds, err_ >= 0 ? 2 : 1,
                               static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(wait).count()));
      if (ready < 0 && errno != EINTR) Breach(std::string("could not be watched: ") + std::strerror(errno));
      if (ready <= 0) {
        Watch();
        continue;
      }
      if (err_ >= 0 && fds[1].revents != 0) DrainStderr();
      if (fds[0].revents == 0) continue;
      char buffer[65536];
      const std::size_t want = have_length ? std::min<std::size_t>(sizeof buffer, length - body.size())
                                           : 4 - header.size();
      const ssize_t n = ::recv(socket_, buffer, want, MSG_DONTWAIT);
      if (n < 0) {
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
        Ended();
      }
      if (n == 0) Ended();
      if (!have_length) {
        header.append(buffer, static_cast<std::size_t>(n));
        if (header.size() < 4) continue;
        std::memcpy(&length, header.data(), sizeof length);
        have_length = true;
        if (length > settings_.answer_bytes + wire::kFrameOverhead) {
          Breach("answered with more than " + DescribeBytes(settings_.answer_bytes) + " while " + doing_ +
                 " and was stopped");
        }
        if (length == 0) ProtocolBreach("an empty message");
        body.reserve(length);
      } else {
        body.append(buffer, static_cast<std::size_t>(n));
      }
      if (have_length && body.size() == length) break;
    }
    if (static_cast<wire::Kind>(body[0]) == wire::Kind::kOutOfMemory) MemoryBreach();
    return body;
  }

  // Stops the host after a broken answer.
  [[noreturn]] void ProtocolBreach(const std::string& why) {
    Breach("broke the component host's protocol (" + why + ") while " + doing_ + " and was stopped");
  }

  // A process the component started and left: the run fails, and the host is replaced.
  void CheckLeftovers() {
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
  HostProcess(const IsolationSettings& settings, int socket, int err)
      : settings_(settings), socket_(socket), err_(err), stderr_(kKeptStderr) {
    SetNonBlocking(err_);
  }

  // The process the component runs in: the host, or under the sandbox the host inside bubblewrap.
  pid_t Watched() {
    if (!settings_.sandbox) return process_->pid();
    if (watched_ == 0) {
      const std::vector<pid_t> inner = process_->Children();
      if (!inner.empty()) watched_ = inner.front();
    }
    return watched_ != 0 ? watched_ : process_->pid();
  }

  uint64_t Resident() { return ResidentBytesOf(Watched()); }

  void Send(const std::string& frame, Clock::time_point deadline) {
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

  // Between answers: the process still there, its memory within the limit.
  void Watch() {
    if (process_->Ended()) Ended();
    if (Resident() > settings_.memory_bytes) MemoryBreach();
  }

  [[noreturn]] void MemoryBreach() {
    Breach("used more than " + DescribeBytes(settings_.memory_bytes) + " of memory and was stopped");
  }

  // The host's stream ended or its process did: how it ended is the failure.
  [[noreturn]] void Ended() {
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
      Fail("crashed while " + doing_ + ": its process " + DescribeWaitStatus(signal & 0x7f));
    }
    Fail("ended its process while " + doing_ + " (it " + DescribeWaitStatus(status) + ")");
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
  pid_t watched_ = 0;
  bool broken_ = false;
  std::string prog_id_;
  std::string doing_;                // what the component is doing, for a failure's description
  std::deque<std::string> pending_;  // requests posted and not answered yet, by what they ask
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
      // when the host has long given it: the release costs no wait here.
      host_->Post(wire::Writer(wire::Kind::kRelease).Frame(),
                  std::max(deadline_, Clock::now() + std::chrono::milliseconds(kComponentStopGraceMs)), prog_id_,
                  "being released");
      Trace();
      hosts_->GiveBack(std::move(host_));
    } catch (const std::exception&) {
      // The run has its answers; a component that fails on release only loses its host process.
    }
  }

  HostObject(const HostObject&) = delete;
  HostObject& operator=(const HostObject&) = delete;

  // Asks the host to make the object. Like a put, it is answered with the first read, so that a
  // scoring run costs the host three exchanges, one per read; a create the component refuses fails
  // that read with the component's message.
  void Create(const std::string& module_path) {
    wire::Writer frame(wire::Kind::kCreate);
    frame.Text(module_path).Text(prog_id_);
    host_->Post(frame.Frame(), deadline_, prog_id_, "being created");
  }

  // A put is answered with the next read: the scoring run's puts and its first read cross to the
  // host together. The host does them in order; a refused put fails that read with its message.
  void Put(const std::string& member, const Variant& value) override {
    Usable();
    wire::Writer frame(wire::Kind::kPut);
    frame.Text(member).Value(value);
    host_->Post(frame.Frame(), deadline_, prog_id_, "taking " + Quote(member));
  }

  Variant Read(const std::string& member) override {
    wire::Writer frame(wire::Kind::kRead);
    frame.Text(member);
    const std::string body = Call(frame, "answering " + Quote(member));
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

  std::string Call(wire::Writer& frame, const std::string& doing) {
    Usable();
    std::string body;
    try {
      body = host_->Exchange(frame.Frame(), deadline_, prog_id_, doing);
    } catch (const RuntimeError&) {
      if (!host_->broken()) Trace();  // a refused put: the component's own failure
      throw;
    }
    const auto kind = static_cast<wire::Kind>(body[0]);
    if (kind != wire::Kind::kOk && kind != wire::Kind::kValue && kind != wire::Kind::kError) {
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

  void Trace() {
    const std::string text = host_->TakeStderr();
    if (!text.empty() && hosts_->settings().trace) hosts_->settings().trace(prog_id_, text);
  }

  std::shared_ptr<ComponentHosts> hosts_;
  std::unique_ptr<HostProcess> host_;
  std::string prog_id_;
  Clock::time_point deadline_;
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
    if (host->Settle() && host->Usable()) return host;
  }
  return HostProcess::Start(settings_);
}

void ComponentHosts::GiveBack(std::unique_ptr<HostProcess> host) {
  std::lock_guard lock(mutex_);
  if (idle_.size() < kMaxIdleHosts) idle_.push_back(std::move(host));
}

std::vector<int> ComponentHosts::IdleHostIds() {
  std::lock_guard lock(mutex_);
  std::vector<int> ids;
  for (const auto& host : idle_) ids.push_back(host->pid());
  return ids;
}

std::unique_ptr<NamedObject> ComponentHosts::Create(const std::string& module_path, const std::string& prog_id) {
  const auto deadline = DeadlineAfter(settings_.seconds);
  auto object = std::make_unique<HostObject>(shared_from_this(), TakeHost(), prog_id, deadline);
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
