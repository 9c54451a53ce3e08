// Program components: one run of the program per scoring run, one JSON object each way
// (docs/component-programs.md). The program is outside code in any language; everything it writes
// is checked before it becomes an answer.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <thread>

#include "hosting/component_isolation.h"
#include "hosting/component_module.h"
#include "hosting/component_process.h"
#include "platform/text_encoding.h"
#include "vardenix/error.h"

namespace vardenix {
namespace {

// The first bytes of a program's output as a message quotes them: at most 80 bytes, cut at a UTF-8
// boundary, line ends and other control characters written as \n, \xNN, a byte that is not UTF-8
// as \xNN; "..." when there was more.
std::string Beginning(const std::string& text) {
  constexpr std::size_t kShown = 80;
  std::string out;
  std::size_t i = 0;
  while (i < text.size() && i < kShown) {
    const auto c = static_cast<unsigned char>(text[i]);
    const std::size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    if (n > 1 && i + n <= text.size() && IsValidUtf8(std::string_view(text).substr(i, n))) {
      out.append(text, i, n);
      i += n;
      continue;
    }
    char escaped[8];
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c >= 0x7F) {
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
    ++i;
  }
  if (i < text.size()) out += "...";
  return out;
}

using Clock = std::chrono::steady_clock;
using Json = nlohmann::ordered_json;

constexpr int kProtocolVersion = 1;
constexpr auto kWatchTick = std::chrono::milliseconds(20);
constexpr std::size_t kKeptStderr = 64 * 1024;
constexpr std::size_t kQuotedStderr = 600;


Json ToJson(const Variant& value) {
  switch (value.type()) {
    case VarType::Empty:
    case VarType::Null: return nullptr;
    case VarType::Bool: return value.bool_value() != 0;
    case VarType::I2:
    case VarType::I4: return value.i4();
    case VarType::R4:
    case VarType::R8: return value.r8();
    case VarType::Text: return value.text();
  }
  return nullptr;
}

class ProgramObject final : public NamedObject {
 public:
  ProgramObject(std::string prog_id, std::vector<std::string> argv, const IsolationSettings& settings)
      : prog_id_(std::move(prog_id)),
        argv_(std::move(argv)),
        settings_(settings),
        deadline_(Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(settings.seconds))),
        stdout_(static_cast<std::size_t>(3 * settings.answer_bytes + (1 << 20))),
        stderr_(kKeptStderr) {
    request_["protocol"] = kProtocolVersion;
  }

  void Put(const std::string& member, const Variant& value) override {
    if (ran_) throw RuntimeError("the scoring component " + prog_id_ + " has already answered; " + Quote(member) +
                                 " comes too late");
    if (member == "protocol") throw RuntimeError("unknown member " + Quote(member) + " of the component " + Quote(prog_id_));
    if (member == "TestPath" && value.type() == VarType::Text) folder_ = value.text();
    request_[member] = ToJson(value);
  }

  // The program has ended with its run: what it left was stopped then.
  std::vector<std::string> Finish() override { return std::move(warnings_); }

  Variant Read(const std::string& member) override {
    if (!ran_) {
      ran_ = true;
      try {
        Run(member);
      } catch (const RuntimeError& e) {
        // The run is over: every later read has this failure to say too.
        failure_ = e.Description();
        throw;
      }
    }
    if (!failure_.empty()) throw RuntimeError(failure_);
    if (member == "protocol" || member == "error") {
      throw RuntimeError("unknown member " + Quote(member) + " of the component " + Quote(prog_id_) +
                         ": in its answer, " + Quote(member) + " belongs to the protocol");
    }
    const auto it = answer_.find(member);
    if (it == answer_.end()) {
      throw RuntimeError("unknown member " + Quote(member) + " of the component " + Quote(prog_id_) +
                         ": its answer has no such member");
    }
    return FromJson(*it, member);
  }

