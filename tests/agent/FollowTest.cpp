// vantrel-agent --follow as a log shipper meets it: a writer appends numbered
// lines to three logs that logrotate rotates every second, each its own way,
// while the agent is stopped with SIGTERM and with kill -9 and started again
// on its state. Every line must come out once (after kill -9: the unsaved
// last second may come twice), whole, in order, with its offset; only
// copytruncate's own window may lose lines, and the agent counts those.

#include "ChildProcess.h"
#include "agent/Follower.h"
#include "monitor/IFileMonitorSink.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <map>
#include <mutex>
#include <regex>

using namespace VantrelTest;

namespace {

struct Line { int number; std::uint64_t offset, size; };

// The lines of one agent run, by the name they were written under; pieces
// of the overlong line are checked and left out.
std::map<std::string, std::vector<Line>> ParseRun(const std::vector<std::string> &output, const std::string &dir) {
  std::map<std::string, std::vector<Line>> lines;
  std::uint64_t longStart = 0;
  for (const auto &text : output) {
    const auto object = nlohmann::json::parse(text, nullptr, false);
    if (!object.is_object() || !object.contains("line") || !object.contains("offset")) {
      ADD_FAILURE() << "not a line: " << text.substr(0, 200);
      continue;
    }
    std::string line = object["line"];
    if (object.contains("line_bytes")) {
      const auto bytes = object["line_bytes"].get<std::vector<unsigned char>>();
      line.assign(bytes.begin(), bytes.end());
    }
    const std::string path = object["path"];
    const std::uint64_t offset = object["offset"];
    if (object.value("continued", false)) {
      EXPECT_TRUE(line == std::string(70009 - 65536, 'x') && offset == longStart + 65536) << "bad continuation";
      continue;
    }
    char name = 0;
    int number = 0, used = 0;
    // Under the name the file was first followed by; a file made and
    // rotated while the agent was down is known by its rotated name only.
    if (std::sscanf(line.c_str(), "%c %6d%n", &name, &number, &used) != 2 ||
        path.rfind(dir + "/" + name + ".log", 0) != 0) {
      ADD_FAILURE() << "odd line: " << path << ": " << line.substr(0, 100);
      continue;
    }
    const std::string rest = line.substr(static_cast<std::size_t>(used));
    if (name == 'a' && number == 150) {
      EXPECT_EQ(line.size(), 65536u) << "the overlong line is not cut at 64 KiB";
      longStart = offset;
    } else {
      EXPECT_EQ(rest, name == 'b' && number % 50 == 0 ? " \xFF" : name == 'a' && number % 97 == 0 ? " split line" : "");
    }
    lines[std::string(1, name)].push_back(Line{number, offset, name == 'a' && number == 150 ? 70009 : line.size()});
  }
  return lines;
}

// Appends as a program whose log logrotate makes anew: it never makes the
// file itself (one made between logrotate's rename and its create is moved
// aside by logrotate as *.backup), it waits for the new one.
void AppendToExisting(const std::string &path, const std::string &text) {
  for (int tries = 0; tries < 5000; ++tries) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd >= 0) {
      const bool whole = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
      ::close(fd);
      EXPECT_TRUE(whole) << path;
      return;
    }
    if (errno != ENOENT) break;
    std::this_thread::sleep_for(1ms);
  }
  ADD_FAILURE() << path << " could not be written";
}

void AppendLine(const std::string &path, std::string line, bool split) {
  line += '\n';
  if (split) {
    // Half now and half a little later, as a writer that buffers does.
    AppendToExisting(path, line.substr(0, 9));
    std::this_thread::sleep_for(30ms);
    line.erase(0, 9);
  }
  AppendToExisting(path, line);
}

}  // namespace

