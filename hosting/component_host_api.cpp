// The C calls of include/vardenix/component.h, over the process-wide registry. No exception leaves
// them: every failure becomes a status and a message in the caller's buffer.
#include <cstring>
#include <exception>
#include <string>

#include "hosting/component_registry.h"
#include "hosting/component_isolation.h"
#include "vardenix/component.h"

namespace {

// Copies `text` into the caller's buffer, cut at a character boundary when it does not fit.
void WriteMessage(const std::string& text, char* message, size_t message_size) {
  if (message == nullptr || message_size == 0) return;
  std::size_t n = text.size() < message_size - 1 ? text.size() : message_size - 1;
  if (n < text.size()) {
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;  // a continuation byte
  }
  std::memcpy(message, text.data(), n);
  message[n] = '\0';
}

template <class Body>
int32_t Guarded(char* message, size_t message_size, Body&& body) {
  try {
    body();
    WriteMessage(std::string(), message, message_size);
    return VX_OK;
  } catch (const std::exception& e) {
    WriteMessage(e.what(), message, message_size);
  } catch (...) {
    WriteMessage("unknown failure", message, message_size);
  }
  return VX_FAILED;
}

}  // namespace

extern "C" int32_t vardenix_register_class(const vx_class* cls, char* message, size_t message_size) {
  if (cls == nullptr || cls->size < sizeof(vx_class) || cls->prog_id == nullptr || cls->prog_id[0] == '\0' ||
      cls->create == nullptr || cls->put == nullptr || cls->read == nullptr || cls->release == nullptr) {
    WriteMessage("vardenix_register_class needs a whole class descriptor: size at least sizeof(vx_class), "
                 "a ProgID, and create, put, read and release",
                 message, message_size);
    return VX_INVALID_ARGUMENT;
  }
  return Guarded(message, message_size, [&] { vardenix::SystemComponentRegistry().RegisterClass(*cls); });
}

extern "C" int32_t vardenix_load_module(const char* path, char* message, size_t message_size) {
  if (path == nullptr || path[0] == '\0') {
    WriteMessage("vardenix_load_module needs the path of a module", message, message_size);
    return VX_INVALID_ARGUMENT;
  }
  return Guarded(message, message_size, [&] { vardenix::SystemComponentRegistry().LoadModule(path); });
}

extern "C" int32_t vardenix_set_registry_folder(const char* folder, char* message, size_t message_size) {
  return Guarded(message, message_size, [&] {
    vardenix::SystemComponentRegistry().SetRegistryFolder(folder != nullptr ? folder : "");
  });
}

extern "C" int32_t vardenix_isolate_components(const vx_isolation* isolation, char* message, size_t message_size) {
  if (isolation == nullptr) {
    vardenix::SystemComponentRegistry().SetIsolation(nullptr);
    WriteMessage(std::string(), message, message_size);
    return VX_OK;
  }
  if (isolation->size < sizeof(vx_isolation)) {
    WriteMessage("vardenix_isolate_components needs a vx_isolation of at least sizeof(vx_isolation) bytes", message,
                 message_size);
    return VX_INVALID_ARGUMENT;
  }
  vardenix::IsolationSettings settings;
  if (isolation->time_limit_ms != 0) settings.seconds = isolation->time_limit_ms / 1000.0;
  if (isolation->memory_limit_bytes != 0) settings.memory_bytes = isolation->memory_limit_bytes;
  if (isolation->answer_limit_bytes != 0) settings.answer_bytes = isolation->answer_limit_bytes;
  if (isolation->host_path != nullptr) settings.host_path = isolation->host_path;
  settings.sandbox = isolation->sandbox != 0;
  if (isolation->sandbox_folder != nullptr) settings.sandbox_folder = isolation->sandbox_folder;
  std::shared_ptr<vardenix::ComponentHosts> hosts;
  try {
    hosts = vardenix::ComponentHosts::Make(std::move(settings));
  } catch (const std::exception& e) {
    WriteMessage(e.what(), message, message_size);
    return VX_INVALID_ARGUMENT;
  }
  vardenix::SystemComponentRegistry().SetIsolation(std::move(hosts));
  WriteMessage(std::string(), message, message_size);
  return VX_OK;
}
