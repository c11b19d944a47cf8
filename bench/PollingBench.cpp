// The polling monitor's costs: one check of a file or a directory against
// the bare stat that every check must make, one sweep over a large table
// of which 1 % is due, and registration.
#include "BenchSupport.h"
#include "monitor/statonly/FileMonitorStatOnly.h"

#include <sys/stat.h>

#include <cwchar>
#include <memory>
#include <vector>

using namespace WindowsAgentCommon;

namespace {

typedef VantrelBench::CheckProbe<FileMonitorStatOnly> PollingBenchProbe;
using VantrelBench::NullSink;

void BM_StatFloor(benchmark::State &state) {
  VantrelBench::ScratchDir dir;
  const std::string file = dir.File("app.log", 4096);
  struct stat st;
  for (auto _ : state) {
    benchmark::DoNotOptimize(::stat(file.c_str(), &st));
  }
}
BENCHMARK(BM_StatFloor);

void BM_PollingCheckFile(benchmark::State &state) {
  VantrelBench::ScratchDir dir;
  VantrelBench::CheckOnePath<FileMonitorStatOnly>(state, dir.File("app.log", 4096));
}
BENCHMARK(BM_PollingCheckFile);

void BM_PollingCheckFileReportingReplacement(benchmark::State &state) {
  VantrelBench::ScratchDir dir;
  VantrelBench::CheckOnePath<FileMonitorStatOnly>(state, dir.File("app.log", 4096), true);
}
BENCHMARK(BM_PollingCheckFileReportingReplacement);

void BM_PollingCheckDirectory(benchmark::State &state) {
  VantrelBench::ScratchDir dir;
  VantrelBench::CheckOnePath<FileMonitorStatOnly>(state, dir.Dir("logs", static_cast<int>(state.range(0))));
}
BENCHMARK(BM_PollingCheckDirectory)->Arg(10)->Arg(100);

// A table of N records of which 1 % are due at every sweep (interval 0) and
// the rest an hour away. Only the sweep itself is timed.
void BM_Sweep(benchmark::State &state) {
  LoggerFactory::SetLevel(LogLevel::Info);
  const auto records = static_cast<int>(state.range(0));
  NullSink sink;
  PollingBenchProbe probe;
  for (int i = 0; i < records; ++i) {
    const std::wstring path = L"/var/log/bench/host" + std::to_wstring(i) + L"/app.log";
    probe.AddMonitor(path, &sink, i % 100 == 0 ? 0u : 3600u * 1000u, 0, false);
  }
  for (auto _ : state) {
    probe.Sweep();
    state.PauseTiming();
    probe.Rearm();
    state.ResumeTiming();
  }
  state.counters["due"] = records / 100;
}
BENCHMARK(BM_Sweep)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);

// The same table with nothing due: what a sweep costs when there is no work.
void BM_SweepNothingDue(benchmark::State &state) {
  LoggerFactory::SetLevel(LogLevel::Info);
  NullSink sink;
  PollingBenchProbe probe;
  for (int i = 0; i < static_cast<int>(state.range(0)); ++i) {
    probe.AddMonitor(L"/var/log/bench/host" + std::to_wstring(i) + L"/app.log", &sink, 3600u * 1000u, 0, false);
  }
  for (auto _ : state) {
    probe.Sweep();
  }
}
BENCHMARK(BM_SweepNothingDue)->Arg(100000)->Unit(benchmark::kMicrosecond);

// Registration, AddMonitor by AddMonitor, of N distinct 40-character paths
// into an empty monitor: the table, the registry and the due index grow with
// every call. The paths are made, and the monitor destroyed, off the clock.
void BM_Register(benchmark::State &state) {
  LoggerFactory::SetLevel(LogLevel::Info);
  const auto count = static_cast<std::size_t>(state.range(0));
  std::vector<std::wstring> paths;
  paths.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    wchar_t name[64];
    std::swprintf(name, 64, L"/var/log/bench/d%03zu/f%015zu.log", i / 10000, i);
    paths.emplace_back(name);
  }
  NullSink sink;
  for (auto _ : state) {
    auto probe = std::make_unique<PollingBenchProbe>();
    for (const auto &path : paths) {
      probe->AddMonitor(path, &sink, 60000, 0, true);
    }
    state.PauseTiming();
    probe.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(count));
}
BENCHMARK(BM_Register)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
