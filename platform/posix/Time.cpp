// System time, sleeping and the module look-ups that have nothing to find.
#include <Platform/Win32Api.h>

#include "Internal.h"

#include <sched.h>
#include <time.h>

#include <Platform/SystemClock.h>

#include <atomic>
#include <cerrno>

namespace VantrelPlatform {

namespace {

class RealTimeClock final : public SystemClock {
 public:
  struct timespec Now() override {
    struct timespec now;
    ::clock_gettime(CLOCK_REALTIME, &now);
    return now;
  }
};

std::atomic<SystemClock *> installedClock{nullptr};

struct timespec SystemTimespec() {
  SystemClock *clock = installedClock.load(std::memory_order_acquire);
  return (clock != nullptr ? *clock : SystemClock::System()).Now();
}

}  // namespace

// Never destroyed: a static's destructor may still ask the time.
SystemClock &SystemClock::System() {
  static auto *clock = new RealTimeClock();
  return *clock;
}

SystemClock *InstallSystemClock(SystemClock *clock) {
  return installedClock.exchange(clock, std::memory_order_acq_rel);
}

}  // namespace VantrelPlatform

using VantrelPlatform::detail::kFileTimeUnixEpoch;
using VantrelPlatform::detail::kTicksPerSecond;
using VantrelPlatform::detail::SetError;

// GetSystemTimeAsFileTime, Sleep and _time64 cannot fail and leave the last
// error alone, as on Windows.
void GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime) {
  if (lpSystemTimeAsFileTime == nullptr) {
    return;
  }
  *lpSystemTimeAsFileTime = VantrelPlatform::detail::FileTimeFromTimespec(VantrelPlatform::SystemTimespec());
}

void Sleep(DWORD dwMilliseconds) {
  if (dwMilliseconds == 0) {
    ::sched_yield();
    return;
  }
  // INFINITE sleeps for good, one long interval after the other.
  struct timespec request;
  const DWORD span = dwMilliseconds == INFINITE ? 86400000u : dwMilliseconds;
  do {
    request.tv_sec = static_cast<time_t>(span / 1000);
    request.tv_nsec = static_cast<long>(span % 1000) * 1000000L;
    struct timespec remaining;
    while (::nanosleep(&request, &remaining) != 0 && errno == EINTR) {
      request = remaining;
    }
  } while (dwMilliseconds == INFINITE);
}

__int64 _time64(__int64 *timer) {
  const __int64 now = static_cast<__int64>(VantrelPlatform::SystemTimespec().tv_sec);
  if (timer != nullptr) {
    *timer = now;
  }
  return now;
}

HMODULE GetModuleHandleW(LPCWSTR /*lpModuleName*/) {
  SetError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

FARPROC GetProcAddress(HMODULE /*hModule*/, LPCSTR /*lpProcName*/) {
  SetError(ERROR_PROC_NOT_FOUND);
  return nullptr;
}

namespace VantrelPlatform {

ACE_Time_Value TimeValueFromFileTime(const FILETIME &ft) {
  const std::uint64_t ticks = (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  const auto epoch = static_cast<std::uint64_t>(kFileTimeUnixEpoch);
  const auto perSecond = static_cast<std::uint64_t>(kTicksPerSecond);
  // Unsigned arithmetic on each side of the epoch: every FILETIME converts
  // without overflow.
  if (ticks >= epoch) {
    const std::uint64_t since = ticks - epoch;
    return ACE_Time_Value(static_cast<time_t>(since / perSecond), static_cast<suseconds_t>(since % perSecond / 10));
  }
  const std::uint64_t before = epoch - ticks;
  return ACE_Time_Value(-static_cast<time_t>(before / perSecond), -static_cast<suseconds_t>(before % perSecond / 10));
}

ACE_Time_Value SystemTimeNow() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return TimeValueFromFileTime(now);
}

ACE_Time_Value MonotonicNow() {
  struct timespec now;
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return ACE_Time_Value(now.tv_sec, static_cast<suseconds_t>(now.tv_nsec / 1000));
}

}  // namespace VantrelPlatform
