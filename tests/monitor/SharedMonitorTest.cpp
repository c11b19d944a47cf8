// What both monitor kinds do alike, run end to end (sweep, queue, workers,
// receivers) once per kind: receivers and keys, idle reports, the control
// messages, Stop, long paths, intervals, credentials and the pool's growth
// and shrinking with the backlog.
#include "support/MonitorKinds.h"
#if !defined(_WIN32)
#include <dlfcn.h>
#include <pthread.h>

#include <cerrno>
#endif

#include <Platform/Win32Api.h>
#include <VantrelCommon/MessageBlockUtil.h>

#include <set>
#include <stdexcept>

using namespace WindowsAgentCommon;
using namespace VantrelTest;

namespace {

// Puts a message with any action value, as a foreign producer could.
void PutAction(FileMonitorCore &monitor, std::uint32_t action) {
  FileMonitorMessage message;
  message.eAction = static_cast<FileMonitorMessage::MonitorAction>(action);
  ASSERT_GE(monitor.putq(message.ToBlock()), 0);
}

// Creates the directories of a path of exactly `length` characters under
// `base` and returns the path; its last component (the file) is not created.
std::string LongPath(const std::string &base, std::size_t length) {
  std::string path = base;
  while (length - path.size() > 202) {
    path += kSeparator + std::string(200, 'd');
    MakeDir(path);
  }
  return path + kSeparator + std::string(length - path.size() - 1, 'f');
}

// Holds each worker start of a monitor of the kind at the gate: between the
// registration's test of the stopped mark and the thread's start.
template <class Kind>
struct HeldStarts : Kind {
  Gate gate{Gate::kClosed};
  int activate(long flags, int n, int force, long priority, int group, ACE_Task_Base *task, ACE_hthread_t handles[],
               void *stacks[], size_t sizes[], ACE_thread_t ids[], const char *names[]) override {
    gate.Pass();
    return Kind::activate(flags, n, force, priority, group, task, handles, stacks, sizes, ids, names);
  }
};

// Stop comes while the first registration is starting the first worker.
template <class Kind>
void StopInStart(const std::wstring &path) {
  RecordingSink sink;
  auto monitor = std::make_unique<HeldStarts<Kind>>();
  monitor->Initialize(FastSettings(1));
  std::future<void> adding = InBackground([&, raw = monitor.get()] { raw->AddMonitor(path, &sink, 0, 0, true); });
  ASSERT_TRUE(monitor->gate.WaitHeld());
  std::future<void> stopping = InBackground([raw = monitor.get()] { raw->Stop(); });
  std::this_thread::sleep_for(300ms);  // Stop has seen no worker yet
  monitor->gate.Open();
  ASSERT_TRUE(LeakUnless(Finished(stopping) && Finished(adding), monitor)) << "Stop never returned";
  EXPECT_EQ(monitor->thr_count(), 0u);
}

// Holds the sweep off while the test registers, so that one sweep queues
// every path.
template <class Kind>
struct Lockable : Kind {
  void Lock() { this->mtxMonitor.lock(); }
  void Unlock() { this->mtxMonitor.unlock(); }
};

// A check that does not return (its receiver here) holds up none of the
// messages that its worker took with it: the other worker checks them.
template <class Kind>
void AStuckCheckHoldsUpNoOther(const TempDir &dir) {
  Gate gate(Gate::kClosed);
  RecordingSink stuck, others;
  stuck.onReport = [&gate](const std::int64_t &, unsigned int) { gate.Pass(); };
  auto monitor = std::make_unique<Lockable<Kind>>();
  monitor->Initialize(FastSettings(2));
  const std::size_t kOthers = 30;
  monitor->Lock();  // one sweep takes them all once due, the stuck path first
  monitor->AddMonitor(dir.WJoin("a"), &stuck, 100, 0, true);
  for (std::size_t i = 0; i < kOthers; ++i) monitor->AddMonitor(dir.WJoin("b" + std::to_string(i)), &others, 100, 0, true);
  std::this_thread::sleep_for(200ms);
  monitor->Unlock();
  ASSERT_TRUE(gate.WaitHeld());
  auto checked = [&others] {
    std::set<std::int64_t> keys;
    for (const Report &report : others.Reports()) keys.insert(report.key);
    return keys.size();
  };
  // Well before the gate lets the stuck check go on its own.
  EXPECT_TRUE(WaitUntil([&] { return checked() == kOthers; }, kDeadline / 2)) << checked() << " of " << kOthers;
  gate.Open();
  StopWithin(*monitor);
}

typedef KindTest SharedMonitorTest;
typedef LogAndDirTest TeardownTest;

}  // namespace

