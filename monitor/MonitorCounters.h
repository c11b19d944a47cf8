// What a monitor counts for its statistics, and when it last logged that a
// registration failed.
//
// Threads: any; every member is an atomic, and counting takes no lock.
#ifndef VANTREL_MONITOR_MONITORCOUNTERS_H
#define VANTREL_MONITOR_MONITORCOUNTERS_H

#include <atomic>
#include <cstdint>

namespace WindowsAgentCommon {

class MonitorCounters {
 public:
  // Checks made, and checks that a notification spared.
  void CountChecks(std::uint64_t n) { checks_.fetch_add(n, std::memory_order_relaxed); }
  // Calls to receivers, and those that a receiver left with an exception.
  void CountReport() { reports_.fetch_add(1, std::memory_order_relaxed); }
  void CountReceiverFailure() { receiverFailures_.fetch_add(1, std::memory_order_relaxed); }

  std::uint64_t Checks() const { return checks_.load(std::memory_order_relaxed); }
  std::uint64_t Reports() const { return reports_.load(std::memory_order_relaxed); }
  std::uint64_t ReceiverFailures() const { return receiverFailures_.load(std::memory_order_relaxed); }

  // When a failed registration was last logged (seconds since 1970), and
  // the claim of the next line: true for one caller only of those that read
  // the same `last`, whose line at `now` then counts as the last.
  std::int64_t LastRegistrationFailureLine() const { return lastRegistrationFailure_.load(); }
  bool ClaimRegistrationFailureLine(std::int64_t last, std::int64_t now) {
    return lastRegistrationFailure_.compare_exchange_strong(last, now);
  }

 private:
  std::atomic<std::uint64_t> checks_{0};
  std::atomic<std::uint64_t> reports_{0};
  std::atomic<std::uint64_t> receiverFailures_{0};
  std::atomic<std::int64_t> lastRegistrationFailure_{0};  // seconds since 1970
};

}  // namespace WindowsAgentCommon

#endif  // VANTREL_MONITOR_MONITORCOUNTERS_H
