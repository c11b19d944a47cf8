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
// pointer back to the monitor; it is never called once the scheduler's thread
// has been joined.
#include "monitor/FileMonitorCore.h"

#include "monitor/FileMonitorCoreInternal.h"

#include <Platform/Win32Api.h>
#include <VantrelCommon/EnvironmentBlockHelper.h>
#include <VantrelCommon/MessageBlockUtil.h>

#include <cctype>
#include <limits>

namespace WindowsAgentCommon {

using core::MonitorGuard;
using core::SpanFromMillis;

namespace {

std::uint32_t LowBits(const void *p) {
  return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(p) & 0xFFFFFFFFu);
}

// A yes/no setting: true, false, yes, no, on, off, 1 or 0, in any case.
bool ParseSwitch(const std::string &text, bool &out) {
  std::string lower;
  for (char c : text) {
    lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  if (lower == "true" || lower == "yes" || lower == "on" || lower == "1") {
    out = true;
    return true;
  }
  if (lower == "false" || lower == "no" || lower == "off" || lower == "0") {
    out = false;
    return true;
  }
  return false;
}

}  // namespace

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
      bReportReplacement(kDefaultReportReplacement),
      tvFullCheckPeriod(SpanFromMillis(kDefaultFullCheckPeriodMillis)),
      kind(monitorKind),
      lastQueueFullWarning(0),
      bSweepDeferred(false),
      llSweepOrigin(0),
      lastStartFailure(0),
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

void FileMonitorCore::Initialize(const Settings &settings) {
  if (bInitialized.load() || bStopped.load()) {
    log.Warn("Initialize called on a monitor that is %s; ignored.",
             bStopped.load() ? "stopped" : "already initialized");
    return;
  }
  EnvironmentBlockHelper config(settings);
  tvStart = VantrelPlatform::SystemTimeNow();
  tvStartMonotonic = VantrelPlatform::MonotonicNow();

  unsigned int numberOfDataPoints = 0;
  config.GetIntegerValue("FileMonitor.ReaderThreadsMin", usReaderThreadsMin, kDefaultReaderThreadsMin);
  config.GetIntegerValue("FileMonitor.ReaderThreadsMax", usReaderThreadsMax, kDefaultReaderThreadsMax);
  // No worker would ever start, and nothing would be checked.
  if (usReaderThreadsMin == 0) {
    log.Warn("FileMonitor.ReaderThreadsMin must be at least 1; using %u.",
             static_cast<unsigned int>(kDefaultReaderThreadsMin));
    usReaderThreadsMin = kDefaultReaderThreadsMin;
  }
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
  std::string replacement;
  config.GetStringValue("FileMonitor.ReportReplacement", replacement, std::string());
  bool reportReplacement = kDefaultReportReplacement;
  if (!replacement.empty() && !ParseSwitch(replacement, reportReplacement)) {
    log.Warn("FileMonitor.ReportReplacement must be true or false, not '%s'; using %s.", replacement.c_str(),
             kDefaultReportReplacement ? "true" : "false");
  }
  bReportReplacement = reportReplacement;
  unsigned int fullCheckPeriodMillis = kDefaultFullCheckPeriodMillis;
  config.GetIntegerValue("FileMonitor.FullCheckPeriodMillis", fullCheckPeriodMillis, kDefaultFullCheckPeriodMillis);
  tvFullCheckPeriod = SpanFromMillis(fullCheckPeriodMillis);

  // A period of zero would make a timer fire once and never again; one of
  // more than a minute would hold every check, and Stop, for that long.
  if (ulCheckPeriodMillis == 0 || ulCheckPeriodMillis > kMaxCheckPeriodMillis) {
    log.Warn("EventLogMonitor.ScheduleExpirySweepPeriodMillis must be between 1 and %u; using %u.",
             kMaxCheckPeriodMillis, kDefaultCheckPeriodMillis);
    ulCheckPeriodMillis = kDefaultCheckPeriodMillis;
  }
  // A window of samples no larger than the samples that a decision needs
  // never yields a decision: the pool would never grow or shrink. (A
  // negative minimum is the documented way to turn that off.)
  if (lMinDataPointsForCalc >= 0 && static_cast<long long>(numberOfDataPoints) <= lMinDataPointsForCalc) {
    log.Warn("FileMonitor.BacklogMonitor.NumberOfDataPoints (%u) must be above "
             "FileMonitor.BacklogMonitor.MinNumberOfDataPointsForCalc (%ld); using %u and %ld.",
             numberOfDataPoints, lMinDataPointsForCalc, kDefaultNumberOfDataPoints, kDefaultMinDataPointsForCalc);
    numberOfDataPoints = kDefaultNumberOfDataPoints;
    lMinDataPointsForCalc = kDefaultMinDataPointsForCalc;
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
  const ACE_Time_Value firstSweep = VantrelPlatform::SystemTimeNow();
  llSweepOrigin = core::Microseconds(VantrelPlatform::MonotonicNow());
  spCheckTimer = spScheduler->Schedule(
      spTimerHandler, reinterpret_cast<const void *>(static_cast<std::uintptr_t>(TIMER_JOB_CHECK_FILES)),
      SpanFromMillis(ulCheckPeriodMillis), firstSweep);
  bInitialized = true;
}

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

}  // namespace WindowsAgentCommon
