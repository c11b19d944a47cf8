#include "monitor/FileMonitorCore.h"

#include <Platform/Win32Api.h>
#include <VantrelCommon/EnvironmentBlockHelper.h>
#include <VantrelCommon/Exceptions.h>
#include <VantrelCommon/MessageBlockUtil.h>
#include <VantrelCommon/ServiceComponent.h>

#include <ace/Guard_T.h>
#include <ace/Thread.h>
#include <ace/Thread_Manager.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace WindowsAgentCommon {

namespace {

// A warning about one record, or about the queue, at most once a minute.
const std::int64_t kWarningIntervalSec = 60;

// The status a worker carries when no security manager can switch for it.
const std::uint32_t kNoSecurityManagerStatus = 0x80004005u;

typedef ACE_Guard<ACE_Recursive_Thread_Mutex> MonitorGuard;

// The monitor whose worker the calling thread is, if any.
thread_local const FileMonitorCore *tlsWorkerOf = nullptr;

std::int64_t Microseconds(const ACE_Time_Value &tv) {
  return static_cast<std::int64_t>(tv.sec()) * 1000000 + tv.usec();
}

// Milliseconds as a time span, without 32-bit overflow.
ACE_Time_Value SpanFromMillis(std::uint64_t millis) {
  ACE_Time_Value span;
  span.set(static_cast<time_t>(millis / 1000), static_cast<suseconds_t>((millis % 1000) * 1000));
  return span;
}

// The Wow64 redirection switch of 32-bit processes on 64-bit Windows, looked
// up at run time; where the system has no such function nothing happens.
class FsRedirection {
 public:
  void Disable(const Log &threadLog) {
    typedef BOOL(WINAPI * DisableFn)(PVOID *);
    if (auto fn = reinterpret_cast<DisableFn>(Lookup("Wow64DisableWow64FsRedirection"))) {
      threadLog.Debug("Temporarily turning off file system redirection for current thread...");
      fn(&pOldValue);
    }
  }
  void Revert(const Log &threadLog) {
    typedef BOOL(WINAPI * RevertFn)(PVOID);
    if (auto fn = reinterpret_cast<RevertFn>(Lookup("Wow64RevertWow64FsRedirection"))) {
      threadLog.Debug("Re-enabling file system redirection for current thread.");
      fn(pOldValue);
    }
  }

 private:
  // As void(*)(), the one function type that converts to any other without
  // complaint; the caller casts it to the function's real type.
  static void (*Lookup(const char *name))() {
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    return kernel == nullptr ? nullptr : reinterpret_cast<void (*)()>(GetProcAddress(kernel, name));
  }
  PVOID pOldValue = nullptr;
};

// Releases a block that the worker took, unless it was handed on.
class BlockGuard {
 public:
  explicit BlockGuard(ACE_Message_Block *block) : pBlock(block) {}
  ~BlockGuard() { Release(); }
  void Release() {
    if (pBlock != nullptr) {
      pBlock->release();
      pBlock = nullptr;
    }
  }

 private:
  ACE_Message_Block *pBlock;
};

// Clears a record's queued mark however the check ends, so that no record is
// ever left out of the sweep for good.
class QueuedMarkGuard {
 public:
  explicit QueuedMarkGuard(FileRecord &record) : rRecord(record) {}
  ~QueuedMarkGuard() {
    ACE_Guard<ACE_Recursive_Thread_Mutex> guard(rRecord.mtx);
    rRecord.queued = false;
  }

 private:
  FileRecord &rRecord;
};

std::uint32_t LowBits(const void *p) {
  return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(p) & 0xFFFFFFFFu);
}

}  // namespace

// ---------------------------------------------------------------------------
// FileRecord

FileRecord::FileRecord(const std::wstring &registered, const std::wstring &watched, const ACE_Time_Value &interval,
                       std::uint64_t creds, bool idle)
    : registeredPath(registered),
      path(watched),
      lastWarnTime(0),
      checkInterval(interval),
      key(IFileMonitor::kNoKey),
      hCreds(creds),
      wantIdle(idle),
      queued(false),
      initialized(false),
      inDueIndex(false) {
  ScheduleNextCheck();
}

FileRecord::~FileRecord() = default;

void FileRecord::ScheduleNextCheck() { nextCheck = VantrelPlatform::SystemTimeNow() + checkInterval; }

