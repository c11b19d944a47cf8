// Periodic timers, built on ACE's timer heap, on one timer thread that every
// Scheduler of the process shares: the thread starts with the first
// Scheduler and ends with the last. Timers that fall due close together,
// whichever Scheduler they belong to, share one wake-up of the thread: a
// timer may come up to a twentieth of its period late (2 ms at most; a
// one-shot timer 2 ms) to be dispatched with the next. Callbacks run one at a time, so a callback that
// blocks holds up every Scheduler's timers until it returns.
//
// Schedule() calls the handler's handle_timeout(time, act) at the first expiry
// (a time of day) and then every period, keeping the phase of the first
// expiry: a late callback does not shift the ones after it, and expiries that
// were missed while a callback ran are skipped, not run in a burst. The first
// expiry is taken as a delay from the time of day when Schedule is called;
// from then on the timers run on a clock that only moves forward, so setting
// the time of day back or forward neither holds them up nor fires them early.
//
// Callbacks run on the timer thread without any scheduler lock held, so
// a callback may take locks of its own, and Cancel may be called while
// holding such a lock: Cancel never waits for a running callback. After Cancel
// returns, no later expiry of that schedule is dispatched; a callback that the
// thread had already begun to dispatch may still be running or about to run.
// An owner that must know that no callback of a cancelled schedule still runs
// calls WaitUntilIdle, with its own locks released; one that must know that
// no callback touches it any more destroys the Scheduler (or calls Quiesce)
// from another thread.
//
// The Scheduler holds each scheduled handler by shared pointer until the
// schedule is cancelled or the Scheduler is destroyed. As in ACE, a handler
// whose handle_timeout returns -1 is removed from that schedule (handle_close
// is not called); an exception thrown by a handler is logged, rate-limited,
// and the schedule stays.
//
// Thread-safe: every operation may be called from any thread.
#ifndef VANTREL_COMMON_SCHEDULER_H
#define VANTREL_COMMON_SCHEDULER_H

#include <ace/Event_Handler.h>
#include <ace/Time_Value.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>

namespace WindowsAgentCommon {

class Scheduler;
struct SchedulerState;

// One schedule, as handed out by Scheduler::Schedule.
class ScheduleInfo {
 public:
  ~ScheduleInfo();
  ScheduleInfo(const ScheduleInfo &) = delete;
  ScheduleInfo &operator=(const ScheduleInfo &) = delete;

  const ACE_Time_Value &Period() const { return tvPeriod; }
  const ACE_Time_Value &FirstExpiry() const { return tvFirstExpiry; }
  const void *Act() const { return pAct; }
  bool IsCancelled() const;

 private:
  friend class Scheduler;
  ScheduleInfo(std::shared_ptr<ACE_Event_Handler> handler, const void *act, const ACE_Time_Value &period,
               const ACE_Time_Value &firstExpiry);

  std::shared_ptr<ACE_Event_Handler> spHandler;
  const void *pAct;
  ACE_Time_Value tvPeriod;
  ACE_Time_Value tvFirstExpiry;
  ACE_Time_Value tvGridOrigin;  // the first expiry on the scheduler's clock
  // Written with the timer thread's lock held; spHandler and spOwner are
  // dropped when the schedule ends.
  std::shared_ptr<SchedulerState> spOwner;  // the Scheduler it belongs to
  long lTimerId;
  std::atomic<bool> bCancelled;  // also read without the lock by IsCancelled
};

class Scheduler {
 public:
  // Starts the timer thread if no other Scheduler has.
  Scheduler();
  // Cancels every schedule and waits for a running callback of its own; the
  // last Scheduler stops the timer thread and joins it. Called on the timer
  // thread (the last reference released inside a callback), it waits for
  // nothing and lets the thread end by itself.
  ~Scheduler();
  Scheduler(const Scheduler &) = delete;
  Scheduler &operator=(const Scheduler &) = delete;

  // A period of zero schedules one expiry only. Returns null when the
  // handler is null, the period negative, or the timer cannot be scheduled.
  std::shared_ptr<ScheduleInfo> Schedule(const std::shared_ptr<ACE_Event_Handler> &handler, const void *act,
                                         const ACE_Time_Value &period, const ACE_Time_Value &firstExpiry);

  // Removes the schedule; returns false when it was not (or no longer) scheduled.
  bool Cancel(const std::shared_ptr<ScheduleInfo> &info);

  // Waits until no callback of this Scheduler's is running. Called from a
  // callback on the timer thread it returns at once.
  void Quiesce();

  // Waits, for at most `limit`, until no callback of the schedule is running;
  // returns whether none is. Once the schedule is cancelled none can begin
  // again, so true means that it is over for good. Called from a callback on
  // the timer thread it never waits: false when that callback is the
  // schedule's own, true otherwise.
  bool WaitUntilIdle(const std::shared_ptr<ScheduleInfo> &info, std::chrono::milliseconds limit);

  // Number of live schedules.
  std::size_t Size() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> pImpl;
};

}  // namespace WindowsAgentCommon

#endif  // VANTREL_COMMON_SCHEDULER_H
