#include "support/TestSupport.h"

#include <VantrelCommon/Scheduler.h>

#include <ace/OS_NS_sys_time.h>

#include <algorithm>
#include <stdexcept>

using namespace WindowsAgentCommon;
using namespace VantrelTest;

namespace {

ACE_Time_Value Now() { return ACE_OS::gettimeofday(); }

ACE_Time_Value Millis(long ms) { return ACE_Time_Value(0, ms * 1000); }

std::int64_t Usec(const ACE_Time_Value &tv) { return static_cast<std::int64_t>(tv.sec()) * 1000000 + tv.usec(); }

// Counts its callbacks, remembers when and with which act they came (read
// those once no callback runs: they are written on the scheduler's thread
// only), and runs an optional body.
struct Recorder : ACE_Event_Handler {
  explicit Recorder(std::function<int(int)> body = {}) : body(std::move(body)) {}
  int handle_timeout(const ACE_Time_Value &, const void *act) override {
    times.push_back(Now());
    lastAct = act;
    const int n = ++count;
    return body ? body(n) : 0;
  }

  const std::function<int(int)> body;
  std::atomic<int> count{0};
  std::vector<ACE_Time_Value> times;
  const void *lastAct = nullptr;
};

// A scheduler whose one schedule's callback, once entered, is held until the
// test lets it go. The threads that call into it share it: one that never
// returns keeps it, leaked, instead of hanging the test in its destructor.
struct Blocked : std::enable_shared_from_this<Blocked> {
  Blocked() {
    gate.Close();
    info = scheduler->Schedule(handler, nullptr, Millis(5), Now());
  }
  // Runs each call on a thread of its own while the callback is held: true
  // when every call was still waiting after a while and had let the
  // callback end when it returned, within the deadline.
  bool CallsWaitForTheCallback(const std::vector<std::function<void(Blocked &)>> &calls) {
    std::vector<std::future<void>> callers;
    for (const auto &call : calls) {
      callers.push_back(InBackground([self = shared_from_this(), call] {
        call(*self);
        if (self->finished) ++self->returnedAfterTheCallback;
      }));
    }
    std::this_thread::sleep_for(50ms);
    const bool waited =
        std::none_of(callers.begin(), callers.end(), [](auto &c) { return Finished(c, 0ms); });
    gate.Open();
    for (auto &caller : callers) Finished(caller);
    return waited && returnedAfterTheCallback == static_cast<int>(calls.size());
  }

  Gate gate;
  std::atomic<bool> finished{false};
  std::atomic<int> returnedAfterTheCallback{0};
  std::shared_ptr<Recorder> handler = std::make_shared<Recorder>([this](int) {
    gate.Pass();
    finished = true;
    return 0;
  });
  std::unique_ptr<Scheduler> scheduler = std::make_unique<Scheduler>();
  std::shared_ptr<ScheduleInfo> info;
};

}  // namespace

