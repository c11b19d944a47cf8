// The console's control events for vantrel-agent on Windows, the
// counterparts of the POSIX signals: Ctrl+C (SIGINT) and closing the console
// or ending the session (SIGTERM) stop the agent, Ctrl+Break (SIGUSR1's role)
// asks for the statistics; nothing stands for SIGHUP. The system calls the handler on a thread of its
// own; the handler only hands the event to the watcher thread, which runs the
// callbacks as on POSIX.
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

BOOL WINAPI OnConsoleEvent(DWORD event) {
  int sig = 0;
  switch (event) {
    case CTRL_C_EVENT:
      sig = SIGINT;
      break;
    case CTRL_BREAK_EVENT:
      sig = kStats;
      break;
    default:
      sig = SIGTERM;
      break;
  }
  std::lock_guard<std::mutex> lock(mtxPending);
  if (hWake == nullptr) return FALSE;  // no watcher: the default action ends the process
  if (sig != kStats && stopping) {
    if (std::chrono::steady_clock::now() - firstStop >= SignalWatcher::kRepeatAfter) ExitAgain(sig);
    return TRUE;  // the same request delivered twice
  }
  if (sig != kStats) {
    stopping = true;
    firstStop = std::chrono::steady_clock::now();
  }
  pending = sig;
  ::SetEvent(hWake);
  return TRUE;
}

}  // namespace

void SignalWatcher::BlockSignals() { ::SetConsoleCtrlHandler(&OnConsoleEvent, TRUE); }

SignalWatcher::SignalWatcher(std::function<void(int)> onStop, std::function<void()> onStats,
                             std::function<void()> onReopen)
    : fnStop(std::move(onStop)), fnStats(std::move(onStats)), fnReopen(std::move(onReopen)), bQuit(false) {
  {
    std::lock_guard<std::mutex> lock(mtxPending);
    hWake = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    pending = 0;
    stopping = false;
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