TEST(FollowTest, EveryLineOnceAcrossRotationsAndRestarts) {
  if (::access("/usr/sbin/logrotate", X_OK) != 0) GTEST_SKIP() << "logrotate is not installed";
  TempDir dir, work;
  const std::string logs = dir.Path();
  const std::string conf = work.Write("rotate.conf", logs + "/a.log {\n  rotate 1000\n  create\n}\n" + logs +
                                                          "/b.log {\n  rotate 1000\n  create\n  compress\n"
                                                          "  delaycompress\n}\n" +
                                                          logs + "/c.log {\n  rotate 1000\n  copytruncate\n}\n");
  const std::string fast =
      work.Write("fast.conf", "FileMonitorNoFSRedirect.EventLogMonitor.ScheduleExpirySweepPeriodMillis = 20\n");
  const std::string state = work.Join("follow.state");
  for (const char *name : {"a.log", "b.log", "c.log"}) dir.Write(name, "");
  const std::vector<std::string> command{VANTREL_AGENT_PATH, "--library", VANTREL_MONITOR_LIBRARY, "--config", fast,
      "--follow", "--json", "--state", state, "--interval", "50", logs + "/*.log*"};

  std::atomic<bool> stop{false}, rotating{true};
  std::atomic<int> written{0}, rotations{0};
  const int perSecond = 200;
  std::unique_ptr<ChildProcess> runs[3];
  const auto started = [&](int k) {
    runs[k].reset(new ChildProcess(command));
    return runs[k]->Stderr("watching ");
  };
  ASSERT_TRUE(started(0)) << runs[0]->Transcript();
  std::mutex rotation;
  std::thread writer([&] {
    for (int i = 1; !stop; ++i) {
      char number[16];
      std::snprintf(number, sizeof(number), "%06d", i);
      // No rotation between the halves of a split line: a line finished in
      // the old file after the new one was read would come late.
      std::unique_lock<std::mutex> hold(rotation, std::defer_lock);
      if (i % 97 == 0) hold.lock();
      AppendLine(logs + "/a.log",
                 std::string("a ") + number + (i == 150 ? " " + std::string(70000, 'x') : i % 97 == 0 ? " split line" : ""),
                 i % 97 == 0);
      AppendLine(logs + "/b.log", std::string("b ") + number + (i % 50 == 0 ? " \xFF" : ""), false);
      AppendLine(logs + "/c.log", std::string("c ") + number, false);
      written = i;
      std::this_thread::sleep_for(std::chrono::microseconds(1000000 / perSecond));
    }
  });
  // A second apart, `rotation` held: two rotations before the agent is back
  // would compress what delaycompress kept for it.
  auto last = std::chrono::steady_clock::now();
  const auto rotate = [&] {
    const std::string run = "/usr/sbin/logrotate -f -s " + work.Join("logrotate.state") + " " + conf;
    if (std::system(run.c_str()) == 0) ++rotations;
    last = std::chrono::steady_clock::now();
  };
  std::thread rotator([&] {
    while (rotating) {
      std::this_thread::sleep_for(50ms);
      std::lock_guard<std::mutex> lock(rotation);
      if (rotating && std::chrono::steady_clock::now() - last >= 1s) rotate();
    }
  });
  // Each restart comes after one rotation while the agent is down and lines
  // written to the new files meanwhile, and before any other.
  const auto restart = [&](int k, int sig) {
    std::lock_guard<std::mutex> lock(rotation);
    runs[k - 1]->Signal(sig);
    EXPECT_TRUE(runs[k - 1]->Exits(sig == SIGTERM ? 0 : 128 + sig));
    rotate();
    std::this_thread::sleep_for(200ms);
    const bool up = started(k);
    last = std::chrono::steady_clock::now();
    return up;
  };
  // The rotations end first, so that the last lines are not in a window.
  const auto finish = [&] {
    rotating = false;
    if (rotator.joinable()) rotator.join();
    std::this_thread::sleep_for(200ms);
    stop = true;
    if (writer.joinable()) writer.join();
  };
  std::this_thread::sleep_for(2500ms);
  ASSERT_TRUE(restart(1, SIGTERM)) << (finish(), runs[1]->Transcript());
  std::this_thread::sleep_for(2500ms);
  ASSERT_TRUE(restart(2, SIGKILL)) << (finish(), runs[2]->Transcript());
  std::this_thread::sleep_for(2500ms);
  finish();
  const int total = written;
  // Caught up: the last line of every log is out.
  for (const char *name : {"a", "b", "c"}) {
    char last[16];
    std::snprintf(last, sizeof(last), "%s %06d", name, total);
    EXPECT_TRUE(runs[2]->Stdout([&](const std::string &line) { return line.find(last) != std::string::npos; }))
        << name << runs[2]->Transcript();
  }
  runs[2]->Signal(SIGTERM);
  ASSERT_TRUE(runs[2]->Exits(0));

  std::map<std::string, std::vector<Line>> seen[3];
  for (int k = 0; k < 3; ++k) seen[k] = ParseRun(runs[k]->StdoutLines(), logs);
  // Lines that a killed agent had written but not yet saved: at most about
  // a second's worth, however slow the machine.
  const int budget = perSecond * 2;
  for (const std::string name : {"a", "b", "c"}) {
    SCOPED_TRACE(name);
    std::vector<int> numbers;  // in the order they came, runs one after another
    for (int k = 0; k < 3; ++k) {
      const auto &lines = seen[k][name];
      for (std::size_t i = 1; i < lines.size(); ++i) {
        EXPECT_LT(lines[i - 1].number, lines[i].number) << "out of order in run " << k;
        if (lines[i].number == lines[i - 1].number + 1 && lines[i].offset != 0) {
          EXPECT_EQ(lines[i].offset, lines[i - 1].offset + lines[i - 1].size + 1) << "line " << lines[i].number;
        }
      }
      if (k == 2 && !lines.empty() && !numbers.empty()) {
        EXPECT_LE(lines.front().number, numbers.back() + 1) << "lost across kill -9";
        EXPECT_GT(lines.front().number, numbers.back() - budget) << "too many again after kill -9";
        while (!numbers.empty() && numbers.back() >= lines.front().number) numbers.pop_back();
      }
      for (const auto &line : lines) numbers.push_back(line.number);
    }
    ASSERT_FALSE(numbers.empty());
    EXPECT_EQ(numbers.front(), 1);
    EXPECT_EQ(numbers.back(), total);
    int gaps = 0;
    for (std::size_t i = 1; i < numbers.size(); ++i) {
      EXPECT_LT(numbers[i - 1], numbers[i]) << "twice after SIGTERM";
      if (numbers[i] != numbers[i - 1] + 1) ++gaps;
    }
    // Only copytruncate's window, between the copy and the truncation, can
    // lose lines: at most once a rotation, and only the few that logrotate's
    // own copy and truncation leave between them, never what was written
    // since the agent's last read.
    EXPECT_LE(gaps, name == "c" ? rotations.load() : 0);
    EXPECT_LE(total - static_cast<int>(numbers.size()), name == "c" ? 5 * rotations + 10 : 0);
  }
  EXPECT_GE(rotations.load(), 5);
  std::smatch counted;
  const std::string summary = runs[2]->StderrLines().empty() ? "" : runs[2]->StderrLines().back();
  EXPECT_TRUE(std::regex_search(summary, counted, std::regex(R"((\d+) truncations and \d+ files let go of since the state began)")) &&
              std::stoi(counted[1]) >= rotations / 2)
      << runs[2]->Transcript();
}

