// Routes a scheduler's timer callbacks to a monitor's OnTimerExpired.
#ifndef VANTREL_MONITOR_TIMERCALLBACKHANDLER_H
#define VANTREL_MONITOR_TIMERCALLBACKHANDLER_H

#include <ace/Event_Handler.h>

#include <cstdint>

namespace WindowsAgentCommon {

// Holds a pointer to its monitor, which it does not own: the monitor keeps
// the handler's scheduler alive no longer than itself. The job number
// travels in the timer's act argument (its low 32 bits).
template <class Monitor, class Job>
class TimerCallbackHandler : public ACE_Event_Handler {
 public:
  explicit TimerCallbackHandler(Monitor *monitor) : ACE_Event_Handler(nullptr, 0), monitor_(monitor) {}
  ~TimerCallbackHandler() override = default;

  int handle_timeout(const ACE_Time_Value &, const void *act) override {
    const auto job = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(act) & 0xFFFFFFFFu);
    monitor_->OnTimerExpired(static_cast<Job>(job));
    return 0;
  }

 private:
  Monitor *monitor_;
};

}  // namespace WindowsAgentCommon

#endif  // VANTREL_MONITOR_TIMERCALLBACKHANDLER_H
