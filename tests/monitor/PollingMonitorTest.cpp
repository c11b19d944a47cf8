// The polling monitor: its checks, driven one at a time on the test's thread
// where the flags are the point, and end to end through the sweep and the
// workers where the pipeline is.
#include "monitor/statonly/FileMonitorStatOnly.h"
#include "support/TestSupport.h"

#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

using namespace WindowsAgentCommon;
using namespace VantrelTest;

namespace {

typedef CheckProbeTest<FileMonitorStatOnly> PollingChecks;
typedef LogAndDirTest PollingMonitor;

}  // namespace

// A shrink to 0.99 of the size before growth is a revert, and 0.98 is none;
// a size past 4 GiB reads as its low 32 bits, here a shrink.
TEST_F(PollingChecks, TheRatioBorderAndSizesPastFourGibibytes) {
  for (const auto &[newSize, expected] : {std::pair<std::size_t, unsigned int>{99000, kSmaller | kReverted},
                                          {98000, kSmaller},
                                          {(std::size_t{1} << 32) + 10, kSmaller}}) {
    const std::string name = "big" + std::to_string(newSize);
    const std::string file = dir.Write(name, std::string(100000, 'a'));
    SetWriteTime(file, 3000000);
    const std::wstring path = Watch(name);
    TruncateFile(file, newSize);
    SetWriteTime(file, 3000000);
    EXPECT_EQ(probe.Check(path), static_cast<int>(expected)) << newSize;
  }
}

TEST_F(PollingChecks, MissingParentWarnsAtMostOnceAMinuteAndIsAcceptedSilently) {
  const std::string parent = dir.Join("not-yet");
  const std::wstring path = dir.WJoin("not-yet/app.log");
  probe.AddMonitor(path, &sink, 1000, 0, false);  // its first check takes the baseline
  const std::string warning = "There was a problem trying to get file statistics on file " +
                              parent + "/app.log; will try again later. Reason: ";
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(probe.Check(path), 0);
    EXPECT_EQ(capture.CountContaining(warning), 1u) << "at the first check, then once a minute";
  }
  EXPECT_EQ(probe.Record(path).initError, static_cast<std::uint32_t>(ERROR_PATH_NOT_FOUND));
  EXPECT_TRUE(probe.Record(path).initialized);
#if !defined(_WIN32)
  // The time of day set back an hour does not silence it for that hour.
  {
    SteppedClock clock;
    clock.step = -3600LL * 1000000;
    EXPECT_EQ(probe.Check(path), 0);
  }
  EXPECT_EQ(capture.CountContaining(warning), 2u);
#endif

  MakeDir(parent);
  WriteFile(parent + "/app.log", "x");
  EXPECT_EQ(probe.Check(path), 0);
  EXPECT_EQ(probe.Record(path).lastWarnTime, 0);
}

#if !defined(_WIN32)  // POSIX only
TEST_F(PollingChecks, ABaselineThatFailedForAnotherReasonIsTakenAgain) {
  // ELOOP is neither "missing" nor "missing parent": the baseline is retried.
  const std::string loop = dir.Join("loop");
  ASSERT_EQ(symlink(loop.c_str(), loop.c_str()), 0);
  const std::wstring path = Watch("loop");
  EXPECT_FALSE(probe.Record(path).initialized);
  EXPECT_EQ(probe.Check(path), 0);
  ASSERT_EQ(unlink(loop.c_str()), 0);
  WriteFile(loop, "now a file");
  EXPECT_EQ(probe.Check(path), 0) << "the new baseline finds the file; nothing to report";
  EXPECT_TRUE(probe.Record(path).LastAttributes());
}
#endif

// ---------------------------------------------------------------------------
// End to end: sweep, queue, workers.

// Workers start with the first registration, before Initialize, but checks
// wait for it; a growth is reported under the path's key with the exact log
// lines; a second Initialize is ignored with a warning; after Stop a
// registration is taken but starts no worker.
TEST_F(PollingMonitor, WorkersStartBeforeInitializeAndAGrowthIsReportedWithItsLogLines) {
  const std::string file = dir.Write("app.log", "start\n");
  SetWriteTime(file, 7000000);
  const std::wstring path = Wide(file);
  RecordingSink sink;
  FileMonitorStatOnly monitor;
  monitor.AddMonitor(path, &sink, 20, 0, false);
  EXPECT_EQ(monitor.thr_count(), 5u) << "the pool floor's default";
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(capture.CountContaining("CHECK File"), 0u) << "a check before Initialize";
  monitor.Initialize(FastSettings());
  // The second check comes after the baseline, which the first one took.
  ASSERT_TRUE(capture.WaitForText("CHECK File " + file, 2));
  AppendFile(file, "more\n");
  ASSERT_TRUE(sink.WaitForCount(1));
  EXPECT_EQ(Named(monitor, sink).front(), std::make_pair(path, kModified | kLarger));
  monitor.Initialize(FastSettings());
  monitor.Stop();
  monitor.AddMonitor(dir.WJoin("late"), &sink, 10, 0, false);
  EXPECT_TRUE(monitor.IsMonitored(dir.WJoin("late")));
  EXPECT_EQ(monitor.thr_count(), 0u);
  // "Waiting...": Stop waits without polling the thread count.
  EXPECT_TRUE(capture.Logged({{"Initialize called on a monitor that is already initialized; ignored.", 1},
                              {"Adding monitor for " + file + "  check: 20  hCreds: 0  wantIdle: 0", 1},
                              {"File changed 10 - " + file, 1}, {"Waiting...", 1}}));
}

