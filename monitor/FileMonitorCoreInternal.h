// What the files of the monitor core share among themselves and nobody else
// includes: the lock guard of mtxMonitor, time conversions, the warning
// interval. Included only by monitor/FileMonitor*.cpp of the core.
#ifndef VANTREL_MONITOR_FILEMONITORCOREINTERNAL_H
#define VANTREL_MONITOR_FILEMONITORCOREINTERNAL_H

#include "monitor/ThreadAnnotations.h"

#include <ace/Time_Value.h>

#include <cstdint>

namespace WindowsAgentCommon {
namespace core {

// A warning about one record, or about the queue, at most once a minute.
constexpr std::int64_t kWarningIntervalSec = 60;

// Whether a warning last given at `last` (seconds since 1970) may be given
// again at `now`: a minute later, or at once when the time of day was set
// back, so that no step of the clock silences it until it catches up.
inline bool WarningDue(std::int64_t now, std::int64_t last) {
  return now < last || now - last > kWarningIntervalSec;
}

typedef MutexLock MonitorGuard;

inline std::int64_t Microseconds(const ACE_Time_Value &tv) {
  return static_cast<std::int64_t>(tv.sec()) * 1000000 + tv.usec();
}

// Milliseconds as a time span, without 32-bit overflow.
inline ACE_Time_Value SpanFromMillis(std::uint64_t millis) {
  ACE_Time_Value span;
  span.set(static_cast<time_t>(millis / 1000), static_cast<suseconds_t>((millis % 1000) * 1000));
  return span;
}

}  // namespace core
}  // namespace WindowsAgentCommon

#endif  // VANTREL_MONITOR_FILEMONITORCOREINTERNAL_H
