#include "tests/support/fakes/recording_component.h"

#include "vardenix/error.h"

namespace vardenix::fakes {

RecordingComponent::RecordingComponent(std::shared_ptr<ComponentScript> script)
    : script_(std::move(script)) {
  ++script_->created;
}

RecordingComponent::~RecordingComponent() {
  ++script_->released;
  script_->log.push_back({"release", "", Variant()});
}

void RecordingComponent::Put(const std::string& member, const Variant& value) {
  script_->log.push_back({"put", member, value});
  if (member == script_->fail_member) throw RuntimeError(script_->fail_message);
  static const char* const kKnown[] = {"TestPath", "AnsCont", "GetTotalScore", "ErrInfoType"};
  for (const char* known : kKnown) {
    if (member == known) {
      script_->puts[member] = value;
      return;
    }
  }
  throw RuntimeError("Object doesn't support this property or method: " + member);
}

Variant RecordingComponent::Read(const std::string& member) {
  script_->log.push_back({"read", member, Variant()});
  if (member == script_->fail_member) throw RuntimeError(script_->fail_message);
  if (member == "ping") return script_->ping_hook ? script_->ping_hook(*script_) : script_->ping;
  if (member == "ShowErr") return script_->show_err;
  if (member == "ErrMsgXml") return script_->err_msg_xml;
  throw RuntimeError("Object doesn't support this property or method: " + member);
}

void FakeClassRegistry::Register(const std::string& prog_id, Factory factory) {
  factories_[prog_id] = std::move(factory);
}

void FakeClassRegistry::RegisterRecording(const std::string& prog_id,
                                          std::shared_ptr<ComponentScript> script) {
  Register(prog_id, [script] { return std::make_unique<RecordingComponent>(script); });
}

std::unique_ptr<NamedObject> FakeClassRegistry::Create(const std::string& prog_id) {
  ++create_calls;
  auto it = factories_.find(prog_id);
  if (it == factories_.end()) {
    throw RuntimeError("cannot create the component \"" + prog_id + "\": no class is registered under this ProgID");
  }
  return it->second();
}

void RecordingArchiveControl::Put(int32_t dispid, const Variant& value) {
  log.push_back({"put", std::to_string(dispid), value});
  if (fail_at == "put:" + std::to_string(dispid)) throw RuntimeError("archive control rejected " + std::to_string(dispid));
  properties[dispid] = value;
}

Variant RecordingArchiveControl::Get(int32_t dispid) {
  log.push_back({"get", std::to_string(dispid), Variant()});
  auto it = properties.find(dispid);
  return it == properties.end() ? Variant() : it->second;
}

Variant RecordingArchiveControl::Call(int32_t dispid, const std::vector<Variant>& args) {
  log.push_back({"call", std::to_string(dispid), args.empty() ? Variant() : args.front()});
  if (fail_at == "call:" + std::to_string(dispid)) throw RuntimeError("archive control failed " + std::to_string(dispid));
  if (on_extract) on_extract(properties);
  return answer;
}

}  // namespace vardenix::fakes
