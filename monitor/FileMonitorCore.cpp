// Construction, settings and the two timer jobs of a monitor.
//
// Threads: the constructor and Initialize run on the creator's thread (the
// factory's), before any worker or timer exists. OnTimerExpired runs on the
// scheduler's one thread, with mtxMonitor held for the whole job, and hands
// on to the sweep (FileMonitorSweep.cpp) or to the pool's adaptation to the
// backlog (FileMonitorPool.cpp). GetStatistics may be called from any thread.
//
// Lifetime: the scheduler, and with it the timer thread, is created here and
// ends in StopAndQuiesce (FileMonitorStop.cpp), which each concrete
// destructor calls before any member goes. The timer handler holds a plain
// pointer back to the monitor; it is never called once the monitor's
// scheduler is gone.
#include "monitor/FileMonitorCore.h"

#include "monitor/FileMonitorCoreInternal.h"

#include <Platform/Win32Api.h>
#include <VantrelCommon/EnvironmentBlockHelper.h>
#include <VantrelCommon/MessageBlockUtil.h>

#include <limits>

namespace WindowsAgentCommon {

using core::MonitorGuard;
using core::SpanFromMillis;

namespace {

std::uint32_t LowBits(const void *p) {
  return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(p) & 0xFFFFFFFFu);
}

// Reads one setting; a value that makes no sense is replaced by the
// default with a Warn line.
template <MonitorSettingId id>
void ReadSetting(const EnvironmentBlockHelper &config, SettingValue<id> &out, Log &log) {
  std::string written;
  if (!ReadMonitorSetting<id>(config, out, written)) {
    const MonitorSetting &setting = kMonitorSettings[id];
    log.Warn("%s %s; using %s.", setting.name, RefusalText(setting, written).c_str(), DefaultText(setting).c_str());
  }
}

}  // namespace

FileMonitorCore::FileMonitorCore(const MonitorKind &monitorKind)
    : hDefaultCreds(0),
      bInitialized(false),
      pool_(*this, log),
      kind_(monitorKind),
      sweep_(kQueueHighWaterMark / FileMonitorMessage::kImageSize + 1) {
  msg_queue(&queue_);
  msg_queue()->low_water_mark(kQueueLowWaterMark);
  msg_queue()->high_water_mark(kQueueHighWaterMark);
  Format(strLogName, "Code.%s.x%04X", kind_.className, LowBits(this));
  log = LoggerFactory::GetLog(strLogName);
  spTimerHandler = std::make_shared<TimerCallbackHandler<FileMonitorCore, TimerJob_t>>(this);
}

