// The C API of include/vardenix/vardenix.h over the C++ check object. Every function runs its body
// in one guard that turns any exception into a status and the thread's last-error text, so nothing
// throws across the boundary; the last-error text lives in a fixed buffer, so recording a failure
// cannot fail in its turn (out of memory included).
#include "vardenix/vardenix.h"

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "hosting/component_registry.h"
#include "hosting/component_isolation.h"
#include "platform/platform.h"
#include "platform/random.h"
#include "vardenix/envi_chk.h"
#include "vardenix/error.h"

namespace {

thread_local char last_error[4096];

// Keeps the text in the thread's buffer, cut at a character boundary when it does not fit.
void SetError(const char* text) {
  std::size_t n = std::strlen(text);
  if (n >= sizeof last_error) {
    n = sizeof last_error - 1;
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;  // a continuation byte
  }
  std::memcpy(last_error, text, n);
  last_error[n] = '\0';
}

vx_status Fail(vx_status status, const char* text) {
  SetError(text);
  return status;
}

// The first size every version of a structure has: a caller's structure may be larger (built
// against a later header), never smaller.
constexpr uint32_t kPingArgsSize = sizeof(vx_ping_args);
constexpr uint32_t kSelectionSize = sizeof(vx_selection);
constexpr uint32_t kObserverSize = sizeof(vx_observer);
constexpr uint32_t kIsolationSize = sizeof(vx_isolation_settings);

// Runs `body` (answering a status) with every exception made a status. `chk` is the object the
// call acts on, taken for the call so that a second thread is answered BUSY; null for calls that
// act on no object.
template <class Body>
vx_status Guarded(vx_chk* chk, const char* function, Body&& body);

std::string Text(const char* text) { return text != nullptr ? std::string(text) : std::string(); }

// A copy of `text` the caller releases with vx_free; null when memory runs out.
char* Copy(const std::string& text) {
  char* out = static_cast<char*>(std::malloc(text.size() + 1));
  if (out == nullptr) return nullptr;
  std::memcpy(out, text.data(), text.size());
  out[text.size()] = '\0';
  return out;
}

// Hands the reports to the caller's pointers (each may be null); NO_MEMORY when a copy cannot be
// made, with nothing handed over.
vx_status HandOver(const std::string& text, char** text_out, const std::string& xml, char** xml_out) {
  char* a = text_out != nullptr ? Copy(text) : nullptr;
  char* b = xml_out != nullptr ? Copy(xml) : nullptr;
  if ((text_out != nullptr && a == nullptr) || (xml_out != nullptr && b == nullptr)) {
    std::free(a);
    std::free(b);
    return Fail(VX_STATUS_NO_MEMORY, "out of memory for the reports");
  }
  if (text_out != nullptr) *text_out = a;
  if (xml_out != nullptr) *xml_out = b;
  return VX_STATUS_OK;
}

// The C observer seen as the check object's observer.
class ObserverBridge final : public vardenix::CheckObserver {
 public:
  explicit ObserverBridge(const vx_observer& observer) : observer_(observer) {}

  void OnModules(int32_t count) override {
    if (observer_.on_modules != nullptr) observer_.on_modules(observer_.context, count);
  }
  void OnModule(int32_t index, const std::string& name, int32_t questions, int32_t samples) override {
    if (observer_.on_module != nullptr) observer_.on_module(observer_.context, index, name.c_str(), questions, samples);
  }
  void OnSample(const std::string& module, const std::string& rec_no, bool passed) override {
    if (observer_.on_sample != nullptr) observer_.on_sample(observer_.context, module.c_str(), rec_no.c_str(), passed);
  }
  void OnExtractionFailed(const std::string& archive_path, const std::string& reason) override {
    if (observer_.on_extraction_failed != nullptr) {
      observer_.on_extraction_failed(observer_.context, archive_path.c_str(), reason.c_str());
    }
  }
  void OnRecord(const vardenix::RecordResult& r) override {
    if (observer_.on_record == nullptr) return;
    vx_record record{};
    record.size = sizeof record;
    record.typical_document = r.typical_document ? 1 : 0;
    record.module = r.module.c_str();
    record.rec_no = r.rec_no.c_str();
    record.draw = r.draw;
    record.outcome = static_cast<int32_t>(r.outcome);
    record.score = r.score;
    record.reason = r.reason.c_str();
    record.text = r.text.c_str();
    record.xml = r.xml.c_str();
    record.seconds = r.seconds;
    observer_.on_record(observer_.context, &record);
  }

