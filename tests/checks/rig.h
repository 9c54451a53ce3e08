// A check object wired to recording fakes of the archive control and the scoring component, in a
// real temporary working folder with the real file system.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "checks/check_context.h"
#include "tests/support/fakes/recording_component.h"
#include "tests/support/fakes/scripted_random.h"
#include "tests/support/fakes/temp_dir.h"
#include "platform/platform.h"
#include "vardenix/envi_chk.h"

namespace vardenix::testing {

inline constexpr const char* kScorer = "Fake.Scorer";

struct Rig {
  Rig() {
    platform = std::make_shared<Platform>();
    platform->archive_control = [this]() -> DispatchObject& { return control; };
    platform->classes = &classes;
    platform->random = random;
    classes.RegisterRecording(kScorer, script);
    chk = std::make_unique<ClsEnviChk>(platform);
    chk->PingName(kScorer);
    chk->PingPath(dir.path());
  }

  // The component's part of the log: puts and reads only.
  std::vector<fakes::Call> ComponentCalls() const {
    std::vector<fakes::Call> calls;
    for (const auto& c : script->log) {
      if (c.kind == "put" || c.kind == "read") calls.push_back(c);
    }
    return calls;
  }

  fakes::TempDir dir;
  fakes::RecordingArchiveControl control;
  fakes::FakeClassRegistry classes;
  std::shared_ptr<fakes::ComponentScript> script = std::make_shared<fakes::ComponentScript>();
  std::shared_ptr<fakes::ScriptedRandom> random = std::make_shared<fakes::ScriptedRandom>();
  std::shared_ptr<Platform> platform;
  std::unique_ptr<ClsEnviChk> chk;
};

// The checks called directly, with the context a check object would give them.
struct DirectRig : Rig {
  std::string ping_path = dir.path();
  std::string ping_name = kScorer;
  std::string err_info;
  std::string err_info_xml;
  CheckContext ctx{*platform, ping_path, ping_name, ErrorAccumulators{err_info, err_info_xml, *platform->xml},
                   nullptr};
};

inline std::vector<uint8_t> SomeArchive() { return {'P', 'K', 3, 4, 0, 1, 2, 3, 4, 5}; }

}  // namespace vardenix::testing
