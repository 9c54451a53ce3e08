// Modules are loaded with dlopen here and nowhere else. Everything a component answers is checked
// before it becomes a Variant: a component is outside code, and a bad answer must become a clear
// run-time failure of the check rather than undefined behaviour in the host.
#include "hosting/component_module.h"

#include <cxxabi.h>
#include <dlfcn.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>

#include "platform/text_encoding.h"
#include "vardenix/error.h"

namespace vardenix {
namespace {

// The loader's message, with an undefined C++ symbol also said in words: "undefined symbol:
// _ZN8MyScorer3PutE..." is what a module whose class declares a member without defining it gives.
std::string ExplainLoadFailure(const std::string& why) {
  const std::string marker = "undefined symbol: ";
  const size_t at = why.find(marker);
  if (at == std::string::npos) return why;
  const size_t start = at + marker.size();
  const size_t end = why.find_first_of(" \t\n(,", start);
  const std::string symbol = why.substr(start, end == std::string::npos ? std::string::npos : end - start);
  int status = 0;
  char* readable = abi::__cxa_demangle(symbol.c_str(), nullptr, nullptr, &status);
  if (status != 0 || readable == nullptr) {
    std::free(readable);
    return why;
  }
  std::string out = why + " (the module uses " + readable +
                    ", which nothing defines: a function declared but without a body, or a library not linked)";
  std::free(readable);
  return out;
}

// A module that answers more classes than this is broken (a get_class that never answers NULL).
constexpr uint32_t kMaxClassesPerModule = 4096;


// Length of the valid UTF-8 sequence at text[i], or 0 when it is not one (overlong forms,
// surrogates and code points above U+10FFFF are not valid).
std::size_t Utf8SequenceLength(const unsigned char* text, std::size_t size, std::size_t i) {
  const unsigned char c = text[i];
  if (c < 0x80) return 1;
  std::size_t n;
  unsigned char lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (size - i < n) return 0;
  if (text[i + 1] < lo || text[i + 1] > hi) return 0;
  for (std::size_t k = 2; k < n; ++k) {
    if (text[i + k] < 0x80 || text[i + k] > 0xBF) return 0;
  }
  return n;
}

bool IsUtf8(const char* text, std::size_t size) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  for (std::size_t i = 0; i < size;) {
    const std::size_t n = Utf8SequenceLength(bytes, size, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

// A component's message as the host keeps it: bytes that are not UTF-8 become U+FFFD, so that a
// failure's description is never lost to its encoding.
std::string MessageText(const char* message) {
  if (message == nullptr) return std::string();
  const std::size_t size = std::strlen(message);
  const auto* bytes = reinterpret_cast<const unsigned char*>(message);
  std::string out;
  out.reserve(size);
  for (std::size_t i = 0; i < size;) {
    const std::size_t n = Utf8SequenceLength(bytes, size, i);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
    } else {
      out.append(message + i, n);
      i += n;
    }
  }
  return out;
}

// The description of a call the component answered with a failure status.
std::string ComponentFailure(const std::string& prog_id, const std::string& doing, int32_t status,
                             const char* message) {
  const std::string text = MessageText(message);
  const std::string failed = "the scoring component " + prog_id + " failed while " + doing;
  if (text.empty()) return failed + " without saying why (status " + std::to_string(status) + ")";
  return failed + ": " + text;
}

vx_value ToAbi(const Variant& value) {
  vx_value out{};
  out.type = static_cast<uint16_t>(value.type());
  switch (value.type()) {
    case VarType::Empty:
    case VarType::Null: break;
    case VarType::Bool:
    case VarType::I2:
    case VarType::I4: out.i = value.i4(); break;
    case VarType::R4:
    case VarType::R8: out.r = value.r8(); break;
    case VarType::Text:
      out.text = value.text().c_str();  // NUL-terminated as a courtesy to C components
      out.text_len = value.text().size();
      break;
  }
  return out;
}

class ModuleObject final : public NamedObject {
 public:
  ModuleObject(std::shared_ptr<const ComponentClass> cls, void* object)
      : cls_(std::move(cls)), object_(object) {}
  ~ModuleObject() override { cls_->descriptor.release(object_); }
  ModuleObject(const ModuleObject&) = delete;
  ModuleObject& operator=(const ModuleObject&) = delete;

  void Put(const std::string& member, const Variant& value) override {
    CheckMemberName(member);
    const vx_value abi = ToAbi(value);
    const char* message = nullptr;
    const int32_t status = cls_->descriptor.put(object_, member.c_str(), &abi, &message);
    Check(status, "taking", member, message);
  }

  Variant Read(const std::string& member) override {
    CheckMemberName(member);
    vx_value answer{};
    const char* message = nullptr;
    const int32_t status = cls_->descriptor.read(object_, member.c_str(), &answer, &message);
    Check(status, "answering", member, message);
    return FromAbi(answer, member);
  }

 private:
  [[noreturn]] void Unknown(const std::string& member) const {
    throw RuntimeError("unknown member " + Quote(member) + " of the component " + Quote(cls_->prog_id));
  }

  void CheckMemberName(const std::string& member) const {
    // A name with a NUL would reach the component cut short, as another member.
    if (member.find('\0') != std::string::npos) Unknown(member);
  }

  // A failed put ("taking") or read ("answering"): the component's message after its ProgID and the
  // member, worded as a failure of a component in a host process is ("the scoring component X
  // crashed while answering \"ping\": ..."). A module built with vx::MakeClass starts the message
  // with the exception's type.
  void Check(int32_t status, const char* doing, const std::string& member, const char* message) const {
    if (status == VX_OK) return;
    if (status == VX_UNKNOWN_MEMBER) Unknown(member);
    throw RuntimeError(ComponentFailure(cls_->prog_id, std::string(doing) + " " + Quote(member), status, message));
  }

  [[noreturn]] void BadAnswer(const std::string& member, const std::string& what) const {
    throw RuntimeError("the component " + Quote(cls_->prog_id) + " answered " + Quote(member) + " with " + what);
  }

  Variant FromAbi(const vx_value& v, const std::string& member) const {
    switch (v.type) {
      case VX_EMPTY: return Variant::Empty();
      case VX_NULL: return Variant::Null();
      case VX_BOOL: return Variant::Bool(v.i != 0);
      case VX_I2:
        if (v.i < INT16_MIN || v.i > INT16_MAX) BadAnswer(member, "a 16-bit integer out of range (" + std::to_string(v.i) + ")");
        return Variant::I2(static_cast<int16_t>(v.i));
      case VX_I4: return Variant::I4(v.i);
      case VX_R4:
        // Narrowing a double beyond the float range is undefined; ToSingle calls such a value an overflow.
        if (std::isfinite(v.r) && std::fabs(v.r) > static_cast<double>(FLT_MAX)) {
          BadAnswer(member, "a single-precision value out of range");
        }
        return Variant::R4(static_cast<float>(v.r));
      case VX_R8: return Variant::R8(v.r);
      case VX_TEXT:
        if (v.text == nullptr) {
          if (v.text_len != 0) BadAnswer(member, "text without bytes");
          return Variant::Text(std::string());
        }
        if (!IsUtf8(v.text, v.text_len)) BadAnswer(member, "text that is not valid UTF-8");
        return Variant::Text(std::string(v.text, v.text_len));
      default: BadAnswer(member, "a value of unknown type " + std::to_string(v.type));
    }
  }

  std::shared_ptr<const ComponentClass> cls_;
  void* object_;
};

struct LoadedModules {
  std::mutex mutex;
  std::map<std::string, std::shared_ptr<const ComponentModule>> by_path;
};

LoadedModules& Loaded() {
  static LoadedModules* modules = new LoadedModules;  // never destroyed: modules stay loaded
  return *modules;
}

// Checks the module's descriptor and copies its classes; throws naming the module.
std::shared_ptr<ComponentModule> ReadModule(void* handle, const std::string& path) {
  auto fail = [&](const std::string& why) -> RuntimeError {
    return RuntimeError("the component module " + path + " is refused: " + why);
  };
  dlerror();
  void* symbol = dlsym(handle, VX_MODULE_ENTRY_NAME);
  if (symbol == nullptr) throw fail("it has no entry point " VX_MODULE_ENTRY_NAME " (is it a scoring-component module?)");
  vx_module_entry entry;
  static_assert(sizeof entry == sizeof symbol);
  std::memcpy(&entry, &symbol, sizeof entry);
  const vx_module* descriptor = entry();
  if (descriptor == nullptr) throw fail("its entry point answered no descriptor");
  if (descriptor->size < sizeof(vx_module)) {
    throw fail("its descriptor is " + std::to_string(descriptor->size) + " bytes, smaller than the " +
               std::to_string(sizeof(vx_module)) + " of this host's component ABI");
  }
  if (descriptor->abi_version != VX_ABI_VERSION) {
    throw fail("it was built for component ABI version " + std::to_string(descriptor->abi_version) +
               ", and this Vardenix knows version " + std::to_string(VX_ABI_VERSION) + " only");
  }
  if (descriptor->get_class == nullptr) throw fail("its descriptor has no get_class function");

  auto module = std::make_shared<ComponentModule>();
  module->path = path;
  std::map<std::string, std::string> seen;
  for (uint32_t index = 0;; ++index) {
    if (index == kMaxClassesPerModule) throw fail("it answers more than " + std::to_string(kMaxClassesPerModule) + " classes");
    const vx_class* cls = descriptor->get_class(index);
    if (cls == nullptr) break;
    std::shared_ptr<const ComponentClass> adopted;
    try {
      adopted = AdoptComponentClass(cls, path);
    } catch (const RuntimeError& e) {
      throw fail("class " + std::to_string(index) + ": " + e.Description());
    }
    const auto [it, fresh] = seen.emplace(ProgIdKey(adopted->prog_id), adopted->prog_id);
    if (!fresh) throw fail("it has two classes with the ProgID " + Quote(adopted->prog_id));
    module->classes.push_back(std::move(adopted));
  }
  if (module->classes.empty()) throw fail("it has no classes");
  return module;
}

}  // namespace

std::shared_ptr<const ComponentClass> FindComponentClass(const ComponentModule& module, const std::string& prog_id) {
  const std::string key = ProgIdKey(prog_id);
  for (const auto& cls : module.classes) {
    if (ProgIdKey(cls->prog_id) == key) return cls;
  }
  return nullptr;
}

std::string ProgIdKey(const std::string& prog_id) { return AsciiLower(prog_id); }

std::shared_ptr<const ComponentClass> AdoptComponentClass(const vx_class* cls, const std::string& origin) {
  if (cls == nullptr) throw RuntimeError("no class descriptor was given (" + origin + ")");
  if (cls->size < sizeof(vx_class)) {
    throw RuntimeError("the class descriptor is " + std::to_string(cls->size) + " bytes, smaller than the " +
                       std::to_string(sizeof(vx_class)) + " of this host's component ABI (" + origin + ")");
  }
  if (cls->prog_id == nullptr || cls->prog_id[0] == '\0') {
    throw RuntimeError("the class descriptor has no ProgID (" + origin + ")");
  }
  auto out = std::make_shared<ComponentClass>();
  out->prog_id = cls->prog_id;
  if (!IsUtf8(out->prog_id.data(), out->prog_id.size())) {
    throw RuntimeError("the ProgID of the class is not valid UTF-8 (" + origin + ")");
  }
  if (cls->create == nullptr || cls->put == nullptr || cls->read == nullptr || cls->release == nullptr) {
    throw RuntimeError("the class " + Quote(out->prog_id) + " lacks one of create, put, read and release (" +
                       origin + ")");
  }
  out->descriptor = *cls;  // the fields this host knows; a newer component's extra fields are ignored
  out->descriptor.size = sizeof(vx_class);
  out->origin = origin;
  out->descriptor.prog_id = out->prog_id.c_str();
  return out;
}

std::shared_ptr<const ComponentModule> LoadComponentModule(const std::string& path) {
  if (path.empty()) throw RuntimeError("cannot load a component module: no path was given");
  std::error_code ec;
  // dlopen searches the library path for a name without a slash; a module is always a file path.
  std::filesystem::path absolute = std::filesystem::absolute(path, ec);
  if (ec) throw RuntimeError("cannot load the component module " + path + ": " + ec.message());
  absolute = absolute.lexically_normal();
  std::string key = std::filesystem::weakly_canonical(absolute, ec).string();
  if (ec) key = absolute.string();

  LoadedModules& loaded = Loaded();
  std::lock_guard lock(loaded.mutex);
  if (auto it = loaded.by_path.find(key); it != loaded.by_path.end()) return it->second;

  void* handle = dlopen(absolute.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = dlerror();
    throw RuntimeError("cannot load the component module " + absolute.string() + ": " +
                       ExplainLoadFailure(why != nullptr ? why : "unknown reason"));
  }
  std::shared_ptr<ComponentModule> module;
  try {
    module = ReadModule(handle, absolute.string());
  } catch (...) {
    dlclose(handle);  // nothing of a refused module is in use
    throw;
  }
  loaded.by_path.emplace(key, module);
  return module;
}

std::unique_ptr<NamedObject> CreateComponentObject(std::shared_ptr<const ComponentClass> cls) {
  void* object = nullptr;
  const char* message = nullptr;
  const int32_t status = cls->descriptor.create(cls->descriptor.context, &object, &message);
  if (status != VX_OK) throw RuntimeError(ComponentFailure(cls->prog_id, "being created", status, message));
  if (object == nullptr) {
    throw RuntimeError("cannot create the component " + Quote(cls->prog_id) + ": its create function answered no object");
  }
  return std::make_unique<ModuleObject>(std::move(cls), object);
}

}  // namespace vardenix