// ---------------------------------------------------------------------------
// Receivers and keys

// Three receivers of one path: the first (lowest address) throws, the second
// is registered twice, the third is removed before the change.
TEST_P(SharedMonitorTest, ReceiversOfOnePath) {
  RecordingSink sinks[3];
  sinks[0].onReport = [](const std::int64_t &, unsigned int) { throw std::runtime_error("receiver failure"); };
  auto monitor = Start();
  for (RecordingSink *sink : {&sinks[0], &sinks[1], &sinks[1], &sinks[2]}) {
    monitor->AddMonitor(logPath, sink, 0, 0, sink == &sinks[0]);
  }
  ASSERT_TRUE(sinks[2].WaitForCount(1)) << "the baseline check";
  monitor->RemoveMonitor(logPath, &sinks[2]);
  AppendFile(logFile, "more\n");
  ASSERT_TRUE(WaitUntil([&] { return sinks[1].AnyHas(kLarger); }));
  AppendFile(logFile, "and more\n");
  ASSERT_TRUE(WaitUntil([&] { return sinks[1].NonZeroFlags().size() >= 2; }))
      << "a second change after the first receiver threw";
  monitor->Stop();

  // Same reports in the same order, one call each: the second receiver is
  // neither skipped after the throw nor called twice. The first receiver may
  // have had idle reports of its own before the second one joined.
  const NamedReports thrower = Named(*monitor, sinks[0]);
  EXPECT_EQ(monitor->ReceiverFailures(), thrower.size()) << "each throw counted";
  NamedReports twice = Named(*monitor, sinks[1]);
  ASSERT_GE(thrower.size(), twice.size());
  EXPECT_EQ(twice.front().first, logPath);
  twice.insert(twice.begin(), thrower.size() - twice.size(), {logPath, 0u});
  EXPECT_EQ(thrower, twice);
  EXPECT_FALSE(sinks[2].AnyHas(kLarger));
}

// Once RemoveMonitor returns, the receiver is not called again for the path:
// a call not yet made (the receiver before it is slow) is not made, and a
// call under way is waited for.
TEST_P(SharedMonitorTest, NoCallToAReceiverOnceItsRemovalHasReturned) {
  Gate gate;
  RecordingSink sinks[2];  // called in this order
  std::atomic<bool> removed[2] = {{false}, {false}};
  std::atomic<int> late(0);
  for (int i = 0; i < 2; ++i) {
    sinks[i].onReport = [&, i](const std::int64_t &, unsigned int) {
      late += removed[i] ? 1 : 0;
      if (i == 0) gate.Pass();
    };
  }
  auto monitor = StartWithClock(1);
  const std::wstring path = dir.WPath();
  monitor->AddMonitor(path, &sinks[1], 0, 0, true);
  monitor->AddMonitor(path, &sinks[0], 0, 0, true);
  ASSERT_TRUE(WaitUntil([&] { return sinks[0].Count() > 0 && sinks[1].Count() > 0; }));
  gate.Close();
  ASSERT_TRUE(gate.WaitHeld()) << "a report to both is held in the first receiver";

  monitor->RemoveMonitor(path, &sinks[1]);
  removed[1] = true;
  std::future<void> removal = InBackground([&, raw = monitor.get(), path] {
    raw->RemoveMonitor(path, &sinks[0]);
    removed[0] = true;
  });
  EXPECT_FALSE(Finished(removal, 300ms)) << "returned during the receiver's call";
  gate.Open();
  ASSERT_TRUE(LeakUnless(Finished(removal), monitor)) << "RemoveMonitor never returned";
  ASSERT_TRUE(clock.WaitForMore(5));
  EXPECT_EQ(late.load(), 0);
}

