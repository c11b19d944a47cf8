// The worker pool (WorkerPool.h), and the monitor's adaptation of it to the
// backlog of its queue.
//
// Threads: AdaptToProcessingBacklog runs on the scheduler's thread with
// mtxMonitor held, and takes the pool's lock under it.
#include "monitor/FileMonitorCore.h"

#include "monitor/FileMonitorCoreInternal.h"
#include "monitor/WorkerPool.h"

#include <Platform/Win32Api.h>
#include <VantrelCommon/MessageBlockUtil.h>

#include <ace/Thread.h>
#include <ace/Thread_Manager.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace WindowsAgentCommon {

void WorkerPool::GrowTo(unsigned short target) {
  MutexLock lock(mutex_);
  // Tested under mutex_: Stop closes the pool before it passes through
  // mutex_ (Settle) to join it, so no thread can start after that join has
  // begun.
  if (closed_.load()) {
    return;
  }
  ReapLocked();
  // The count is read under mutex_: registering threads and the backlog
  // check top up at the same time, and each must see what the other started.
  const auto running = static_cast<int>(task_.thr_count());
  if (running >= static_cast<int>(target)) {
    return;
  }
  const auto n = static_cast<unsigned short>(static_cast<int>(target) - running);
  // One thread per call: a call for several that fails part way leaves the
  // task's count short of the threads that did start, and Stop would then
  // not wait for them. One at a time, the count is exactly what runs.
  unsigned short started = 0;
  int error = 0;
  for (; started < n; ++started) {
    if (task_.activate(0, 1, 1, 0, -1, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr) == -1) {
      error = errno;
      break;
    }
  }
  if (started < n) {
    const std::int64_t now = _time64(nullptr);
    if (core::WarningDue(now, lastStartFailure_)) {
      lastStartFailure_ = now;
      log_.Error("Could not start a worker thread (%d of %d started, %d running): %s. The next registration or "
                 "backlog check tries again.",
                 static_cast<int>(started), static_cast<int>(n), static_cast<int>(task_.thr_count()),
                 std::strerror(error));
    }
  }
}

void WorkerPool::NoteExited() {
  MutexLock lock(exitedMutex_);
  exitedWorkers_.push_back(ACE_Thread::self());
}

void WorkerPool::JoinEnded() {
  MutexLock lock(mutex_);
  ReapLocked();
}

// Workers that ended on their own (a retire message, an error) are joined
// here, so that a pool that grows and shrinks for months does not pile up
// unjoined threads. A worker notes itself just before it returns, so a join
// waits at most for the last steps of its exit. Once the pool is closed,
// Join takes every thread of the task, the ended ones included, so nothing
// is joined here any more: a thread is never joined twice.
void WorkerPool::ReapLocked() {
  if (closed_.load()) {
    return;
  }
  std::vector<ACE_thread_t> ended;
  {
    MutexLock lock(exitedMutex_);
    ended.swap(exitedWorkers_);
  }
  for (ACE_thread_t id : ended) {
    task_.thr_mgr()->join(id);
  }
}

// Joining is what makes it safe to destroy the task afterwards: a worker
// still touches the task for a moment after the thread count drops.
// Settling first waits out a start or a reap that began before the pool was
// closed; every later one sees the mark and does nothing.
void WorkerPool::Join() {
  Settle();
  task_.wait();
  MutexLock lock(exitedMutex_);
  exitedWorkers_.clear();
}

void FileMonitorCore::AdaptToProcessingBacklog() {
  pool_.JoinEnded();
  // Workers that could not start, or that ended on an error, are replaced.
  pool_.TopUp(usReaderThreadsMin);
  const auto backlog = static_cast<int>(MessagesWaiting());
  const ACE_Time_Value elapsed = VantrelPlatform::MonotonicNow() - startMonotonic_;
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
  const int ceiling = static_cast<int>(usReaderThreadsMax);

  if (disposition >= sDispositionMaxThreshold && backlog > threads) {
    const int n = std::min(static_cast<int>(usThreadsPerIncrement), ceiling - threads);
    if (threads < ceiling) {
      log.Info("Backlog exceeding load threshold; starting more worker threads (%d of %d active). Current "
               "backlog = %12.8f/%d",
               threads + n, ceiling, slope, backlog);
      pool_.GrowTo(static_cast<unsigned short>(threads + n));
    } else {
      log.Warn("Backlog exceeded load threshold and we've reached the configured maximum number of %d worker "
               "threads.  Current backlog = %12.8f/%d",
               ceiling, slope, backlog);
    }
    spBacklogMonitor->Clear();
  } else if (disposition <= sDispositionMinThreshold) {
    if (threads > static_cast<int>(usReaderThreadsMin)) {
      log.Info("Backlog has been very low; decommissioning a worker thread (%d of %d still active).", threads - 1,
               ceiling);
      const FileMonitorMessage retire(std::wstring(), nullptr, FileMonitorMessage::MONITOR_ACTION_RETIRE_THREAD);
      // A low verdict means the queue is nearly empty; should it be full
      // after all, the retirement waits for the next verdict rather than
      // blocking the timer thread under the monitor lock.
      PutWithoutWaiting(retire.ToBlock());
    }
    spBacklogMonitor->Clear();
  }
}

}  // namespace WindowsAgentCommon