// A one-shot runs once and is gone; a callback returning -1 is removed; one
// that cancels its own schedule gets no further call, and neither the wait
// for its schedule nor Quiesce waits for itself there; a throwing callback
// keeps its schedule and is reported once, not at every expiry; a far timer
// scheduled first does not hold up the near ones.
TEST(Scheduler, WhatACallbackDoesDecidesWhetherItsScheduleStays) {
  LogCapture capture;
  auto scheduler = std::make_unique<Scheduler>();
  auto later = std::make_shared<Recorder>();
  auto once = std::make_shared<Recorder>();
  auto minusOne = std::make_shared<Recorder>([](int) { return -1; });
  auto thrower = std::make_shared<Recorder>([](int) -> int { throw std::runtime_error("callback failure"); });
  std::shared_ptr<ScheduleInfo> selfInfo;
  std::mutex infoMutex;
  std::atomic<int> ownWait{-1};
  std::atomic<int> cancelled{-1};
  auto self = std::make_shared<Recorder>([&](int) {
    std::lock_guard<std::mutex> lock(infoMutex);
    // Either wait for itself would last the whole limit, past the test's deadline.
    ownWait = scheduler->WaitUntilIdle(selfInfo, 2 * kDeadline) ? 1 : 0;
    cancelled = scheduler->Cancel(selfInfo);
    scheduler->Quiesce();
    return 0;
  });
  auto control = std::make_shared<Recorder>();
  ASSERT_NE(nullptr, scheduler->Schedule(later, nullptr, ACE_Time_Value::zero, Now() + ACE_Time_Value(3600)));
  auto onceInfo = scheduler->Schedule(once, nullptr, ACE_Time_Value::zero, Now());
  auto minusOneInfo = scheduler->Schedule(minusOne, nullptr, Millis(5), Now());
  ASSERT_TRUE(onceInfo && minusOneInfo);
  ASSERT_NE(nullptr, scheduler->Schedule(thrower, nullptr, Millis(5), Now()));
  {
    std::lock_guard<std::mutex> lock(infoMutex);
    selfInfo = scheduler->Schedule(self, nullptr, Millis(5), Now());
    ASSERT_NE(nullptr, selfInfo);
  }
  ASSERT_NE(nullptr, scheduler->Schedule(control, nullptr, Millis(5), Now()));
  // The control timer shows that time went on, for many periods; it stops
  // when the thread waits for itself, and the scheduler is then left to it.
  ASSERT_TRUE(LeakUnless(WaitUntil([&] { return control->count >= 30; }), scheduler));
  const std::vector<int> counts{once->count, minusOne->count, self->count, later->count, ownWait, cancelled};
  EXPECT_EQ((std::vector<int>{1, 1, 1, 0, 0, 1}), counts) << "one-shot, -1, self, far; its wait and Cancel";
  EXPECT_GE(thrower->count.load(), 5);
  EXPECT_EQ(1u, capture.CountContaining("Timer callback threw an exception: callback failure"));
  EXPECT_EQ(3u, scheduler->Size());  // the far, the throwing and the control schedules are left
  EXPECT_TRUE(!scheduler->Cancel(onceInfo) && !onceInfo->IsCancelled() && minusOneInfo->IsCancelled());

  EXPECT_TRUE(!scheduler->Schedule(nullptr, nullptr, Millis(5), Now()) && !scheduler->Cancel(nullptr) &&
              !scheduler->Schedule(once, nullptr, ACE_Time_Value(-1, 0), Now()));
  Scheduler other;  // a schedule of one Scheduler is unknown to another
  auto foreign = other.Schedule(once, nullptr, ACE_Time_Value(3600), Now() + ACE_Time_Value(3600));
  EXPECT_FALSE(scheduler->Cancel(foreign));
  EXPECT_TRUE(other.Cancel(foreign));
}

// Cancel returns while a callback runs: the monitors cancel while holding a
// lock that their callback takes. Quiesce, the wait for the cancelled
// schedule and the destructor wait for the running callback before they
// return; the wait for a schedule gives up at its limit; no expiry comes
// after the one in flight. Those of another Scheduler, which shares the
// thread, do not wait for it.
TEST(Scheduler, CancelReturnsButQuiesceAndDestructionWaitForARunningCallback) {
  auto blocked = std::make_shared<Blocked>();
  ASSERT_TRUE(blocked->gate.WaitHeld());
  ASSERT_TRUE(blocked->scheduler->Cancel(blocked->info));
  EXPECT_FALSE(blocked->scheduler->WaitUntilIdle(blocked->info, 10ms));
  EXPECT_TRUE(blocked->CallsWaitForTheCallback(
      {[](Blocked &b) { b.scheduler->Quiesce(); },
       [](Blocked &b) { EXPECT_TRUE(b.scheduler->WaitUntilIdle(b.info, kDeadline)); }}));
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(1, blocked->handler->count.load()) << "an expiry after Cancel";

  blocked = std::make_shared<Blocked>();
  ASSERT_TRUE(blocked->gate.WaitHeld());
  auto other = std::make_unique<Scheduler>();
  auto otherInfo = other->Schedule(std::make_shared<Recorder>(), nullptr, Millis(5), Now());
  EXPECT_TRUE(ReturnsWithin(
      [&] {
        other->Quiesce();
        EXPECT_TRUE(other->WaitUntilIdle(otherInfo, 0ms));
        other.reset();
      },
      5s))
      << "another Scheduler waited for this one's callback";
  blocked->gate.Open();

  blocked = std::make_shared<Blocked>();
  std::weak_ptr<Recorder> weak = blocked->handler;
  blocked->handler.reset();
  EXPECT_FALSE(weak.expired());  // the Scheduler holds the handler
  ASSERT_TRUE(blocked->gate.WaitHeld());
  EXPECT_TRUE(blocked->CallsWaitForTheCallback({[](Blocked &b) { b.scheduler.reset(); }}));
  EXPECT_TRUE(weak.expired());
}

