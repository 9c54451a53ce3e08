// What the RuleErrs report routines cost as a report grows.
//
// Each routine parses its whole input and serialises its whole output, so one call costs time in
// proportion to the report; the chain below is how the subject check uses MergeXml, one merge per
// failed record, which makes a whole check cost the square of its failed records. The fitted
// curves (BigO rows) say how each one grows.
#include <benchmark/benchmark.h>

#include <string>

#include "bench/bench_data.h"
#include "report/mod_xml_rw.h"

namespace vardenix::bench {
namespace {

// One merge: a report of N entries with a report of one more.
void BM_MergeXmlOneMore(benchmark::State& state) {
  const std::string report = ReportWithEntries(static_cast<int>(state.range(0)));
  const std::string one = OneEntryReport();
  for (auto _ : state) {
    std::string merged = MergeXml(report, one);
    benchmark::DoNotOptimize(merged);
  }
  state.SetComplexityN(state.range(0));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(report.size()));
  state.counters["report_bytes"] = static_cast<double>(report.size());
}
BENCHMARK(BM_MergeXmlOneMore)->Arg(10)->Arg(100)->Arg(1000)->Arg(10000)->Complexity()->Unit(benchmark::kMicrosecond);

// A chain of N merges from an empty report, one entry each, as the subject check builds its report
// from N failed records.
void BM_MergeXmlChain(benchmark::State& state) {
  const int merges = static_cast<int>(state.range(0));
  const std::string one = OneEntryReport();
  size_t final_size = 0;
  for (auto _ : state) {
    std::string report;
    for (int i = 0; i < merges; ++i) report = MergeXml(report, one);
    final_size = report.size();
    benchmark::DoNotOptimize(report);
  }
  state.SetComplexityN(state.range(0));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * merges);
  state.counters["report_bytes"] = static_cast<double>(final_size);
}
BENCHMARK(BM_MergeXmlChain)->Arg(10)->Arg(100)->Arg(300)->Arg(1000)->Arg(2000)->Complexity()
    ->Unit(benchmark::kMillisecond);

// The same N merges through ReportMerger, which the subject check uses: the growing report is parsed
// once and written out once.
void BM_ReportMergerChain(benchmark::State& state) {
  const int merges = static_cast<int>(state.range(0));
  const std::string one = OneEntryReport();
  size_t final_size = 0;
  for (auto _ : state) {
    ReportMerger merger("");
    for (int i = 0; i < merges; ++i) merger.Merge(one);
    std::string report = merger.Result();
    final_size = report.size();
    benchmark::DoNotOptimize(report);
  }
  state.SetComplexityN(state.range(0));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * merges);
  state.counters["report_bytes"] = static_cast<double>(final_size);
}
BENCHMARK(BM_ReportMergerChain)->Arg(10)->Arg(100)->Arg(300)->Arg(1000)->Arg(2000)->Complexity()
    ->Unit(benchmark::kMillisecond);

// One AddRuleErr on a report of N entries (the copy of the report that each iteration starts from
// is included; it is a memcpy, small beside the parse).
void BM_AddRuleErr(benchmark::State& state) {
  const std::string report = ReportWithEntries(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    std::string grown = report;
    AddRuleErr(grown, "1 exists a.txt", "文件 a.txt 不存在", "检查考生文件夹中的文件", "题面要求操作：a.txt 存在\r\n",
               "实际操作结果：文件不存在\r\n", "", "");
    benchmark::DoNotOptimize(grown);
  }
  state.SetComplexityN(state.range(0));
  state.counters["report_bytes"] = static_cast<double>(report.size());
}
BENCHMARK(BM_AddRuleErr)->Arg(1)->Arg(10)->Arg(100)->Arg(1000)->Arg(10000)->Complexity()
    ->Unit(benchmark::kMicrosecond);

// N AddRuleErr calls from a blank report, as the check-error recorder grows its report.
void BM_AddRuleErrChain(benchmark::State& state) {
  const int adds = static_cast<int>(state.range(0));
  for (auto _ : state) {
    std::string report;
    for (int i = 0; i < adds; ++i) {
      AddRuleErr(report, "", "科目库检查", "", "", "", "运行时错误", "");
    }
    benchmark::DoNotOptimize(report);
  }
  state.SetComplexityN(state.range(0));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * adds);
}
BENCHMARK(BM_AddRuleErrChain)->Arg(10)->Arg(100)->Arg(1000)->Complexity()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vardenix::bench