// ---------------------------------------------------------------------------
// Construction and settings

struct FileMonitorCore::WorkerContext {
  Log threadLog;
  ISecurityManager *securityManager = nullptr;
  std::uint64_t currentCreds = 0;
  bool credsOk = false;
  std::uint32_t status = 0;     // of the last switch attempt
  std::uint32_t lastError = 0;  // the thread's last error right after it
  std::vector<IFileMonitorSink *> sinks;
};

FileMonitorCore::FileMonitorCore(const MonitorKind &monitorKind)
    : usThreadsPerIncrement(kDefaultThreadsPerIncrement),
      dBacklogCheckIntervalMillis(kDefaultBacklogCheckIntervalMillis),
      sDispositionMinThreshold(kDefaultDispositionMinThreshold),
      sDispositionMaxThreshold(kDefaultDispositionMaxThreshold),
      lBacklogCheckStartupDelaySec(kDefaultBacklogCheckStartupDelaySec),
      lMinDataPointsForCalc(kDefaultMinDataPointsForCalc),
      ulCheckPeriodMillis(kDefaultCheckPeriodMillis),
      hDefaultCreds(0),
      bInitialized(false),
      usReaderThreadsMin(kDefaultReaderThreadsMin),
      usReaderThreadsMax(kDefaultReaderThreadsMax),
      kind(monitorKind),
      lastQueueFullWarning(0),
      bStopped(false),
      bQuitPosted(false),
      ullChecks(0),
      ullReports(0) {
  msg_queue()->low_water_mark(kQueueLowWaterMark);
  msg_queue()->high_water_mark(kQueueHighWaterMark);
  Format(strLogName, "Code.%s.x%04X", kind.className, LowBits(this));
  log = LoggerFactory::GetLog(strLogName);
  spTimerHandler = std::make_shared<TimerCallbackHandler<FileMonitorCore, TimerJob_t>>(this);
}

// The concrete destructors call StopAndQuiesce while the whole object still
// stands; by now no worker and no timer callback runs.
FileMonitorCore::~FileMonitorCore() = default;

void FileMonitorCore::StopAndQuiesce() {
  Stop();
  // Joining the scheduler's thread makes sure that no timer callback still
  // reaches into this object once its members start to go.
  spScheduler.reset();
}