// The last reference dropped inside a callback destroys the Scheduler on its
// own thread: no self-join, no use of freed state afterwards.
TEST(Scheduler, DestroyedFromItsOwnCallback) {
  auto scheduler = std::make_shared<Scheduler>();
  std::shared_ptr<Scheduler> slot = scheduler;  // from Schedule on, only the callback touches it
  std::atomic<bool> done{false};
  auto handler = std::make_shared<Recorder>([&](int) {
    slot.reset();
    done = true;
    return 0;
  });
  ASSERT_NE(nullptr, scheduler->Schedule(handler, nullptr, Millis(5), Now()));
  scheduler.reset();
  ASSERT_TRUE(WaitUntil([&] { return done.load(); }));
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(1, handler->count.load());
}

// Over two seconds of 100 ms periods, with a callback that takes a third of
// the period, the callbacks stay on the grid of the first expiry: the
// callback's own run time does not push the ones after it. Expiries missed
// while one callback ran long are skipped: the next callback comes at the
// first expiry after the long one ended, not at once to catch up. The periods
// are long so that the late wake-ups of a loaded machine stay small beside
// them. Every callback comes with the schedule's act, none before its
// expiry, and none after Cancel and Quiesce.
TEST(Scheduler, IntervalKeepsThePhaseOfTheFirstExpirySkipsMissedOnesAndEndsAtCancel) {
  auto scheduler = std::make_unique<Scheduler>();
  std::atomic<std::int64_t> endOfLong{0};
  auto handler = std::make_shared<Recorder>([&](int n) {
    std::this_thread::sleep_for(n == 3 ? 550ms : 35ms);
    if (n == 3) endOfLong = Usec(Now());
    return 0;
  });
  const std::int64_t period = 100000;
  const ACE_Time_Value first = Now() + Millis(100);
  auto info = scheduler->Schedule(handler, reinterpret_cast<const void *>(2), Millis(100), first);
  ASSERT_TRUE(WaitUntil([&] { return handler->count >= 20; }));
  EXPECT_TRUE(scheduler->Cancel(info) && info->IsCancelled() && !scheduler->Cancel(info));
  ASSERT_TRUE(LeakUnless(ReturnsWithin([&] { scheduler->Quiesce(); }), scheduler));
  const int calls = handler->count;
  std::this_thread::sleep_for(250ms);
  EXPECT_EQ(calls, handler->count.load()) << "a callback after Cancel and Quiesce";
  const auto &times = handler->times;
  EXPECT_EQ(reinterpret_cast<const void *>(2), handler->lastAct);

  EXPECT_GE(Usec(times[3]) - Usec(first), ((endOfLong - Usec(first)) / period + 1) * period);
  std::vector<std::int64_t> lateness;
  std::int64_t previousSlot = -1;
  for (const auto &t : times) {
    const std::int64_t sinceFirst = Usec(t) - Usec(first);
    ASSERT_GE(sinceFirst, 0);
    const std::int64_t slot = sinceFirst / period;
    EXPECT_GT(slot, previousSlot) << "two callbacks for one expiry";
    previousSlot = slot;
    lateness.push_back(sinceFirst % period);
  }
  // Drift by the run time would spread the lateness over the whole period;
  // on the grid most callbacks come within a small part of it.
  std::sort(lateness.begin(), lateness.end());
  EXPECT_LT(lateness[lateness.size() / 2], period * 3 / 10) << "median lateness in microseconds";
}

