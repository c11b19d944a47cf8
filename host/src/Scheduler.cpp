// The scheduler's thread pops due timers from an ACE timer heap under the
// scheduler's lock and calls the handlers with that lock released.
//
// ACE's own ACE_Thread_Timer_Queue_Adapter is not used: it keeps its mutex
// during the upcall, so an owner that cancels while holding a lock that its
// callback takes would deadlock against it.
#include <VantrelCommon/Logger.h>
#include <VantrelCommon/Scheduler.h>

#include <ace/OS_NS_sys_time.h>
#include <ace/Timer_Heap.h>
#include <ace/Timer_Queue.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace WindowsAgentCommon {

namespace {

// Longest single wait of the thread.
const std::chrono::milliseconds kMaxWait(1000);

const std::chrono::seconds kExceptionReportInterval(60);

std::uint64_t ToUsec(const ACE_Time_Value &tv) {
  ACE_UINT64 usec = 0;
  tv.to_usec(usec);
  return usec;
}

// The timer heap's clock: the steady clock, which the time of day being set
// back or forward does not move.
ACE_Time_Value SteadyNow() {
  const auto since = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now().time_since_epoch()).count();
  return ACE_Time_Value(static_cast<time_t>(since / 1000000), static_cast<suseconds_t>(since % 1000000));
}

// The first expiry of the schedule's grid (first + k * period) strictly after `t`.
ACE_Time_Value NextOnGrid(const ACE_Time_Value &first, const ACE_Time_Value &period, const ACE_Time_Value &t) {
  if (t < first) return first;
  const std::uint64_t periodUsec = ToUsec(period);
  const std::uint64_t sinceFirst = ToUsec(t - first);
  const std::uint64_t steps = sinceFirst / periodUsec + 1;
  const std::uint64_t offset = steps * periodUsec;
  ACE_Time_Value next(first);
  next += ACE_Time_Value(static_cast<time_t>(offset / 1000000u), static_cast<suseconds_t>(offset % 1000000u));
  return next;
}

}  // namespace

// The state that the scheduler's thread shares with its owner. The thread
// holds it by shared pointer, so that a Scheduler destroyed on its own thread
// (inside a callback) leaves the thread something to return to.
struct SchedulerState {
  std::mutex mtx;
  std::condition_variable cvWake;  // a new timer, a cancel, or stop
  std::condition_variable cvIdle;  // a dispatch has finished
  ACE_Timer_Heap heap;             // used only with mtx held
  // Every live schedule, keyed by the address that ACE carries as the act.
  std::map<const ScheduleInfo *, std::shared_ptr<ScheduleInfo>> live;
  bool bStop = false;
  bool bDispatching = false;
  const ScheduleInfo *pDispatching = nullptr;  // the schedule whose callback runs
  // Used by the scheduler's thread alone.
  std::chrono::steady_clock::time_point lastExceptionReport{};
  unsigned long suppressedExceptions = 0;
};

namespace {

// A callback that throws at every expiry would otherwise write a record per
// period; one record a minute per Scheduler, with the count of the others.
// Called on the scheduler's thread only.
void ReportCallbackException(SchedulerState &s, const char *what) {
  const auto now = std::chrono::steady_clock::now();
  if (s.lastExceptionReport.time_since_epoch().count() != 0 && now - s.lastExceptionReport < kExceptionReportInterval) {
    ++s.suppressedExceptions;
    return;
  }
  LoggerFactory::GetLog("Code.Scheduler")
      .Error("Timer callback threw an exception: %s (%lu more since the last report)", what, s.suppressedExceptions);
  s.lastExceptionReport = now;
  s.suppressedExceptions = 0;
}

}  // namespace

struct Scheduler::Impl {
  std::shared_ptr<SchedulerState> state;
  std::thread thread;

  static void Run(const std::shared_ptr<SchedulerState> &s);
};

ScheduleInfo::ScheduleInfo(std::shared_ptr<ACE_Event_Handler> handler, const void *act,
                           const ACE_Time_Value &period, const ACE_Time_Value &firstExpiry)
    : spHandler(std::move(handler)),
      pAct(act),
      tvPeriod(period),
      tvFirstExpiry(firstExpiry),
      lTimerId(-1),
      bCancelled(false) {}

