// The worker pool: start, grow, retire, reap and join.
//
// Threads: TopUpPool runs on a registering thread (AddMonitor) and in the
// backlog check; AdaptToProcessingBacklog on the scheduler's thread with
// mtxMonitor held; NoteExitedWorker on a worker just before it returns;
// WaitForWorkers on Stop's thread.
//
// A thread that cannot be started (the system's thread limit) is not counted:
// the pool is what really runs, an Error line says so at most once a minute,
// and the next registration or backlog check tries again.
//
// Locks: mtxPool serialises starting threads and reaping ended ones, and
// guards lastStartFailure; it may be taken under mtxMonitor, never the other
// way round. Under it a thread is joined only once it has noted that it ends;
// nothing waits for a running worker while holding it, since a worker inside
// a receiver may need it to register a path. mtxExited guards only the list
// of workers that ended on their own, and is taken under mtxPool or alone.
//
// Lifetime: the task (the monitor) owns its threads; every thread it starts
// is joined, either here when it ended on its own, or by Stop's join. A
// worker touches the task until its very last step, so the monitor may go
// only after that join.
#include "monitor/FileMonitorCore.h"

#include "monitor/FileMonitorCoreInternal.h"

#include <Platform/Win32Api.h>
#include <VantrelCommon/MessageBlockUtil.h>

#include <ace/Thread.h>
#include <ace/Thread_Manager.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace WindowsAgentCommon {

void FileMonitorCore::GrowPoolTo(unsigned short target) {
  MutexLock pool(mtxPool);
  // Tested under mtxPool: Stop sets the mark before it passes through
  // mtxPool to join the pool, so no thread can start after that join has
  // begun.
  if (bStopped.load()) {
    return;
  }
  ReapExitedWorkers();
  // The count is read under mtxPool: registering threads and the backlog
  // check top up at the same time, and each must see what the other started.
  const auto running = static_cast<int>(thr_count());
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
    if (activate(0, 1, 1, 0, -1, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr) == -1) {
      error = errno;
      break;
    }
  }
  if (started < n) {
    const std::int64_t now = _time64(nullptr);
    if (core::WarningDue(now, lastStartFailure)) {
      lastStartFailure = now;
      log.Error("Could not start a worker thread (%d of %d started, %d running): %s. The next registration or "
                "backlog check tries again.",
                static_cast<int>(started), static_cast<int>(n), static_cast<int>(thr_count()),
                std::strerror(error));
    }
  }
}

void FileMonitorCore::TopUpPool() {
  // Every registration passes here: a full pool costs no lock.
  if (thr_count() < usReaderThreadsMin) {
    GrowPoolTo(usReaderThreadsMin);
  }
}

void FileMonitorCore::AdaptToProcessingBacklog() {
  JoinEndedWorkers();
  // Workers that could not start, or that ended on an error, are replaced.
  TopUpPool();
  const auto backlog = static_cast<int>(msg_queue()->message_count());
  const ACE_Time_Value elapsed = VantrelPlatform::MonotonicNow() - tvStartMonotonic;
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
      GrowPoolTo(static_cast<unsigned short>(threads + n));
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

void FileMonitorCore::NoteExitedWorker() {
  MutexLock guard(mtxExited);
  exitedWorkers.push_back(ACE_Thread::self());
}

// Workers that retired or failed before Stop found the pool empty.
void FileMonitorCore::JoinEndedWorkers() {
  MutexLock pool(mtxPool);
  ReapExitedWorkers();
}

// Called with mtxPool held. Workers that ended on their own (a retire
// message, an error) are joined here, so that a pool that grows and shrinks
// for months does not pile up unjoined threads. A worker notes itself just
// before it returns, so a join waits at most for the last steps of its exit.
// Once Stop has set bStopped its own join takes every thread of the task,
// the ended ones included, so nothing is joined here any more: a thread is
// never joined twice.
void FileMonitorCore::ReapExitedWorkers() {
  if (bStopped.load()) {
    return;
  }
  std::vector<ACE_thread_t> ended;
  {
    MutexLock guard(mtxExited);
    ended.swap(exitedWorkers);
  }
  for (ACE_thread_t id : ended) {
    thr_mgr()->join(id);
  }
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
  JoinPool();
}

// Joining is what makes it safe to destroy the task afterwards: a worker
// still touches the task for a moment after the thread count drops. The join
// holds no lock of the monitor: a worker that it waits for may be inside a
// receiver that registers a path, which tops the pool up and takes mtxPool
// (and finds bStopped set). Passing through mtxPool once first waits out a
// start or a reap that began before bStopped was set; every later one sees
// the mark and does nothing.
void FileMonitorCore::JoinPool() {
  { MutexLock pool(mtxPool); }
  wait();
  MutexLock guard(mtxExited);
  exitedWorkers.clear();
}

}  // namespace WindowsAgentCommon
