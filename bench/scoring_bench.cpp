// What one scoring run costs with an archive already in memory and a component that answers at
// once: staging the archive in the working folder, extraction, and the component's puts and reads.
// The second benchmark replaces the archive control by one that answers 0 without extracting, so the
// difference between the two is the extraction alone.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "bench/bench_data.h"
#include "checks/check_context.h"
#include "checks/scoring_run.h"
#include "tests/support/fakes/recording_component.h"
#include "tests/support/fakes/temp_dir.h"
#include "platform/platform.h"
#include "report/check_error_recorder.h"

namespace vardenix::bench {
namespace {

constexpr const char* kProgId = "Bench.InstantScorer";

// A component that takes every put and answers a full score with empty reports.
class InstantScorer final : public NamedObject {
 public:
  void Put(const std::string&, const Variant&) override {}
  Variant Read(const std::string& member) override {
    if (member == "ping") return Variant::R4(100.0f);
    return Variant::Text("");
  }
};

// Answers success to call 48 and writes nothing.
class NullArchiveControl final : public DispatchObject {
 public:
  void Put(int32_t, const Variant&) override {}
  Variant Get(int32_t) override { return Variant::Text(""); }
  Variant Call(int32_t, const std::vector<Variant>&) override { return Variant::I2(0); }
};

void RunScoringLoop(benchmark::State& state, bool extract) {
  const int files = static_cast<int>(state.range(0));
  const size_t bytes_each = static_cast<size_t>(state.range(1));
  const std::vector<uint8_t> archive = AnswerArchive(files, bytes_each);

  fakes::TempDir dir;
  fakes::FakeClassRegistry classes;
  classes.Register(kProgId, [] { return std::make_unique<InstantScorer>(); });
  NullArchiveControl null_control;
  Platform platform;
  platform.classes = &classes;
  if (!extract) platform.archive_control = [&null_control]() -> DispatchObject& { return null_control; };

  const std::string ping_path = dir.path();
  const std::string ping_name = kProgId;
  std::string err_info;
  std::string err_info_xml;
  CheckContext ctx{platform, ping_path, ping_name, ErrorAccumulators{err_info, err_info_xml, *platform.xml},
                   nullptr};

  for (auto _ : state) {
    std::string text;
    std::string xml;
    const ScoringResult result = RunScoring(ctx, "Result.Zip", archive, "1 exists doc/part0.txt", text, xml);
    if (result.outcome != ScoringOutcome::kScored) {
      state.SkipWithError("the archive control refused the archive");
      break;
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(archive.size()));
  state.counters["archive_bytes"] = static_cast<double>(archive.size());
}

void BM_ScoringRun(benchmark::State& state) { RunScoringLoop(state, true); }
void BM_ScoringRunWithoutExtraction(benchmark::State& state) { RunScoringLoop(state, false); }

// {files, bytes per file}: a question bank's typical archive (10 files, about 30 KB zipped), then
// larger ones.
BENCHMARK(BM_ScoringRun)->Args({10, 4096})->Args({10, 100 << 10})->Args({100, 100 << 10})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ScoringRunWithoutExtraction)->Args({10, 4096})->Args({10, 100 << 10})->Args({100, 100 << 10})
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace vardenix::bench