// Idle reports belong to the path's record, so a receiver that joins without
// the wish gets them too; the n-th does not come before n intervals have
// passed since the registration, and an hour does not fire early. (Checks
// keep to the sweep's grid: one that runs late under load is followed by one
// on time, less than an interval after it.) Idle reports until present come
// after a path's first check and after each check that finds it absent; the
// receiver can ask which it was.
TEST_P(SharedMonitorTest, IdleReportsBelongToThePathsRecordAndKeepItsInterval) {
  RecordingSink idle, joined, quiet, hour, present, absent;
  auto monitor = Start();
  ASSERT_NE(monitor->Presence(), nullptr);
  std::atomic<int> found[2] = {{-1}, {-1}};  // what the present and the absent path's last report was told
  present.onReport = [&](const std::int64_t &key, unsigned int) { found[0] = monitor->Presence()->FoundPresent(key); };
  absent.onReport = [&](const std::int64_t &key, unsigned int) { found[1] = monitor->Presence()->FoundPresent(key); };
  const auto added = std::chrono::steady_clock::now();
  monitor->AddMonitor(dir.WPath(), &idle, 150, 0, true);
  monitor->AddMonitor(dir.WPath(), &joined, 150, 0, false);
  monitor->AddMonitor(dir.WJoin("quiet"), &quiet, 0, 0, false);
  monitor->AddMonitor(dir.WJoin("hour"), &hour, 3600u * 1000u, 0, true);
  monitor->AddMonitorWithIdleReports(logPath, &present, 0, 0, IFileMonitor::IDLE_REPORTS_UNTIL_PRESENT);
  monitor->AddMonitorWithIdleReports(dir.WJoin("absent"), &absent, 0, 0, IFileMonitor::IDLE_REPORTS_UNTIL_PRESENT);
  ASSERT_TRUE(idle.WaitForCount(4));
  ASSERT_TRUE(joined.WaitForCount(3));
  ASSERT_TRUE(absent.WaitForCount(3));
  monitor->Stop();
  EXPECT_EQ(present.Count(), 1u) << "only the first check of a present path";
  EXPECT_TRUE(found[0] == 1 && found[1] == 0) << found[0] << " " << found[1];
  const auto reports = idle.Reports();
  for (std::size_t n = 1; n <= reports.size(); ++n) {
    EXPECT_GE(reports[n - 1].when - added, static_cast<int>(n) * 150ms - 10ms) << "check " << n << " came early";
  }
  for (const RecordingSink *sink : {&idle, &joined, &present, &absent}) EXPECT_TRUE(sink->NonZeroFlags().empty());
  for (const RecordingSink *sink : {&quiet, &hour}) EXPECT_EQ(sink->Count(), 0u);
}

// The statistics count each check and each report once, however the workers
// share the checks: with one receiver that wants idle reports, every check
// is one report. Nothing is left uncounted once Stop has ended the workers.
TEST_P(SharedMonitorTest, StatisticsCountEachCheckAndReportOnce) {
  RecordingSink sink;
  auto monitor = Start();
  monitor->AddMonitor(logPath, &sink, 0, 0, true);
  ASSERT_TRUE(sink.WaitForCount(20));
  monitor->Stop();
  const FileMonitorStatistics stats = monitor->GetStatistics();
  EXPECT_EQ(std::make_pair(stats.checks, stats.reports), std::make_pair(sink.Count(), sink.Count()));
}

// A record goes with its last receiver once no check of it is out: removed
// inside its own report, it stays until that check ends. A key that has gone
// names nothing and is never handed out again.
TEST_P(SharedMonitorTest, ARecordGoesWithItsLastReceiverOnceItsCheckHasEnded) {
  RecordingSink sink;
  std::unique_ptr<FileMonitorCore> monitor = Start(1);
  std::wstring path;
  std::atomic<bool> removeInside(false), keptDuringCheck(true);
  sink.onReport = [&](const std::int64_t &key, unsigned int) {
    if (!removeInside) return;
    monitor->RemoveMonitor(path, &sink);
    keptDuringCheck = keptDuringCheck && monitor->IsMonitored(path) && monitor->GetFilename(key) == path;
  };
  for (const char *name : {"a", "b", "c", "a"}) {
    path = dir.WJoin(name);
    removeInside = !removeInside;
    sink.Clear();
    monitor->AddMonitor(path, &sink, 0, 0, true);
    ASSERT_TRUE(sink.WaitForCount(1)) << name;
    if (!removeInside) monitor->RemoveMonitor(path, &sink);
    ASSERT_TRUE(WaitUntil([&] { return !monitor->IsMonitored(path); })) << name;
    EXPECT_EQ(monitor->GetFilename(sink.Reports().front().key), L"") << "its key names nothing any more";
  }
  EXPECT_TRUE(keptDuringCheck.load()) << "freed while its check was out";
  // With no check out (an hour's interval) it goes at once.
  monitor->AddMonitor(path, &sink, 3600u * 1000u, 0, false);
  EXPECT_TRUE(monitor->HasSinkTargets(path, nullptr)) << "a receiver, whichever";
  monitor->RemoveMonitor(path, &sink);
  EXPECT_FALSE(monitor->IsMonitored(path));
}

