// vardenix-component-host: runs scoring components of modules in a process of their own, so that a
// component that crashes, hangs, ends its process or allocates without bound takes only this
// process down. The checking process starts it with the socket of hosting/component_wire.h as
// descriptor 3 (and the shared count of requests started as descriptor 4) and serves one object at a
// time over it: load a module, create an object, put, read, release. It runs as process 2 of a PID
// namespace of its own where the machine allows one, and after each release it stops every other
// process of the namespace but its init (without a namespace: every process it started) before it
// answers. Limits are enforced by the checking process, from outside; this program only keeps its
// protocol clean.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <exception>
#include <map>
#include <memory>
#include <new>
#include <string>

#include "hosting/component_module.h"
#include "hosting/component_process.h"
#include "hosting/component_wire.h"
#include "platform/late_bound.h"

namespace vardenix {
namespace {

int channel = -1;
// Answers not sent yet. Requests that arrive together (a scoring run's create, puts and first read)
// are answered together, so that the checking process wakes once for all of them.
std::string pending;
// The count of requests this host has started on, in memory the checking process reads when the
// host fails before answering: it names the request the component failed in.
std::atomic<uint32_t>* started = nullptr;
// The count of times this host sent answers, beside it: the checking process may watch it for a
// moment instead of sleeping until they come.
std::atomic<uint32_t>* answered = nullptr;

// Sends the answers pending; false when the checking process is gone.
bool SendPending() {
  if (!wire::SendAll(channel, pending)) return false;
  pending.clear();
  if (answered != nullptr) answered->fetch_add(1, std::memory_order_release);
  return true;
}

// Called by operator new when an allocation fails (an address-space limit reached): say so, without
// allocating, and end; the checking process reports the limit.
void OutOfMemory() {
  static const char frame[] = {1, 0, 0, 0, static_cast<char>(wire::Kind::kOutOfMemory)};
  [[maybe_unused]] ssize_t ignored = ::send(channel, pending.data(), pending.size(), MSG_NOSIGNAL);
  ignored = ::send(channel, frame, sizeof frame, MSG_NOSIGNAL);
  ::_exit(3);
}

// The number of the request being served, counted from 1; each answer carries it.
uint32_t serving = 0;

wire::Writer Reply(wire::Kind kind) {
  wire::Writer writer(kind);
  writer.U32(serving);
  return writer;
}

// A large answer is sent at once: it is not held in memory twice, and the checking process sees its
// size (and may refuse it) before the requests after it are served.
constexpr std::size_t kHeldAnswerBytes = 64 * 1024;

void Answer(wire::Writer& writer) {
  if (pending.empty()) {
    pending = writer.Release();
  } else {
    pending += writer.Frame();
  }
  if (pending.size() > kHeldAnswerBytes && !SendPending()) ::_exit(0);  // the checking process is gone
}

// A request of the current batch failed: its later puts and reads are not run.
bool batch_failed = false;

// Answers "not run" when an earlier request of the batch failed; true when it did.
bool SkippedAfterAFailure() {
  if (!batch_failed) return false;
  wire::Writer out = Reply(wire::Kind::kNotRun);
  Answer(out);
  return true;
}

void AnswerError(const std::string& message) {
  batch_failed = true;
  wire::Writer writer = Reply(wire::Kind::kError);
  writer.Text(message);
  Answer(writer);
}

// The requests read from the channel and not served yet.
class Requests {
 public:
  // The body of the next request; false when the channel is closed or fails. Sends the answers
  // pending before it waits for more.
  bool Next(std::string& body) {
    for (;;) {
      if (buffer_.size() - pos_ >= 4) {
        uint32_t length = 0;
        std::memcpy(&length, buffer_.data() + pos_, sizeof length);
        if (buffer_.size() - pos_ - 4 >= length) {
          body.assign(buffer_, pos_ + 4, length);
          pos_ += 4 + length;
          return true;
        }
      }
      if (!pending.empty() && !SendPending()) return false;  // the checking process is gone
      buffer_.erase(0, pos_);
      pos_ = 0;
      char chunk[65536];
      ssize_t n;
      do {
        n = ::read(channel, chunk, sizeof chunk);
      } while (n < 0 && errno == EINTR);
      if (n <= 0) return false;  // closed: done
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
  }

 private:
  std::string buffer_;
  std::size_t pos_ = 0;
};

int Serve() {
  std::unique_ptr<NamedObject> object;
  // Modules by the path the checking process names them by: it names one module the same way in
  // every scoring run.
  std::map<std::string, std::shared_ptr<const ComponentModule>> modules;
  Requests requests;
  std::string body;
  for (;;) {
    if (!requests.Next(body)) return 0;
    if (!body.empty() && static_cast<wire::Kind>(body[0]) == wire::Kind::kBatch) {
      if (body.size() != 1) return 2;
      batch_failed = false;
      continue;
    }
    ++serving;
    if (started != nullptr) started->fetch_add(1, std::memory_order_release);
    try {
      wire::Reader in(body);
      const wire::Kind kind = in.kind();
      switch (kind) {
        case wire::Kind::kLoad: {
          const std::string path = in.Text();
          in.End();
          const auto module = LoadComponentModule(path);
          wire::Writer out = Reply(wire::Kind::kNames);
          out.Text(module->path);
          out.U32(static_cast<uint32_t>(module->classes.size()));
          for (const auto& cls : module->classes) out.Text(cls->prog_id);
          Answer(out);
          break;
        }
        case wire::Kind::kCreate: {
          const std::string path = in.Text();
          const std::string prog_id = in.Text();
          in.End();
          object.reset();
          auto& module = modules[path];
          if (!module) module = LoadComponentModule(path);
          std::shared_ptr<const ComponentClass> found = FindComponentClass(*module, prog_id);
          if (!found) {
            AnswerError("the component module " + module->path + " has no class of the ProgID \"" + prog_id + "\"");
            break;
          }
          object = CreateComponentObject(found);
          wire::Writer out = Reply(wire::Kind::kOk);
          Answer(out);
          break;
        }
        case wire::Kind::kPut: {
          const std::string member = in.Text();
          const Variant value = in.Value();
          in.End();
          if (SkippedAfterAFailure()) break;
          if (!object) {
            AnswerError("no component object exists to put \"" + member + "\" to");
            break;
          }
          object->Put(member, value);
          wire::Writer out = Reply(wire::Kind::kOk);
          Answer(out);
          break;
        }
        case wire::Kind::kRead: {
          const std::string member = in.Text();
          in.End();
          if (SkippedAfterAFailure()) break;
          if (!object) {
            AnswerError("no component object exists to read \"" + member + "\" from");
            break;
          }
          const Variant value = object->Read(member);
          wire::Writer out = Reply(wire::Kind::kValue);
          out.Value(value);
          Answer(out);
          break;
        }
        case wire::Kind::kRelease: {
          in.End();
          // Asked for after a failed request of its batch: the object stays for the reads the
          // checking process may still ask for on their own, and for the release it sends later.
          if (SkippedAfterAFailure()) break;
          // The answers before the release go first: they may come in the same piece as the
          // release, and a component that crashes or hangs in its release has given them.
          if (!pending.empty() && !SendPending()) return 0;  // the checking process is gone
          object.reset();
          // Nothing the component started outlives its run: the host is idle only once every
          // other process of its namespace (or, without one, every process it started) is gone.
          const bool in_namespace = ::getpid() == 2;
          std::vector<std::string> left = ProcessesLeft(!in_namespace);
          // Decided on what is there, not on what could be named: a process that made itself
          // undumpable hides its namespace and command line, and is stopped all the same.
          const bool any = in_namespace ? ::kill(-1, 0) == 0 : !left.empty();
          if (!any) {
            wire::Writer out = Reply(wire::Kind::kOk);
            Answer(out);
            break;
          }
          if (left.empty()) left.push_back("a process that could not be named");
          const bool stopped = KillProcessesLeft(!in_namespace, 5000);
          wire::Writer out = Reply(wire::Kind::kLeft);
          out.U32(static_cast<uint32_t>(left.size()));
          for (const std::string& cmd : left) out.Text(cmd);
          Answer(out);
          // What could not be stopped must meet no later run: this host ends, and a new one serves
          // the next (the kernel ends what is left of its namespace with it).
          if (!stopped) return 0;
          break;
        }
        default: return 2;  // the checking process never sends anything else
      }
    } catch (const wire::WireError&) {
      return 2;
    } catch (const std::exception& e) {
      AnswerError(e.what());
    }
  }
}

}  // namespace
}  // namespace vardenix

int main(int argc, char** argv) {
  using namespace vardenix;
  if (argc != 1 || ::fcntl(wire::kHostDescriptor, F_GETFD) < 0) {
    const char text[] =
        "vardenix-component-host runs scoring components for vardenix; it is started by it, not by hand\n";
    [[maybe_unused]] ssize_t ignored = ::write(2, text, sizeof text - 1);
    (void)argv;
    return 2;
  }
  channel = wire::kHostDescriptor;
  if (::fcntl(wire::kProgressDescriptor, F_GETFD) >= 0) {
    void* shared = ::mmap(nullptr, wire::kProgressBytes, PROT_READ | PROT_WRITE, MAP_SHARED,
                          wire::kProgressDescriptor, 0);
    if (shared != MAP_FAILED) {
      started = static_cast<std::atomic<uint32_t>*>(shared);
      answered = started + 1;
    }
    ::close(wire::kProgressDescriptor);
  }
  // What a component prints on stdout joins its stderr: the protocol has a socket of its own, and a
  // component's printf must not be lost or mistaken for anything.
  ::dup2(2, 1);
  std::set_new_handler(OutOfMemory);
  return Serve();
}