 private:
  vx_observer observer_;
};

}  // namespace

// The object: the check object with a platform bundle and a component registry of its own. The
// members go in reverse order, the check object first.
struct vx_chk {
  vx_chk()
      : platform(std::make_shared<vardenix::Platform>()),
        registry(std::make_unique<vardenix::ComponentRegistry>()) {
    platform->classes = registry.get();
    chk = std::make_unique<vardenix::ClsEnviChk>(platform);
  }

  std::atomic<bool> busy{false};
  std::shared_ptr<vardenix::Platform> platform;
  std::unique_ptr<vardenix::ComponentRegistry> registry;
  std::unique_ptr<ObserverBridge> observer;
  std::unique_ptr<vardenix::ClsEnviChk> chk;
};

namespace {

template <class Body>
vx_status Guarded(vx_chk* chk, const char* function, Body&& body) {
  if (chk == nullptr) {
    SetError(function);
    std::strncat(last_error, ": the check object is NULL", sizeof last_error - std::strlen(last_error) - 1);
    return VX_STATUS_INVALID_ARGUMENT;
  }
  bool idle = false;
  if (!chk->busy.compare_exchange_strong(idle, true)) {
    SetError(function);
    std::strncat(last_error,
                 ": the check object is in a call already (on another thread, or from its own observer); "
                 "use one object per thread",
                 sizeof last_error - std::strlen(last_error) - 1);
    return VX_STATUS_BUSY;
  }
  struct Release {
    vx_chk* chk;
    ~Release() { chk->busy.store(false); }
  } release{chk};
  SetError("");
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return Fail(VX_STATUS_NO_MEMORY, "out of memory");
  } catch (const std::exception& e) {
    return Fail(VX_STATUS_FAILED, e.what());
  } catch (...) {
    return Fail(VX_STATUS_FAILED, "unknown failure");
  }
}

vx_status GetText(vx_chk* chk, const char* function, char** out, std::string (vardenix::ClsEnviChk::*get)() const) {
  if (out != nullptr) *out = nullptr;
  return Guarded(chk, function, [&] {
    if (out == nullptr) return Fail(VX_STATUS_INVALID_ARGUMENT, "the pointer for the answer is NULL");
    *out = Copy((chk->chk.get()->*get)());
    return *out != nullptr ? VX_STATUS_OK : Fail(VX_STATUS_NO_MEMORY, "out of memory");
  });
}

}  // namespace