// ---------------------------------------------------------------------------
// Control messages and the pool

// Messages from outside the monitor: unknown actions are dropped, a retire
// message ends one worker, a short block ends one with an error; the others
// go on checking.
TEST_P(SharedMonitorTest, ControlMessagesEndOneWorkerEachOrNone) {
  auto monitor = StartWithClock(3);
  for (std::uint32_t action : {0u, 1u, 2u, 7u}) PutAction(*monitor, action);
  ASSERT_TRUE(WaitUntil([&] { return monitor->msg_queue()->message_count() == 0; }));
  ASSERT_TRUE(clock.WaitForMore(3));
  EXPECT_EQ(monitor->thr_count(), 3u);

  PutAction(*monitor, FileMonitorMessage::MONITOR_ACTION_RETIRE_THREAD);
  ASSERT_TRUE(WaitUntil([&] { return monitor->thr_count() == 2; }));

  ACE_Message_Block *block = nullptr;
  CreateDataMessageBlock(FileMonitorMessage::kImageSize - 1, block);
  block->wr_ptr(FileMonitorMessage::kImageSize - 1);
  ASSERT_GE(monitor->putq(block), 0);
  ASSERT_TRUE(WaitUntil([&] { return monitor->thr_count() == 1; }));
  ASSERT_TRUE(clock.WaitForMore(3)) << "the last worker goes on";
  EXPECT_EQ(monitor->thr_count(), 1u);
  EXPECT_TRUE(capture.Logged({{"BAD exception thrown.", 1}, {kQuitLine, 1}, {GetParam().exitLine, 2}}));
}

TEST_P(SharedMonitorTest, AStuckCheckHoldsUpNoOtherCheck) {
  (GetParam().notifications ? AStuckCheckHoldsUpNoOther<FileMonitorNoFSRedirect>
                            : AStuckCheckHoldsUpNoOther<FileMonitorStatOnly>)(dir);
}

TEST_P(SharedMonitorTest, TheBacklogGrowsThePoolAndIdlenessShrinksIt) {
  Gate gate(Gate::kClosed);
  RecordingSink sink;
  sink.onReport = [&](const std::int64_t &, unsigned int) { gate.Pass(); };
  // A ceiling below the floor is taken as one above it: 3.
  auto monitor = Start(2, {{"FileMonitor.ReaderThreadsMax", "1"},
                           {"FileMonitor.BacklogMonitor.BacklogCheckStartupDelaySec", "0"},
                           {"FileMonitor.BacklogMonitor.BacklogCheckIntervalMillis", "20"},
                           {"FileMonitor.BacklogMonitor.NumberOfDataPoints", "16"},
                           {"FileMonitor.BacklogMonitor.MinNumberOfDataPointsForCalc", "8"}});
  // Every check reports and every report blocks, so each new path adds one
  // waiting message: a backlog that grows for as long as paths come.
  std::vector<std::wstring> paths;
  const std::string growth = "Backlog exceeding load threshold; starting more worker threads (3 of 3 active).";
  ASSERT_TRUE(WaitUntil([&] {
    for (int i = 0; i < 2; ++i) {
      paths.push_back(dir.WJoin("p" + std::to_string(paths.size())));
      monitor->AddMonitor(paths.back(), &sink, 0, 0, true);
    }
    return capture.CountContaining(growth) > 0;
  }));
  ASSERT_TRUE(WaitUntil([&] { return monitor->thr_count() == 3; }));

  // Open first: a removal waits for the receiver's calls under way.
  gate.Open();
  for (const std::wstring &path : paths) monitor->RemoveMonitor(path, &sink);
  ASSERT_TRUE(WaitUntil([&] { return monitor->thr_count() == 2; }));
  EXPECT_GE(capture.Count("Backlog has been very low; decommissioning a worker thread (2 of 3 still active)."), 1u);
  // At its floor the pool retires nobody, however low the backlog stays.
  EXPECT_FALSE(WaitUntil([&] { return capture.CountContaining("decommissioning a worker thread (1 of") != 0; }, 1s));
}

// ---------------------------------------------------------------------------
// Stop