ScheduleInfo::~ScheduleInfo() = default;

bool ScheduleInfo::IsCancelled() const { return bCancelled.load(); }

void Scheduler::Impl::Run(const std::shared_ptr<SchedulerState> &s) {
  std::unique_lock<std::mutex> lock(s->mtx);
  while (!s->bStop) {
    if (s->heap.is_empty()) {
      s->cvWake.wait(lock);
      continue;
    }
    const ACE_Time_Value now = SteadyNow();
    const ACE_Time_Value earliest = s->heap.earliest_time();
    if (now < earliest) {
      const auto until = std::chrono::microseconds(ToUsec(earliest - now));
      s->cvWake.wait_for(lock, std::min<std::chrono::microseconds>(until, kMaxWait));
      continue;
    }
    ACE_Timer_Node_Dispatch_Info info;
    if (s->heap.dispatch_info(now, info) == 0) continue;

    // A cancelled schedule is no longer in the heap, so whatever was popped
    // is live; the test guards against an act that is not one of ours.
    const auto it = s->live.find(static_cast<const ScheduleInfo *>(info.act_));
    if (it == s->live.end() || it->second->bCancelled.load()) continue;
    std::shared_ptr<ScheduleInfo> schedule = it->second;
    std::shared_ptr<ACE_Event_Handler> handler = schedule->spHandler;
    const bool recurring = info.recurring_timer_ != 0;
    if (!recurring) {
      schedule->lTimerId = -1;  // ACE has freed the node
      s->live.erase(it);
    }
    s->bDispatching = true;
    s->pDispatching = schedule.get();
    lock.unlock();

    int result = 0;
    try {
      result = handler->handle_timeout(ACE_OS::gettimeofday(), schedule->pAct);
    } catch (const std::exception &e) {
      ReportCallbackException(*s, e.what());
    } catch (...) {
      ReportCallbackException(*s, "not a std::exception");
    }
    if (!recurring && handler->reference_counting_policy().value() ==
                          ACE_Event_Handler::Reference_Counting_Policy::ENABLED) {
      handler->remove_reference();  // the reference that ACE's registration added
    }

    std::shared_ptr<ACE_Event_Handler> released;
    lock.lock();
    const bool stillLive = schedule->lTimerId != -1 && !schedule->bCancelled.load() && !s->bStop;
    if (stillLive && result == -1) {
      // ACE's convention: a handler that returns -1 asks to be removed.
      s->heap.cancel(schedule->lTimerId, nullptr, 1);
      schedule->lTimerId = -1;
      schedule->bCancelled.store(true);
      released = std::move(schedule->spHandler);
      s->live.erase(schedule.get());
    } else if (stillLive && recurring) {
      // ACE has already moved the timer to the first expiry of its grid after
      // `now`. If that expiry passed while the callback ran, ACE would
      // dispatch it at once, late; it counts as missed instead, and the timer
      // moves on to the first expiry still ahead, on the same grid.
      const ACE_Time_Value after = SteadyNow();
      if (NextOnGrid(schedule->tvGridOrigin, schedule->tvPeriod, now) <= after) {
        s->heap.cancel(schedule->lTimerId, nullptr, 1);
        schedule->lTimerId = s->heap.schedule(handler.get(), schedule.get(),
                                              NextOnGrid(schedule->tvGridOrigin, schedule->tvPeriod, after),
                                              schedule->tvPeriod);
        if (schedule->lTimerId == -1) {
          schedule->bCancelled.store(true);
          released = std::move(schedule->spHandler);
          s->live.erase(schedule.get());
        }
      }
    }
    lock.unlock();
    // The last references may go here; a handler's destructor may take locks
    // of its own or even destroy this Scheduler, so the lock is not held.
    released.reset();
    handler.reset();
    schedule.reset();
    lock.lock();
    s->bDispatching = false;
    s->pDispatching = nullptr;
    s->cvIdle.notify_all();
  }
}