namespace {

// A running monitor without timers: only explicit sweeps, and the ones that
// its workers start once they have drained the queue, queue checks.
struct UntimedPollingMonitor : FileMonitorStatOnly {
  explicit UntimedPollingMonitor(unsigned short workers = 1) {
    usReaderThreadsMin = workers;
    bInitialized = true;
  }
  void SetPeriod(unsigned int millis) { ulCheckPeriodMillis = millis; }
  // A sweep called with the monitor lock held, as a subclass of a host may.
  void CheckFilesHoldingTheLock() {
    ACE_Guard<ACE_Recursive_Thread_Mutex> held(mtxMonitor);
    CheckFiles();
  }
};

struct FailingOnceMonitor : FileMonitorStatOnly {
  int CheckFile(FileRecord &record, const Log &threadLog, const FileMonitorMessage::PathUnits &sent) override {
    if (!failed.exchange(true)) throw std::runtime_error("the first check fails");
    return FileMonitorStatOnly::CheckFile(record, threadLog, sent);
  }
  std::atomic<bool> failed{false};
};

}  // namespace

// A registration that cannot be made leaves the table as it was and is said
// with its reason, once a minute however often a reader tries.
TEST_F(PollingMonitor, AFailedRegistrationIsSaidWithItsReasonOnceAMinute) {
  struct FullMonitor : FileMonitorStatOnly {
    FullMonitor() { usReaderThreadsMin = 1; }
    std::shared_ptr<FileRecord> NewRecord(const std::wstring &path, const ACE_Time_Value &interval,
                                          std::uint64_t hCreds, bool wantIdle) override {
      if (full) throw std::length_error("no room for another record");
      return FileMonitorStatOnly::NewRecord(path, interval, hCreds, wantIdle);
    }
    bool full = true;
  } monitor;
  RecordingSink sink;
  for (bool full : {true, true, false}) {
    monitor.full = full;
    monitor.AddMonitor(dir.WJoin("a.log"), &sink, 1000, 0, false);
    EXPECT_EQ(monitor.IsMonitored(dir.WJoin("a.log")), !full);
  }
  EXPECT_EQ(capture.CountContaining("no room for another record"), 1u);
  monitor.Stop();
}

// More records fall due than the queue holds messages (1,866) while the one
// worker is held up by its receiver: the sweep queues what fits and warns at
// most once a minute; the rest follows as soon as the worker has drained the
// queue, without a timer's tick, and no record is left out.
TEST_F(PollingMonitor, AFullQueueDefersChecksWithoutLosingAny) {
  const std::size_t records = 2500;
  Gate gate(Gate::kClosed);
  RecordingSink sink;
  sink.onReport = [&](const std::int64_t &, unsigned int) { gate.Pass(); };
  UntimedPollingMonitor monitor;
  for (std::size_t i = 0; i < records; ++i) {
    monitor.AddMonitor(dir.WJoin("missing" + std::to_string(i)), &sink, 0, 0, true);
  }
  // Records less than a sweep period (here a minute) overdue wait their turn
  // without a warning; once the period is short, they are overdue by more.
  monitor.SetPeriod(60000);
  monitor.CheckFilesHoldingTheLock();
  ASSERT_TRUE(gate.WaitHeld());
  monitor.CheckFiles();
  EXPECT_EQ(capture.CountContaining("The check queue is full"), 0u);
  monitor.SetPeriod(1);
  EXPECT_TRUE(WaitUntil([&] {
    monitor.CheckFiles();
    return capture.CountContaining("The check queue is full (18") == 1;
  }));
  gate.Open();
  EXPECT_TRUE(WaitUntil([&] {
    std::set<std::int64_t> seen;
    for (const Report &report : sink.Reports()) seen.insert(report.key);
    return seen.size() == records;
  }, 60s)) << "every record is checked in the end";
  monitor.Stop();
  EXPECT_EQ(capture.CountContaining("The check queue is full"), 1u) << "at most once a minute";
}