// Without workers Stop posts no quit message. Every worker starts with
// "RUNNING" and ends with the quit line and the kind's exit line, on its own
// thread's log.
TEST_P(SharedMonitorTest, OneQuitMessageEndsEveryWorkerAndTheDestructorAddsNothing) {
  Start()->Stop();
  EXPECT_TRUE(capture.Logged({{"Stop requested", 2}, {"Putting quit message into queue...", 0}, {"Stopped.", 0}}))
      << "Stop and the destructor's";
  capture.Sink().Clear();
  RecordingSink sink;
  std::string threadLogs;
  {
    auto monitor = Start(3);
    threadLogs = monitor->LogName() + ".thread.x";
    monitor->AddMonitor(dir.WPath(), &sink, 0, 0, true);
    ASSERT_EQ(monitor->thr_count(), 3u);
    ASSERT_TRUE(sink.WaitForCount(2));
    monitor->Stop();
    EXPECT_EQ(monitor->msg_queue()->message_count(), 0u) << "the passed-on quit message is flushed";
    const std::size_t reports = sink.Count();
    monitor->Stop();
    EXPECT_EQ(sink.Count(), reports) << "nothing is checked after Stop";
  }
  EXPECT_TRUE(capture.Logged({{kQuitLine, 3}, {GetParam().exitLine, 3}}));
  std::map<std::string, std::vector<std::string>> perThread;
  for (const LogRecord &record : capture.Sink().Records()) {
    if (record.logName.compare(0, threadLogs.size(), threadLogs) == 0) perThread[record.logName].push_back(record.text);
  }
  ASSERT_EQ(perThread.size(), 3u);
  // Where the system has the Wow64 switch (Windows), a worker turns the
  // redirection back on between its quit line and its last line.
  std::vector<std::string> ending{kQuitLine};
  if (GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "Wow64RevertWow64FsRedirection") != nullptr) {
    ending.push_back("Re-enabling file system redirection for current thread.");
  }
  ending.push_back(GetParam().exitLine);
  for (const auto &thread : perThread) {
    ASSERT_GE(thread.second.size(), ending.size() + 1) << thread.first;
    EXPECT_EQ(thread.second.front(), "RUNNING") << thread.first;
    EXPECT_EQ(std::vector<std::string>(thread.second.end() - ending.size(), thread.second.end()), ending)
        << thread.first;
  }
  EXPECT_TRUE(capture.Logged({{"Stop requested", 3}, {"Putting quit message into queue...", 1}, {"Stopped.", 1}}))
      << "one quit message for all";
}

TEST_P(SharedMonitorTest, StopFromInsideOnFileChangedDoesNotHang) {
  RecordingSink sink;
  std::unique_ptr<FileMonitorCore> monitor = Start(2);
  std::atomic<int> stops(0);
  sink.onReport = [&](const std::int64_t &, unsigned int) {
    if (stops.fetch_add(1) == 0) monitor->Stop();
  };
  monitor->AddMonitor(dir.WPath(), &sink, 0, 0, true);
  ASSERT_TRUE(WaitUntil([&] { return monitor->thr_count() == 0; }));
  monitor.reset();
  EXPECT_EQ(capture.Count("Stopped."), 1u) << "the destructor's Stop waits for the pool and empties the queue";
}

// Stop waits for the worker whose receiver registers a path; that
// registration (which tops the pool up) must not wait for Stop in turn.
TEST_P(SharedMonitorTest, StopWhileAReceiverRegistersAPath) {
  RecordingSink sink;
  Gate gate(Gate::kClosed);
  std::unique_ptr<FileMonitorCore> monitor = Start(2);
  const std::wstring added = dir.WJoin("added.log");
  std::atomic<int> calls(0);
  std::atomic<bool> cameBack(false);
  sink.onReport = [&](const std::int64_t &, unsigned int) {
    if (calls.fetch_add(1) == 0) {
      gate.Pass();
      struct Back {
        std::atomic<bool> &flag;
        ~Back() { flag = true; }
      } back{cameBack};
      monitor->AddMonitor(added, &sink, 1000, 0, false);  // the notification kind refuses it now
    }
  };
  monitor->AddMonitor(dir.WPath(), &sink, 0, 0, true);
  ASSERT_TRUE(gate.WaitHeld());
  FileMonitorCore *stopping = monitor.get();
  std::future<void> stopped = InBackground([stopping] { stopping->Stop(); });
  // The idle worker has taken the quit message and Stop waits for the other.
  ASSERT_TRUE(WaitUntil([&] { return monitor->thr_count() == 1 && capture.CountContaining("Waiting") != 0; }));
  gate.Open();
  ASSERT_TRUE(LeakUnless(Finished(stopped), monitor)) << "Stop never returned";
  EXPECT_EQ(monitor->thr_count(), 0u);
  EXPECT_TRUE(cameBack.load());
}

