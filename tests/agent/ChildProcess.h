// A program run as a child process, its standard output and error written to
// files that the waits read line by line. The destructor kills a child that
// is still running and reaps it, so that no test leaves one behind,
// whichever way it ends. Every wait is bounded, and a failed one carries both
// streams in its message. Not thread-safe: one test thread drives it.
#ifndef VANTREL_TESTS_AGENT_CHILDPROCESS_H
#define VANTREL_TESTS_AGENT_CHILDPROCESS_H

// The tests that run the agent read its output with <regex>, in which GCC 12
// reports a false "may be used uninitialized" (in the std::function of its
// automaton) when it is built with the sanitizers.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include "support/TestSupport.h"

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace VantrelTest {

// Accepts a line of output.
using Match = std::function<bool(const std::string &)>;

class ChildProcess {
 public:
  static constexpr std::chrono::milliseconds kWait{30000};

  // Starts argv[0] (a path) with the arguments and this process's
  // environment, in `directory` if one is given; standard input is
  // /dev/null. With `readStdout` false standard output is a pipe of one page
  // that nothing reads, so the child's writes block once that is full.
  explicit ChildProcess(const std::vector<std::string> &argv, bool readStdout = true,
                        const std::string &directory = "");
  ~ChildProcess();
  ChildProcess(const ChildProcess &) = delete;
  ChildProcess &operator=(const ChildProcess &) = delete;

  // The lines written so far; a last one without its newline once the child
  // has ended.
  std::vector<std::string> StdoutLines() const { return Lines(outPath); }
  std::vector<std::string> StderrLines() const { return Lines(errPath); }
  // Standard error lines that contain `text`, so far.
  std::size_t CountStderr(const std::string &text) const;

  // Waits until a line of standard output satisfies `match`, or one of
  // standard error contains `text`, each line looked at once; after the
  // child's end it answers at once.
  ::testing::AssertionResult Stdout(const Match &match, std::chrono::milliseconds wait = kWait) {
    return WaitFor(outPath, match, wait);
  }
  ::testing::AssertionResult Stderr(const std::string &text, std::chrono::milliseconds wait = kWait) {
    return WaitFor(errPath, Contains(text), wait);
  }

  void Signal(int sig) { if (!reaped) ::kill(pid, sig); }

  // Bytes waiting in the unread standard output pipe (readStdout false).
  int UnreadStdoutBytes() const;

  // Waits for the child to end; succeeds when its exit status (128 + the
  // signal that killed it) is `expected`.
  ::testing::AssertionResult Exits(int expected);

  // Both streams, for failure messages.
  std::string Transcript() const;

 private:
  static Match Contains(const std::string &text);
  std::vector<std::string> Lines(const std::string &path) const;
  bool Ended();  // reaps the child once it has ended
  ::testing::AssertionResult WaitFor(const std::string &path, const Match &match, std::chrono::milliseconds wait);

  TempDir files;
  const std::string outPath, errPath;
  pid_t pid = -1;
  int heldStdout = -1;  // the unread pipe, closed by the destructor
  bool reaped = false;  // or never started
  int exitStatus = -1;
};

}  // namespace VantrelTest

#endif  // VANTREL_TESTS_AGENT_CHILDPROCESS_H
