// What the isolation tests share: a registry whose modules run in component host processes with
// small limits, a check object over it, and looks at the processes of the machine.
#pragma once

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "hosting/component_registry.h"
#include "hosting/component_isolation.h"
#include "tests/support/fakes/temp_dir.h"
#include "tests/support/fakes/zip_writer.h"
#include "platform/platform.h"
#include "vardenix/envi_chk.h"

namespace vardenix::isolation_test {

// Small limits, so that a breach is met quickly.
constexpr double kSeconds = 1.0;
constexpr uint64_t kMemory = uint64_t{512} << 20;
constexpr uint64_t kAnswer = uint64_t{8} << 20;
// A breach is answered within its time limit plus half a second; the rest is room for a loaded
// machine (this is a bound on correctness, not a speed figure).
constexpr double kAnswerMargin = 0.5 + 2.0;

inline IsolationSettings SmallLimits() {
  IsolationSettings settings;
  settings.seconds = kSeconds;
  settings.memory_bytes = kMemory;
  settings.answer_bytes = kAnswer;
  settings.host_path = COMPONENT_HOST;
  return settings;
}

// A registry that runs modules out of process, with the hostile module loaded (in a host process)
// and registration records in `records`.
struct Rig {
  explicit Rig(IsolationSettings settings = SmallLimits()) : hosts(ComponentHosts::Make(std::move(settings))) {
    registry.SetIsolation(hosts);
    registry.LoadModule(HOSTILE_MODULE);
    registry.SetRegistryFolder(records.path());
    platform->classes = &registry;
  }

  // A check object over the registry, working in `work`.
  std::unique_ptr<ClsEnviChk> Check() {
    auto check = std::make_unique<ClsEnviChk>(platform);
    check->PingPath(work.path());
    return check;
  }

  fakes::TempDir records;
  fakes::TempDir work;
  std::shared_ptr<ComponentHosts> hosts;
  ComponentRegistry registry;
  std::shared_ptr<Platform> platform = std::make_shared<Platform>();
};

inline std::vector<uint8_t> AnswerArchive() {
  return fakes::BuildZip({{"answer/", "", fakes::ZipEntryType::kFolder}, {"answer/report.txt", "done"}});
}

struct Verdict {
  bool passed = false;
  std::string text;
  std::string xml;
  double seconds = 0;
};

// The typical-document check with the answer text "perfect" (full marks from a component that works).
inline Verdict RunCheck(ClsEnviChk& check, const std::string& prog_id) {
  check.PingName(prog_id);
  std::vector<uint8_t> archive = AnswerArchive();
  Verdict v;
  const auto start = std::chrono::steady_clock::now();
  v.passed = check.PingEnviChk(v.text, v.xml, archive, "perfect", ChkResultDoc);
  v.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return v;
}

// A process is running: there, and not a zombie.
inline bool Running(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return false;
  const auto close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
}

// The running processes of the process group `group`.
inline std::vector<pid_t> GroupMembers(pid_t group) {
  std::vector<pid_t> members;
  DIR* dir = ::opendir("/proc");
  if (dir == nullptr) return members;
  while (const dirent* e = ::readdir(dir)) {
    const pid_t pid = static_cast<pid_t>(std::atoi(e->d_name));
    if (pid <= 0) continue;
    std::ifstream stat(std::string("/proc/") + e->d_name + "/stat");
    std::string line;
    if (!std::getline(stat, line)) continue;
    const auto close = line.rfind(')');
    if (close == std::string::npos) continue;
    char state = 0;
    long ppid = 0, pgrp = 0;
    if (std::sscanf(line.c_str() + close + 1, " %c %ld %ld", &state, &ppid, &pgrp) == 3 && pgrp == group &&
        state != 'Z') {
      members.push_back(pid);
    }
  }
  ::closedir(dir);
  return members;
}

// The running processes whose command line holds `marker`.
inline std::vector<pid_t> ProcessesWith(const std::string& marker) {
  std::vector<pid_t> found;
  DIR* dir = ::opendir("/proc");
  if (dir == nullptr) return found;
  while (const dirent* e = ::readdir(dir)) {
    const pid_t pid = static_cast<pid_t>(std::atoi(e->d_name));
    if (pid <= 0 || pid == ::getpid()) continue;
    std::ifstream in(std::string("/proc/") + e->d_name + "/cmdline", std::ios::binary);
    const std::string cmdline((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (cmdline.find(marker) != std::string::npos && Running(pid)) found.push_back(pid);
  }
  ::closedir(dir);
  return found;
}

// Waits (ten seconds at most, for a loaded machine) for `gone` to hold: a killed process is reaped
// by its new parent soon, not at once.
template <class Predicate>
bool Eventually(Predicate gone) {
  for (int i = 0; i < 1000; ++i) {
    if (gone()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return gone();
}

}  // namespace vardenix::isolation_test
