// vardenix-component-host: runs scoring components of modules in a process of their own, so that a
// component that crashes, hangs, ends its process or allocates without bound takes only this
// process down. The checking process starts it with the socket of platform/component_wire.h as
// descriptor 3 and serves one object at a time over it: load a module, create an object, put, read,
// release. Limits are enforced by the checking process, from outside; this program only keeps its
// protocol clean.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <string>

#include "platform/component_module.h"
#include "platform/component_wire.h"
#include "platform/late_bound.h"

namespace vardenix {
namespace {

int channel = -1;

// Called by operator new when an allocation fails (an address-space limit reached): say so, without
// allocating, and end; the checking process reports the limit.
void OutOfMemory() {
  static const char frame[] = {1, 0, 0, 0, static_cast<char>(wire::Kind::kOutOfMemory)};
  [[maybe_unused]] ssize_t ignored = ::send(channel, frame, sizeof frame, MSG_NOSIGNAL);
  ::_exit(3);
}

bool Answer(wire::Writer& writer) { return wire::SendAll(channel, writer.Frame()); }

bool AnswerError(const std::string& message) {
  wire::Writer writer(wire::Kind::kError);
  writer.Text(message);
  return Answer(writer);
}

int Serve() {
  std::unique_ptr<NamedObject> object;
  std::string body;
  for (;;) {
    uint32_t length = 0;
    if (!wire::ReadExactly(channel, reinterpret_cast<char*>(&length), sizeof length)) return 0;  // closed: done
    body.resize(length);
    if (!wire::ReadExactly(channel, body.data(), length)) return 0;
    bool sent = false;
    try {
      wire::Reader in(body);
      const wire::Kind kind = in.kind();
      switch (kind) {
        case wire::Kind::kLoad: {
          const std::string path = in.Text();
          in.End();
          const auto module = LoadComponentModule(path);
          wire::Writer out(wire::Kind::kNames);
          out.Text(module->path);
          out.U32(static_cast<uint32_t>(module->classes.size()));
          for (const auto& cls : module->classes) out.Text(cls->prog_id);
          sent = Answer(out);
          break;
        }
        case wire::Kind::kCreate: {
          const std::string path = in.Text();
          const std::string prog_id = in.Text();
          in.End();
          object.reset();
          const auto module = LoadComponentModule(path);
          std::shared_ptr<const ComponentClass> found;
          for (const auto& cls : module->classes) {
            if (ProgIdKey(cls->prog_id) == ProgIdKey(prog_id)) found = cls;
          }
          if (!found) {
            sent = AnswerError("the component module " + module->path + " has no class of the ProgID \"" + prog_id + "\"");
            break;
          }
          object = CreateComponentObject(found);
          wire::Writer out(wire::Kind::kOk);
          sent = Answer(out);
          break;
        }
        case wire::Kind::kPut: {
          const std::string member = in.Text();
          const Variant value = in.Value();
          in.End();
          if (!object) {
            sent = AnswerError("no component object exists to put \"" + member + "\" to");
            break;
          }
          object->Put(member, value);
          wire::Writer out(wire::Kind::kOk);
          sent = Answer(out);
          break;
        }
        case wire::Kind::kRead: {
          const std::string member = in.Text();
          in.End();
          if (!object) {
            sent = AnswerError("no component object exists to read \"" + member + "\" from");
            break;
          }
          const Variant value = object->Read(member);
          wire::Writer out(wire::Kind::kValue);
          out.Value(value);
          sent = Answer(out);
          break;
        }
        case wire::Kind::kRelease: {
          in.End();
          object.reset();
          wire::Writer out(wire::Kind::kOk);
          sent = Answer(out);
          break;
        }
        default: return 2;  // the checking process never sends anything else
      }
    } catch (const wire::WireError&) {
      return 2;
    } catch (const std::exception& e) {
      sent = AnswerError(e.what());
    }
    if (!sent) return 0;  // the checking process is gone
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
  // What a component prints on stdout joins its stderr: the protocol has a socket of its own, and a
  // component's printf must not be lost or mistaken for anything.
  ::dup2(2, 1);
  std::set_new_handler(OutOfMemory);
  return Serve();
}
