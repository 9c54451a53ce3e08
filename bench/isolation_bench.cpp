// What hosting a scoring component out of process costs per scoring run: the component's create,
// four puts, three reads and release (Vardenix.FileCheck grading one rule in a real folder), in this
// process, in a component host process kept across runs, in a new host process for every run, and
// as the Python program example started for every run.
#include <benchmark/benchmark.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "hosting/component_registry.h"
#include "hosting/component_isolation.h"
#include "hosting/component_records.h"
#include "tests/support/fakes/temp_dir.h"

namespace vardenix::bench {
namespace {

constexpr const char* kProgId = "Vardenix.FileCheck";

void OneRun(ClassRegistry& registry, const std::string& prog_id, const std::string& folder) {
  auto component = registry.Create(prog_id);
  component->Put("TestPath", Variant::Text(folder));
  component->Put("AnsCont", Variant::Text("1 exists doc/a.txt"));
  component->Put("GetTotalScore", Variant::I2(100));
  component->Put("ErrInfoType", Variant::I2(63));
  if (ToSingle(component->Read("ping")) != 100.0f) throw std::runtime_error("the rule was not met");
  benchmark::DoNotOptimize(component->Read("ShowErr"));
  benchmark::DoNotOptimize(component->Read("ErrMsgXml"));
}

struct Folder {
  Folder() {
    fakes::MakeDirs(dir / "doc");
    dir.Write("doc/a.txt", "answer");
  }
  fakes::TempDir dir;
};

IsolationSettings Settings() {
  IsolationSettings settings;
  settings.host_path = BENCH_COMPONENT_HOST;
  return settings;
}

void BM_ComponentInProcess(benchmark::State& state) {
  Folder folder;
  ComponentRegistry registry;
  registry.LoadModule(BENCH_FILECHECK_MODULE);
  for (auto _ : state) OneRun(registry, kProgId, folder.dir.path());
}
BENCHMARK(BM_ComponentInProcess)->Unit(benchmark::kMicrosecond);

void BM_ComponentKeptHostProcess(benchmark::State& state) {
  Folder folder;
  ComponentRegistry registry;
  registry.SetIsolation(ComponentHosts::Make(Settings()));
  registry.LoadModule(BENCH_FILECHECK_MODULE);
  for (auto _ : state) OneRun(registry, kProgId, folder.dir.path());
}
BENCHMARK(BM_ComponentKeptHostProcess)->Unit(benchmark::kMicrosecond);

void BM_ComponentHostProcessPerRun(benchmark::State& state) {
  Folder folder;
  ComponentRegistry registry;
  registry.LoadModule(BENCH_FILECHECK_MODULE);  // in this process, for its ProgIDs
  for (auto _ : state) {
    // A new set of hosts has no idle host process: every run starts one, and it ends with the set.
    registry.SetIsolation(ComponentHosts::Make(Settings()));
    OneRun(registry, kProgId, folder.dir.path());
    registry.SetIsolation(nullptr);
  }
}
BENCHMARK(BM_ComponentHostProcessPerRun)->Unit(benchmark::kMicrosecond);

void BM_ComponentPythonProgram(benchmark::State& state) {
  Folder folder;
  fakes::TempDir records;
  ComponentRegistry registry(records.path());
  RegisterProgram(records.path(), "Bench.PyFileCheck", {"python3", BENCH_EXAMPLE_COMPONENTS "/filecheck.py"});
  for (auto _ : state) OneRun(registry, "Bench.PyFileCheck", folder.dir.path());
}
BENCHMARK(BM_ComponentPythonProgram)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vardenix::bench