void FileMonitorCore::Initialize(const Settings &given) {
  if (bInitialized.load() || pool_.Closed()) {
    log.Warn("Initialize called on a monitor that is %s; ignored.",
             pool_.Closed() ? "stopped" : "already initialized");
    return;
  }
  EnvironmentBlockHelper config(given);
  tvStart = VantrelPlatform::SystemTimeNow();
  startMonotonic_ = VantrelPlatform::MonotonicNow();

  MonitorSettingValues read;
  ReadSetting<kReaderThreadsMin>(config, read.usReaderThreadsMin, log);
  ReadSetting<kReaderThreadsMax>(config, read.usReaderThreadsMax, log);
  if (read.usReaderThreadsMax < read.usReaderThreadsMin) {
    read.usReaderThreadsMax = read.usReaderThreadsMin == std::numeric_limits<unsigned short>::max()
                                  ? read.usReaderThreadsMin
                                  : static_cast<unsigned short>(read.usReaderThreadsMin + 1);
  }
  ReadSetting<kBacklogCheckIntervalMillis>(config, read.dBacklogCheckIntervalMillis, log);
  ReadSetting<kBacklogCheckStartupDelaySec>(config, read.lBacklogCheckStartupDelaySec, log);
  ReadSetting<kNumberOfDataPoints>(config, read.numberOfDataPoints, log);
  ReadSetting<kMinDataPointsForCalc>(config, read.lMinDataPointsForCalc, log);
  ReadSetting<kThreadsPerIncrement>(config, read.usThreadsPerIncrement, log);
  ReadSetting<kCheckPeriodMillis>(config, read.ulCheckPeriodMillis, log);
  ReadSetting<kDispositionMinThreshold>(config, read.sDispositionMinThreshold, log);
  ReadSetting<kDispositionMaxThreshold>(config, read.sDispositionMaxThreshold, log);
  ReadSetting<kReportReplacement>(config, read.reportReplacement, log);
  ReadSetting<kFullCheckPeriodMillis>(config, read.fullCheckPeriodMillis, log);
  ReadSetting<kCheckWhenNotified>(config, read.checkWhenNotified, log);
  if (!BacklogWindowHoldsDecision(read.numberOfDataPoints, static_cast<double>(read.lMinDataPointsForCalc))) {
    log.Warn("%s (%u) must be above %s (%ld); using %u and %ld.", kMonitorSettings[kNumberOfDataPoints].name,
             read.numberOfDataPoints, kMonitorSettings[kMinDataPointsForCalc].name, read.lMinDataPointsForCalc,
             DefaultOf<kNumberOfDataPoints>(), DefaultOf<kMinDataPointsForCalc>());
    read.numberOfDataPoints = DefaultOf<kNumberOfDataPoints>();
    read.lMinDataPointsForCalc = DefaultOf<kMinDataPointsForCalc>();
  }
  static_cast<MonitorSettingValues &>(*this) = read;

  spBacklogMonitor = std::make_shared<BacklogMonitor>(numberOfDataPoints);
  const auto backlogPeriod = SpanFromMillis(static_cast<std::uint64_t>(dBacklogCheckIntervalMillis));
  ACE_Time_Value firstBacklogCheck = tvStart;
  firstBacklogCheck += ACE_Time_Value(static_cast<time_t>(lBacklogCheckStartupDelaySec));
  const ACE_Time_Value firstSweep = VantrelPlatform::SystemTimeNow();
  {
    MonitorGuard guard(mtxMonitor);
    sweep_.Start(core::Microseconds(VantrelPlatform::MonotonicNow()));
  }
  StartTimers(spTimerHandler, TIMER_JOB_CHECK_BACKLOG, backlogPeriod, firstBacklogCheck, TIMER_JOB_CHECK_FILES,
              SpanFromMillis(ulCheckPeriodMillis), firstSweep);
  bInitialized = true;
}

void FileMonitorCore::OnTimerExpired(TimerJob_t job) { RunJob(job, SweepStart::kTick); }

void FileMonitorCore::RunJob(TimerJob_t job, SweepStart start) {
  MonitorGuard guard(mtxMonitor);
  if (!bInitialized.load()) {
    return;
  }
  try {
    if (job == TIMER_JOB_CHECK_BACKLOG) {
      AdaptToProcessingBacklog();
    } else if (job == TIMER_JOB_CHECK_FILES) {
      CheckFilesLocked(start);
    }
  } catch (const std::exception &error) {
    // Out of memory, most likely; the next run of the job tries again.
    log.Error("Timer job %d failed: %s", static_cast<int>(job), error.what());
  }
}

void FileMonitorCore::CheckFiles() {
  MonitorGuard guard(mtxMonitor);
  CheckFilesLocked();
}

FileMonitorStatistics FileMonitorCore::GetStatistics() const {
  FileMonitorStatistics stats;
  {
    MonitorGuard guard(mtxMonitor);
    stats.paths = mapFiles.size();
  }
  stats.threads = static_cast<std::size_t>(const_cast<FileMonitorCore *>(this)->thr_count());
  stats.queued = MessagesWaiting();
  stats.checks = counters_.Checks();
  stats.reports = counters_.Reports();
  return stats;
}

}  // namespace WindowsAgentCommon
