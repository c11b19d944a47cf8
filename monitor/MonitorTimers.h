// The two timer jobs of one monitor, the file sweep and the backlog check, on
// a scheduler of the monitor's own; every monitor's jobs run on the one
// timer thread that the schedulers share. The jobs reach the monitor through
// its TimerCallbackHandler, which holds a plain pointer.
//
// The monitor derives from it, so that spScheduler, spCheckTimer and
// spBacklogTimer are the monitor's members by those names, in the monitor and
// in its subclasses alike.
//
// Threads: StartTimers runs in Initialize, CancelTimers and
// WaitUntilTimersIdle in Stop, EndTimers once Stop is over (StopAndQuiesce); the jobs run on the timer thread.
// CancelTimers is called under the monitor lock, which the jobs take: the
// scheduler holds no lock of its own while a job runs, so it cannot
// deadlock with one that waits for the monitor lock. WaitUntilTimersIdle is
// called with no lock held.
//
// Lifetime: EndTimers releases the scheduler, which waits for a job of its
// own still running; after it no job reaches the monitor.
#ifndef VANTREL_MONITOR_MONITORTIMERS_H
#define VANTREL_MONITOR_MONITORTIMERS_H

#include <VantrelCommon/Scheduler.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>

namespace WindowsAgentCommon {

class MonitorTimers {
 protected:
  // Starts the scheduler and both jobs, each with its number as the timer's
  // act: the backlog check every `backlogPeriod` from `firstBacklogCheck`,
  // the sweep every `sweepPeriod` from now.
  void StartTimers(const std::shared_ptr<ACE_Event_Handler> &handler, int backlogJob, const ACE_Time_Value &backlogPeriod,
             const ACE_Time_Value &firstBacklogCheck, int sweepJob, const ACE_Time_Value &sweepPeriod,
             const ACE_Time_Value &now) {
    spScheduler = std::make_shared<Scheduler>();
    spBacklogTimer = spScheduler->Schedule(handler, Act(backlogJob), backlogPeriod, firstBacklogCheck);
    spCheckTimer = spScheduler->Schedule(handler, Act(sweepJob), sweepPeriod, now);
  }

  // Cancels both jobs; false when they never started. A job already running
  // goes on to its end (WaitUntilTimersIdle).
  bool CancelTimers() {
    if (!spScheduler) {
      return false;
    }
    spScheduler->Cancel(spCheckTimer);
    spScheduler->Cancel(spBacklogTimer);
    return true;
  }

  // Waits until neither job is running, `limit` at most in all.
  void WaitUntilTimersIdle(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    spScheduler->WaitUntilIdle(spCheckTimer, limit);
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    spScheduler->WaitUntilIdle(spBacklogTimer, std::max(left, std::chrono::milliseconds::zero()));
  }

  void EndTimers() { spScheduler.reset(); }

 private:
  std::shared_ptr<Scheduler> spScheduler;
  std::shared_ptr<ScheduleInfo> spBacklogTimer;
  std::shared_ptr<ScheduleInfo> spCheckTimer;

 private:
  static const void *Act(int job) { return reinterpret_cast<const void *>(static_cast<std::uintptr_t>(job)); }
};

}  // namespace WindowsAgentCommon

#endif  // VANTREL_MONITOR_MONITORTIMERS_H