 private:
  Variant FromJson(const Json& value, const std::string& member) const {
    if (value.is_string()) {
      const auto& text = value.get_ref<const std::string&>();
      if (text.size() > settings_.answer_bytes) {
        throw RuntimeError("the scoring component " + prog_id_ + " answered " + Quote(member) + " with more than " +
                           DescribeBytes(settings_.answer_bytes));
      }
      return Variant::Text(text);
    }
    if (value.is_boolean()) return Variant::Bool(value.get<bool>());
    if (value.is_null()) return Variant::Null();
    if (value.is_number_integer() || value.is_number_unsigned()) {
      if (value.is_number_unsigned() && value.get<uint64_t>() <= static_cast<uint64_t>(INT32_MAX)) {
        return Variant::I4(static_cast<int32_t>(value.get<uint64_t>()));
      }
      if (value.is_number_integer() && value.get<int64_t>() >= INT32_MIN && value.get<int64_t>() <= INT32_MAX) {
        return Variant::I4(static_cast<int32_t>(value.get<int64_t>()));
      }
      return Variant::R8(value.get<double>());
    }
    if (value.is_number_float()) return Variant::R8(value.get<double>());
    throw RuntimeError("the scoring component " + prog_id_ + " answered " + Quote(member) + " with a JSON " +
                       value.type_name() + ", which a scoring component cannot answer (a number, a text, true, "
                       "false or null)");
  }

  [[noreturn]] void Fail(const std::string& what) {
    std::string text = "the scoring component " + prog_id_ + " " + what;
    const std::string said = stderr_.Last(kQuotedStderr);
    if (!said.empty()) text += "; its last output on stderr: " + said;
    throw RuntimeError(text);
  }

  void Trace() {
    if (!stderr_.text().empty() && settings_.trace) settings_.trace(prog_id_, stderr_.text());
  }