void FileMonitorCore::Initialize(const Settings &settings) {
  if (bInitialized.load() || bStopped.load()) {
    log.Warn("Initialize called on a monitor that is %s; ignored.",
             bStopped.load() ? "stopped" : "already initialized");
    return;
  }
  EnvironmentBlockHelper config(settings);
  tvStart = VantrelPlatform::SystemTimeNow();

  unsigned int numberOfDataPoints = 0;
  config.GetIntegerValue("FileMonitor.ReaderThreadsMin", usReaderThreadsMin, kDefaultReaderThreadsMin);
  config.GetIntegerValue("FileMonitor.ReaderThreadsMax", usReaderThreadsMax, kDefaultReaderThreadsMax);
  if (usReaderThreadsMax < usReaderThreadsMin) {
    usReaderThreadsMax = usReaderThreadsMin == std::numeric_limits<unsigned short>::max()
                             ? usReaderThreadsMin
                             : static_cast<unsigned short>(usReaderThreadsMin + 1);
  }
  config.GetFloatValue("FileMonitor.BacklogMonitor.BacklogCheckIntervalMillis", dBacklogCheckIntervalMillis,
                       kDefaultBacklogCheckIntervalMillis);
  config.GetIntegerValue("FileMonitor.BacklogMonitor.BacklogCheckStartupDelaySec", lBacklogCheckStartupDelaySec,
                         kDefaultBacklogCheckStartupDelaySec);
  config.GetIntegerValue("FileMonitor.BacklogMonitor.NumberOfDataPoints", numberOfDataPoints,
                         kDefaultNumberOfDataPoints);
  config.GetIntegerValue("FileMonitor.BacklogMonitor.MinNumberOfDataPointsForCalc", lMinDataPointsForCalc,
                         kDefaultMinDataPointsForCalc);
  config.GetIntegerValue("FileMonitor.NumberOfBacklogThreadsPerIncrement", usThreadsPerIncrement,
                         kDefaultThreadsPerIncrement);
  config.GetIntegerValue("EventLogMonitor.ScheduleExpirySweepPeriodMillis", ulCheckPeriodMillis,
                         kDefaultCheckPeriodMillis);
  config.GetIntegerValue("FileMonitor.BacklogDispositionMinThreshold", sDispositionMinThreshold,
                         kDefaultDispositionMinThreshold);
  config.GetIntegerValue("FileMonitor.BacklogDispositionMaxThreshold", sDispositionMaxThreshold,
                         kDefaultDispositionMaxThreshold);

  // A period of zero would make a timer fire once and never again.
  if (ulCheckPeriodMillis == 0) {
    log.Warn("EventLogMonitor.ScheduleExpirySweepPeriodMillis must be at least 1; using %u.",
             kDefaultCheckPeriodMillis);
    ulCheckPeriodMillis = kDefaultCheckPeriodMillis;
  }
  if (!(dBacklogCheckIntervalMillis >= 1.0) || dBacklogCheckIntervalMillis > 86400000.0) {
    log.Warn("FileMonitor.BacklogMonitor.BacklogCheckIntervalMillis must be between 1 and 86400000; using %.0f.",
             kDefaultBacklogCheckIntervalMillis);
    dBacklogCheckIntervalMillis = kDefaultBacklogCheckIntervalMillis;
  }

  spBacklogMonitor = std::make_shared<BacklogMonitor>(numberOfDataPoints);
  spScheduler = std::make_shared<Scheduler>();

  const auto backlogPeriod = SpanFromMillis(static_cast<std::uint64_t>(dBacklogCheckIntervalMillis));
  ACE_Time_Value firstBacklogCheck = tvStart;
  firstBacklogCheck += ACE_Time_Value(static_cast<time_t>(lBacklogCheckStartupDelaySec));
  spBacklogTimer = spScheduler->Schedule(spTimerHandler,
                                         reinterpret_cast<const void *>(static_cast<std::uintptr_t>(
                                             TIMER_JOB_CHECK_BACKLOG)),
                                         backlogPeriod, firstBacklogCheck);
  spCheckTimer = spScheduler->Schedule(
      spTimerHandler, reinterpret_cast<const void *>(static_cast<std::uintptr_t>(TIMER_JOB_CHECK_FILES)),
      SpanFromMillis(ulCheckPeriodMillis), VantrelPlatform::SystemTimeNow());
  bInitialized = true;
}

// ---------------------------------------------------------------------------
// Timer jobs and the pool

void FileMonitorCore::OnTimerExpired(TimerJob_t job) {
  MonitorGuard guard(mtxMonitor);
  if (!bInitialized.load()) {
    return;
  }
  try {
    if (job == TIMER_JOB_CHECK_BACKLOG) {
      AdaptToProcessingBacklog();
    } else if (job == TIMER_JOB_CHECK_FILES) {
      CheckFiles();
    }
  } catch (const std::exception &error) {
    // Out of memory, most likely; the next run of the job tries again.
    log.Error("Timer job %d failed: %s", static_cast<int>(job), error.what());
  }
}