Scheduler::Scheduler() : pImpl(new Impl()) {
  pImpl->state = std::make_shared<SchedulerState>();
  std::shared_ptr<SchedulerState> state = pImpl->state;
  pImpl->thread = std::thread([state] { Impl::Run(state); });
}

Scheduler::~Scheduler() {
  SchedulerState &s = *pImpl->state;
  std::vector<std::shared_ptr<ScheduleInfo>> cancelled;
  std::vector<std::shared_ptr<ACE_Event_Handler>> handlers;
  {
    std::lock_guard<std::mutex> lock(s.mtx);
    s.bStop = true;
    for (auto &entry : s.live) {
      ScheduleInfo &info = *entry.second;
      s.heap.cancel(info.lTimerId, nullptr, 1);
      info.lTimerId = -1;
      info.bCancelled.store(true);
      handlers.push_back(std::move(info.spHandler));
      cancelled.push_back(std::move(entry.second));
    }
    s.live.clear();
  }
  s.cvWake.notify_all();
  handlers.clear();
  cancelled.clear();
  if (pImpl->thread.joinable()) {
    if (pImpl->thread.get_id() == std::this_thread::get_id()) {
      pImpl->thread.detach();  // returns from the callback, sees the stop and ends
    } else {
      pImpl->thread.join();
    }
  }
}

std::shared_ptr<ScheduleInfo> Scheduler::Schedule(const std::shared_ptr<ACE_Event_Handler> &handler,
                                                  const void *act, const ACE_Time_Value &period,
                                                  const ACE_Time_Value &firstExpiry) {
  if (!handler || period < ACE_Time_Value::zero) return nullptr;
  std::shared_ptr<ScheduleInfo> info(new ScheduleInfo(handler, act, period, firstExpiry));
  SchedulerState &s = *pImpl->state;
  {
    std::lock_guard<std::mutex> lock(s.mtx);
    if (s.bStop) return nullptr;
    info->tvGridOrigin = SteadyNow() + (firstExpiry - ACE_OS::gettimeofday());
    const long id = s.heap.schedule(handler.get(), info.get(), info->tvGridOrigin, period);
    if (id == -1) return nullptr;
    info->lTimerId = id;
    s.live.emplace(info.get(), info);
  }
  s.cvWake.notify_all();
  return info;
}

bool Scheduler::Cancel(const std::shared_ptr<ScheduleInfo> &info) {
  if (!info) return false;
  SchedulerState &s = *pImpl->state;
  std::shared_ptr<ACE_Event_Handler> released;  // destroyed after the lock
  {
    std::lock_guard<std::mutex> lock(s.mtx);
    // Membership first: a schedule of another Scheduler is not ours to touch.
    const auto it = s.live.find(info.get());
    if (it == s.live.end()) return false;
    s.heap.cancel(info->lTimerId, nullptr, 1);
    info->lTimerId = -1;
    info->bCancelled.store(true);
    released = std::move(info->spHandler);
    s.live.erase(it);
  }
  s.cvWake.notify_all();
  return true;
}

void Scheduler::Quiesce() {
  if (pImpl->thread.get_id() == std::this_thread::get_id()) return;  // would wait for itself
  SchedulerState &s = *pImpl->state;
  std::unique_lock<std::mutex> lock(s.mtx);
  s.cvIdle.wait(lock, [&s] { return !s.bDispatching; });
}

bool Scheduler::WaitUntilIdle(const std::shared_ptr<ScheduleInfo> &info, std::chrono::milliseconds limit) {
  if (!info) return true;
  SchedulerState &s = *pImpl->state;
  std::unique_lock<std::mutex> lock(s.mtx);
  // The address is only compared, never followed: `info` keeps it from being
  // reused by another schedule while this waits.
  const ScheduleInfo *const awaited = info.get();
  if (pImpl->thread.get_id() == std::this_thread::get_id()) return s.pDispatching != awaited;
  return s.cvIdle.wait_for(lock, limit, [&s, awaited] { return s.pDispatching != awaited; });
}

std::size_t Scheduler::Size() const {
  SchedulerState &s = *pImpl->state;
  std::lock_guard<std::mutex> lock(s.mtx);
  return s.live.size();
}

}  // namespace WindowsAgentCommon
