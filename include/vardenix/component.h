/* Scoring components: the module ABI and the host's registration calls.
 *
 * A scoring component is a class that Vardenix creates by ProgID for each scoring run and drives
 * by member name: it puts "TestPath", "AnsCont", "GetTotalScore" and "ErrInfoType", then reads
 * "ping" (the score, a number on a 100-point scale), "ShowErr" (a readable text) and "ErrMsgXml"
 * (a RuleErrs XML text), and releases the object.
 *
 * A component reaches Vardenix in one of three ways, looked up in this order:
 *   1. registered in-process by the host (vardenix_register_class, or vx::RegisterComponent<T>);
 *   2. a module (a shared object) that the host loaded by path (vardenix_load_module);
 *   3. a registration record in the host's registry folder (vardenix_set_registry_folder) that
 *      maps the ProgID to a module; `vardenix register MODULE` writes one record per class.
 * ProgIDs are compared without regard to ASCII case.
 *
 * This header alone is enough to write a component, in C or in C++; a module needs no Vardenix
 * library to link against. The ABI is plain C and append-only: later versions add fields only at
 * the end of the structures below, and every structure starts with its own size so that each side
 * knows what the other was built with. abi_version changes only if a change cannot be made that way.
 *
 * Rules that hold for every call across the boundary:
 *   - No exception crosses it, in either direction; failures are status codes with a message.
 *   - No memory crosses it. Text a component answers (a value or a message) is the component's,
 *     and must stay valid until the next call on the same object (for create's message: until the
 *     next create of that class); the host copies it at once. Text the host passes is the host's,
 *     valid only during the call; a component that keeps it copies it.
 *   - Text is UTF-8, as a pointer and a byte length; it need not be NUL-terminated (text the host
 *     passes always is, as a convenience). The host refuses answers that are not valid UTF-8.
 *   - Threads: the host never creates two objects at the same time, and uses each object from one
 *     thread at a time, but different objects may be used on different threads at once. A class
 *     whose objects share state guards it.
 */
#ifndef VARDENIX_COMPONENT_H_
#define VARDENIX_COMPONENT_H_

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define VX_EXTERN_C extern "C"
#else
#define VX_EXTERN_C
#endif

/* Exports a symbol from a module even when it is built with -fvisibility=hidden. */
#define VX_EXPORT VX_EXTERN_C __attribute__((visibility("default")))

/* The one ABI version this header describes. */
#define VX_ABI_VERSION 1u

/* The name of the module's entry point, and the same as a string for dlsym. */
#define VX_MODULE_ENTRY vardenix_component_module
#define VX_MODULE_ENTRY_NAME "vardenix_component_module"

/* Status codes of every function in this header. */
#define VX_OK 0
#define VX_FAILED 1             /* the call failed; the message says why */
#define VX_UNKNOWN_MEMBER 2     /* the object has no member of that name (the message may be empty) */
#define VX_UNKNOWN_PROGID 3     /* host calls only: no source knows the ProgID */
#define VX_INVALID_ARGUMENT 4   /* host calls only: a NULL or malformed argument */

/* Value type tags; the numbers are the Automation VARTYPE numbers. */
#define VX_EMPTY 0
#define VX_NULL 1
#define VX_I2 2    /* 16-bit integer, in i */
#define VX_I4 3    /* 32-bit integer, in i */
#define VX_R4 4    /* single precision, in r */
#define VX_R8 5    /* double precision, in r */
#define VX_TEXT 8  /* UTF-8 text, in text and text_len */
#define VX_BOOL 11 /* in i: True is -1, False 0 (the host reads any non-zero as True) */

/* A value crossing the boundary. Only the fields of its type are meaningful; set the others to 0. */
typedef struct vx_value {
  uint16_t type;        /* one of the VX_ type tags */
  int32_t i;            /* VX_I2 (within -32768..32767), VX_I4, VX_BOOL */
  double r;             /* VX_R4, VX_R8 */
  const char* text;     /* VX_TEXT: the bytes; may be NULL when text_len is 0 */
  size_t text_len;      /* VX_TEXT: the number of bytes */
} vx_value;

