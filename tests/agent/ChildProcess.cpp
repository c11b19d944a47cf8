#include "ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <set>

extern char **environ;

namespace VantrelTest {

ChildProcess::ChildProcess(const std::vector<std::string> &argv, const std::vector<std::string> &environment,
                           bool readStdout) {
  int outPipe[2] = {-1, -1};
  int errPipe[2] = {-1, -1};
  if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "no pipe for the child's output";
    return;
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);

  // The child starts with no signal blocked and every signal at its default,
  // whatever this test process has set up.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none;
  sigemptyset(&none);
  sigset_t all;
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<char *> args;
  for (const auto &arg : argv) args.push_back(const_cast<char *>(arg.c_str()));
  args.push_back(nullptr);
  // The first mention of a name wins: the extra entries, latest first.
  std::vector<std::string> variables(environment.rbegin(), environment.rend());
  for (char **entry = environ; *entry != nullptr; ++entry) variables.emplace_back(*entry);
  std::set<std::string> names;
  std::vector<char *> env;
  for (auto &variable : variables) {
    if (names.insert(variable.substr(0, variable.find('='))).second) env.push_back(&variable[0]);
  }
  env.push_back(nullptr);

  pid_t child = -1;
  if (posix_spawn(&child, args[0], &actions, &attr, args.data(), env.data()) == 0) {
    pid = child;
  }
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  ::close(outPipe[1]);
  ::close(errPipe[1]);

  if (readStdout) {
    outReader = std::thread([this, fd = outPipe[0]] { Read(fd, out); });
  } else {
    ::fcntl(outPipe[0], F_SETPIPE_SZ, 4096);
    heldStdout = outPipe[0];
    out.closed = true;
  }
  errReader = std::thread([this, fd = errPipe[0]] { Read(fd, err); });
}

ChildProcess::~ChildProcess() {
  if (pid > 0 && !reaped) {
    ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  // The pipes close when the child (and anything it started) is gone.
  if (heldStdout >= 0) ::close(heldStdout);
  if (outReader.joinable()) outReader.join();
  if (errReader.joinable()) errReader.join();
}

void ChildProcess::Read(int fd, Stream &stream) {
  char buffer[4096];
  while (true) {
    const ssize_t n = ::read(fd, buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    std::lock_guard<std::mutex> lock(mtx);
    if (n <= 0) {
      if (!stream.partial.empty()) stream.lines.push_back(stream.partial);
      stream.partial.clear();
      stream.closed = true;
      cv.notify_all();
      break;
    }
    stream.partial.append(buffer, static_cast<std::size_t>(n));
    std::size_t newline;
    while ((newline = stream.partial.find('\n')) != std::string::npos) {
      stream.lines.push_back(stream.partial.substr(0, newline));
      stream.partial.erase(0, newline + 1);
    }
    cv.notify_all();
  }
  ::close(fd);
}

std::vector<std::string> ChildProcess::StdoutLines() const {
  std::lock_guard<std::mutex> lock(mtx);
  return out.lines;
}

std::vector<std::string> ChildProcess::StderrLines() const {
  std::lock_guard<std::mutex> lock(mtx);
  return err.lines;
}

::testing::AssertionResult ChildProcess::WaitFor(const Stream &stream, const Match &match,
                                                 std::chrono::milliseconds deadline, const std::string &what) {
  std::unique_lock<std::mutex> lock(mtx);
  std::size_t checked = 0;
  if (cv.wait_for(lock, deadline, [&] {
        for (; checked < stream.lines.size(); ++checked) {
          if (match(stream.lines[checked])) return true;
        }
        return stream.closed;
      }) &&
      checked < stream.lines.size()) {
    return ::testing::AssertionSuccess();
  }
  lock.unlock();
  return ::testing::AssertionFailure() << "no line " << what << " in\n" << Transcript();
}

::testing::AssertionResult ChildProcess::Stdout(const Match &match, std::chrono::milliseconds deadline) {
  return WaitFor(out, match, deadline, "as expected on standard output");
}

::testing::AssertionResult ChildProcess::Stderr(const Match &match, std::chrono::milliseconds deadline) {
  return WaitFor(err, match, deadline, "as expected on standard error");
}

::testing::AssertionResult ChildProcess::Stdout(const std::string &text, std::chrono::milliseconds deadline) {
  return WaitFor(out, [&](const std::string &line) { return line.find(text) != std::string::npos; }, deadline,
                 "with '" + text + "' on standard output");
}

::testing::AssertionResult ChildProcess::Stderr(const std::string &text, std::chrono::milliseconds deadline) {
  return WaitFor(err, [&](const std::string &line) { return line.find(text) != std::string::npos; }, deadline,
                 "with '" + text + "' on standard error");
}

std::size_t ChildProcess::CountStderr(const std::string &text) const {
  std::lock_guard<std::mutex> lock(mtx);
  return static_cast<std::size_t>(std::count_if(err.lines.begin(), err.lines.end(), [&](const std::string &line) {
    return line.find(text) != std::string::npos;
  }));
}

void ChildProcess::Signal(int sig) {
  if (pid > 0 && !reaped) ::kill(pid, sig);
}

int ChildProcess::UnreadStdoutBytes() const {
  int bytes = 0;
  if (heldStdout < 0 || ::ioctl(heldStdout, FIONREAD, &bytes) != 0) return 0;
  return bytes;
}

::testing::AssertionResult ChildProcess::Exits(int expected, std::chrono::milliseconds deadline) {
  const auto until = std::chrono::steady_clock::now() + deadline;
  while (pid > 0 && !reaped && std::chrono::steady_clock::now() < until) {
    int raw = 0;
    const pid_t r = ::waitpid(pid, &raw, WNOHANG);
    if (r == pid) {
      reaped = true;
      exitStatus = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    } else if (r < 0 && errno != EINTR) {
      break;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  std::unique_lock<std::mutex> lock(mtx);
  const bool ended = reaped && cv.wait_until(lock, until, [&] { return out.closed && err.closed; });
  lock.unlock();
  if (ended && exitStatus == expected) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << (ended ? "exit status " + std::to_string(exitStatus) : "still running")
                                       << ", expected " << expected << "\n" << Transcript();
}

std::string ChildProcess::Transcript() const {
  std::lock_guard<std::mutex> lock(mtx);
  std::string text = "--- stdout\n";
  for (const auto &line : out.lines) text += line + "\n";
  text += "--- stderr\n";
  for (const auto &line : err.lines) text += line + "\n";
  return text;
}

}  // namespace VantrelTest