TEST_P(SharedMonitorTest, StopDuringTheFirstWorkerStartDoesNotHang) {
  (GetParam().notifications ? StopInStart<FileMonitorNoFSRedirect> : StopInStart<FileMonitorStatOnly>)(dir.WPath());
}

// Settings that make no sense are taken as their defaults with a Warn line.
// Stop waits for a sweep that is running, not for a period: even the longest
// period taken, a minute, lets it return at once.
TEST_P(SharedMonitorTest, SenselessSettingsAreDefaultedAndStopWaitsForNoPeriod) {
  // The period, the pool floor, and the pool that it makes; a backlog window.
  for (const auto &[period, threadsMin, threads, window] :
       {std::make_tuple("60000", "1", 1u, std::make_pair("NumberOfDataPoints", "0")),
        std::make_tuple("4294967295", "0", 5u, std::make_pair("MinNumberOfDataPointsForCalc", "1024"))}) {
    RecordingSink sink;
    std::unique_ptr<FileMonitorCore> monitor = GetParam().make();
    monitor->Initialize({{"EventLogMonitor.ScheduleExpirySweepPeriodMillis", period},
                         {"FileMonitor.ReaderThreadsMin", threadsMin},
                         {std::string("FileMonitor.BacklogMonitor.") + window.first, window.second}});
    monitor->AddMonitor(dir.WPath(), &sink, 0, 0, true);
    EXPECT_EQ(monitor->thr_count(), threads) << threadsMin;
    StopWithin(*monitor);
    EXPECT_EQ(monitor->thr_count(), 0u);
  }
  // One Warn line for each value set aside, naming its key: the period and
  // the floor of the second round, and the window of each.
  EXPECT_EQ(capture.CountContaining("EventLogMonitor.ScheduleExpirySweepPeriodMillis"), 1u);
  EXPECT_EQ(capture.CountContaining("FileMonitor.ReaderThreadsMin"), 1u);
  EXPECT_EQ(capture.CountContaining("FileMonitor.BacklogMonitor.NumberOfDataPoints"), 2u);
}

#if !defined(_WIN32)  // starts of POSIX threads are limited by interposing pthread_create
namespace {

std::atomic<bool> gLimited(false);
std::atomic<int> gAllowed(0), gRefused(0);  // starts still allowed, and refused so far

// Makes thread starts fail as they do at the system's thread limit: while a
// ThreadStartLimit lives, pthread_create lets `allowed` more threads start
// and then fails with EAGAIN (root ignores RLIMIT_NPROC, so lowering that
// limit would not do).
struct ThreadStartLimit {
  explicit ThreadStartLimit(int allowed) {
    gAllowed = allowed;
    gRefused = 0;
    gLimited = true;
  }
  ~ThreadStartLimit() { gLimited = false; }
};

}  // namespace

// For the whole test program; found before the C library's (and a
// sanitizer's) definition, which it calls.
extern "C" int pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*start)(void *),
                              void *arg) noexcept {
  if (gLimited.load() && gAllowed.fetch_sub(1) <= 0) {
    gRefused.fetch_add(1);
    return EAGAIN;
  }
  typedef int (*CreateFn)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
  static const CreateFn next = reinterpret_cast<CreateFn>(dlsym(RTLD_NEXT, "pthread_create"));
  return next(thread, attr, start, arg);
}

// Workers that cannot start: one Error line, the pool is what really
// started, registrations and the backlog check try again, and Stop waits
// only for threads that exist.
TEST_P(SharedMonitorTest, WorkersThatCannotStartAreTriedAgain) {
  RecordingSink sink;
  std::unique_ptr<FileMonitorCore> monitor;
  {
    // Limited from before the start, since the first backlog check comes at
    // once and tops the pool up too: the monitor's scheduler thread starts,
    // then one worker, whether that check or the registration starts it.
    ThreadStartLimit limit(2);
    monitor = Start(3, {{"FileMonitor.BacklogMonitor.BacklogCheckStartupDelaySec", "0"},
                        {"FileMonitor.BacklogMonitor.BacklogCheckIntervalMillis", "10"}});
    monitor->AddMonitor(dir.WPath(), &sink, 0, 0, true);
    EXPECT_EQ(monitor->thr_count(), 1u);
    const int refused = gRefused;
    EXPECT_GE(refused, 1);
    monitor->AddMonitor(dir.WJoin("later.log"), &sink, 0, 0, true);
    EXPECT_GT(gRefused, refused) << "the next registration tries again";
    EXPECT_EQ(monitor->thr_count(), 1u);
    ASSERT_TRUE(sink.WaitForCount(1)) << "the one worker checks";
  }
  EXPECT_EQ(capture.CountContaining("Could not start"), 1u) << "at most once a minute";
  EXPECT_TRUE(WaitUntil([&] { return monitor->thr_count() == 3; })) << "the backlog check tops the pool up";
  StopWithin(*monitor);
  EXPECT_EQ(capture.Count(kQuitLine), 3u);
}
#endif

