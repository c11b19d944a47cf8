// A check that throws ends its worker, but never takes its record out of the
// sweep: the record's queued mark is cleared on that way out too.
#include "monitor/statonly/FileMonitorStatOnly.h"
#include "support/TestSupport.h"

#include <stdexcept>

using namespace WindowsAgentCommon;
using namespace VantrelTest;

namespace {

class FailingOnceMonitor : public FileMonitorStatOnly {
 protected:
  int CheckFile(FileRecord &record, Log threadLog) override {
    if (!bFailed.exchange(true)) {
      throw std::runtime_error("the first check fails");
    }
    return FileMonitorStatOnly::CheckFile(record, threadLog);
  }

 private:
  std::atomic<bool> bFailed{false};
};

}  // namespace

TEST(CheckFailure, EndsTheWorkerAndTheRecordIsCheckedAgain) {
  LogCapture capture;
  TempDir dir;
  RecordingSink sink;
  FailingOnceMonitor monitor;
  monitor.Initialize({{"FileMonitor.ReaderThreadsMin", "2"},
                      {"EventLogMonitor.ScheduleExpirySweepPeriodMillis", "10"}});
  monitor.AddMonitor(dir.WPath(), &sink, 0, 0, true);
  ASSERT_TRUE(capture.WaitForText("BAD exception thrown."));
  EXPECT_TRUE(sink.WaitForCount(1)) << "the record was left marked queued and never checked again";
  EXPECT_TRUE(WaitUntil([&] { return monitor.thr_count() == 1; }));
  monitor.Stop();
  EXPECT_EQ(monitor.thr_count(), 0u);
}