/* A component class. All function pointers are required. `object` is whatever create made. */
typedef struct vx_class {
  /* sizeof(vx_class) as the component was built; the host refuses a smaller one. */
  uint32_t size;
  /* The ProgID, NUL-terminated UTF-8, not empty, for example "Acme.WordScorer.1". */
  const char* prog_id;
  /* Handed back to create unchanged; lets one create function serve several classes. */
  void* context;

  /* Makes a new object. On VX_OK, *object is the new object (not NULL). On failure, *message may
   * point to the component's reason (valid until the next create of this class; may stay NULL). */
  int32_t (*create)(void* context, void** object, const char** message);

  /* Property put of `value` to the member named `member` (NUL-terminated UTF-8). Answers VX_OK,
   * VX_UNKNOWN_MEMBER when the object has no such member, or VX_FAILED with *message set to the
   * reason (component-owned, valid until the next call on this object). */
  int32_t (*put)(void* object, const char* member, const vx_value* value, const char** message);

  /* Read of the member named `member`: a property get or a method without arguments, whichever
   * the object has. On VX_OK *result holds the answer (its text valid until the next call on this
   * object). Failures as for put. */
  int32_t (*read)(void* object, const char* member, vx_value* result, const char** message);

  /* Releases the object; called exactly once for every object create made, also after failures.
   * The object must not be used afterwards. */
  void (*release)(void* object);
} vx_class;

/* What a module's entry point answers. */
typedef struct vx_module {
  /* sizeof(vx_module) as the component was built; the host refuses a smaller one. */
  uint32_t size;
  /* VX_ABI_VERSION as the component was built; the host refuses a version it does not know. */
  uint32_t abi_version;
  /* The module's classes by index from 0; NULL past the last one. The classes must stay valid
   * while the module is loaded (the host never unloads a module it accepted). */
  const vx_class* (*get_class)(uint32_t index);
} vx_module;

/* The entry point every module exports (see VX_DEFINE_MODULE). The host calls it once, after
 * loading the module, and keeps the answer for the life of the process. */
typedef const vx_module* (*vx_module_entry)(void);

/* Defines the entry point of a module whose classes are the static array `classes`:
 *     static const vx_class kClasses[] = {{sizeof(vx_class), "Acme.Scorer", NULL, ...}};
 *     VX_DEFINE_MODULE(kClasses)
 */
#define VX_DEFINE_MODULE(classes)                                                    \
  static const vx_class* vx_module_class_(uint32_t index) {                          \
    return index < sizeof(classes) / sizeof((classes)[0]) ? &(classes)[index] : NULL;  \
  }                                                                                  \
  static const vx_module vx_module_descriptor_ = {sizeof(vx_module), VX_ABI_VERSION,  \
                                                  vx_module_class_};                 \
  VX_EXPORT const vx_module* VX_MODULE_ENTRY(void) { return &vx_module_descriptor_; }

/* ---- Host calls, provided by the Vardenix library (not by modules) ----
 *
 * Each acts on the process-wide registry that the check objects use by default, is safe to call
 * from any thread, and answers a status. On failure it writes the reason as NUL-terminated UTF-8
 * into message[0..message_size) (shortened to fit, never cut inside a character); on success it
 * writes the empty text there. `message` may be NULL when message_size is 0.
 */

/* Registers a class in-process, ahead of every module and record. The descriptor is copied, with
 * its ProgID; its functions and context must stay valid for the life of the process. A class
 * registered again under the same ProgID replaces the earlier one. Answers VX_INVALID_ARGUMENT for
 * a NULL or too-small descriptor, an empty ProgID or a missing function. */
VX_EXTERN_C int32_t vardenix_register_class(const vx_class* cls, char* message, size_t message_size);

/* Loads the module at `path` (a file path; a relative one is taken from the current folder) and
 * makes its classes available, after the in-process ones. A module stays loaded for the life of
 * the process; loading one again is harmless. A class of a later module replaces an earlier
 * module's class with the same ProgID. Answers VX_FAILED, naming the module, when it cannot be
 * loaded, has no entry point, or was built for another ABI version or with too-small structures. */
VX_EXTERN_C int32_t vardenix_load_module(const char* path, char* message, size_t message_size);

/* Sets the folder of registration records consulted last (empty or NULL: none). The folder need
 * not exist. The library never picks one of its own; `vardenix` uses
 * $XDG_DATA_HOME/vardenix/registry, or ~/.local/share/vardenix/registry. */
VX_EXTERN_C int32_t vardenix_set_registry_folder(const char* folder, char* message, size_t message_size);

/* ---- Running components out of process ----
 *
 * By default a module's component runs inside the host's process, as it always has: fast, but a
 * component that crashes, hangs, calls exit() or allocates without bound takes the host with it.
 * vardenix_isolate_components runs them instead in `vardenix-component-host`, a process of its own
 * that is kept across scoring runs and replaced after a crash or a stop, with limits enforced from
 * outside for each scoring run. On a breach the component's processes are stopped and the scoring
 * run fails as a run-time failure whose description names the ProgID, the limit and what happened
 * ("the scoring component Acme.Scorer did not answer within 120 s and was stopped"); the check then
 * answers False and reports it, and the next scoring run gets a new host process. Classes
 * registered in-process (vardenix_register_class) stay in-process: they are the host's own code.
 * Program components (`vardenix register --program`) always run in a process of their own; these
 * settings give them their limits too.
 *
 * Every field left 0 (or NULL) takes its default.
 */