// A follower fed the test's own reports, one path at a time, meets
// copytruncate's copy and its original in the orders that make a reader
// write old lines after new ones: the copy made while it was down of a file
// that was empty at its stop (no print tells it as a copy), and a copy seen
// empty that is filled, and its original truncated and written again, before
// the reader looks at it again. Every line once, in order.
TEST(FollowTest, CopytruncateMetInEitherOrder) {
  using Sink = WindowsAgentCommon::IFileMonitorSink;
  TempDir dir, work;
  const std::string log = dir.Write("app.log", ""), out = work.Join("out");
  // Named to come before the log when both are reported at once.
  const std::string copy = dir.Join("app.1.log"), later = dir.Join("app.2.log");
  std::string expected;  // lines of 9 bytes
  const auto append = [&] {
    expected += "c " + std::to_string(100001 + expected.size() / 9) + "\n";
    AppendFile(log, expected.substr(expected.size() - 9));
  };
  const auto copyTruncate = [&](const std::string &to) {
    AppendFile(to, ReadFile(log));
    TruncateFile(log, 0);
    append();
  };
  VantrelAgent::FollowOptions options{work.Join("state"), true, 64, false, "%l",
                                      ::open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644)};
  std::unique_ptr<VantrelAgent::Follower> follower;
  std::string error;
  const auto start = [&](const std::vector<std::string> &paths) {
    follower = VantrelAgent::MakeFollower(options, [] {}, error);
    ASSERT_TRUE(follower) << error;
    for (const auto &path : paths) follower->OnReport(path, Sink::FILE_MON_CHANGE_SIZE_LARGER);
    follower->Ready();
  };
  // Taken in once a line written to the log after it is out.
  const auto report = [&](const std::string &path, unsigned int flags) {
    follower->OnReport(path, flags);
    append();
    follower->OnReport(log, Sink::FILE_MON_CHANGE_SIZE_LARGER);
    return WaitUntil([&] { return ReadFile(out).find(expected.substr(expected.size() - 9)) != std::string::npos; });
  };
  start({log});
  follower->Stop();
  for (int i = 0; i < 5; ++i) append();
  copyTruncate(copy);
  SetWriteTime(copy, WriteTimeSeconds(log) - 60);
  start({log, copy});
  ASSERT_TRUE(report(log, Sink::FILE_MON_CHANGE_SIZE_LARGER));
  WriteFile(later, "");
  ASSERT_TRUE(report(later, Sink::FILE_MON_CHANGE_CREATED));
  copyTruncate(later);
  EXPECT_TRUE(report(later, Sink::FILE_MON_CHANGE_SIZE_LARGER));
  follower->Stop();
  ::close(options.output);
  EXPECT_EQ(ReadFile(out), expected);
}
