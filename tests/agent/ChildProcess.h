// A program run as a child process with its standard output and error read
// line by line on threads of their own. The destructor kills a child that is
// still running and reaps it, so that no test leaves one behind, whichever
// way it ends. Every wait is bounded, and a failed one carries both streams
// in its message.
#ifndef VANTREL_TESTS_AGENT_CHILDPROCESS_H
#define VANTREL_TESTS_AGENT_CHILDPROCESS_H

#include <gtest/gtest.h>

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace VantrelTest {

class ChildProcess {
 public:
  using Match = std::function<bool(const std::string &)>;
  static constexpr std::chrono::milliseconds kWait{30000};

  // Starts argv[0] (a path) with the arguments and this process's
  // environment plus `environment` ("NAME=value", later entries win);
  // standard input is /dev/null. With `readStdout` false nothing reads the
  // child's standard output, whose pipe holds one page, so the child's
  // writes block once that is full.
  explicit ChildProcess(const std::vector<std::string> &argv, const std::vector<std::string> &environment = {},
                        bool readStdout = true);
  ~ChildProcess();
  ChildProcess(const ChildProcess &) = delete;
  ChildProcess &operator=(const ChildProcess &) = delete;

  std::vector<std::string> StdoutLines() const;
  std::vector<std::string> StderrLines() const;
  // Standard error lines that contain `text`, so far.
  std::size_t CountStderr(const std::string &text) const;

  // Waits until a line of the stream satisfies `match` (or contains `text`).
  // Once the stream has closed, it answers at once.
  ::testing::AssertionResult Stdout(const Match &match, std::chrono::milliseconds deadline = kWait);
  ::testing::AssertionResult Stderr(const Match &match, std::chrono::milliseconds deadline = kWait);
  ::testing::AssertionResult Stdout(const std::string &text, std::chrono::milliseconds deadline = kWait);
  ::testing::AssertionResult Stderr(const std::string &text, std::chrono::milliseconds deadline = kWait);

  void Signal(int sig);

  // Bytes waiting in the unread standard output pipe (readStdout false).
  int UnreadStdoutBytes() const;

  // Waits for the child to end and both streams to close; succeeds when its
  // exit status (128 + the signal that killed it) is `expected`.
  ::testing::AssertionResult Exits(int expected, std::chrono::milliseconds deadline = kWait);

  // Both streams, for failure messages.
  std::string Transcript() const;

 private:
  struct Stream {
    std::vector<std::string> lines;
    std::string partial;
    bool closed = false;
  };

  void Read(int fd, Stream &stream);
  ::testing::AssertionResult WaitFor(const Stream &stream, const Match &match, std::chrono::milliseconds deadline,
                                     const std::string &what);

  pid_t pid = -1;
  int heldStdout = -1;  // the unread pipe, closed by the destructor
  bool reaped = false;
  int exitStatus = -1;
  mutable std::mutex mtx;
  std::condition_variable cv;
  Stream out;
  Stream err;
  std::thread outReader;
  std::thread errReader;
};

}  // namespace VantrelTest

#endif  // VANTREL_TESTS_AGENT_CHILDPROCESS_H
