// The time of day of the POSIX platform layer as an interface, so that a test
// can put its own in front of the system's (as LevelDB's EnvWrapper does) and
// set the time of day back or forward under a running monitor.
//
// GetSystemTimeAsFileTime, SystemTimeNow and _time64 read the installed
// clock; the system's is installed unless a test installed another.
// Production code never installs one. The monotonic clock is not affected.
#ifndef VANTREL_PLATFORM_SYSTEMCLOCK_H
#define VANTREL_PLATFORM_SYSTEMCLOCK_H

#if !defined(_WIN32)

#include <time.h>

namespace VantrelPlatform {

class SystemClock {
 public:
  virtual ~SystemClock() = default;

  // The system's clock (CLOCK_REALTIME), which lives as long as the process.
  static SystemClock &System();

  // The time of day: seconds and nanoseconds since 1970.
  virtual struct timespec Now() = 0;
};

// Makes `clock` the one that the time-of-day functions read from now on (the
// system's again for null) and returns the one it replaces (null for the
// system's). `clock` must outlive every call that may still read it.
SystemClock *InstallSystemClock(SystemClock *clock);

}  // namespace VantrelPlatform

#endif  // !_WIN32

#endif  // VANTREL_PLATFORM_SYSTEMCLOCK_H
