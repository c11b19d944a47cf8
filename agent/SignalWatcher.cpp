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
  sigaddset(&set, WakeSignal());
  return set;
}

}  // namespace

void SignalWatcher::BlockSignals() {
  const sigset_t set = WatchedSet();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

SignalWatcher::SignalWatcher(std::function<void(int)> onStop, std::function<void()> onStats)
    : fnStop(std::move(onStop)), fnStats(std::move(onStats)), bQuit(false), thread([this] { Run(); }) {}

SignalWatcher::~SignalWatcher() {
  bQuit = true;
  pthread_kill(thread.native_handle(), WakeSignal());
  thread.join();
}

void SignalWatcher::Run() {
  const sigset_t set = WatchedSet();
  int stops = 0;
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
    if (++stops == 1) {
      fnStop(sig);
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