// A sweep that finds nothing waiting from before wakes one worker, and the
// refills that worker runs once it has drained the queue wake nobody: it
// checks a whole wave (more records than the queue holds) alone while the
// others sleep. A wave that outlasts a sweep period (here a slow receiver)
// wakes the others: the next sweep finds its checks still waiting and wakes
// every worker at once.
TEST_F(PollingMonitor, OneWorkerChecksAWaveThatItKeepsUpWith) {
  const std::size_t records = 2500;
  const auto interval = 200ms;
  std::mutex mutex;
  std::set<std::int64_t> keys;
  std::set<std::thread::id> threads;
  std::atomic<bool> slow{false};
  RecordingSink sink;
  sink.onReport = [&](const std::int64_t &key, unsigned int) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      keys.insert(key);
      threads.insert(std::this_thread::get_id());
    }
    // Less than the time between two of the test's sweeps: the worker is
    // slow, not stuck, and keeps what it holds.
    if (slow) std::this_thread::sleep_for(1ms);
  };
  auto seen = [&] {
    std::lock_guard<std::mutex> lock(mutex);
    return std::make_pair(keys.size(), threads.size());
  };
  UntimedPollingMonitor monitor(3);
  monitor.SetPeriod(1);
  for (std::size_t i = 0; i < records; ++i) {
    monitor.AddMonitor(dir.WJoin("missing" + std::to_string(i)), &sink, 200, 0, true);
  }
  ASSERT_EQ(monitor.thr_count(), 3u);
  // Every record falls due one interval after its registration or check.
  auto wave = [&] {
    std::this_thread::sleep_for(interval + 50ms);
    {
      std::lock_guard<std::mutex> lock(mutex);
      keys.clear();
      threads.clear();
    }
    monitor.CheckFiles();
  };
  wave();
  ASSERT_TRUE(WaitUntil([&] { return seen().first == records; }));
  EXPECT_EQ(seen().second, 1u) << "the wave and its refills on one worker";
  slow = true;
  wave();
  ASSERT_TRUE(WaitUntil([&] { return seen().first >= 10; }));
  monitor.CheckFiles();
  EXPECT_TRUE(WaitUntil([&] { return seen().second == 3u; })) << "a slow wave on every worker";
  slow = false;
  monitor.Stop();
}

// The sweep's check message holds its record until that check ends, and
// nothing else lets go of it: a check of the path asked for from elsewhere
// runs meanwhile on the other worker, and the record whose last receiver
// goes while the sweep's check is out leaves the table when that check ends.
TEST_F(PollingMonitor, ARecordWhoseCheckIsOutGoesWhenThatCheckEnds) {
  struct HeldCheckMonitor : FileMonitorStatOnly {
    int CheckFile(FileRecord &record, const Log &threadLog, const FileMonitorMessage::PathUnits &sent) override {
      if (!held.exchange(true)) {
        std::unique_lock<std::mutex> lock(mutex);
        entered = true;
        changed.notify_all();
        changed.wait_for(lock, 20s, [this] { return released; });
      }
      return FileMonitorStatOnly::CheckFile(record, threadLog, sent);
    }
    void Release() {
      std::lock_guard<std::mutex> lock(mutex);
      released = true;
      changed.notify_all();
    }
    std::atomic<bool> held{false};
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false, released = false;
  } monitor;
  struct ReleaseAtEnd {
    HeldCheckMonitor &monitor;
    ~ReleaseAtEnd() { monitor.Release(); }
  } releaseAtEnd{monitor};
  RecordingSink sink;
  const std::wstring path = dir.WPath();
  monitor.Initialize(FastSettings(2));
  monitor.AddMonitor(path, &sink, 0, 0, true);
  {
    std::unique_lock<std::mutex> lock(monitor.mutex);
    ASSERT_TRUE(monitor.changed.wait_for(lock, 20s, [&] { return monitor.entered; }));
  }
  ASSERT_GE(monitor.putq(
                FileMonitorMessage(path, nullptr, FileMonitorMessage::MONITOR_ACTION_CHECK_AND_REPORT).ToBlock()),
            0);
  ASSERT_TRUE(sink.WaitForCount(1)) << "the check from elsewhere runs meanwhile";
  monitor.RemoveMonitor(path, &sink);
  EXPECT_TRUE(monitor.IsMonitored(path)) << "freed while the sweep's check was out";
  monitor.Release();
  EXPECT_TRUE(WaitUntil([&] { return !monitor.IsMonitored(path); })) << "left in the table after its check";
  monitor.Stop();
}

// A check that throws ends its worker, but never takes its record out of the
// sweep: the record's queued mark is cleared on that way out too.
TEST_F(PollingMonitor, ACheckThatThrowsEndsItsWorkerAndTheRecordIsCheckedAgain) {
  RecordingSink sink;
  FailingOnceMonitor monitor;
  monitor.Initialize(FastSettings());
  monitor.AddMonitor(dir.WPath(), &sink, 0, 0, true);
  ASSERT_TRUE(capture.WaitForText("BAD exception thrown."));
  EXPECT_TRUE(sink.WaitForCount(1)) << "the record was left marked queued and never checked again";
  EXPECT_TRUE(WaitUntil([&] { return monitor.thr_count() == 1; }));
  monitor.Stop();
}
