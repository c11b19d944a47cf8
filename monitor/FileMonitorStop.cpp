// Stop and teardown.
//
// Threads: Stop may be called from any thread, more than once, and from one
// of this monitor's own workers (a receiver inside OnFileChanged). Calls from
// outside the pool are serialised by Stop's own mutex (stop_.serial); a call
// on a worker does not take it and does not wait for the pool it belongs to.
//
// Locks: mtxMonitor while the timers are cancelled and the quit message is
// made, never while Stop waits, neither for a timer job that was running (it
// takes mtxMonitor) nor for the workers (FileMonitorPool.cpp). Those waits
// hold stop_.serial only, which no worker and no timer job ever takes: a
// receiver may register, remove or ask meanwhile.
//
// Lifetime: StopAndQuiesce, called first by each concrete destructor, ends
// the timers, the workers and the scheduler while the whole object
// still stands; after it no thread touches the monitor. A destructor cannot
// wait for the pool it runs on, so the last reference dropped on one of the
// monitor's own workers goes through Deleter, which hands the deletion to a
// thread outside the pool; those threads are joined by the next hand-over
// or when the library is unloaded.
#include "monitor/FileMonitorCore.h"

#include "monitor/FileMonitorCoreInternal.h"

#include <VantrelCommon/MessageBlockUtil.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

namespace WindowsAgentCommon {

using core::MonitorGuard;

namespace {

// The threads that destroy monitors whose last reference went on one of
// their own workers. Each is joined by a later hand-over once it has ended,
// or when the library goes, so none is left unjoined.
class Teardowns {
 public:
  static Teardowns &Instance() {
    static Teardowns instance;
    return instance;
  }

  ~Teardowns() {
    std::lock_guard<std::mutex> lock(mtx);
    for (Teardown &teardown : teardowns) {
      teardown.thread.join();
    }
  }

  // False when no thread could be started.
  bool HandOver(FileMonitorCore *monitor) {
    std::lock_guard<std::mutex> lock(mtx);
    for (auto it = teardowns.begin(); it != teardowns.end();) {
      if (it->done->load()) {
        it->thread.join();
        it = teardowns.erase(it);
      } else {
        ++it;
      }
    }
    auto done = std::make_shared<std::atomic<bool>>(false);
    try {
      teardowns.push_back(Teardown{std::thread([monitor, done] {
                                     delete monitor;
                                     done->store(true);
                                   }),
                                   done});
    } catch (const std::exception &) {
      return false;
    }
    return true;
  }

 private:
  struct Teardown {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  std::mutex mtx;
  std::list<Teardown> teardowns;
};

}  // namespace

void FileMonitorCore::Deleter::operator()(FileMonitorCore *monitor) const {
  if (monitor == nullptr) {
    return;
  }
  if (!monitor->OnOwnWorker()) {
    delete monitor;
    return;
  }
  if (!Teardowns::Instance().HandOver(monitor)) {
    // Deleting here would free the monitor under its own running workers.
    monitor->log.Error("No thread could be started to destroy this monitor, whose last reference went on one of its "
                       "own workers; it is stopped and left in memory.");
    monitor->Stop();
  }
}

// The concrete destructors call StopAndQuiesce while the whole object still
// stands; by now no worker and no timer callback runs.
FileMonitorCore::~FileMonitorCore() = default;

void FileMonitorCore::StopAndQuiesce() {
  if (OnOwnWorker()) {
    // The destructor runs inside a report on this monitor's own worker, and
    // the worker would come back into the freed monitor: no way on is safe.
    static const char rule[] =
        "A monitor is being destroyed on one of its own worker threads (its last reference went inside "
        "OnFileChanged). Hold a monitor made by hand with FileMonitorCore::Deleter, as the factory does: "
        "std::shared_ptr<T>(new T, FileMonitorCore::Deleter()).";
    log.Error("%s", rule);
    std::fprintf(stderr, "%s\n", rule);
    std::abort();
  }
  Stop();
  // Releasing the scheduler, which waits for a callback of its own still
  // running, makes sure that no timer callback reaches into this object once
  // its members start to go.
  EndTimers();
}

void FileMonitorCore::Stop() {
  log.Debug("Stop requested");
  const bool onWorker = OnOwnWorker();
  std::unique_lock<std::mutex> serial(stop_.serial, std::defer_lock);
  if (!onWorker) {
    serial.lock();
  }
  if (!bInitialized.load() && !stop_.quitPosted.load() && thr_count() == 0) {
    pool_.JoinEnded();
    return;
  }

  bool cancelled = false;
  {
    MonitorGuard guard(mtxMonitor);
    const bool wasInitialized = bInitialized.exchange(false);
    pool_.Close();
    cancelled = wasInitialized && CancelTimers();
  }
  // A sweep or backlog check that the scheduler began before the cancel may
  // still be putting check messages; the quit message goes out once it has
  // ended, and never later than two sweep periods from now. Waited for with
  // no lock held, since the jobs take mtxMonitor.
  if (cancelled) {
    WaitUntilTimersIdle(std::chrono::milliseconds(2ull * ulCheckPeriodMillis));
  }
  // A registration that found the pool open may be starting a worker right
  // now; once the pool has settled, no worker can start any more, so the
  // thread count read below is every worker there will be, and a worker
  // started at the last moment gets its quit message.
  pool_.Settle();

  ACE_Message_Block *quit = nullptr;
  bool noWorkers = false;
  {
    MonitorGuard guard(mtxMonitor);
    if (!stop_.quitPosted.load()) {
      noWorkers = thr_count() == 0;
      if (!noWorkers) {
        quit = FileMonitorMessage(std::wstring(), nullptr, FileMonitorMessage::MONITOR_ACTION_QUIT).ToBlock();
        log.Debug("Putting quit message into queue...");
      }
    }
  }
  if (noWorkers) {
    pool_.Join();
    return;
  }
  // Checks still waiting would never be done: the quit message goes ahead of
  // them. Releasing them now leaves the quit message room, so its put never
  // waits, not even on a worker of this monitor whose pool could not drain a
  // full queue while it is busy here.
  if (quit != nullptr) {
    msg_queue()->flush();
    msg_queue()->enqueue_head(quit);
    stop_.quitPosted = true;
  }
  if (onWorker) {
    log.Warn("Stop was called on a worker thread of this monitor; the workers will end, but this call cannot "
             "wait for them.");
    return;
  }
  if (kind_.pollsThreadCountOnStop) {
    while (thr_count() != 0) {
      log.Debug("Waiting for %d threads to exit...", static_cast<int>(thr_count()));
      Sleep(100);
    }
  } else {
    log.Debug("Waiting...");
  }
  pool_.Join();
  flush(ACE_Task_Flags::ACE_FLUSHALL);
  stop_.quitPosted = false;
  log.Debug("Stopped.");
}

}  // namespace WindowsAgentCommon
