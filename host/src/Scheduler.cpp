// One timer thread for every Scheduler of the process: it pops due timers
// from one ACE timer heap under its lock and calls the handlers with that
// lock released, one at a time. Each wake-up of a thread costs more than
// most callbacks do (every monitor runs its sweep ten times a second), so
// timers that fall due close together are dispatched in one: the thread
// sleeps on past the earliest expiry to the last of those right after it,
// as long as that makes none of them later than its slack allows.
//
// ACE's own ACE_Thread_Timer_Queue_Adapter is not used: it keeps its mutex
// during the upcall, so an owner that cancels while holding a lock that its
// callback takes would deadlock against it.
#include <VantrelCommon/Logger.h>
#include <VantrelCommon/Scheduler.h>

#include <ace/OS_NS_sys_time.h>
#include <ace/Timer_Heap.h>
#include <ace/Timer_Queue.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <map>
#include <mutex>
#include <new>
#include <thread>
#include <utility>
#include <vector>

namespace WindowsAgentCommon {

namespace {

// Longest single wait of the thread.
const std::chrono::milliseconds kMaxWait(1000);

const std::chrono::seconds kExceptionReportInterval(60);

// How late a timer may come so as to share a wake-up: a twentieth of its
// period, and at most this (a one-shot timer's too).
const std::uint64_t kMaxSlackUsec = 2000;
const std::uint64_t kSlackDivisor = 20;

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

// What one Scheduler keeps: its schedules are in the timer thread's table,
// each pointing here. Guarded by the timer thread's lock, but for the
// report's rate limit, which the timer thread alone uses.
struct SchedulerState {
  bool bStop = false;
  std::chrono::steady_clock::time_point lastExceptionReport{};
  unsigned long suppressedExceptions = 0;
};

// The state that the timer thread shares with the Schedulers. The thread
// holds it by shared pointer, so that the last Scheduler destroyed on the
// thread itself (inside a callback) leaves the thread something to return to.
struct SchedulerTimerState {
  std::mutex mtx;
  std::condition_variable cvWake;  // a new timer, a cancel, or stop
  std::condition_variable cvIdle;  // a dispatch has finished
  ACE_Timer_Heap heap;             // used only with mtx held
  // Every live schedule of every Scheduler, keyed by the address that ACE
  // carries as the act.
  std::map<const ScheduleInfo *, std::shared_ptr<ScheduleInfo>> live;
  bool bStop = false;
  const ScheduleInfo *pDispatching = nullptr;         // the schedule whose callback runs
  const SchedulerState *pDispatchingOwner = nullptr;  // and its Scheduler
  // WakeUpFor's list of expiries and their slacks, kept for its capacity.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> soon;
};

namespace {

// A callback that throws at every expiry would otherwise write a record per
// period; one record a minute per Scheduler, with the count of the others.
// Called on the timer thread only.
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

std::uint64_t SlackOf(const ACE_Time_Value &period) {
  const std::uint64_t usec = ToUsec(period);
  return usec == 0 ? kMaxSlackUsec : std::min(kMaxSlackUsec, usec / kSlackDivisor);
}

// When to wake for the earliest timer: at the latest expiry of the run of
// timers that follow it, each due within the slack of every one before it,
// so that none of them comes later than its slack allows. Under t.mtx.
// Without the memory to list them, the earliest timer goes alone.
ACE_Time_Value WakeUpFor(SchedulerTimerState &t, const ACE_Time_Value &earliest) {
  const std::uint64_t first = ToUsec(earliest);
  t.soon.clear();
  ACE_Timer_Queue_Iterator_T<ACE_Event_Handler *> &it = t.heap.iter();
  try {
    for (it.first(); !it.isdone(); it.next()) {
      const std::uint64_t at = ToUsec(it.item()->get_timer_value());
      if (at - first <= kMaxSlackUsec) {
        t.soon.emplace_back(at, SlackOf(it.item()->get_interval()));
      }
    }
  } catch (const std::bad_alloc &) {
    return earliest;
  }
  if (t.soon.size() < 2) {
    return earliest;
  }
  std::sort(t.soon.begin(), t.soon.end());
  std::uint64_t wake = first;
  std::uint64_t limit = UINT64_MAX;
  for (const auto &timer : t.soon) {
    if (timer.first > limit) {
      break;
    }
    wake = timer.first;
    limit = std::min(limit, timer.first + timer.second);
  }
  return ACE_Time_Value(static_cast<time_t>(wake / 1000000u), static_cast<suseconds_t>(wake % 1000000u));
}

}  // namespace

// The timer thread, shared by every Scheduler that holds it; the last one
// stops the thread.
class SchedulerTimerThread {
 public:
  typedef void (*Body)(const std::shared_ptr<SchedulerTimerState> &);

  // The running thread, or a new one that runs `body`.
  static std::shared_ptr<SchedulerTimerThread> Shared(Body body);

  explicit SchedulerTimerThread(Body body);
  ~SchedulerTimerThread();
  SchedulerTimerThread(const SchedulerTimerThread &) = delete;
  SchedulerTimerThread &operator=(const SchedulerTimerThread &) = delete;

