#include "ChildProcess.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

extern char **environ;

namespace VantrelTest {

ChildProcess::ChildProcess(const std::vector<std::string> &argv, bool readStdout, const std::string &directory)
    : outPath(files.Join("stdout")), errPath(files.Join("stderr")) {
  const int created = O_WRONLY | O_CREAT | O_TRUNC;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.c_str(), created, 0600);
  if (!directory.empty()) posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
  int pipeFds[2] = {-1, -1};
  if (readStdout) {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath.c_str(), created, 0600);
  } else if (::pipe2(pipeFds, O_CLOEXEC) == 0) {
    ::fcntl(pipeFds[0], F_SETPIPE_SZ, 4096);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    heldStdout = pipeFds[0];
  }

  // The child starts with no signal blocked and every signal at its default,
  // whatever this test process has set up.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<char *> args;
  for (const auto &arg : argv) args.push_back(const_cast<char *>(arg.c_str()));
  args.push_back(nullptr);
  if (posix_spawn(&pid, args[0], &actions, &attr, args.data(), environ) != 0) {
    reaped = true;
    ADD_FAILURE() << "cannot start " << argv[0];
  }
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (pipeFds[1] >= 0) ::close(pipeFds[1]);
}

ChildProcess::~ChildProcess() {
  if (!reaped) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
  if (heldStdout >= 0) ::close(heldStdout);
}

bool ChildProcess::Ended() {
  int raw = 0;
  if (!reaped && ::waitpid(pid, &raw, WNOHANG) == pid) {
    reaped = true;
    exitStatus = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  }
  return reaped;
}

std::vector<std::string> ChildProcess::Lines(const std::string &path) const {
  const std::string text = ReadFile(path);
  std::istringstream in(text);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  // A last line without its newline may still be being written.
  if (!reaped && !text.empty() && text.back() != '\n') lines.pop_back();
  return lines;
}

Match ChildProcess::Contains(const std::string &text) {
  return [text](const std::string &line) { return line.find(text) != std::string::npos; };
}

std::size_t ChildProcess::CountStderr(const std::string &text) const {
  const auto lines = StderrLines();
  return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), Contains(text)));
}

::testing::AssertionResult ChildProcess::WaitFor(const std::string &path, const Match &match,
                                                 std::chrono::milliseconds wait) {
  const auto until = std::chrono::steady_clock::now() + wait;
  for (std::size_t checked = 0;; std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
    const bool ended = Ended();
    const auto lines = Lines(path);
    for (; checked < lines.size(); ++checked) {
      if (match(lines[checked])) return ::testing::AssertionSuccess();
    }
    if (ended || std::chrono::steady_clock::now() >= until) break;
  }
  return ::testing::AssertionFailure() << "no such line in " << path << "\n" << Transcript();
}

int ChildProcess::UnreadStdoutBytes() const {
  int bytes = 0;
  return heldStdout >= 0 && ::ioctl(heldStdout, FIONREAD, &bytes) == 0 ? bytes : 0;
}

::testing::AssertionResult ChildProcess::Exits(int expected) {
  WaitUntil([this] { return Ended(); }, kWait);
  if (reaped && exitStatus == expected) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << (reaped ? "exit status " + std::to_string(exitStatus) : "not ended")
                                       << ", expected " << expected << "\n" << Transcript();
}

std::string ChildProcess::Transcript() const {
  return "--- stdout\n" + ReadFile(outPath) + "\n--- stderr\n" + ReadFile(errPath) + "\n";
}

}  // namespace VantrelTest
