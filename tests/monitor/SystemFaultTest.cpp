// What the system does to a running monitor, once per kind: no file
// descriptors left, a watched tree deleted and recreated under the checks,
// Stop while the queue is full and every worker is busy, a receiver that
// blocks, and registrations from many threads at once.
#include "support/MonitorKinds.h"

#include <Platform/TestHooks.h>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <set>
#include <sys/resource.h>
#include <unistd.h>

using namespace WindowsAgentCommon;
using namespace VantrelTest;
namespace TestHooks = VantrelPlatform::TestHooks;

namespace {

// Takes every file descriptor the process may still open: the soft limit
// goes down to 64 (descriptors open above it stay valid, but no new one can
// get a number there) and every free number below it is filled with
// /dev/null. The destructor gives everything back.
struct NoFileDescriptorsLeft {
  NoFileDescriptorsLeft() {
    getrlimit(RLIMIT_NOFILE, &saved);
    const rlimit lowered = {std::min<rlim_t>(saved.rlim_cur, 64), saved.rlim_max};
    EXPECT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
    for (int fd; held.size() < 4096 && (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) held.push_back(fd);
    EXPECT_EQ(errno, EMFILE);
  }
  ~NoFileDescriptorsLeft() {
    for (int fd : held) ::close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);
  }
  rlimit saved;
  std::vector<int> held;
};

class SystemFaultTest : public KindTest {
 protected:
  SystemFaultTest() { clock.onReport = [this](const std::int64_t &, unsigned int) { worker.Pass(); }; }
  // Waits until the idle clock has been checked `n` more times: whatever was
  // due before has been checked by then (one worker takes messages in order).
  bool Ticks(std::size_t n) { return clock.WaitForMore(n); }
  // Makes `change` while the only worker is held in the clock's receiver, so
  // that no check sees it halfway (a check reads the attributes before it
  // lists), then waits until it has been checked.
  void Unseen(const std::function<void()> &change) {
    worker.Close();
    EXPECT_TRUE(worker.WaitHeld());
    change();
    worker.Open();
    EXPECT_TRUE(Ticks(3));
  }

  Gate worker;
};

}  // namespace