// ---------------------------------------------------------------------------
// Paths

// Long paths, names that are not UTF-8 (a name on Linux is bytes) and wide
// strings that UTF-16 cannot carry unchanged (a NUL, a surrogate pair made
// of two code points, a value above U+10FFFF): each is checked, reported
// under its own key and given back exactly, never mistaken for another.
TEST_P(SharedMonitorTest, PathsOfAnyLengthAndAnyContentAreCheckedAndReported) {
#if defined(_WIN32)
  // Beyond MAX_PATH a Windows path takes the \\?\ prefix, which the
  // runtime's _wstat64 (the notification monitor's call) does not take: that
  // kind watches paths within MAX_PATH only.
  const bool notifications = std::string(GetParam().name) == "Notification";
  const std::string prefix = notifications ? "" : "\\\\?\\";
  const std::vector<std::size_t> lengths =
      notifications ? std::vector<std::size_t>{200, 259} : std::vector<std::size_t>{259, 260, 300, 4000};
#else
  const std::string prefix;
  const std::vector<std::size_t> lengths = {259, 260, 300, 4000};
#endif
  std::vector<std::wstring> paths;
  for (std::size_t length : lengths) {
    const std::string base = prefix + dir.Join(std::to_string(length));
    MakeDir(base);
    paths.push_back(Wide(LongPath(base, length)));
    ASSERT_EQ(paths.back().size(), length);
  }
#if defined(_WIN32)
  // Names are UTF-16: any Unicode name, and a surrogate pair is one character.
  paths.push_back(dir.WJoin("caf\xC3\xA9.log"));
  paths.push_back(dir.WJoin("\xE6\x97\xA5\xE6\x9C\xAC.log"));
#else
  paths.push_back(dir.WJoin("caf\xE9.log"));
  paths.push_back(dir.WJoin("caf\xC3\xA9.log"));  // the same name in UTF-8: another file
  paths.push_back(dir.WJoin("\xFF\xFE\xED\xB3\xA9"));
  paths.push_back(dir.WJoin("y") + std::wstring(1, static_cast<wchar_t>(0x110000)));
#endif
  paths.push_back(dir.WJoin("a"));
  paths.push_back(dir.WJoin("a") + std::wstring(L"\0b", 2));  // the file "a" on disk
  paths.push_back(dir.WJoin("x") + std::wstring{static_cast<wchar_t>(0xD83D), static_cast<wchar_t>(0xDE00)});
  std::vector<RecordingSink> sinks(paths.size());
  auto monitor = Start(2);
  for (std::size_t i = 0; i < paths.size(); ++i) monitor->AddMonitor(paths[i], &sinks[i], 0, 0, true);
  for (std::size_t i = 0; i < paths.size(); ++i) {
    SCOPED_TRACE(i);
    ASSERT_TRUE(sinks[i].WaitForCount(1));
    // Appends only: "a\0b" is the file "a", which the row before it made,
    // and a rewrite could bring it back to the size its last check saw.
    AppendFile(Utf8(paths[i]), "x");
    ASSERT_TRUE(sinks[i].WaitForFlags(kCreated));
    AppendFile(Utf8(paths[i]), "more");
    ASSERT_TRUE(WaitUntil([&] { return sinks[i].AnyHas(kLarger); }));
    for (const auto &report : Named(*monitor, sinks[i])) ASSERT_EQ(report.first, paths[i]);
  }
}

// ---------------------------------------------------------------------------
// Credentials

