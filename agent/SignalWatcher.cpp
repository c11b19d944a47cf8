#include "agent/SignalWatcher.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>

namespace VantrelAgent {

namespace {

// Sent by the destructor to the watcher thread only; taken from another
// sender it is ignored.
int WakeSignal() { return SIGRTMIN + 1; }

sigset_t WatchedSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGUSR1);
  sigaddset(&set, SIGHUP);
  sigaddset(&set, WakeSignal());
  return set;
}

}  // namespace

void SignalWatcher::BlockSignals() {
  const sigset_t set = WatchedSet();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

SignalWatcher::SignalWatcher(std::function<void(int)> onStop, std::function<void()> onStats,
                             std::function<void()> onReopen)
    : fnStop(std::move(onStop)),
      fnStats(std::move(onStats)),
      fnReopen(std::move(onReopen)),
      bQuit(false),
      thread([this] { Run(); }) {}

SignalWatcher::~SignalWatcher() {
  bQuit = true;
  pthread_kill(thread.native_handle(), WakeSignal());
  thread.join();
}

void SignalWatcher::Run() {
  const sigset_t set = WatchedSet();
  bool stopping = false;
  std::chrono::steady_clock::time_point firstStop;
  while (true) {
    int sig = 0;
    if (sigwait(&set, &sig) != 0) {
      continue;
    }
    if (sig == WakeSignal()) {
      if (bQuit.load()) return;
      continue;
    }
    if (sig == SIGUSR1) {
      fnStats();
      continue;
    }
    if (sig == SIGHUP) {
      fnReopen();
      continue;
    }
    if (!stopping) {
      stopping = true;
      firstStop = std::chrono::steady_clock::now();
      fnStop(sig);
      continue;
    }
    if (std::chrono::steady_clock::now() - firstStop < kRepeatAfter) {
      continue;
    }
    // Shutdown is under way and the person wants out now: no destructor,
    // no flush of anything but this one line.
    char line[96];
    const int n = std::snprintf(line, sizeof(line), "vantrel-agent: %s again; exiting at once\n",
                                sig == SIGINT ? "SIGINT" : "SIGTERM");
    if (n > 0) {
      const ssize_t ignored = ::write(STDERR_FILENO, line, static_cast<std::size_t>(n));
      (void)ignored;
    }
    ::_exit(128 + sig);
  }
}

}  // namespace VantrelAgent
