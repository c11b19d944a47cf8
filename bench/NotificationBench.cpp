// The notification monitor's cost of one check, beside the bare stat that
// every check must make (BM_StatFloor): a file costs a stat and an open, read
// and close of a handle; a directory a stat, a refused open and a poll of its
// change notification, whatever the number of its entries.
#include "BenchSupport.h"
#include "monitor/nofsredirect/FileMonitorNoFSRedirect.h"

using WindowsAgentCommon::FileMonitorNoFSRedirect;

namespace {

void BM_NotificationCheckFile(benchmark::State &state) {
  VantrelBench::ScratchDir dir;
  VantrelBench::CheckOnePath<FileMonitorNoFSRedirect>(state, dir.File("app.log", 4096));
}
BENCHMARK(BM_NotificationCheckFile);

void BM_NotificationCheckFileReportingReplacement(benchmark::State &state) {
  VantrelBench::ScratchDir dir;
  VantrelBench::CheckOnePath<FileMonitorNoFSRedirect>(state, dir.File("app.log", 4096), true);
}
BENCHMARK(BM_NotificationCheckFileReportingReplacement);

void BM_NotificationCheckDirectory(benchmark::State &state) {
  VantrelBench::ScratchDir dir;
  VantrelBench::CheckOnePath<FileMonitorNoFSRedirect>(state, dir.Dir("logs", static_cast<int>(state.range(0))));
}
BENCHMARK(BM_NotificationCheckDirectory)->Arg(10)->Arg(1000);

}  // namespace
