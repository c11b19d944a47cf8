// Signals for vantrel-agent, taken by one dedicated thread with sigwait
// rather than in an asynchronous handler, so that what a signal sets off may
// lock, allocate and log like any other code.
//
// BlockSignals must run on the main thread before any other thread starts:
// every thread inherits the blocked set, so the signals stay pending until
// the watcher's sigwait takes them.
#ifndef VANTREL_AGENT_SIGNALWATCHER_H
#define VANTREL_AGENT_SIGNALWATCHER_H

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace VantrelAgent {

class SignalWatcher {
 public:
  // A stop signal that comes sooner than this after the first one is the
  // same request delivered twice (timeout(1) and service managers signal
  // the process and its group), not a person asking again.
  static constexpr std::chrono::seconds kRepeatAfter{1};

  // Blocks SIGINT, SIGTERM, SIGHUP, SIGUSR1 and the watcher's own wake-up
  // signal in the calling thread, and ignores SIGPIPE (a closed output pipe
  // shows up as a failed write instead).
  static void BlockSignals();

  // Starts the thread. The callbacks run on it: onStop for the first SIGINT
  // or SIGTERM, onStats for every SIGUSR1, onReopen for every SIGHUP. A
  // SIGINT or SIGTERM that comes kRepeatAfter or later after the first ends
  // the process at once with status 128 + the signal number; one that comes
  // sooner is ignored.
  SignalWatcher(std::function<void(int)> onStop, std::function<void()> onStats, std::function<void()> onReopen);
  // Ends the thread and waits for it.
  ~SignalWatcher();
  SignalWatcher(const SignalWatcher &) = delete;
  SignalWatcher &operator=(const SignalWatcher &) = delete;

 private:
  void Run();

  std::function<void(int)> fnStop;
  std::function<void()> fnStats;
  std::function<void()> fnReopen;
  std::atomic<bool> bQuit;
  std::thread thread;
};

#if defined(_WIN32)
// Asks the running watcher to stop the agent as a SIGTERM would, without
// waiting (the service control manager's stop and shut-down); false when no
// watcher runs.
bool RequestServiceStop();
#endif

}  // namespace VantrelAgent

#endif  // VANTREL_AGENT_SIGNALWATCHER_H