// Checks that need a descriptor fail while none is left; the monitor keeps
// judging what it can by attributes, misreports nothing, and is whole again
// once descriptors come back.
TEST_P(SystemFaultTest, NoFileDescriptorsLeft) {
  const std::string staged = dir.Write("staged", "x");
  const std::string sub = dir.Join("d");
  MakeDir(sub);
  const int appender = ::open(logFile.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  ASSERT_GE(appender, 0);
  RecordingSink fileSink, dirSink, laterSink;
  auto monitor = StartWithClock(1);
  monitor->AddMonitor(logPath, &fileSink, 0, 0, false);
  monitor->AddMonitor(Wide(sub), &dirSink, 0, 0, false);
  monitor->AddMonitor(dir.WJoin("later.log"), &laterSink, 0, 0, false);
  ASSERT_TRUE(Ticks(3)) << "every baseline is taken";
  // Taken while no listing holds a descriptor that it could give back.
  std::optional<NoFileDescriptorsLeft> exhausted;
  Unseen([&] { exhausted.emplace(); });
  ASSERT_EQ(::write(appender, "more\n", 5), 5);
  MakeDir(sub + "/new");
  ASSERT_EQ(::rename(staged.c_str(), dir.Join("later.log").c_str()), 0);
  EXPECT_TRUE(WaitUntil([&] { return fileSink.AnyHas(kLarger); }));
  EXPECT_TRUE(dirSink.WaitForFlags(kDir | kModified));
  EXPECT_TRUE(laterSink.WaitForFlags(kCreated));
  ASSERT_TRUE(Ticks(5));
  EXPECT_EQ(monitor->thr_count(), 1u);
  exhausted.reset();
  ASSERT_TRUE(Ticks(5)) << "the checks that fds make possible again";
  ASSERT_EQ(::write(appender, "again\n", 6), 6);
  ::close(appender);
  // With the write time put back: for the listing alone to see.
  Unseen([&] { KeepingWriteTime(sub, [&] { MakeDir(sub + "/newer"); }); });
  EXPECT_TRUE(WaitUntil([&] { return fileSink.NonZeroFlags().size() == 2; }));
  EXPECT_TRUE(WaitUntil([&] { return dirSink.NonZeroFlags().size() == 2; }));
  ASSERT_TRUE(Ticks(5));
  StopWithin(*monitor);
  for (const RecordingSink *sink : {&fileSink, &dirSink, &laterSink}) {
    for (unsigned int flags : sink->NonZeroFlags()) {
      EXPECT_EQ(flags & (kDeleted | kCreated | kSmaller), sink == &laterSink ? kCreated : 0u) << flags;
    }
  }
  EXPECT_EQ(fileSink.NonZeroFlags().size(), 2u);
  EXPECT_EQ(dirSink.NonZeroFlags().size(), 2u) << "listings work again, and nothing is reported twice";
  EXPECT_EQ(laterSink.NonZeroFlags().size(), 1u);
}

// The whole tree goes and comes back, again and again, while its paths are
// checked. Afterwards every path reports its changes again, and the
// notification of a directory follows the new directory, even one that came
// back between two checks with the same attributes: a change of entry names
// alone (the write time put back) is still seen.
TEST_P(SystemFaultTest, ATreeDeletedAndRecreatedWhileChecked) {
  const std::size_t handlesBefore = TestHooks::ChangeHandleCount();
  const std::string tree = dir.Join("tree");
  const std::string sub = tree + "/sub";
  const std::vector<std::string> paths = {tree, sub, tree + "/a.log", sub + "/b.log"};
  auto rebuild = [&](std::size_t size) {
    std::error_code ignored;
    std::filesystem::remove_all(tree, ignored);
    MakeDir(tree);
    MakeDir(sub);
    WriteFile(paths[2], std::string(size, 'a'));
    WriteFile(paths[3], "b");
  };
  RecordingSink sinks[4];
  {
    auto monitor = StartWithClock(1);
    for (std::size_t i = 0; i < paths.size(); ++i) monitor->AddMonitor(Wide(paths[i]), &sinks[i], 0, 0, false);
    for (std::size_t round = 1; round <= 40; ++round) {
      rebuild(round);
      ASSERT_TRUE(round % 4 != 0 || Ticks(1));  // every fourth round waits for a check
    }
    ASSERT_TRUE(Ticks(3));
    Unseen([&] { KeepingWriteTime(sub, [&] { rebuild(1); }); });
    for (RecordingSink &sink : sinks) sink.Clear();
    for (const std::size_t file : {2, 3}) AppendFile(paths[file], "more");
    EXPECT_TRUE(WaitUntil([&] { return sinks[2].AnyHas(kLarger) && sinks[3].AnyHas(kLarger); }));
    if (GetParam().notifications) {
      Unseen([&] { KeepingWriteTime(sub, [&] { MakeDir(sub + "/n"); }); });
      EXPECT_TRUE(sinks[1].WaitForFlags(kDir | kModified));
    }
    StopWithin(*monitor);
  }
  EXPECT_EQ(TestHooks::ChangeHandleCount(), handlesBefore) << "no notification handle outlives its monitor";
}

// A receiver that takes seconds holds one worker, never the monitor: the
// other paths are checked meanwhile, and the blocked path is not queued
// again. Once every worker is inside a receiver and the queue is full, Stop
// waits for the receivers to return (a reader may destroy its receiver as
// soon as Stop is done), and not one of the queued checks runs after that.
TEST_P(SystemFaultTest, StopWhileEveryWorkerIsInsideAReceiverAndTheQueueIsFull) {
  Gate gate(Gate::kClosed);
  std::atomic<bool> returned(false), holdClock(false);
  RecordingSink slow;
  slow.onReport = [&](const std::int64_t &, unsigned int) {
    gate.Pass();
    std::this_thread::sleep_for(200ms);
    returned = true;
  };
  clock.onReport = [&](const std::int64_t &, unsigned int) {
    if (holdClock) gate.Pass();
  };
  auto monitor = Start(2);
  monitor->AddMonitor(dir.WJoin("slow"), &slow, 0, 0, true);
  ASSERT_TRUE(gate.WaitHeld());
  monitor->AddMonitor(dir.WJoin("clock"), &clock, 0, 0, true);
  ASSERT_TRUE(Ticks(20)) << "the other worker goes on";
  EXPECT_EQ(slow.Count(), 1u) << "the path of the blocked receiver waits; it is not queued again";
  EXPECT_LE(monitor->GetStatistics().queued, 2u);
  holdClock = true;
  ASSERT_TRUE(gate.WaitHeld(2));
  const std::size_t clockChecks = clock.Count();
  int queued = 0;
  for (ACE_Time_Value noWait(ACE_Time_Value::zero); queued < 5000; ++queued) {
    ACE_Message_Block *block =
        FileMonitorMessage(dir.WJoin("clock"), nullptr, FileMonitorMessage::MONITOR_ACTION_CHECK_AND_REPORT).ToBlock();
    if (monitor->putq(block, &noWait) < 0) {
      block->release();
      break;
    }
  }
  ASSERT_LT(queued, 5000) << "the queue has a limit";
  // Opened once Stop says, in the kind's own words, that it waits.
  const std::string waitingLine = GetParam().notifications ? "Waiting for 2 threads to exit..." : "Waiting...";
  std::thread opener([&] {
    capture.WaitForText(waitingLine);
    gate.Open();
  });
  StopWithin(*monitor);
  opener.join();
  EXPECT_TRUE(returned.load()) << "Stop returned while a receiver was still running";
  EXPECT_EQ(slow.Count(), 1u);
  EXPECT_EQ(clock.Count(), clockChecks) << "a queued check ran after Stop";
  EXPECT_EQ(monitor->thr_count(), 0u);
  EXPECT_EQ(monitor->msg_queue()->message_count(), 0u);
  EXPECT_EQ(capture.CountContaining(GetParam().notifications ? "Waiting..." : "Waiting for"), 0u);
  EXPECT_EQ(capture.Count("Stopped."), 1u);
}

// Many threads register, remove and look keys up at once while the paths are
// checked and change. Every key a receiver is given names one of the paths,
// and once the churn is over every path is still checked under its own key.
TEST_P(SystemFaultTest, RegistrationsFromManyThreadsWhileChecksRun) {
  const std::size_t kPaths = 12;
  std::vector<std::string> files;
  std::set<std::wstring> all;
  for (std::size_t i = 0; i < kPaths; ++i) {
    files.push_back(dir.Write("f" + std::to_string(i), "x"));
    all.insert(Wide(files.back()));
  }
  auto monitor = Start(3);
  std::atomic<int> wrongKeys(0);
  auto checkKey = [&](const std::int64_t &key, unsigned int) { wrongKeys += all.count(monitor->GetFilename(key)) == 0; };
  std::vector<RecordingSink> sinks(6);
  for (RecordingSink &sink : sinks) sink.onReport = checkKey;
  const std::uint64_t checksBefore = monitor->GetStatistics().checks;
  std::atomic<bool> churning(true);
  std::vector<std::thread> threads;
  threads.emplace_back([&] {
    for (std::size_t i = 0; churning.load() && i < 100000; ++i) {
      AppendFile(files[i % kPaths], "y");
      std::this_thread::sleep_for(1ms);
    }
  });
  for (std::size_t t = 0; t < sinks.size(); ++t) {
    threads.emplace_back([&, t] {
      // Until the workers have made a good many checks meanwhile.
      for (unsigned i = 0; i < 100000 && (i < 400 || monitor->GetStatistics().checks < checksBefore + 500); ++i) {
        const std::wstring path = Wide(files[(i * 7 + t) % kPaths]);
        if (i % 3 == 2) {
          monitor->RemoveMonitor(path, &sinks[t]);
        } else {
          monitor->AddMonitor(path, &sinks[t], i % 5, 0, i % 2 == 0);
        }
        const std::vector<Report> reports = sinks[t].Reports();
        if (!reports.empty()) checkKey(reports.back().key, 0);
      }
      for (const std::string &file : files) monitor->RemoveMonitor(Wide(file), &sinks[t]);
    });
  }
  for (std::size_t t = 1; t < threads.size(); ++t) threads[t].join();
  churning = false;
  threads[0].join();

  RecordingSink last;
  for (const std::string &file : files) {
    EXPECT_FALSE(monitor->HasSinkTargets(Wide(file), nullptr));
    monitor->AddMonitor(Wide(file), &last, 0, 0, false);
  }
  monitor->AddMonitor(dir.WJoin("clock"), &clock, 0, 0, true);
  ASSERT_TRUE(Ticks(3));
  for (const std::string &file : files) AppendFile(file, "z");
  std::set<std::wstring> reported;
  EXPECT_TRUE(WaitUntil([&] {
    for (const Report &report : last.Reports()) reported.insert(monitor->GetFilename(report.key));
    return reported == all;
  }));
  StopWithin(*monitor);
  EXPECT_EQ(wrongKeys.load(), 0);
}

// The time of day set back an hour, then forward past a due time (a resumed
// virtual machine, a correction): the checks go on at their interval and
// nothing comes due early.
TEST_P(SystemFaultTest, TimeOfDaySetBackAndForward) {
  SteppedClock clock;
  RecordingSink hourly;
  auto monitor = StartWithClock(1);
  monitor->AddMonitor(logPath, &hourly, 3600 * 1000, 0, true);
  ASSERT_TRUE(Ticks(2));
  for (const std::int64_t hours : {-1, 2}) {
    clock.step = hours * 3600 * 1000000;
    EXPECT_TRUE(Ticks(5)) << "the checks go on, time of day " << hours << " h off";
    EXPECT_EQ(hourly.Count(), 0u) << "an hour's interval cut short, time of day " << hours << " h off";
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, SystemFaultTest, BothMonitorKinds(), MonitorKindName);
