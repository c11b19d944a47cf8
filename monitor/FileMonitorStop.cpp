// Stop and teardown.
//
// Threads: Stop may be called from any thread, more than once, and from one
// of this monitor's own workers (a receiver inside OnFileChanged). Calls from
// outside the pool are serialised by mtxStop; a call on a worker does not
// take mtxStop and does not wait for the pool it belongs to.
//
// Locks: mtxMonitor while the timers are cancelled and the quit message is
// made. The wait for the workers (FileMonitorPool.cpp) holds mtxStop only,
// which no worker ever takes: a receiver may register, remove or ask
// meanwhile.
//
// Lifetime: StopAndQuiesce, called first by each concrete destructor, ends
// the timers, the workers and the scheduler's thread while the whole object
// still stands; after it no thread touches the monitor.
#include "monitor/FileMonitorCore.h"

#include "monitor/FileMonitorCoreInternal.h"

#include <Platform/Win32Api.h>
#include <VantrelCommon/MessageBlockUtil.h>

#include <algorithm>

namespace WindowsAgentCommon {

using core::MonitorGuard;

// The concrete destructors call StopAndQuiesce while the whole object still
// stands; by now no worker and no timer callback runs.
FileMonitorCore::~FileMonitorCore() = default;

void FileMonitorCore::StopAndQuiesce() {
  Stop();
  // Joining the scheduler's thread makes sure that no timer callback still
  // reaches into this object once its members start to go.
  spScheduler.reset();
}

void FileMonitorCore::Stop() {
  log.Debug("Stop requested");
  const bool onWorker = OnOwnWorker();
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
        JoinPool();
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

}  // namespace WindowsAgentCommon