typedef struct vx_isolation {
  /* sizeof(vx_isolation) as the host was built. */
  uint32_t size;
  /* Wall time of one scoring run, from creating the component to its last answer, in
   * milliseconds (default 120,000). */
  uint32_t time_limit_ms;
  /* Memory of the component's process, in bytes (default 2 GiB): its address space where the
   * build allows it, and its resident memory, watched. */
  uint64_t memory_limit_bytes;
  /* Size of each answer string, in bytes (default 64 MiB). */
  uint64_t answer_limit_bytes;
  /* The component host executable. NULL or empty: $VARDENIX_COMPONENT_HOST when set, else
   * vardenix-component-host next to the program or shared object this library is linked into (its
   * folder, ../bin, or <prefix>/bin for a shared object in <prefix>/lib), else the one of the
   * installation as configured, else the first on PATH. */
  const char* host_path;
  /* Non-zero: run the host under bubblewrap (`bwrap`): the system read-only, only sandbox_folder
   * writable (the working folder), no network, a private /tmp. */
  int32_t sandbox;
  const char* sandbox_folder;
} vx_isolation;

/* Runs the components of modules out of process from now on, with the limits of `isolation`; NULL
 * runs them in-process again. Acts on the process-wide registry, like the calls above. Answers
 * VX_INVALID_ARGUMENT for a too-small structure or unusable values (a sandbox without its folder). */
VX_EXTERN_C int32_t vardenix_isolate_components(const vx_isolation* isolation, char* message, size_t message_size);

#ifdef __cplusplus
/* ---- C++ convenience: write a component as a class with Put and Read ----
 *
 *     struct Scorer {
 *       void Put(const std::string& member, const vx::Value& value);  // throws vx::UnknownMember
 *       vx::Value Read(const std::string& member);                     // or any std::exception
 *     };
 *     static const vx_class kClasses[] = {vx::MakeClass<Scorer>("Acme.Scorer")};
 *     VX_DEFINE_MODULE(kClasses)
 *
 * T must be default-constructible. An exception thrown from the constructor, Put or Read becomes
 * VX_FAILED with a message that names its type, readable, before what() ("std::invalid_argument:
 * stoi"; "an exception of type int" for one that is not a std::exception); the host adds the ProgID
 * and the member ("the scoring component Acme.Scorer failed while answering \"ping\": ...").
 * vx::UnknownMember becomes VX_UNKNOWN_MEMBER. A C++ host can instead register the class
 * in-process: vx::RegisterComponent<Scorer>("Acme.Scorer").
 */
#include <cstdlib>
#include <exception>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <utility>
#if defined(__has_include)
#if __has_include(<cxxabi.h>)
#include <cxxabi.h>
#define VX_HAS_CXXABI_ 1
#endif
#endif

namespace vx {

// A value as a C++ component sees it: a type tag with the matching field.
struct Value {
  uint16_t type = VX_EMPTY;
  int32_t i = 0;
  double r = 0;
  std::string text;

  static Value Empty() { return Value(); }
  static Value Null() { return Value{VX_NULL, 0, 0, {}}; }
  static Value Bool(bool b) { return Value{VX_BOOL, b ? -1 : 0, 0, {}}; }
  static Value I2(int16_t v) { return Value{VX_I2, v, 0, {}}; }
  static Value I4(int32_t v) { return Value{VX_I4, v, 0, {}}; }
  static Value R4(float v) { return Value{VX_R4, 0, v, {}}; }
  static Value R8(double v) { return Value{VX_R8, 0, v, {}}; }
  static Value Text(std::string s) { return Value{VX_TEXT, 0, 0, std::move(s)}; }