// The timers of every Scheduler run on one thread, and those due close
// together come in one wake-up: a timer waits (its period's twentieth, 2 ms
// at most) for another Scheduler's next one, which runs right after it and
// never before its own expiry, while a timer further off waits for nobody.
TEST(Scheduler, SchedulersShareOneThreadAndTimersDueTogetherOneWakeUp) {
  using Clock = std::chrono::steady_clock;
  struct Stamp {
    Clock::time_point at;
    std::thread::id thread;
  };
  struct Stamps : ACE_Event_Handler {
    int handle_timeout(const ACE_Time_Value &, const void *) override {
      std::lock_guard<std::mutex> lock(mtx);
      if (stamps.size() < 100) stamps.push_back({Clock::now(), std::this_thread::get_id()});
      return 0;
    }
    std::vector<Stamp> Taken() {
      std::lock_guard<std::mutex> lock(mtx);
      return stamps;
    }
    std::mutex mtx;
    std::vector<Stamp> stamps;
  };
  // The grid's first expiry on the steady clock, as the scheduler takes it.
  const ACE_Time_Value first = Now() + Millis(100);
  const Clock::time_point origin = Clock::now() + std::chrono::microseconds(Usec(first) - Usec(Now()));
  const std::chrono::microseconds gap(1500), apartBy(50000), period(100000);
  Scheduler one, two, three;
  auto early = std::make_shared<Stamps>(), late = std::make_shared<Stamps>(), apart = std::make_shared<Stamps>();
  ASSERT_NE(nullptr, one.Schedule(early, nullptr, Millis(100), first));
  ASSERT_NE(nullptr, two.Schedule(late, nullptr, Millis(100), first + ACE_Time_Value(0, 1500)));
  ASSERT_NE(nullptr, three.Schedule(apart, nullptr, Millis(100), first + ACE_Time_Value(0, 50000)));
  ASSERT_TRUE(WaitUntil([&] { return early->Taken().size() >= 11 && apart->Taken().size() >= 11; }));
  one.Quiesce();
  two.Quiesce();
  three.Quiesce();
  const auto earlyStamps = early->Taken(), lateStamps = late->Taken(), apartStamps = apart->Taken();
  ASSERT_GE(lateStamps.size(), 10u);

  const auto sinceSlot = [&](Clock::time_point at, std::chrono::microseconds offset) {
    return std::chrono::duration_cast<std::chrono::microseconds>(at - origin - offset) % period;
  };
  std::vector<std::int64_t> earlyLateness, between, apartLateness;
  for (std::size_t i = 0; i < 10; ++i) {
    EXPECT_EQ(earlyStamps[0].thread, earlyStamps[i].thread);
    EXPECT_EQ(earlyStamps[0].thread, lateStamps[i].thread);
    EXPECT_EQ(earlyStamps[0].thread, apartStamps[i].thread);
    EXPECT_GE(lateStamps[i].at - origin, gap + static_cast<std::int64_t>(i) * period) << "before its expiry";
    earlyLateness.push_back(sinceSlot(earlyStamps[i].at, 0us).count());
    between.push_back(std::chrono::duration_cast<std::chrono::microseconds>(lateStamps[i].at - earlyStamps[i].at).count());
    apartLateness.push_back(sinceSlot(apartStamps[i].at, apartBy).count());
  }
  EXPECT_NE(std::this_thread::get_id(), earlyStamps[0].thread);
  const auto median = [](std::vector<std::int64_t> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  EXPECT_GE(median(earlyLateness), gap.count()) << "it did not wait for the other";
  EXPECT_LT(median(between), gap.count() / 2) << "the other did not come with it";
  EXPECT_LT(median(earlyLateness), apartBy.count() / 2) << "it waited for the one further off";
  EXPECT_LT(median(apartLateness), apartBy.count() / 2);
}

// Scheduling and cancelling from several threads while callbacks run.
TEST(Scheduler, ConcurrentScheduleAndCancel) {
  Scheduler scheduler;
  auto handler = std::make_shared<Recorder>();
  std::vector<std::thread> threads;
  std::atomic<int> cancelled{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 100; ++i) {
        auto info = scheduler.Schedule(handler, nullptr, Millis(1 + i % 3), Now());
        if (i % 10 == 0) std::this_thread::sleep_for(1ms);
        if (scheduler.Cancel(info)) ++cancelled;
      }
    });
  }
  for (auto &th : threads) th.join();
  EXPECT_EQ(400, cancelled.load());
  EXPECT_EQ(0u, scheduler.Size());
}