  // Runs the program once; sets answer_ or failure_, or throws on a breach.
  void Run(const std::string& member) {
    const std::string request = request_.dump(-1, ' ', false, Json::error_handler_t::strict) + "\n";
    ProcessSpec spec;
    spec.argv = argv_;
    int filter = -1;
    if (settings_.sandbox) {
      spec.argv = SandboxArgv(settings_, argv_, folder_.empty() ? settings_.sandbox_folder : folder_,
                              {FindInPath(argv_[0])});
      spec.wrapped = true;
      spec.wrapper_depth = 2;
      try {
        filter = SandboxFilter();
      } catch (const RuntimeError& e) {
        Fail("cannot be started: " + e.Description());
      }
      spec.descriptors.push_back({kSandboxFilterDescriptor, filter});
    } else {
      spec.contain = true;
    }
    spec.folder = folder_;
    spec.address_space_bytes = settings_.memory_bytes;

    int in[2], out[2], err[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in) != 0) Fail(std::string("cannot be started: ") + std::strerror(errno));
    if (::pipe2(out, O_CLOEXEC) != 0) {
      ::close(in[0]);
      ::close(in[1]);
      Fail(std::string("cannot be started: ") + std::strerror(errno));
    }
    if (::pipe2(err, O_CLOEXEC) != 0) {
      for (int fd : {in[0], in[1], out[0], out[1]}) ::close(fd);
      Fail(std::string("cannot be started: ") + std::strerror(errno));
    }
    spec.descriptors.insert(spec.descriptors.end(), {{0, in[1]}, {1, out[1]}, {2, err[1]}});
    std::unique_ptr<ComponentProcess> process;
    try {
      process = ComponentProcess::Start(spec);
    } catch (const RuntimeError& e) {
      for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1], filter}) {
        if (fd >= 0) ::close(fd);
      }
      Fail("cannot be started: " + e.Description());
    }
    for (int fd : {in[1], out[1], err[1], filter}) {
      if (fd >= 0) ::close(fd);
    }
    Pipes pipes{in[0], out[0], err[0]};
    SetNonBlocking(pipes.in);
    SetNonBlocking(pipes.out);
    SetNonBlocking(pipes.err);
    Exchange(*process, pipes, request, member);
  }

  struct Pipes {
    int in, out, err;
    ~Pipes() {
      for (int fd : {in, out, err}) {
        if (fd >= 0) ::close(fd);
      }
    }
  };

  void Exchange(ComponentProcess& process, Pipes& pipes, const std::string& request, const std::string& member) {
    const std::string doing = "answering " + Quote(member);
    auto breach = [&](const std::string& what) {
      process.Stop();
      if (pipes.err >= 0) DrainInto(pipes.err, stderr_);
      Trace();
      Fail(what);
    };
    std::size_t sent = 0;
    bool out_open = true;
    // The process is looked at every tick, also when it keeps writing and the wait never times out.
    auto next_watch = Clock::now() + kWatchTick;
    for (;;) {
      const auto now = Clock::now();
      if (now >= deadline_) breach("did not answer within " + DescribeSeconds(settings_.seconds) + " and was stopped");
      if (now >= next_watch) {
        next_watch = now + kWatchTick;
        if (process.Ended()) break;
        if (process.ResidentBytes() > settings_.memory_bytes) {
          breach("used more than " + DescribeBytes(settings_.memory_bytes) + " of memory and was stopped");
        }
      }
      pollfd fds[3];
      nfds_t count = 0;
      int in_slot = -1, out_slot = -1, err_slot = -1;
      if (pipes.in >= 0) {
        in_slot = static_cast<int>(count);
        fds[count++] = {pipes.in, POLLOUT, 0};
      }
      if (out_open) {
        out_slot = static_cast<int>(count);
        fds[count++] = {pipes.out, POLLIN, 0};
      }
      if (pipes.err >= 0) {
        err_slot = static_cast<int>(count);
        fds[count++] = {pipes.err, POLLIN, 0};
      }
      // With both outputs closed, the program is ending (or up to no good): look at it often.
      const auto tick = count == 0 || (!out_open && pipes.err < 0) ? std::chrono::milliseconds(1) : kWatchTick;
      const auto wait = std::min<Clock::duration>(std::min(deadline_, next_watch) - now, tick);
      const int ready = ::poll(fds, count, static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(wait).count()));
      if (ready < 0 && errno != EINTR) breach(std::string("could not be watched: ") + std::strerror(errno));
      if (ready > 0) {
        if (in_slot >= 0 && fds[in_slot].revents != 0) {
          const ssize_t n = ::send(pipes.in, request.data() + sent, request.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
          if (n > 0) sent += static_cast<std::size_t>(n);
          // A program that does not read its stdin has its reasons; what it answers counts.
          if ((n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) || sent == request.size()) {
            ::close(pipes.in);
            pipes.in = -1;
          }
        }
        if (out_slot >= 0 && fds[out_slot].revents != 0) {
          out_open = DrainInto(pipes.out, stdout_);
          if (stdout_.text().size() >= Cap()) {
            breach("wrote more than " + DescribeBytes(Cap()) + " on stdout and was stopped");
          }
        }
        if (err_slot >= 0 && fds[err_slot].revents != 0 && !DrainInto(pipes.err, stderr_)) {
          ::close(pipes.err);
          pipes.err = -1;
        }
        continue;
      }
      if (process.Ended()) break;
    }
    // It ended: what is still in the pipes is read, and a pipe still open belongs to a process it
    // started and left running.
    if (out_open) out_open = DrainInto(pipes.out, stdout_);
    if (pipes.err >= 0 && !DrainInto(pipes.err, stderr_)) {
      ::close(pipes.err);
      pipes.err = -1;
    }
    // In a namespace its init has named and stopped what was left; without one, a pipe still open
    // or a process it started belongs to a process left running.
    std::vector<std::string> left;
    const bool left_running = out_open || pipes.err >= 0 || !process.Children().empty();
    if (left_running) {
      for (pid_t child : process.Children()) left.push_back(DescribeProcess(child));
      if (left.empty()) left.push_back("a process that kept its output open");
    }
    const int status = process.Reap();
    for (const std::string& cmd : process.left_behind()) left.push_back(cmd);
    for (const std::string& cmd : left) warnings_.push_back(LeftProcessWarning(prog_id_, cmd));
    Trace();
    if (stdout_.text().size() >= Cap()) Fail("wrote more than " + DescribeBytes(Cap()) + " on stdout and was stopped");
    if (WIFSIGNALED(status) || (settings_.sandbox && WIFEXITED(status) && WEXITSTATUS(status) > 128)) {
      const int sig = WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status) - 128;
      Fail("crashed while " + doing + ": its process " + DescribeWaitStatus(sig & 0x7f));
    }
    if (WEXITSTATUS(status) != 0) {
      Fail("exited with status " + std::to_string(WEXITSTATUS(status)) + " without an answer");
    }
    ParseAnswer();
  }

  std::size_t Cap() const { return static_cast<std::size_t>(3 * settings_.answer_bytes + (1 << 20)); }

  void ParseAnswer() {
    const std::string& text = stdout_.text();
    if (text.find_first_not_of(" \t\r\n") == std::string::npos) Fail("wrote no answer on stdout (one JSON object is expected)");
    // Read strictly: the JSON reader would take a byte order mark, stop at a NUL and let the last of
    // two members of one name win; an answer holding any of them is not what the program meant.
    if (text.find('\0') != std::string::npos) {
      Fail("wrote a NUL byte on stdout; the answer is one JSON object in UTF-8 and nothing else");
    }
    if (text.rfind("\xEF\xBB\xBF", 0) == 0) {
      Fail("wrote a byte order mark before its answer on stdout; write the JSON object in UTF-8 without one");
    }
    std::vector<std::set<std::string>> members;  // the member names of each object being read
    std::string repeated;
    const Json::parser_callback_t strict = [&](int, Json::parse_event_t event, Json& parsed) {
      if (event == Json::parse_event_t::object_start) {
        members.emplace_back();
      } else if (event == Json::parse_event_t::object_end) {
        if (!members.empty()) members.pop_back();
      } else if (event == Json::parse_event_t::key && !members.empty() && parsed.is_string()) {
        if (!members.back().insert(parsed.get<std::string>()).second && repeated.empty()) {
          repeated = parsed.get<std::string>();
        }
      }
      return true;
    };
    Json answer;
    try {
      answer = Json::parse(text, strict);
    } catch (const Json::exception& e) {
      Fail("wrote something on stdout that is not one JSON object; it begins: \"" + Beginning(text) + "\"");
    }
    if (!repeated.empty()) {
      Fail("gave the member \"" + repeated + "\" twice in its answer on stdout; each member is given once");
    }
    if (!answer.is_object()) Fail(std::string("wrote a JSON ") + answer.type_name() + " on stdout instead of an object");
    if (const auto it = answer.find("protocol"); it != answer.end()) {
      if (!it->is_number_integer() || it->get<int64_t>() != kProtocolVersion) {
        Fail("answered in component protocol " + it->dump() + "; this Vardenix speaks protocol 1");
      }
    }
    if (const auto it = answer.find("error"); it != answer.end() && !it->is_null()) {
      // The program's own failure, with its own words, as a module's failing call has.
      const std::string said = it->is_string() ? it->get<std::string>() : it->dump();
      failure_ = said.empty() ? "the scoring component " + prog_id_ + " failed without saying why"
                              : "the scoring component " + prog_id_ + " answered an error: " + said;
    }
    answer_ = std::move(answer);
  }

  std::string prog_id_;
  std::vector<std::string> argv_;
  IsolationSettings settings_;
  Clock::time_point deadline_;
  Json request_;
  Json answer_;
  std::string folder_;
  std::string failure_;
  std::vector<std::string> warnings_;  // a process it left running, for each that was stopped
  bool ran_ = false;
  OutputKeep stdout_;
  OutputKeep stderr_;
};

}  // namespace

std::unique_ptr<NamedObject> CreateProgramObject(const std::string& prog_id, std::vector<std::string> argv,
                                                 const IsolationSettings& settings) {
  CheckIsolationSettings(settings);
  if (argv.empty() || argv[0].empty()) throw RuntimeError("the scoring component " + prog_id + " names no program");
  return std::make_unique<ProgramObject>(prog_id, std::move(argv), settings);
}

}  // namespace vardenix