void FileMonitorCore::ActivateThreads(unsigned short n) {
  if (n == 0) {
    return;
  }
  std::lock_guard<std::mutex> pool(mtxPool);
  // Tested under mtxPool: Stop sets the mark before it takes mtxPool to join
  // the pool, so no thread can start after that join has begun.
  if (bStopped.load()) {
    return;
  }
  ReapExitedWorkers();
  activate(0, n, 1, 0, -1, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
}

void FileMonitorCore::TopUpPool() {
  const auto running = static_cast<std::size_t>(thr_count());
  if (running < usReaderThreadsMin) {
    ActivateThreads(static_cast<unsigned short>(usReaderThreadsMin - running));
  }
}

void FileMonitorCore::AdaptToProcessingBacklog() {
  JoinEndedWorkers();
  const auto backlog = static_cast<int>(msg_queue()->message_count());
  const ACE_Time_Value elapsed = VantrelPlatform::SystemTimeNow() - tvStart;
  spBacklogMonitor->AddSample(static_cast<double>(static_cast<unsigned long>(elapsed.msec())),
                              static_cast<double>(backlog));
  // The minimum is widened with its sign and compared unsigned, so a
  // negative minimum is never exceeded and no decision is ever made.
  const auto minimum = static_cast<std::uint64_t>(static_cast<std::int64_t>(lMinDataPointsForCalc));
  if (static_cast<std::uint64_t>(spBacklogMonitor->GetSampleCount()) <= minimum) {
    return;
  }
  const short disposition = spBacklogMonitor->UpdateDisposition();
  const auto threads = static_cast<int>(thr_count());
  const double slope = spBacklogMonitor->Compute().first;

  if (disposition >= sDispositionMaxThreshold && backlog > threads) {
    const int room = static_cast<int>(usReaderThreadsMax) - threads;
    const int n = std::min(static_cast<int>(usThreadsPerIncrement), room);
    if (threads < static_cast<int>(usReaderThreadsMax)) {
      log.Info("Backlog exceeding load threshold; starting more worker threads (%d of %d active). Current "
               "backlog = %12.8f/%d",
               threads + n, static_cast<int>(usReaderThreadsMax), slope, backlog);
      ActivateThreads(static_cast<unsigned short>(n));
    } else {
      log.Warn("Backlog exceeded load threshold and we've reached the configured maximum number of %d worker "
               "threads.  Current backlog = %12.8f/%d",
               static_cast<int>(usReaderThreadsMax), slope, backlog);
    }
    spBacklogMonitor->Clear();
  } else if (disposition <= sDispositionMinThreshold) {
    if (threads > static_cast<int>(usReaderThreadsMin)) {
      log.Info("Backlog has been very low; decommissioning a worker thread (%d of %d still active).", threads - 1,
               static_cast<int>(usReaderThreadsMax));
      const FileMonitorMessage retire(std::wstring(), nullptr, FileMonitorMessage::MONITOR_ACTION_RETIRE_THREAD);
      // A low verdict means the queue is nearly empty; should it be full
      // after all, the retirement waits for the next verdict rather than
      // blocking the timer thread under the monitor lock.
      PutWithoutWaiting(retire.ToBlock());
    }
    spBacklogMonitor->Clear();
  }
}

bool FileMonitorCore::PutWithoutWaiting(ACE_Message_Block *block) {
  ACE_Time_Value noWait(ACE_Time_Value::zero);
  if (putq(block, &noWait) < 0) {
    block->release();
    return false;
  }
  return true;
}

void FileMonitorCore::NoteExitedWorker() {
  std::lock_guard<std::mutex> guard(mtxExited);
  exitedWorkers.push_back(ACE_Thread::self());
}

// Workers that retired or failed before Stop found the pool empty.
void FileMonitorCore::JoinEndedWorkers() {
  std::lock_guard<std::mutex> pool(mtxPool);
  ReapExitedWorkers();
}

// Called with mtxPool held, which keeps it apart from Stop's join of the
// whole pool. Workers that ended on their own (a retire message, an error) are joined
// here, so that a pool that grows and shrinks for months does not pile up
// unjoined threads. A worker notes itself just before it returns, so a join
// waits at most for the last steps of its exit.
void FileMonitorCore::ReapExitedWorkers() {
  std::vector<ACE_thread_t> ended;
  {
    std::lock_guard<std::mutex> guard(mtxExited);
    ended.swap(exitedWorkers);
  }
  for (ACE_thread_t id : ended) {
    thr_mgr()->join(id);
  }
}

// ---------------------------------------------------------------------------
// Registration

void FileMonitorCore::SetDefaultCredentials(const std::uint64_t &hCreds) { hDefaultCreds = hCreds; }

void FileMonitorCore::AddMonitor(const std::wstring &path, IFileMonitorSink *sink, unsigned int check,
                                 const std::uint64_t &hCreds, bool wantIdle) {
  if (kind.refusesAddWhenNotRunning && !bInitialized.load()) {
    std::string message;
    Format(message, "%s - You can't add file %ls to the file monitor before you call Initialize()", kind.className,
           path.c_str());
    throw InitializationException(kind.className, std::string("WindowsAgentCommon::") + kind.className +
                                                      "::AddMonitor",
                                  134, message);
  }
  try {
    TopUpPool();
    MonitorGuard guard(mtxMonitor);
    const ACE_Time_Value interval = SpanFromMillis(check);
    if (kind.logsRegistrationAndChecks) {
      log.Debug("Adding monitor for %ls  check: %d  hCreds: %I64u  wantIdle: %d", path.c_str(),
                static_cast<int>(check), hCreds, wantIdle ? 1 : 0);
    }
    auto found = mapFiles.find(path);
    if (found == mapFiles.end()) {
      const std::uint64_t creds = hCreds == kDefaultCredentials ? hDefaultCreds.load() : hCreds;
      std::shared_ptr<FileRecord> record = NewRecord(path, interval, creds, wantIdle);
      FileRecord::DueIndex nodeMaker;
      nodeMaker.emplace(0, record.get());
      record->parkedNode = nodeMaker.extract(nodeMaker.begin());
      registry.RegisterString(path, record->key);
      record->sinks.insert(sink);
      found = mapFiles.emplace(path, record).first;
    } else {
      FileRecord &record = *found->second;
      record.sinks.insert(sink);
      if (record.checkInterval > interval) {
        record.checkInterval = interval;
        record.ScheduleNextCheck();
      }
    }
    Reindex(*found->second);
  } catch (...) {
    // A registration that cannot be made is not made; the caller's thread
    // goes on. The lock guard has released mtxMonitor.
  }
}

void FileMonitorCore::RemoveMonitor(const std::wstring &path, IFileMonitorSink *sink) {
  try {
    log.Debug(kind.removeLineFormat, path.c_str());
    MonitorGuard guard(mtxMonitor);
    auto found = mapFiles.find(path);
    if (found != mapFiles.end()) {
      found->second->sinks.erase(sink);
      Reindex(*found->second);
    }
  } catch (...) {
  }
}

// Moves the record's node to its due time, or parks it when the record has
// no receivers. Allocates nothing, so it cannot fail halfway.
void FileMonitorCore::Reindex(FileRecord &record) {
  FileRecord::DueIndex::node_type node =
      record.inDueIndex ? dueIndex.extract(record.dueEntry) : std::move(record.parkedNode);
  record.inDueIndex = false;
  if (record.sinks.empty()) {
    record.parkedNode = std::move(node);
    return;
  }
  node.key() = Microseconds(record.nextCheck);
  record.dueEntry = dueIndex.insert(std::move(node));
  record.inDueIndex = true;
}

std::wstring FileMonitorCore::GetFilename(const std::int64_t &key) {
  std::wstring path;
  registry.GetString(key, path);
  return path;
}

bool FileMonitorCore::IsMonitored(const std::wstring &path) const {
  MonitorGuard guard(mtxMonitor);
  return mapFiles.find(path) != mapFiles.end();
}

bool FileMonitorCore::HasSinkTargets(const std::wstring &path, IFileMonitorSink *sink) const {
  MonitorGuard guard(mtxMonitor);
  auto found = mapFiles.find(path);
  if (found == mapFiles.end()) {
    return false;
  }
  const auto &sinks = found->second->sinks;
  return sink == nullptr ? !sinks.empty() : sinks.count(sink) != 0;
}

FileMonitorStatistics FileMonitorCore::GetStatistics() const {
  FileMonitorStatistics stats;
  {
    MonitorGuard guard(mtxMonitor);
    stats.paths = mapFiles.size();
  }
  stats.threads = static_cast<std::size_t>(const_cast<FileMonitorCore *>(this)->thr_count());
  stats.queued = const_cast<FileMonitorCore *>(this)->msg_queue()->message_count();
  stats.checks = ullChecks.load();
  stats.reports = ullReports.load();
  return stats;
}

// ---------------------------------------------------------------------------
// The sweep

// Takes the due records in order of their due time, as many as the queue has
// room for, and queues them in table key order. Work is in proportion to the
// records that are due, never to the size of the table, and nothing here
// waits for queue room: what does not fit stays due for a later sweep.
void FileMonitorCore::CheckFiles() {
  MonitorGuard guard(mtxMonitor);
  const std::int64_t now = Microseconds(VantrelPlatform::SystemTimeNow());
  ACE_Message_Queue<ACE_MT_SYNCH> *queue = msg_queue();
  const std::size_t bytes = queue->message_bytes();
  const std::size_t highWater = queue->high_water_mark();
  std::size_t room =
      bytes >= highWater ? 0 : (highWater - bytes + FileMonitorMessage::kImageSize - 1) / FileMonitorMessage::kImageSize;

  sweepBatch.clear();
  bool deferred = false;
  for (auto it = dueIndex.begin(); it != dueIndex.end() && it->first <= now; ++it) {
    if (sweepBatch.size() == room) {
      deferred = true;
      break;
    }
    FileRecord *record = it->second;
    // A record whose lock is busy, or whose check still waits or runs, is
    // not queued now; it stays due and is looked at again next sweep.
    if (record->mtx.tryacquire() != 0) {
      continue;
    }
    const bool alreadyQueued = record->queued;
    record->queued = true;
    record->mtx.release();
    if (!alreadyQueued) {
      sweepBatch.push_back(record);
    }
  }
  std::sort(sweepBatch.begin(), sweepBatch.end(),
            [](const FileRecord *a, const FileRecord *b) { return a->registeredPath < b->registeredPath; });

  // Records of the batch from `first` on were marked but not queued: they
  // stay due for a later sweep.
  auto unmark = [this](std::size_t first) {
    for (std::size_t j = first; j < sweepBatch.size(); ++j) {
      ACE_Guard<ACE_Recursive_Thread_Mutex> recordGuard(sweepBatch[j]->mtx);
      sweepBatch[j]->queued = false;
    }
  };
  std::size_t i = 0;
  try {
    for (; i < sweepBatch.size(); ++i) {
      FileRecord &record = *sweepBatch[i];
      const auto action = record.wantIdle ? FileMonitorMessage::MONITOR_ACTION_CHECK_AND_REPORT
                                          : FileMonitorMessage::MONITOR_ACTION_CHECK;
      const FileMonitorMessage message = FileMonitorMessage::Fits(record.registeredPath)
                                             ? FileMonitorMessage(record.registeredPath, nullptr, action)
                                             : FileMonitorMessage::ForKey(record.key, nullptr, action);
      if (!PutWithoutWaiting(message.ToBlock())) {
        // The room was taken after all (a worker handed a quit message on).
        unmark(i);
        deferred = true;
        break;
      }
      record.ScheduleNextCheck();
      Reindex(record);
    }
  } catch (...) {
    unmark(i);
    throw;
  }

  if (deferred) {
    const std::int64_t seconds = _time64(nullptr);
    if (seconds - lastQueueFullWarning > kWarningIntervalSec) {
      lastQueueFullWarning = seconds;
      log.Warn("The check queue is full (%d messages waiting); due checks are deferred to later sweeps.",
               static_cast<int>(queue->message_count()));
    }
  }
}

// ---------------------------------------------------------------------------
// The worker loop

int FileMonitorCore::svc() {
  tlsWorkerOf = this;
  WorkerContext ctx;
  ctx.currentCreds = hDefaultCreds.load();
  ctx.securityManager = dynamic_cast<ISecurityManager *>(_getService(ISecurityManager::GetServiceName()));
  std::string threadLogName;
  Format(threadLogName, "%s.thread.x%04X", strLogName.c_str(),
         static_cast<unsigned int>(static_cast<std::uint64_t>(thr_mgr()->thr_self()) & 0xFFFFFFFFu));
  ctx.threadLog = LoggerFactory::GetLog(threadLogName);

  if (ctx.securityManager != nullptr) {
    ctx.status = static_cast<std::uint32_t>(ctx.securityManager->SwitchToCredentials(ctx.currentCreds));
    ctx.lastError = GetLastError();
    ctx.credsOk = ctx.status == 0;
  } else {
    ctx.credsOk = ctx.currentCreds == 0;
    ctx.status = ctx.credsOk ? 0 : kNoSecurityManagerStatus;
    ctx.lastError = ctx.status;
  }
  ctx.threadLog.Debug("RUNNING");
  FsRedirection redirection;
  redirection.Disable(ctx.threadLog);

  bool quitting = false;
  try {
    for (;;) {
      ACE_Message_Block *block = nullptr;
      if (getq(block) < 0) {
        throw InterruptedException(kind.className, std::string("WindowsAgentCommon::") + kind.className + "::svc",
                                   __LINE__);
      }
      if (block == nullptr) {
        continue;
      }
      BlockGuard taken(block);
      FileMonitorMessage message;
      Unmarshal(block, message);
      switch (message.eAction) {
        case FileMonitorMessage::MONITOR_ACTION_QUIT: {
          // The duplicate shares the block's data and its reference count,
          // which is not thread-safe: this worker lets go of its own block
          // before the duplicate becomes visible to the next worker.
          block->rd_ptr(block->base());
          ACE_Message_Block *passOn = block->duplicate();
          taken.Release();
          ungetq(passOn);
          quitting = true;
          throw InterruptedException(kind.className, std::string("WindowsAgentCommon::") + kind.className + "::svc",
                                     __LINE__);
        }
        case FileMonitorMessage::MONITOR_ACTION_RETIRE_THREAD:
          taken.Release();
          throw InterruptedException(kind.className, std::string("WindowsAgentCommon::") + kind.className + "::svc",
                                     __LINE__);
        case FileMonitorMessage::MONITOR_ACTION_CHECK:
        case FileMonitorMessage::MONITOR_ACTION_CHECK_AND_REPORT:
          HandleCheck(ctx, message);
          break;
        default:
          break;
      }
    }
  } catch (const InterruptedException &) {
    ctx.threadLog.Debug(
        "We have no more work to do and we are considered to be an extra thread (or we are quitting). Exiting.");
  } catch (...) {
    ctx.threadLog.Error("BAD exception thrown.");
  }

  redirection.Revert(ctx.threadLog);
  ctx.threadLog.Debug(kind.exitLine);
  if (!quitting) {
    // Stop joins the workers that it ends; the others are joined by the pool.
    NoteExitedWorker();
  }
  tlsWorkerOf = nullptr;
  return 0;
}

std::shared_ptr<FileRecord> FileMonitorCore::LookUp(const FileMonitorMessage &message) {
  std::wstring path;
  if (message.CarriesKey()) {
    if (!registry.GetString(message.Key(), path)) {
      return nullptr;
    }
  } else {
    path = message.Path();
  }
  MonitorGuard guard(mtxMonitor);
  auto found = mapFiles.find(path);
  return found == mapFiles.end() ? nullptr : found->second;
}

void FileMonitorCore::HandleCheck(WorkerContext &ctx, const FileMonitorMessage &message) {
  std::shared_ptr<FileRecord> record = LookUp(message);
  if (!record) {
    return;  // no such record: the message is dropped
  }
  QueuedMarkGuard clearQueued(*record);
  if (kind.logsRegistrationAndChecks) {
    ctx.threadLog.Debug("CHECK File %ls", record->path.c_str());
  }
  SwitchCredentials(ctx, *record);
  if (!ctx.credsOk) {
    WarnCredentials(ctx, *record);
    return;
  }
  if (!record->HasAcceptedState()) {
    record->InitialScan();
  }
  const int flags = CheckFile(*record, ctx.threadLog);
  ullChecks.fetch_add(1, std::memory_order_relaxed);
  if (flags != 0 || message.eAction == FileMonitorMessage::MONITOR_ACTION_CHECK_AND_REPORT) {
    FireFileChange(*record, flags);
  }
}

// A failed switch leaves the worker at credentials 0 with a failed result:
// the thread's identity after a failed switch is not trusted, so records of
// handle 0 that this worker takes next are refused too, until a switch for
// some other record succeeds.
void FileMonitorCore::SwitchCredentials(WorkerContext &ctx, const FileRecord &record) {
  if (record.hCreds == ctx.currentCreds) {
    return;  // the result of the last attempt stands
  }
  if (kind.logsRegistrationAndChecks) {
    ctx.threadLog.Debug("switching creds to %I64u", record.hCreds);
  }
  if (ctx.securityManager != nullptr) {
    ctx.securityManager->RevertCredentials();
    ctx.currentCreds = 0;
    ctx.status = static_cast<std::uint32_t>(ctx.securityManager->SwitchToCredentials(record.hCreds));
    ctx.lastError = GetLastError();
    ctx.credsOk = ctx.status == 0;
    if (ctx.credsOk) {
      ctx.currentCreds = record.hCreds;
    }
  } else {
    ctx.currentCreds = 0;
    ctx.credsOk = record.hCreds == 0;
    ctx.status = ctx.credsOk ? 0 : kNoSecurityManagerStatus;
    ctx.lastError = ctx.status;
  }
}

bool FileMonitorCore::WarningDue(FileRecord &record) {
  const std::int64_t now = _time64(nullptr);
  if (now - record.lastWarnTime <= kWarningIntervalSec) {
    return false;
  }
  record.lastWarnTime = now;
  return true;
}

void FileMonitorCore::WarnCredentials(WorkerContext &ctx, FileRecord &record) {
  if (!WarningDue(record)) {
    return;
  }
  if (kind.credentialsWarningInUtf8) {
    std::string reason;
    GetLastErrorText(ctx.status, reason);
    ctx.threadLog.Warn("There was a problem trying to switch to the proper security credentials for file %s; will "
                       "try again later. Reason: %s",
                       VantrelPlatform::ToUtf8(record.path).c_str(), reason.c_str());
  } else {
    ctx.threadLog.Warn("There was a problem trying to switch to the proper security credentials for file %ls; will "
                       "try again later. Reason: %s",
                       record.path.c_str(), LastError(ctx.lastError).c_str());
  }
}

void FileMonitorCore::FireFileChange(FileRecord &record, int flags) {
  std::vector<IFileMonitorSink *> sinks;
  {
    MonitorGuard guard(mtxMonitor);
    sinks.assign(record.sinks.begin(), record.sinks.end());
  }
  if (sinks.empty() && !kind.reportsWithoutReceivers) {
    return;
  }
  log.Debug("File changed %d - %ls", flags, record.path.c_str());
  for (IFileMonitorSink *sink : sinks) {
    if (sink == nullptr) {
      continue;
    }
    try {
      ullReports.fetch_add(1, std::memory_order_relaxed);
      sink->OnFileChanged(record.key, static_cast<unsigned int>(flags));
    } catch (...) {
      // A receiver's failure is its own; the others still hear of the change.
    }
  }
}

// ---------------------------------------------------------------------------
// Stop

void FileMonitorCore::Stop() {
  log.Debug("Stop requested");
  const bool onWorker = tlsWorkerOf == this;
  std::unique_lock<std::mutex> serial(mtxStop, std::defer_lock);
  if (!onWorker) {
    serial.lock();
  }
  if (!bInitialized.load() && !bQuitPosted.load() && thr_count() == 0) {
    JoinEndedWorkers();
    return;
  }

  ACE_Message_Block *quit = nullptr;
  {
    MonitorGuard guard(mtxMonitor);
    const bool wasInitialized = bInitialized.exchange(false);
    bStopped = true;
    if (wasInitialized && spScheduler) {
      spScheduler->Cancel(spCheckTimer);
      spScheduler->Cancel(spBacklogTimer);
      // Lets a sweep that began before the cancel drain out before the
      // workers are told to quit.
      Sleep(static_cast<DWORD>(std::min<std::uint64_t>(2ull * ulCheckPeriodMillis, 0xFFFFFFFEull)));
    }
    if (!bQuitPosted.load()) {
      if (thr_count() == 0) {
        guard.release();
        JoinEndedWorkers();
        return;
      }
      quit = FileMonitorMessage(std::wstring(), nullptr, FileMonitorMessage::MONITOR_ACTION_QUIT).ToBlock();
      log.Debug("Putting quit message into queue...");
    }
  }
  // Checks still waiting would never be done: the quit message goes ahead of
  // them. Releasing them now leaves the quit message room, so its put never
  // waits, not even on a worker of this monitor whose pool could not drain a
  // full queue while it is busy here.
  if (quit != nullptr) {
    msg_queue()->flush();
    msg_queue()->enqueue_head(quit);
    bQuitPosted = true;
  }
  if (onWorker) {
    log.Warn("Stop was called on a worker thread of this monitor; the workers will end, but this call cannot "
             "wait for them.");
    return;
  }
  WaitForWorkers();
  flush(ACE_Task_Flags::ACE_FLUSHALL);
  bQuitPosted = false;
  log.Debug("Stopped.");
}

void FileMonitorCore::WaitForWorkers() {
  if (kind.pollsThreadCountOnStop) {
    while (thr_count() != 0) {
      log.Debug("Waiting for %d threads to exit...", static_cast<int>(thr_count()));
      Sleep(100);
    }
  } else {
    log.Debug("Waiting...");
  }
  // Joining is what makes it safe to destroy the task afterwards: a worker
  // still touches the task for a moment after the thread count drops.
  std::lock_guard<std::mutex> pool(mtxPool);
  wait();
  std::lock_guard<std::mutex> guard(mtxExited);
  exitedWorkers.clear();
}

}  // namespace WindowsAgentCommon