// A handle whose switch fails refuses its own records, with one warning a
// minute, and nothing else: the records of handle 0 that the same worker
// takes in between are still checked. Without a security manager handle 0 is
// checked and every other handle refused.
TEST_P(SharedMonitorTest, ABadCredentialsHandleRefusesOnlyItsOwnRecords) {
  for (bool withManager : {false, true}) {
    SCOPED_TRACE(withManager ? "with the security manager" : "without a security manager");
    std::unique_ptr<RegisteredSecurityManager> security;
    if (withManager) security = std::make_unique<RegisteredSecurityManager>();
    capture.Sink().Clear();
    // In UTF-8, with the text of the switch's status (or of the status that
    // stands in for a missing manager) as the reason.
    const std::wstring refused = dir.WJoin(withManager ? "refus\xc3\xa9-m" : "refus\xc3\xa9");
    RecordingSink denied, own;
    const std::wstring ownPath = dir.WJoin(withManager ? "own-m" : "own");
    const std::string reason = LastError(withManager ? ERROR_INVALID_HANDLE : 0x80004005u);
    auto warning = [&](const std::wstring &path) {
      return "There was a problem trying to switch to the proper security credentials for file " + Utf8(path) +
             "; will try again later. Reason: " + reason;
    };
    auto monitor = Start(1);  // one worker takes both records in turn
    monitor->AddMonitor(refused, &denied, 0, 42, true);
    monitor->AddMonitor(ownPath, &own, 0, 0, true);
    ASSERT_TRUE(capture.WaitForText(warning(refused)));
    EXPECT_TRUE(own.WaitForMore(5)) << "handle 0 is checked after another handle failed";
    monitor->Stop();
    EXPECT_EQ(denied.Count(), 0u);
    EXPECT_TRUE(capture.Logged({{warning(refused), 1}, {warning(ownPath), 0}})) << "at most once a minute";
  }
}

// The setting as Initialize reads it, on and off, and a value that is
// neither said once; the flags of each rotation are in ReplacementTest, and
// the agent's runs see them reported end to end by both kinds.
template <class Kind>
bool ReportsReplacement(const char *setting) {
  struct Monitor : Kind {
    using Kind::ReportsReplacement;  // what the kind's checks ask
  } monitor;
  auto settings = FastSettings(1);
  settings.emplace("FileMonitor.ReportReplacement", setting);
  monitor.Initialize(settings);
  const bool reports = monitor.ReportsReplacement();
  monitor.Stop();  // the timers end before the subclass goes
  return reports;
}

TEST_P(SharedMonitorTest, ReplacementIsReportedOnlyWhenTheSettingTurnsItOn) {
  const auto reports = GetParam().notifications ? ReportsReplacement<FileMonitorNoFSRedirect>
                                                : ReportsReplacement<FileMonitorStatOnly>;
  for (const auto &[setting, on] :
       {std::pair<const char *, bool>{"Yes", true}, {"off", false}, {"0", false}, {"maybe", false}}) {
    EXPECT_EQ(reports(setting), on) << setting;
  }
  EXPECT_EQ(capture.CountContaining("FileMonitor.ReportReplacement"), 1u);
}

INSTANTIATE_TEST_SUITE_P(Kinds, SharedMonitorTest, BothMonitorKinds(), MonitorKindName);

// A monitor whose last reference goes inside its own report is destroyed on
// a thread of its own. A later hand-over joins that thread once it has ended,
// so that a host doing this for months keeps no ended thread's stack for
// each hand-over.
TEST_F(TeardownTest, AHandOverJoinsTheTeardownThreadsThatHaveEnded) {
  const std::size_t rounds = 24;
  std::size_t before = 0;
  for (std::size_t round = 0; round < rounds + 2; ++round) {
    if (round == 2) before = ThreadStacks();
    RecordingSink sink;
    auto monitor = std::make_shared<std::shared_ptr<FileMonitorCore>>(new FileMonitorStatOnly, FileMonitorCore::Deleter());
    sink.onReport = [monitor](const std::int64_t &, unsigned int) { monitor->reset(); };
    (*monitor)->Initialize(FastSettings(1));
    (*monitor)->AddMonitor(dir.WPath(), &sink, 0, 0, true);
    ASSERT_TRUE(capture.WaitForText("Stopped.", round + 1)) << round;
  }
  EXPECT_LT(ThreadStacks(), before + rounds / 2) << "the stacks of ended threads that were never joined";
}

// Without the Deleter, a monitor whose last reference goes inside its own
// report cannot go on safely: the process ends, saying which rule was broken.
TEST_F(TeardownTest, AMonitorLetGoOnItsOwnWorkerWithoutItsDeleterNamesTheRule) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        RecordingSink sink;
        auto monitor = std::make_shared<std::shared_ptr<FileMonitorCore>>(std::make_shared<FileMonitorStatOnly>());
        sink.onReport = [monitor](const std::int64_t &, unsigned int) { monitor->reset(); };
        (*monitor)->Initialize(FastSettings(1));
        (*monitor)->AddMonitor(dir.WPath(), &sink, 0, 0, true);
        std::this_thread::sleep_for(10s);
      },
      "destroyed on one of its own worker threads.*Hold a monitor made by hand with FileMonitorCore::Deleter");
}
