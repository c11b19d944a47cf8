// The notification monitor's cost of one check, beside the bare stat that
// every check must make (BM_StatFloor): a file costs a stat and an open, read
// and close of a handle; a directory a stat, a refused open and a poll of its
// change notification, whatever the number of its entries.
#include "BenchSupport.h"
#include "monitor/nofsredirect/FileMonitorNoFSRedirect.h"

#include <Platform/Win32Api.h>
#include <VantrelCommon/Logger.h>

#include <benchmark/benchmark.h>

using namespace WindowsAgentCommon;

namespace {

// Checks a record on the calling thread, as a worker would; no threads, no
// timers (the pool floor is 0, and the monitor only counts as running so
// that it accepts the registration).
class NotificationBenchProbe : public FileMonitorNoFSRedirect {
 public:
  NotificationBenchProbe() {
    usReaderThreadsMin = 0;
    bInitialized = true;
  }
  int Check(const std::wstring &path) {
    FileRecord &record = *mapFiles.at(path);
    if (NeedsInitialScan(record)) {
      InitialScan(record);
    }
    return CheckFile(record, log);
  }
};

class NullSink : public IFileMonitorSink {
 public:
  void OnFileChanged(const std::int64_t &, unsigned int) override {}
};

void BM_NotificationCheckFile(benchmark::State &state) {
  LoggerFactory::SetLevel(LogLevel::Info);
  VantrelBench::ScratchDir dir;
  const std::wstring path = VantrelPlatform::FromUtf8(dir.File("app.log", 4096));
  NullSink sink;
  NotificationBenchProbe probe;
  probe.AddMonitor(path, &sink, 1000, 0, false);
  for (auto _ : state) {
    benchmark::DoNotOptimize(probe.Check(path));
  }
}
BENCHMARK(BM_NotificationCheckFile);

void BM_NotificationCheckDirectory(benchmark::State &state) {
  LoggerFactory::SetLevel(LogLevel::Info);
  VantrelBench::ScratchDir dir;
  const std::wstring path = VantrelPlatform::FromUtf8(dir.Dir("logs", static_cast<int>(state.range(0))));
  NullSink sink;
  NotificationBenchProbe probe;
  probe.AddMonitor(path, &sink, 1000, 0, false);
  for (auto _ : state) {
    benchmark::DoNotOptimize(probe.Check(path));
  }
}
BENCHMARK(BM_NotificationCheckDirectory)->Arg(10)->Arg(1000);

}  // namespace
