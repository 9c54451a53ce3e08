// Recording fakes of the late-bound seams, for tests and benchmarks.
//
// RecordingComponent logs every put and read (member, value, automation type) into a shared
// ComponentScript and answers the script's values; FakeClassRegistry creates it by ProgID.
// RecordingArchiveControl logs dispatch-id puts and calls and answers a scripted code.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/class_registry.h"
#include "platform/late_bound.h"

namespace vardenix::fakes {

struct Call {
  std::string kind;    // "put", "read", "get", "call", "create", "release"
  std::string member;  // member name, or the dispatch id in decimal
  Variant value;       // the value put, or the first argument of a call
  bool operator==(const Call&) const = default;
};

// What a recording component answers, and what it was asked.
struct ComponentScript {
  Variant ping = Variant::R4(100.0f);
  Variant show_err = Variant::Text("");
  Variant err_msg_xml = Variant::Text("");
  // A member whose put or read raises, with this message.
  std::string fail_member;
  std::string fail_message = "component failure";
  // Called on each read of "ping" (for example to vary the score by record).
  std::function<Variant(const ComponentScript&)> ping_hook;
  // Everything the component was asked, in order, across all instances.
  std::vector<Call> log;
  int created = 0;
  int released = 0;
  // Last values put, by member.
  std::map<std::string, Variant> puts;
};

class RecordingComponent final : public NamedObject {
 public:
  explicit RecordingComponent(std::shared_ptr<ComponentScript> script);
  ~RecordingComponent() override;
  void Put(const std::string& member, const Variant& value) override;
  Variant Read(const std::string& member) override;

 private:
  std::shared_ptr<ComponentScript> script_;
};

// A registry of in-process factories; unknown ProgIDs fail like the real registry.
class FakeClassRegistry final : public ClassRegistry {
 public:
  using Factory = std::function<std::unique_ptr<NamedObject>()>;
  void Register(const std::string& prog_id, Factory factory);
  // Registers a RecordingComponent class answering from `script`.
  void RegisterRecording(const std::string& prog_id, std::shared_ptr<ComponentScript> script);
  std::unique_ptr<NamedObject> Create(const std::string& prog_id) override;
  int create_calls = 0;

 private:
  std::map<std::string, Factory> factories_;
};

class RecordingArchiveControl final : public DispatchObject {
 public:
  void Put(int32_t dispid, const Variant& value) override;
  Variant Get(int32_t dispid) override;
  Variant Call(int32_t dispid, const std::vector<Variant>& args) override;

  Variant answer = Variant::I2(0);  // what call 48 answers
  std::string fail_at;              // "put:<id>" or "call:<id>" raises
  // Run on call 48 before it answers (for example to extract for real).
  std::function<void(const std::map<int32_t, Variant>&)> on_extract;
  std::vector<fakes::Call> log;
  std::map<int32_t, Variant> properties;
};

}  // namespace vardenix::fakes
