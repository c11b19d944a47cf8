// The console's control events for vantrel-agent on Windows, the
// counterparts of the POSIX signals: Ctrl+C (SIGINT) and closing the console
// or ending the session (SIGTERM) stop the agent, Ctrl+Break (SIGUSR1's role)
// asks for the statistics; nothing stands for SIGHUP. The system calls the
// handler on a thread of its own; the handler only hands the event to the
// watcher thread, which runs the callbacks as on POSIX. The system ends the
// process as soon as the handler of a close, log-off or shut-down event
// returns, so that handler returns only once the agent has stopped in order
// (or the system's own limit has passed). The service control manager's stop
// and shut-down come in through RequestServiceStop.
#include "agent/SignalWatcher.h"

#include <Platform/Win32Api.h>

#include <io.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace VantrelAgent {

namespace {

const int kStats = -1;

// The watcher's wake-up event and the event last taken, guarded by the mutex
// (the handler runs on a thread that the system starts).
std::mutex mtxPending;
HANDLE hWake = nullptr;
int pending = 0;
bool stopping = false;
std::chrono::steady_clock::time_point firstStop;
// A service stop that came before the watcher: taken by the next watcher.
bool stopBeforeWatcher = false;
// Set when the watcher that took a stop has gone, that is once the agent has
// stopped in order; made once, never closed.
HANDLE hStopped = nullptr;

// The system gives a console's close 5 s and a shut-down 5 to 20 s before it
// ends the process; waiting longer changes nothing.
const DWORD kOrderlyStopMillis = 20000;

void ExitAgain(int sig) {
  char line[96];
  const int n = std::snprintf(line, sizeof(line), "vantrel-agent: %s again; exiting at once\n",
                              sig == SIGINT ? "SIGINT" : "SIGTERM");
  if (n > 0) {
    const int ignored = ::_write(2, line, static_cast<unsigned int>(n));
    (void)ignored;
  }
  ::_exit(128 + sig);
}

// Hands `sig` to the watcher; false when there is none.
bool Post(int sig, bool repeatEnds) {
  std::lock_guard<std::mutex> lock(mtxPending);
  if (hWake == nullptr) return false;
  if (sig != kStats && stopping) {
    if (repeatEnds && std::chrono::steady_clock::now() - firstStop >= SignalWatcher::kRepeatAfter) ExitAgain(sig);
    return true;  // the same request delivered twice
  }
  if (sig != kStats) {
    stopping = true;
    firstStop = std::chrono::steady_clock::now();
  }
  pending = sig;
  ::SetEvent(hWake);
  return true;
}

BOOL WINAPI OnConsoleEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
      return Post(SIGINT, true) ? TRUE : FALSE;  // no watcher: the default action ends the process
    case CTRL_BREAK_EVENT:
      return Post(kStats, true) ? TRUE : FALSE;
    default:
      break;
  }
  // Close, log-off, shut-down: the process ends when this returns.
  if (!Post(SIGTERM, false)) return FALSE;
  ::WaitForSingleObject(hStopped, kOrderlyStopMillis);
  return TRUE;
}

}  // namespace

void SignalWatcher::BlockSignals() {
  {
    std::lock_guard<std::mutex> lock(mtxPending);
    if (hStopped == nullptr) hStopped = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  }
  ::SetConsoleCtrlHandler(&OnConsoleEvent, TRUE);
}

bool RequestServiceStop() {
  if (Post(SIGTERM, false)) return true;
  std::lock_guard<std::mutex> lock(mtxPending);
  stopBeforeWatcher = true;
  return false;
}

SignalWatcher::SignalWatcher(std::function<void(int)> onStop, std::function<void()> onStats,
                             std::function<void()> onReopen)
    : fnStop(std::move(onStop)), fnStats(std::move(onStats)), fnReopen(std::move(onReopen)), bQuit(false) {
  {
    std::lock_guard<std::mutex> lock(mtxPending);
    hWake = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    pending = stopBeforeWatcher ? SIGTERM : 0;
    stopping = stopBeforeWatcher;
    firstStop = std::chrono::steady_clock::now();
    if (stopBeforeWatcher) ::SetEvent(hWake);
    stopBeforeWatcher = false;
  }
  thread = std::thread([this] { Run(); });
}

SignalWatcher::~SignalWatcher() {
  HANDLE wake;
  {
    std::lock_guard<std::mutex> lock(mtxPending);
    wake = hWake;
  }
  bQuit = true;
  ::SetEvent(wake);
  thread.join();
  std::lock_guard<std::mutex> lock(mtxPending);
  ::CloseHandle(hWake);
  hWake = nullptr;
  if (stopping && hStopped != nullptr) ::SetEvent(hStopped);
}

void SignalWatcher::Run() {
  HANDLE wake;
  {
    std::lock_guard<std::mutex> lock(mtxPending);
    wake = hWake;
  }
  while (true) {
    ::WaitForSingleObject(wake, INFINITE);
    if (bQuit.load()) return;
    int sig;
    {
      std::lock_guard<std::mutex> lock(mtxPending);
      sig = pending;
      pending = 0;
    }
    if (sig == kStats) {
      fnStats();
    } else if (sig != 0) {
      fnStop(sig);
    }
  }
}

}  // namespace VantrelAgent