  bool IsNumber() const {
    return type == VX_I2 || type == VX_I4 || type == VX_R4 || type == VX_R8 || type == VX_BOOL;
  }
  // The number of a numeric value (Bool True is -1); 0 for any other type.
  double Number() const { return (type == VX_R4 || type == VX_R8) ? r : IsNumber() ? i : 0.0; }
};

// Thrown by Put or Read for a member the class does not have.
struct UnknownMember {};

namespace detail {

template <class T>
struct Holder {
  T impl;
  Value answer;         // keeps the last text answered alive until the next call
  std::string message;  // the last failure's message, likewise
};

inline Value FromC(const vx_value& v) {
  Value out;
  out.type = v.type;
  out.i = v.i;
  out.r = v.r;
  if (v.type == VX_TEXT && v.text != nullptr) out.text.assign(v.text, v.text_len);
  return out;
}

inline vx_value ToC(const Value& v) {
  vx_value out{};
  out.type = v.type;
  out.i = v.i;
  out.r = v.r;
  if (v.type == VX_TEXT) {
    out.text = v.text.data();
    out.text_len = v.text.size();
  }
  return out;
}

// The readable name of a type ("std::invalid_argument" rather than "St16invalid_argument").
inline std::string TypeName(const std::type_info& type) {
#ifdef VX_HAS_CXXABI_
  int status = 0;
  char* readable = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
  if (status == 0 && readable != nullptr) {
    std::string out(readable);
    std::free(readable);
    return out;
  }
  std::free(readable);
#endif
  return type.name();
}

// The type of the exception being handled, readable; empty where the compiler's runtime cannot say.
inline std::string HandledExceptionType() {
#ifdef VX_HAS_CXXABI_
  // Also without RTTI: every thrown object carries its type.
  if (const std::type_info* type = abi::__cxa_current_exception_type()) return TypeName(*type);
#endif
  return std::string();
}

// The message of a failed call for the exception being handled: its type, then what() ("std::
// invalid_argument: stoi"; what() alone when it is the type's name, as std::bad_alloc's is).
// Called only inside a handler.
inline std::string DescribeHandledException() {
  try {
    throw;
  } catch (const std::exception& e) {
    std::string type = HandledExceptionType();
#if defined(__cpp_rtti) || defined(__GXX_RTTI)
    if (type.empty()) type = TypeName(typeid(e));
#endif
    const std::string what = e.what() != nullptr ? e.what() : "";
    if (type.empty() || type == what) return what;
    return what.empty() ? type : type + ": " + what;
  } catch (...) {
    const std::string type = HandledExceptionType();
    return type.empty() ? "an exception that is not a std::exception" : "an exception of type " + type;
  }
}

// Answers VX_FAILED for the exception being handled, with its description kept in `kept` for the
// host to copy. Nothing escapes to the host: when even the description cannot be made, a fixed
// text says so.
inline int32_t Failed(std::string& kept, const char** message) noexcept {
  try {
    kept = DescribeHandledException();
    *message = kept.c_str();
  } catch (...) {
    *message = "the component failed, and had no memory left to say why";
  }
  return VX_FAILED;
}

template <class T>
int32_t Create(void*, void** object, const char** message) {
  thread_local std::string create_message;
  try {
    *object = new Holder<T>();
    return VX_OK;
  } catch (...) {
    return Failed(create_message, message);
  }
}

template <class Holder, class Call>
int32_t Guard(Holder* holder, const char** message, Call&& call) {
  try {
    call();
    return VX_OK;
  } catch (const UnknownMember&) {
    return VX_UNKNOWN_MEMBER;
  } catch (...) {
    return Failed(holder->message, message);
  }
}

template <class T>
int32_t Put(void* object, const char* member, const vx_value* value, const char** message) {
  auto* holder = static_cast<Holder<T>*>(object);
  return Guard(holder, message, [&] { holder->impl.Put(std::string(member), FromC(*value)); });
}

template <class T>
int32_t Read(void* object, const char* member, vx_value* result, const char** message) {
  auto* holder = static_cast<Holder<T>*>(object);
  return Guard(holder, message, [&] {
    holder->answer = holder->impl.Read(std::string(member));
    *result = ToC(holder->answer);
  });
}

template <class T>
void Release(void* object) {
  delete static_cast<Holder<T>*>(object);
}

}  // namespace detail

// A class descriptor for T under `prog_id` (which must outlive the descriptor, as a literal does).
template <class T>
constexpr vx_class MakeClass(const char* prog_id) {
  return vx_class{sizeof(vx_class), prog_id, nullptr, &detail::Create<T>, &detail::Put<T>,
                  &detail::Read<T>, &detail::Release<T>};
}

// Registers T in-process under `prog_id` (a host linked with the Vardenix library). Throws
// std::runtime_error with the library's message on failure.
template <class T>
void RegisterComponent(const std::string& prog_id) {
  const vx_class cls = MakeClass<T>(prog_id.c_str());  // the registry copies the ProgID
  char message[512];
  if (vardenix_register_class(&cls, message, sizeof message) != VX_OK) throw std::runtime_error(message);
}

}  // namespace vx
#endif  // __cplusplus

#endif  /* VARDENIX_COMPONENT_H_ */
