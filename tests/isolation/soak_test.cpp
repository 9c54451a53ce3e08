// A few hundred isolated checks on one check object, a crashing component every fiftieth: the
// checking process keeps its memory, descriptors and child processes flat while host processes come
// and go.
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "hosting/component_process.h"
#include "rig.h"

namespace vardenix::isolation_test {
namespace {

constexpr int kChecks = 300;
constexpr int kCrashEvery = 50;
#if defined(__SANITIZE_ADDRESS__)
// Freed memory waits in the sanitizer's quarantine (256 MiB by default) before it is reused, which
// would hide real growth behind the quarantine filling up; a small one keeps the figure meaningful.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=4"; }
constexpr long kMarginKib = 4 * 1024;  // the sanitizer's allocator
#else
constexpr long kMarginKib = 1024;
#endif

long ResidentKib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

std::vector<std::string> OpenDescriptors() {
  std::vector<std::string> fds;
  DIR* dir = ::opendir("/proc/self/fd");
  if (!dir) return fds;
  const int own = ::dirfd(dir);
  while (const dirent* e = ::readdir(dir)) {
    const std::string name = e->d_name;
    if (name == "." || name == ".." || name == std::to_string(own)) continue;
    char target[4096];
    const ssize_t n = ::readlink(("/proc/self/fd/" + name).c_str(), target, sizeof target);
    // Kind without inode: the host process's socket and pipe are new after a crash.
    std::string what(target, n > 0 ? static_cast<size_t>(n) : 0);
    what = what.substr(0, what.find(':'));
    fds.push_back(name + " -> " + what);
  }
  ::closedir(dir);
  return fds;
}

TEST(IsolationSoak, HundredsOfChecksWithACrashEveryFiftieth) {
  Rig rig;
  auto check = rig.Check();
  int failed = 0;
  const auto one = [&](int n) {
    const bool crash = n % kCrashEvery == kCrashEvery - 1;
    const Verdict v = RunCheck(*check, crash ? "Hostile.Segv" : "Hostile.Good");
    EXPECT_EQ(v.passed, !crash) << "check " << n << ": " << v.text.substr(0, 300);
    failed += !v.passed;
  };
  // The first checks make what lives on (the archive control, a host process).
  for (int n = 0; n < 10; ++n) one(n);
  const std::vector<std::string> fds_before = OpenDescriptors();
  const long rss_before = ResidentKib();
  for (int n = 10; n <= kChecks; ++n) one(n);  // the last one is a good one
  const long rss_after = ResidentKib();
  const std::vector<pid_t> children = ChildrenOf(::getpid());

  std::printf("isolation soak: %d checks, %d failed; resident %ld -> %ld KiB; %zu descriptors; children %zu\n",
              kChecks + 1, failed, rss_before, rss_after, fds_before.size(), children.size());
  EXPECT_EQ(failed, kChecks / kCrashEvery);
  EXPECT_LT(rss_after - rss_before, kMarginKib) << "resident memory kept growing";
  EXPECT_EQ(OpenDescriptors(), fds_before) << "a descriptor was left open";
  // The one host process kept for the next check, and nothing else.
  EXPECT_EQ(children.size(), 1u);
  EXPECT_EQ(rig.hosts->IdleHostIds().size(), 1u);
}

}  // namespace
}  // namespace vardenix::isolation_test