  SchedulerTimerState &State() { return *state_; }
  bool OnIt() const { return std::this_thread::get_id() == id_; }

 private:
  std::shared_ptr<SchedulerTimerState> state_;
  std::thread thread_;
  std::thread::id id_;
};

struct Scheduler::Impl {
  Impl() : state(std::make_shared<SchedulerState>()), thread(SchedulerTimerThread::Shared(&Run)) {}

  std::shared_ptr<SchedulerState> state;
  std::shared_ptr<SchedulerTimerThread> thread;

  // What an ended schedule held, to be released once the lock is: a
  // handler's destructor may take locks of its own or even destroy a
  // Scheduler.
  struct Ended {
    std::shared_ptr<ACE_Event_Handler> handler;
    std::shared_ptr<SchedulerState> owner;
    std::shared_ptr<ScheduleInfo> info;
  };

  static void Run(const std::shared_ptr<SchedulerTimerState> &t);
  static Ended End(SchedulerTimerState &t, const ScheduleInfo *schedule);
};

void Scheduler::Impl::Run(const std::shared_ptr<SchedulerTimerState> &t) {
  std::unique_lock<std::mutex> lock(t->mtx);
  while (!t->bStop) {
    if (t->heap.is_empty()) {
      t->cvWake.wait(lock);
      continue;
    }
    const ACE_Time_Value now = SteadyNow();
    const ACE_Time_Value wake = WakeUpFor(*t, t->heap.earliest_time());
    if (now < wake) {
      const auto until = std::chrono::microseconds(ToUsec(wake - now));
      t->cvWake.wait_for(lock, std::min<std::chrono::microseconds>(until, kMaxWait));
      continue;
    }
    ACE_Timer_Node_Dispatch_Info info;
    if (t->heap.dispatch_info(now, info) == 0) continue;

    // A cancelled schedule is no longer in the heap, so whatever was popped
    // is live; the test guards against an act that is not one of ours.
    const auto it = t->live.find(static_cast<const ScheduleInfo *>(info.act_));
    if (it == t->live.end() || it->second->bCancelled.load()) continue;
    std::shared_ptr<ScheduleInfo> schedule = it->second;
    std::shared_ptr<SchedulerState> owner = schedule->spOwner;
    std::shared_ptr<ACE_Event_Handler> handler = schedule->spHandler;
    const bool recurring = info.recurring_timer_ != 0;
    if (!recurring) {
      schedule->lTimerId = -1;  // ACE has freed the node
      schedule->spOwner.reset();
      t->live.erase(it);
    }
    t->pDispatching = schedule.get();
    t->pDispatchingOwner = owner.get();
    lock.unlock();

    int result = 0;
    try {
      result = handler->handle_timeout(ACE_OS::gettimeofday(), schedule->pAct);
    } catch (const std::exception &e) {
      ReportCallbackException(*owner, e.what());
    } catch (...) {
      ReportCallbackException(*owner, "not a std::exception");
    }
    if (!recurring && handler->reference_counting_policy().value() ==
                          ACE_Event_Handler::Reference_Counting_Policy::ENABLED) {
      handler->remove_reference();  // the reference that ACE's registration added
    }

    Ended ended;
    lock.lock();
    const bool stillLive = schedule->lTimerId != -1 && !schedule->bCancelled.load() && !t->bStop;
    if (stillLive && result == -1) {
      // ACE's convention: a handler that returns -1 asks to be removed.
      ended = End(*t, schedule.get());
    } else if (stillLive && recurring) {
      // ACE has already moved the timer to the first expiry of its grid after
      // `now`. If that expiry passed while the callback ran, ACE would
      // dispatch it at once, late; it counts as missed instead, and the timer
      // moves on to the first expiry still ahead, on the same grid.
      const ACE_Time_Value after = SteadyNow();
      if (NextOnGrid(schedule->tvGridOrigin, schedule->tvPeriod, now) <= after) {
        t->heap.cancel(schedule->lTimerId, nullptr, 1);
        schedule->lTimerId = t->heap.schedule(handler.get(), schedule.get(),
                                              NextOnGrid(schedule->tvGridOrigin, schedule->tvPeriod, after),
                                              schedule->tvPeriod);
        if (schedule->lTimerId == -1) {
          ended = End(*t, schedule.get());
        }
      }
    }
    lock.unlock();
    // The last references may go here, without the lock.
    ended = Ended();
    handler.reset();
    owner.reset();
    schedule.reset();
    lock.lock();
    t->pDispatching = nullptr;
    t->pDispatchingOwner = nullptr;
    t->cvIdle.notify_all();
  }
}

std::shared_ptr<SchedulerTimerThread> SchedulerTimerThread::Shared(Body body) {
  // Never destroyed: a Scheduler may go while the process exits.
  static auto *mtx = new std::mutex();
  static auto *current = new std::weak_ptr<SchedulerTimerThread>();
  std::lock_guard<std::mutex> lock(*mtx);
  std::shared_ptr<SchedulerTimerThread> thread = current->lock();
  if (!thread) {
    thread = std::make_shared<SchedulerTimerThread>(body);
    *current = thread;
  }
  return thread;
}

SchedulerTimerThread::SchedulerTimerThread(Body body) : state_(std::make_shared<SchedulerTimerState>()) {
  std::shared_ptr<SchedulerTimerState> state = state_;
  thread_ = std::thread([state, body] { body(state); });
  id_ = thread_.get_id();
}

SchedulerTimerThread::~SchedulerTimerThread() {
  {
    std::lock_guard<std::mutex> lock(state_->mtx);
    state_->bStop = true;
  }
  state_->cvWake.notify_all();
  if (OnIt()) {
    thread_.detach();  // returns from the callback, sees the stop and ends
  } else {
    thread_.join();
  }
}

// Ends a live schedule. Under the timer thread's lock.
Scheduler::Impl::Ended Scheduler::Impl::End(SchedulerTimerState &t, const ScheduleInfo *schedule) {
  const auto it = t.live.find(schedule);
  if (it == t.live.end()) {
    return Ended();
  }
  ScheduleInfo &info = *it->second;
  t.heap.cancel(info.lTimerId, nullptr, 1);
  info.lTimerId = -1;
  info.bCancelled.store(true);
  Ended ended{std::move(info.spHandler), std::move(info.spOwner), std::move(it->second)};
  t.live.erase(it);
  return ended;
}

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

Scheduler::Scheduler() : pImpl(new Impl()) {}

Scheduler::~Scheduler() {
  SchedulerTimerState &t = pImpl->thread->State();
  const SchedulerState *const self = pImpl->state.get();
  // One schedule at a time, each released without the lock.
  for (;;) {
    Impl::Ended ended;
    std::lock_guard<std::mutex> lock(t.mtx);
    pImpl->state->bStop = true;
    const auto ours = std::find_if(t.live.begin(), t.live.end(),
                                   [self](const auto &entry) { return entry.second->spOwner.get() == self; });
    if (ours == t.live.end()) {
      break;
    }
    ended = Impl::End(t, ours->first);
  }
  Quiesce();
  // The last Scheduler stops the thread here.
  pImpl->thread.reset();
}

std::shared_ptr<ScheduleInfo> Scheduler::Schedule(const std::shared_ptr<ACE_Event_Handler> &handler,
                                                  const void *act, const ACE_Time_Value &period,
                                                  const ACE_Time_Value &firstExpiry) {
  if (!handler || period < ACE_Time_Value::zero) return nullptr;
  std::shared_ptr<ScheduleInfo> info(new ScheduleInfo(handler, act, period, firstExpiry));
  SchedulerTimerState &t = pImpl->thread->State();
  {
    std::lock_guard<std::mutex> lock(t.mtx);
    if (pImpl->state->bStop || t.bStop) return nullptr;
    info->tvGridOrigin = SteadyNow() + (firstExpiry - ACE_OS::gettimeofday());
    const long id = t.heap.schedule(handler.get(), info.get(), info->tvGridOrigin, period);
    if (id == -1) return nullptr;
    info->lTimerId = id;
    info->spOwner = pImpl->state;
    t.live.emplace(info.get(), info);
  }
  t.cvWake.notify_all();
  return info;
}

bool Scheduler::Cancel(const std::shared_ptr<ScheduleInfo> &info) {
  if (!info) return false;
  SchedulerTimerState &t = pImpl->thread->State();
  Impl::Ended ended;  // released after the lock
  {
    std::lock_guard<std::mutex> lock(t.mtx);
    // Membership first: a schedule of another Scheduler is not ours to touch.
    if (t.live.count(info.get()) == 0 || info->spOwner != pImpl->state) return false;
    ended = Impl::End(t, info.get());
  }
  t.cvWake.notify_all();
  return true;
}

void Scheduler::Quiesce() {
  if (pImpl->thread->OnIt()) return;  // would wait for itself
  SchedulerTimerState &t = pImpl->thread->State();
  const SchedulerState *const self = pImpl->state.get();
  std::unique_lock<std::mutex> lock(t.mtx);
  t.cvIdle.wait(lock, [&t, self] { return t.pDispatchingOwner != self; });
}

bool Scheduler::WaitUntilIdle(const std::shared_ptr<ScheduleInfo> &info, std::chrono::milliseconds limit) {
  if (!info) return true;
  SchedulerTimerState &t = pImpl->thread->State();
  std::unique_lock<std::mutex> lock(t.mtx);
  // The address is only compared, never followed: `info` keeps it from being
  // reused by another schedule while this waits.
  const ScheduleInfo *const awaited = info.get();
  if (pImpl->thread->OnIt()) return t.pDispatching != awaited;
  return t.cvIdle.wait_for(lock, limit, [&t, awaited] { return t.pDispatching != awaited; });
}

std::size_t Scheduler::Size() const {
  SchedulerTimerState &t = pImpl->thread->State();
  std::lock_guard<std::mutex> lock(t.mtx);
  return static_cast<std::size_t>(std::count_if(t.live.begin(), t.live.end(), [this](const auto &entry) {
    return entry.second->spOwner == pImpl->state;
  }));
}

}  // namespace WindowsAgentCommon