extern "C" {

const char* vx_last_error(void) { return last_error; }

const char* vx_version(void) { return VARDENIX_VERSION; }

void vx_free(void* text) { std::free(text); }

vx_status vx_chk_create(vx_chk** chk) {
  SetError("");
  if (chk == nullptr) return Fail(VX_STATUS_INVALID_ARGUMENT, "vx_chk_create: the pointer for the object is NULL");
  *chk = nullptr;
  try {
    *chk = new vx_chk();
    return VX_STATUS_OK;
  } catch (const std::bad_alloc&) {
    return Fail(VX_STATUS_NO_MEMORY, "out of memory");
  } catch (const std::exception& e) {
    return Fail(VX_STATUS_FAILED, e.what());
  } catch (...) {
    return Fail(VX_STATUS_FAILED, "unknown failure");
  }
}

void vx_chk_destroy(vx_chk* chk) {
  try {
    delete chk;
  } catch (...) {
    // A destructor that throws would end the process; what it held is lost instead.
  }
}

vx_status vx_chk_set_ping_name(vx_chk* chk, const char* ping_name) {
  return Guarded(chk, "vx_chk_set_ping_name", [&] {
    chk->chk->PingName(Text(ping_name));
    return VX_STATUS_OK;
  });
}

vx_status vx_chk_get_ping_name(vx_chk* chk, char** ping_name) {
  return GetText(chk, "vx_chk_get_ping_name", ping_name, &vardenix::ClsEnviChk::PingName);
}

vx_status vx_chk_set_ping_path(vx_chk* chk, const char* ping_path) {
  return Guarded(chk, "vx_chk_set_ping_path", [&] {
    chk->chk->PingPath(Text(ping_path));
    return VX_STATUS_OK;
  });
}

vx_status vx_chk_get_ping_path(vx_chk* chk, char** ping_path) {
  return GetText(chk, "vx_chk_get_ping_path", ping_path, &vardenix::ClsEnviChk::PingPath);
}

vx_status vx_chk_result_chk(vx_chk* chk, const uint8_t* archive, size_t archive_len, const char* rule,
                            int32_t* passed, char** err_msg, char** err_msg_xml) {
  if (err_msg != nullptr) *err_msg = nullptr;
  if (err_msg_xml != nullptr) *err_msg_xml = nullptr;
  return Guarded(chk, "vx_chk_result_chk", [&] {
    if (passed == nullptr) return Fail(VX_STATUS_INVALID_ARGUMENT, "vx_chk_result_chk: the pointer for the verdict is NULL");
    *passed = 0;
    if (archive == nullptr && archive_len != 0) {
      return Fail(VX_STATUS_INVALID_ARGUMENT, "vx_chk_result_chk: the archive is NULL but its length is not 0");
    }
    std::vector<uint8_t> bytes(archive, archive + archive_len);
    std::string text;
    std::string xml;
    const bool verdict = chk->chk->ResultChk(bytes, Text(rule), text, xml);
    const vx_status status = HandOver(text, err_msg, xml, err_msg_xml);
    if (status == VX_STATUS_OK) *passed = verdict ? 1 : 0;
    return status;
  });
}

vx_status vx_chk_ping_envi_chk(vx_chk* chk, const vx_ping_args* args, int32_t* passed, char** err_msg,
                               char** err_msg_xml) {
  if (err_msg != nullptr) *err_msg = nullptr;
  if (err_msg_xml != nullptr) *err_msg_xml = nullptr;
  return Guarded(chk, "vx_chk_ping_envi_chk", [&] {
    if (passed == nullptr) return Fail(VX_STATUS_INVALID_ARGUMENT, "vx_chk_ping_envi_chk: the pointer for the verdict is NULL");
    *passed = 0;
    if (args == nullptr || args->size < kPingArgsSize) {
      return Fail(VX_STATUS_INVALID_ARGUMENT,
                  "vx_chk_ping_envi_chk needs a vx_ping_args of at least sizeof(vx_ping_args) bytes "
                  "(start from VX_PING_ARGS_INIT)");
    }
    if (args->archive == nullptr && args->archive_len != 0) {
      return Fail(VX_STATUS_INVALID_ARGUMENT, "vx_chk_ping_envi_chk: the archive is NULL but its length is not 0");
    }
    std::vector<uint8_t> bytes(args->archive, args->archive + args->archive_len);
    std::string text;
    std::string xml;
    const bool verdict = chk->chk->PingEnviChk(
        text, xml, bytes, Text(args->rule), static_cast<vardenix::ChkPingConstants>(args->options),
        Text(args->total_path), Text(args->subject_path), Text(args->subject_code), args->contract_code, args->rate);
    const vx_status status = HandOver(text, err_msg, xml, err_msg_xml);
    if (status == VX_STATUS_OK) *passed = verdict ? 1 : 0;
    return status;
  });
}

vx_status vx_chk_set_selection(vx_chk* chk, const vx_selection* selection) {
  return Guarded(chk, "vx_chk_set_selection", [&] {
    vardenix::SubjectSelection chosen;
    if (selection == nullptr) {
      chk->chk->SetSelection(std::move(chosen));
      return VX_STATUS_OK;
    }
    if (selection->size < kSelectionSize) {
      return Fail(VX_STATUS_INVALID_ARGUMENT,
                  "vx_chk_set_selection needs a vx_selection of at least sizeof(vx_selection) bytes "
                  "(start from VX_SELECTION_INIT)");
    }
    switch (selection->kind) {
      case VX_SELECT_SAMPLE:
        chosen.kind = vardenix::SubjectSelection::Kind::kSample;
        break;
      case VX_SELECT_EVERY_QUESTION:
        chosen.kind = vardenix::SubjectSelection::Kind::kEveryQuestion;
        break;
      case VX_SELECT_LISTED:
        chosen.kind = vardenix::SubjectSelection::Kind::kListed;
        break;
      default:
        return Fail(VX_STATUS_INVALID_ARGUMENT,
                    ("vx_chk_set_selection: kind " + std::to_string(selection->kind) +
                     " is none of VX_SELECT_SAMPLE, VX_SELECT_EVERY_QUESTION, VX_SELECT_LISTED")
                        .c_str());
    }
    if (selection->jobs < 0 || selection->jobs > 256) {
      return Fail(VX_STATUS_INVALID_ARGUMENT,
                  ("vx_chk_set_selection: jobs must be from 0 to 256, not " + std::to_string(selection->jobs)).c_str());
    }
    if (selection->kind == VX_SELECT_LISTED) {
      if (selection->listed_count > 0 && (selection->listed_modules == nullptr || selection->listed_rec_nos == nullptr)) {
        return Fail(VX_STATUS_INVALID_ARGUMENT, "vx_chk_set_selection: listed_count is not 0 but a list is NULL");
      }
      for (size_t i = 0; i < selection->listed_count; ++i) {
        if (selection->listed_modules[i] == nullptr || selection->listed_rec_nos[i] == nullptr) {
          return Fail(VX_STATUS_INVALID_ARGUMENT,
                      ("vx_chk_set_selection: listed record " + std::to_string(i) + " is NULL").c_str());
        }
        chosen.listed.emplace_back(selection->listed_modules[i], selection->listed_rec_nos[i]);
      }
    }
    chosen.grade = selection->dry_run == 0;
    chosen.jobs = selection->jobs > 0 ? selection->jobs : 1;
    chk->chk->SetSelection(std::move(chosen));
    return VX_STATUS_OK;
  });
}

vx_status vx_chk_set_seed(vx_chk* chk, uint64_t seed) {
  return Guarded(chk, "vx_chk_set_seed", [&] {
    chk->platform->random = vardenix::MakeRandomSource(seed);
    return VX_STATUS_OK;
  });
}

vx_status vx_chk_get_seed(vx_chk* chk, uint64_t* seed) {
  return Guarded(chk, "vx_chk_get_seed", [&] {
    if (seed == nullptr) return Fail(VX_STATUS_INVALID_ARGUMENT, "vx_chk_get_seed: the pointer for the seed is NULL");
    *seed = chk->platform->random->BaseSeed();
    return VX_STATUS_OK;
  });
}

vx_status vx_chk_set_observer(vx_chk* chk, const vx_observer* observer) {
  return Guarded(chk, "vx_chk_set_observer", [&] {
    if (observer != nullptr && observer->size < kObserverSize) {
      return Fail(VX_STATUS_INVALID_ARGUMENT,
                  "vx_chk_set_observer needs a vx_observer of at least sizeof(vx_observer) bytes");
    }
    std::unique_ptr<ObserverBridge> bridge = observer != nullptr ? std::make_unique<ObserverBridge>(*observer) : nullptr;
    chk->chk->SetObserver(bridge.get());
    chk->observer = std::move(bridge);
    return VX_STATUS_OK;
  });
}

vx_status vx_chk_set_registry_folder(vx_chk* chk, const char* folder) {
  return Guarded(chk, "vx_chk_set_registry_folder", [&] {
    chk->registry->SetRegistryFolder(Text(folder));
    return VX_STATUS_OK;
  });
}

vx_status vx_chk_load_module(vx_chk* chk, const char* path) {
  return Guarded(chk, "vx_chk_load_module", [&] {
    if (path == nullptr || path[0] == '\0') {
      return Fail(VX_STATUS_INVALID_ARGUMENT, "vx_chk_load_module needs the path of a module");
    }
    chk->registry->LoadModule(path);
    return VX_STATUS_OK;
  });
}

vx_status vx_chk_set_isolation(vx_chk* chk, const vx_isolation_settings* settings) {
  return Guarded(chk, "vx_chk_set_isolation", [&] {
    if (settings == nullptr) {
      chk->registry->SetIsolation(nullptr);
      return VX_STATUS_OK;
    }
    if (settings->size < kIsolationSize) {
      return Fail(VX_STATUS_INVALID_ARGUMENT,
                  "vx_chk_set_isolation needs a vx_isolation_settings of at least sizeof(vx_isolation_settings) "
                  "bytes (start from VX_ISOLATION_SETTINGS_INIT)");
    }
    vardenix::IsolationSettings isolation;
    if (settings->time_limit_ms != 0) isolation.seconds = settings->time_limit_ms / 1000.0;
    if (settings->memory_limit_bytes != 0) isolation.memory_bytes = settings->memory_limit_bytes;
    if (settings->answer_limit_bytes != 0) isolation.answer_bytes = settings->answer_limit_bytes;
    isolation.host_path = Text(settings->host_path);
    isolation.sandbox = settings->sandbox != 0;
    isolation.sandbox_folder = Text(settings->sandbox_folder);
    std::shared_ptr<vardenix::ComponentHosts> hosts;
    try {
      hosts = vardenix::ComponentHosts::Make(std::move(isolation));
    } catch (const vardenix::RuntimeError& e) {
      return Fail(VX_STATUS_INVALID_ARGUMENT, e.what());
    }
    chk->registry->SetIsolation(std::move(hosts));
    return VX_STATUS_OK;
  });
}

}  // extern "C"
