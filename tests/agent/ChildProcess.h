// A program run as a child process with its standard output and error read
// line by line on threads of their own. The destructor kills a child that is
// still running and reaps it, so that no test leaves one behind, whichever
// way it ends.
#ifndef VANTREL_TESTS_AGENT_CHILDPROCESS_H
#define VANTREL_TESTS_AGENT_CHILDPROCESS_H

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

  bool Started() const { return pid > 0; }

  std::vector<std::string> StdoutLines() const;
  std::vector<std::string> StderrLines() const;

  // Wait until a line of the stream satisfies `match` (or, for the text
  // overloads, contains `text`); returns whether one did before the deadline.
  bool WaitForStdout(const std::function<bool(const std::string &)> &match, std::chrono::milliseconds deadline);
  bool WaitForStderr(const std::function<bool(const std::string &)> &match, std::chrono::milliseconds deadline);
  bool WaitForStdout(const std::string &text, std::chrono::milliseconds deadline);
  bool WaitForStderr(const std::string &text, std::chrono::milliseconds deadline);

  void Signal(int sig);

  // Bytes waiting in the unread standard output pipe (readStdout false).
  int UnreadStdoutBytes() const;

  // Waits for the child to end and both streams to close. Returns whether
  // it did before the deadline; `status` is then the exit status, or 128 +
  // the signal that killed it.
  bool WaitForExit(std::chrono::milliseconds deadline, int &status);

  // Both streams, for failure messages.
  std::string Transcript() const;

 private:
  struct Stream {
    std::vector<std::string> lines;
    std::string partial;
    bool closed = false;
  };

  void Read(int fd, Stream &stream);
  bool WaitFor(const Stream &stream, const std::function<bool(const std::string &)> &match,
               std::chrono::milliseconds deadline);

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
