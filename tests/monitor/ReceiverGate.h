// Holds the worker threads that report through it: while the gate is closed,
// every call of Pass (made from a receiver's OnFileChanged) blocks. A test
// uses it to keep workers busy on purpose, or to change a watched path while
// no check of that path can run (a record is not checked again while its
// report is still being delivered). Thread-safe.
#ifndef VANTREL_TESTS_MONITOR_RECEIVERGATE_H
#define VANTREL_TESTS_MONITOR_RECEIVERGATE_H

#include "support/TestSupport.h"

#include <condition_variable>
#include <mutex>

namespace VantrelTest {

class ReceiverGate {
 public:
  void Close() {
    std::lock_guard<std::mutex> guard(mtx);
    closed = true;
  }

  void Open() {
    {
      std::lock_guard<std::mutex> guard(mtx);
      closed = false;
    }
    cv.notify_all();
  }

  // Blocks while the gate is closed; never longer than the deadline, so
  // that a failing test cannot hang the suite.
  void Pass() {
    std::unique_lock<std::mutex> lock(mtx);
    if (!closed) {
      return;
    }
    ++held;
    cv.notify_all();
    cv.wait_for(lock, kDeadline, [this] { return !closed; });
    --held;
  }

  // Waits until at least `n` threads are held.
  bool WaitHeld(int n = 1) {
    std::unique_lock<std::mutex> lock(mtx);
    return cv.wait_for(lock, kDeadline, [&] { return held >= n; });
  }

 private:
  std::mutex mtx;
  std::condition_variable cv;
  bool closed = false;
  int held = 0;
};

}  // namespace VantrelTest

#endif  // VANTREL_TESTS_MONITOR_RECEIVERGATE_H
