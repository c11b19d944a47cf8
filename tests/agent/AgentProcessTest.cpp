// The real vantrel-agent, run as a child process on a temporary directory:
// its ready line, its report lines and JSON objects for real changes, its
// notes, its statistics, its orderly exit on a signal or at the end of
// --duration, and its refusal of a bad configuration file.
#include "ChildProcess.h"
#include "support/TestSupport.h"

#include <nlohmann/json.hpp>

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

using namespace VantrelTest;

namespace {

const std::chrono::milliseconds kWait = std::chrono::seconds(30);

std::vector<std::string> AgentCommand(std::vector<std::string> args, bool withLibrary = true) {
  std::vector<std::string> argv{VANTREL_AGENT_PATH};
  if (withLibrary) {
    argv.push_back("--library");
    argv.push_back(VANTREL_MONITOR_LIBRARY);
  }
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

// Whether `text` has the shape: '9' stands for a decimal digit, 'X' for an
// upper-case hexadecimal digit, anything else for itself.
bool HasShape(const std::string &text, const std::string &shape) {
  if (text.size() != shape.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const bool ok = shape[i] == '9'   ? (c >= '0' && c <= '9')
                    : shape[i] == 'X' ? ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))
                                      : c == shape[i];
    if (!ok) return false;
  }
  return true;
}

// "2026-12-05 19:10:01.123 <path> NAMES 0xHHHH" for this path; the names
// through `names`.
bool IsReportFor(const std::string &line, const std::string &path, std::string *names = nullptr) {
  const std::string time = "9999-99-99 99:99:99.999 ";
  const std::string hex = " 0xXXXX";
  if (line.size() < time.size() + path.size() + 2 + hex.size() || !HasShape(line.substr(0, time.size()), time) ||
      line.compare(time.size(), path.size(), path) != 0 || line[time.size() + path.size()] != ' ' ||
      !HasShape(line.substr(line.size() - hex.size()), hex)) {
    return false;
  }
  const std::string flagNames =
      line.substr(time.size() + path.size() + 1, line.size() - hex.size() - time.size() - path.size() - 1);
  if (flagNames.empty() || flagNames.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ|") != std::string::npos) {
    return false;
  }
  if (names != nullptr) *names = flagNames;
  return true;
}

bool HasName(const std::string &names, const std::string &name) {
  return ("|" + names + "|").find("|" + name + "|") != std::string::npos;
}

// The report of `path` that carries the flag name, in text lines.
std::function<bool(const std::string &)> ReportWith(const std::string &path, const std::string &name) {
  return [path, name](const std::string &line) {
    std::string names;
    return IsReportFor(line, path, &names) && HasName(names, name);
  };
}

nlohmann::json NamesOf(unsigned int flags) {
  if (flags == 0) return nlohmann::json::array({"IDLE"});
  const std::pair<unsigned int, const char *> order[] = {{0x0001, "CREATED"}, {0x0010, "DELETED"},
                                                         {0x0040, "REPLACED"}, {0x0002, "MODIFIED"}, {0x0008, "GREW"},
                                                         {0x0004, "SHRANK"}, {0x0020, "REVERTED"},
                                                         {0x8000, "DIR"}};
  nlohmann::json names = nlohmann::json::array();
  for (const auto &entry : order) {
    if ((flags & entry.first) != 0) names.push_back(entry.second);
  }
  return names;
}

// Quiet by default: standard error holds the agent's own notes and nothing
// of its log (which would begin with a timestamp and a level).
void StopAndExpectCleanExit(ChildProcess &agent, int sig = SIGTERM) {
  agent.Signal(sig);
  int status = -1;
  ASSERT_TRUE(agent.WaitForExit(kWait, status)) << agent.Transcript();
  EXPECT_EQ(status, 0) << agent.Transcript();
  for (const auto &line : agent.StderrLines()) {
    EXPECT_TRUE(line.rfind("vantrel-agent: ", 0) == 0 || line.rfind("watching ", 0) == 0 ||
                line.rfind("stats: ", 0) == 0)
        << line;
  }
}

// Environment for a child that may end without joining its threads.
std::vector<std::string> NoThreadLeakReports() {
  const char *tsan = std::getenv("TSAN_OPTIONS");
  return {std::string("TSAN_OPTIONS=") + (tsan != nullptr ? tsan : "") + " report_thread_leaks=0"};
}

TEST(AgentProcessTest, PrintsReportLinesForFilesAndDirectoriesAndStopsOnSigterm) {
  TempDir dir;
  const std::string file = dir.Join("caf\xE9.log");  // a name is bytes, printed as they are
  WriteFile(file, "first\n");
  // --idle: the first IDLE line of a path shows that its baseline is taken.
  ChildProcess agent(AgentCommand({"--interval", "100", "--idle", dir.Path(), file}));
  ASSERT_TRUE(agent.Started());
  ASSERT_TRUE(agent.WaitForStderr(
      [](const std::string &line) { return line == "watching 2 paths with FileMonitorNoFSRedirect every 100 ms"; },
      kWait))
      << agent.Transcript();
  ASSERT_TRUE(agent.WaitForStdout(ReportWith(file, "IDLE"), kWait)) << agent.Transcript();
  ASSERT_TRUE(agent.WaitForStdout(ReportWith(dir.Path(), "IDLE"), kWait)) << agent.Transcript();

  AppendFile(file, "second\n");
  EXPECT_TRUE(agent.WaitForStdout(ReportWith(file, "GREW"), kWait)) << agent.Transcript();
  WriteFile(dir.Join("new.log"), "x");
  EXPECT_TRUE(agent.WaitForStdout(
      [&](const std::string &line) { return line.find(" " + dir.Path() + " MODIFIED|DIR 0x8002") != std::string::npos; },
      kWait))
      << agent.Transcript();

  for (const auto &line : agent.StdoutLines()) {
    EXPECT_TRUE(IsReportFor(line, file) || IsReportFor(line, dir.Path())) << line;
  }
  StopAndExpectCleanExit(agent);
}

TEST(AgentProcessTest, AStopSignalTwiceAtOnceIsOneStopAndOneASecondLaterEndsAtOnce) {
  TempDir dir;
  // timeout(1) and service managers signal the process and its group: the
  // same request twice, a moment apart. It must stop in order.
  {
    ChildProcess agent(AgentCommand({"--log-level", "info", dir.Path()}));
    ASSERT_TRUE(agent.WaitForStderr("watching 1 paths with", kWait)) << agent.Transcript();
    agent.Signal(SIGTERM);
    ASSERT_TRUE(agent.WaitForStderr("Stopping on SIGTERM", kWait)) << agent.Transcript();
    agent.Signal(SIGTERM);
    int status = -1;
    ASSERT_TRUE(agent.WaitForExit(kWait, status)) << agent.Transcript();
    EXPECT_EQ(status, 0) << agent.Transcript();
    EXPECT_TRUE(agent.WaitForStderr("FileMonitorFactory shutdown", std::chrono::milliseconds(0)))
        << agent.Transcript();
  }

  // A person who asks again a second later, while the shutdown hangs on a
  // report that cannot be written (nothing reads standard output), gets out
  // at once.
  const std::string file = dir.Join("busy.log");
  WriteFile(file, "x");
  const std::string config = dir.Join("fast.conf");
  WriteFile(config, "FileMonitorNoFSRedirect.EventLogMonitor.ScheduleExpirySweepPeriodMillis = 10\n");
  ChildProcess agent(AgentCommand({"--config", config, "--log-level", "info", "--idle", "--interval", "1", file}),
                     NoThreadLeakReports(), false);
  ASSERT_TRUE(agent.WaitForStderr("watching 1 paths with", kWait)) << agent.Transcript();
  // Full, and no longer moving: a worker is stuck in its write.
  const auto until = std::chrono::steady_clock::now() + kWait;
  int unread = -1;
  while (std::chrono::steady_clock::now() < until) {
    const int before = agent.UnreadStdoutBytes();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    unread = agent.UnreadStdoutBytes();
    if (unread == before && unread > 4096 - 100) break;
  }
  ASSERT_GT(unread, 4096 - 100) << agent.Transcript();
  agent.Signal(SIGTERM);
  ASSERT_TRUE(agent.WaitForStderr("Stopping on SIGTERM", kWait)) << agent.Transcript();
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  agent.Signal(SIGINT);
  int status = -1;
  ASSERT_TRUE(agent.WaitForExit(kWait, status)) << agent.Transcript();
  EXPECT_EQ(status, 128 + SIGINT) << agent.Transcript();
  EXPECT_TRUE(agent.WaitForStderr("SIGINT again; exiting at once", std::chrono::milliseconds(0)))
      << agent.Transcript();
}

TEST(AgentProcessTest, SighupReopensTheLogFileUnderItsName) {
  TempDir dir;
  const std::string log = dir.Join("agent.log");
  ChildProcess agent(AgentCommand({"--log-file", log, "--log-level", "info", dir.Path()}));
  ASSERT_TRUE(agent.WaitForStderr("watching 1 paths with", kWait)) << agent.Transcript();
  // What logrotate does: move the file away, then signal.
  ASSERT_EQ(std::rename(log.c_str(), dir.Join("agent.log.1").c_str()), 0);
  agent.Signal(SIGHUP);
  const auto until = std::chrono::steady_clock::now() + kWait;
  while (ReadFile(log).find("Log file " + log + " reopened") == std::string::npos &&
         std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_NE(ReadFile(log).find("reopened"), std::string::npos) << agent.Transcript();
  StopAndExpectCleanExit(agent);
  EXPECT_NE(ReadFile(log).find("Stopping on SIGTERM"), std::string::npos) << ReadFile(log);
}

// Patterns pick up what appears later, at any depth, with both monitor
// kinds: the new file's first report is CREATED; hidden, excluded and
// unmatched files stay out; a file let go of after DELETED is found again
// when it comes back; a pattern whose directory does not exist yet waits, as
// does a missing path, noted once however often it is given.
TEST(AgentProcessTest, PatternsFindFilesThatAppearLaterAndLetGoOfThoseThatGo) {
  for (const std::string monitor : {"notify", "poll"}) {
    SCOPED_TRACE(monitor);
    TempDir dir;
    const std::string old = dir.Join("old.log");
    WriteFile(old, "x");
    WriteFile(dir.Join(".hidden.log"), "x");
    ChildProcess agent(AgentCommand({"--monitor", monitor, "--interval", "100", "--exclude", "*.skip.log",
                                     dir.Join("**/*.log"), dir.Join("l[0-9]?/.named*"),
                                     dir.Join("later/*.log"), dir.Join("missing.log"), dir.Join("missing.log")}));
    ASSERT_TRUE(agent.WaitForStderr("watching ", kWait)) << agent.Transcript();
    std::size_t notes = 0;
    for (const auto &line : agent.StderrLines()) {
      if (line.find(dir.Join("missing.log") + " does not exist yet") != std::string::npos) ++notes;
    }
    EXPECT_EQ(notes, 1u) << agent.Transcript();
    EXPECT_TRUE(agent.WaitForStderr(dir.Join("later/*.log") + " matches nothing yet", std::chrono::milliseconds(0)))
        << agent.Transcript();
    AppendFile(old, "y");
    ASSERT_TRUE(agent.WaitForStdout(ReportWith(old, "GREW"), kWait)) << agent.Transcript();

    MakeDir(dir.Join("a"));
    MakeDir(dir.Join("a/b"));
    MakeDir(dir.Join("l12"));
    for (const char *name : {"a/b/x.skip.log", "a/b/.h.log", "a/b/x.txt", "l12/.named", "a/b/new.log"}) {
      WriteFile(dir.Join(name), "1");
    }
    MakeDir(dir.Join("later"));
    WriteFile(dir.Join("later/late.log"), "1");
    WriteFile(dir.Join("missing.log"), "1");
    const std::string fresh = dir.Join("a/b/new.log");
    for (const std::string &path :
         {fresh, dir.Join("l12/.named"), dir.Join("later/late.log"), dir.Join("missing.log")}) {
      EXPECT_TRUE(agent.WaitForStdout(ReportWith(path, "CREATED"), kWait)) << path << agent.Transcript();
    }
    AppendFile(fresh, "2");
    ASSERT_TRUE(agent.WaitForStdout(ReportWith(fresh, "GREW"), kWait)) << agent.Transcript();
    ASSERT_EQ(::unlink(fresh.c_str()), 0);
    ASSERT_TRUE(agent.WaitForStdout(ReportWith(fresh, "DELETED"), kWait)) << agent.Transcript();
    WriteFile(fresh, "3");
    const auto isCreated = ReportWith(fresh, "CREATED");
    ASSERT_TRUE(agent.WaitForStdout(
        [&, seen = 0](const std::string &line) mutable { return isCreated(line) && ++seen == 2; }, kWait))
        << agent.Transcript();
    StopAndExpectCleanExit(agent);

    // Reports of the paths asked for and nothing else; a found file's first
    // one is CREATED.
    bool first = true;
    for (const auto &line : agent.StdoutLines()) {
      const bool wanted = IsReportFor(line, old) || IsReportFor(line, fresh) ||
                          IsReportFor(line, dir.Join("l12/.named")) || IsReportFor(line, dir.Join("later/late.log")) ||
                          IsReportFor(line, dir.Join("missing.log"));
      EXPECT_TRUE(wanted) << line;
      if (IsReportFor(line, fresh) && first) {
        EXPECT_TRUE(isCreated(line)) << line;
        first = false;
      }
    }
  }
}

// --format with every placeholder, --events, and one line per report even
// for a name with a newline in it.
TEST(AgentProcessTest, FormatEventsAndEscapedNames) {
  TempDir dir;
  const std::string odd = dir.Join("two\nlines\\.log");
  WriteFile(odd, "x");
  ChildProcess agent(AgentCommand({"--interval", "100", "--events", "grew,Deleted", "--format",
                                   "%m ; %k ; %p ; %f ; %x ; %% ; %t ; %I", odd}));
  ASSERT_TRUE(agent.WaitForStderr("watching 1 paths", kWait)) << agent.Transcript();
  AppendFile(odd, "y");
  ASSERT_TRUE(agent.WaitForStdout("GREW", kWait)) << agent.Transcript();
  ASSERT_EQ(::unlink(odd.c_str()), 0);
  ASSERT_TRUE(agent.WaitForStdout("DELETED", kWait)) << agent.Transcript();
  WriteFile(odd, "x");  // CREATED, which is not among the events
  std::this_thread::sleep_for(std::chrono::seconds(1));
  AppendFile(odd, "y");
  ASSERT_TRUE(agent.WaitForStdout([n = 0](const std::string &line) mutable {
    return line.find("GREW") != std::string::npos && ++n == 2;
  }, kWait)) << agent.Transcript();
  StopAndExpectCleanExit(agent);

  const std::string escaped = dir.Join("two\\nlines\\\\.log");
  const auto lines = agent.StdoutLines();
  ASSERT_EQ(lines.size(), 3u) << agent.Transcript();
  // Whole seconds of write time: GREW comes with or without MODIFIED.
  const char *flags[] = {"GREW ; 0x000", "DELETED ; 0x0010", "GREW ; 0x000"};
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string head = "FileMonitorNoFSRedirect ; ";
    ASSERT_EQ(lines[i].rfind(head, 0), 0u) << lines[i];
    const std::size_t path = lines[i].find(" ; ", head.size()) + 3;
    EXPECT_TRUE(lines[i].find(escaped + " ; ", path) == path) << lines[i];
    const std::string rest = lines[i].substr(path + escaped.size() + 3);
    EXPECT_NE(rest.find(flags[i]), std::string::npos) << rest;
    const std::string times = rest.substr(rest.find("% ; ") + 4);
    EXPECT_TRUE(HasShape(times.substr(0, 26), "9999-99-99 99:99:99.999 ; ")) << times;
    EXPECT_TRUE(HasShape(times.substr(26, 23), "9999-99-99T99:99:99.999")) << times;
  }

  ChildProcess bad(AgentCommand({"--format", "%p %q", odd}));
  int status = -1;
  ASSERT_TRUE(bad.WaitForExit(kWait, status));
  EXPECT_EQ(status, 2);
  EXPECT_TRUE(bad.WaitForStderr("unknown placeholder %q", std::chrono::milliseconds(0))) << bad.Transcript();
}

// "./w5", "w5/" and the absolute path are one path, registered once and
// reported by its absolute name; each repeat is noted once.
TEST(AgentProcessTest, OnePathHowEverItIsWritten) {
  TempDir dir;
  const std::string w5 = dir.Join("w5");
  WriteFile(w5, "x");
  ChildProcess agent({"/bin/sh", "-c",
                      "cd '" + dir.Path() + "' && exec '" + VANTREL_AGENT_PATH + "' --library '" +
                          VANTREL_MONITOR_LIBRARY + "' --interval 100 ./w5 w5/ '" + w5 + "' ./sub/../w5"});
  ASSERT_TRUE(agent.WaitForStderr("watching 1 paths", kWait)) << agent.Transcript();
  AppendFile(w5, "y");
  ASSERT_TRUE(agent.WaitForStdout(ReportWith(w5, "GREW"), kWait)) << agent.Transcript();
  StopAndExpectCleanExit(agent);
  std::size_t notes = 0;
  for (const auto &line : agent.StderrLines()) {
    if (line.find("already given as ./w5; it is watched once") != std::string::npos) ++notes;
  }
  EXPECT_EQ(notes, 3u) << agent.Transcript();
}

TEST(AgentProcessTest, JsonObjectsCarryTimeMonitorPathKeyFlagsAndNames) {
  TempDir dir;
  const std::string file = dir.Join("data.log");
  WriteFile(file, "0123456789");
  ChildProcess agent(AgentCommand({"--json", "--monitor", "poll", "--interval", "100", "--idle", file}));
  ASSERT_TRUE(agent.WaitForStderr("watching 1 paths with FileMonitorNoNotifications every 100 ms", kWait))
      << agent.Transcript();

  const auto objectWith = [](const std::string &name) {
    return [name](const std::string &line) {
      const auto object = nlohmann::json::parse(line, nullptr, false);
      if (object.is_discarded() || !object.contains("names")) return false;
      for (const auto &n : object["names"]) {
        if (n == name) return true;
      }
      return false;
    };
  };
  ASSERT_TRUE(agent.WaitForStdout(objectWith("IDLE"), kWait)) << agent.Transcript();
  TruncateFile(file, 4);
  ASSERT_TRUE(agent.WaitForStdout(objectWith("SHRANK"), kWait)) << agent.Transcript();

  std::int64_t key = -1;
  for (const auto &line : agent.StdoutLines()) {
    const auto object = nlohmann::json::parse(line, nullptr, false);
    ASSERT_FALSE(object.is_discarded()) << line;
    ASSERT_TRUE(object.is_object());
    EXPECT_EQ(object.size(), 6u) << line;
    const std::string time = object.at("time").get<std::string>();
    EXPECT_TRUE(HasShape(time, "9999-99-99T99:99:99.999+99:99") || HasShape(time, "9999-99-99T99:99:99.999-99:99"))
        << line;
    EXPECT_EQ(object.at("monitor"), "FileMonitorNoNotifications");
    EXPECT_EQ(object.at("path"), file);
    ASSERT_TRUE(object.at("key").is_number_integer());
    if (key == -1) key = object.at("key").get<std::int64_t>();
    EXPECT_EQ(object.at("key").get<std::int64_t>(), key) << "one path, one key";
    EXPECT_EQ(object.at("names"), NamesOf(object.at("flags").get<unsigned int>())) << line;
  }
  StopAndExpectCleanExit(agent, SIGINT);
}

TEST(AgentProcessTest, ConfigurationWatchEntriesStatisticsAndDuration) {
  TempDir dir;
  const std::string file = dir.Join("watched.log");
  WriteFile(file, "x");
  const std::string config = dir.Join("agent.conf");
  WriteFile(config,
            "# watched by the configuration, not the command line\n"
            "Watch = " + file + "\n"
            "FileMonitorNoFSRedirect.FileMonitor.ReaderThreadsMin = 2\n"
            "Log.Level = warn\n");
  ChildProcess agent(AgentCommand({"--config", config, "--stats", "3600", "--duration", "600"}));
  ASSERT_TRUE(agent.WaitForStderr("watching 1 paths with FileMonitorNoFSRedirect every 1000 ms", kWait))
      << agent.Transcript();
  agent.Signal(SIGUSR1);
  // The pool floor from the configuration shows in the statistics.
  EXPECT_TRUE(agent.WaitForStderr(
      [](const std::string &line) { return line.rfind("stats: 1 paths, 2 threads, ", 0) == 0; }, kWait))
      << agent.Transcript();
  agent.Signal(SIGTERM);
  int status = -1;
  ASSERT_TRUE(agent.WaitForExit(kWait, status)) << agent.Transcript();
  EXPECT_EQ(status, 0);
  // Log.Level = warn keeps the factory's Info lines out.
  for (const auto &line : agent.StderrLines()) {
    EXPECT_EQ(line.find("FileMonitorFactory shutting down"), std::string::npos) << line;
  }

  // --duration ends it by itself, and the library is found beside the
  // program when --library is not given.
  ChildProcess timed(AgentCommand({"--duration", "1", "--interval", "100", file}, false));
  ASSERT_TRUE(timed.WaitForExit(kWait, status)) << timed.Transcript();
  EXPECT_EQ(status, 0) << timed.Transcript();
  EXPECT_TRUE(timed.WaitForStderr("watching 1 paths with", std::chrono::milliseconds(0))) << timed.Transcript();
}

TEST(AgentProcessTest, ABadConfigurationFileIsRefusedWithItsLinesAndStatusTwo) {
  TempDir dir;
  const std::string config = dir.Join("bad.conf");
  WriteFile(config,
            "# fine so far\n"
            "FileMonitorNoNotifications.FileMonitor.ReaderThreadsMin = 2\n"
            "FileMonitorNoFSRedirect.FileMonitor.ReaderThreadsMin = lots\n"
            "\n"
            "Nonsense = 1\n"
            "Watch = /tmp @9\n"
            "FileMonitorNoFSRedirect.EventLogMonitor.ScheduleExpirySweepPeriodMillis = 60001\n"
            "FileMonitorNoNotifications.FileMonitor.ReaderThreadsMin = 0\n");
  ChildProcess agent(AgentCommand({"--config", config, dir.Path()}));
  int status = -1;
  ASSERT_TRUE(agent.WaitForExit(kWait, status)) << agent.Transcript();
  EXPECT_EQ(status, 2) << agent.Transcript();
  const std::string transcript = agent.Transcript();
  EXPECT_NE(transcript.find(config + ":3: FileMonitorNoFSRedirect.FileMonitor.ReaderThreadsMin must be"),
            std::string::npos)
      << transcript;
  EXPECT_NE(transcript.find(config + ":5: unknown setting 'Nonsense'"), std::string::npos) << transcript;
  EXPECT_NE(transcript.find(config + ":6: credentials handle 9 has no Credentials entry"), std::string::npos)
      << transcript;
  // Settings that would leave a monitor checking nothing, or checking and
  // stopping only after minutes.
  EXPECT_NE(transcript.find(config + ":7: FileMonitorNoFSRedirect.EventLogMonitor.ScheduleExpirySweepPeriodMillis "
                                     "must be at least 1 and at most 60000, not 60001"),
            std::string::npos)
      << transcript;
  EXPECT_NE(transcript.find(config + ":8: FileMonitorNoNotifications.FileMonitor.ReaderThreadsMin must be at least 1"),
            std::string::npos)
      << transcript;
  EXPECT_NE(transcript.find("not started"), std::string::npos) << transcript;
  EXPECT_EQ(transcript.find("watching"), std::string::npos) << transcript;
  EXPECT_TRUE(agent.StdoutLines().empty());

  // A file that cannot be read is refused the same way.
  ChildProcess missing(AgentCommand({"--config", dir.Join("absent.conf"), dir.Path()}));
  ASSERT_TRUE(missing.WaitForExit(kWait, status));
  EXPECT_EQ(status, 2);
  EXPECT_TRUE(missing.WaitForStderr(dir.Join("absent.conf") + ": cannot read", std::chrono::milliseconds(0)))
      << missing.Transcript();
}

// Each failure is said once, in plain words.
TEST(AgentProcessTest, StartUpFailuresEndWithAClearMessage) {
  TempDir dir;
  const auto refused = [&](const std::vector<std::string> &command, int expected, const std::string &message) {
    ChildProcess agent(command);
    int status = -1;
    ASSERT_TRUE(agent.WaitForExit(kWait, status)) << agent.Transcript();
    EXPECT_EQ(status, expected) << agent.Transcript();
    const auto lines = agent.StderrLines();
    ASSERT_FALSE(lines.empty()) << agent.Transcript();
    EXPECT_NE(lines[0].find(message), std::string::npos) << agent.Transcript();
    EXPECT_EQ(lines[0].find(message), lines[0].rfind(message)) << "said once: " << lines[0];
    EXPECT_LE(lines[0].size(), 200u) << lines[0];
  };
  refused({VANTREL_AGENT_PATH, "--library", dir.Join("libNothing.so"), dir.Path()}, 1,
          dir.Join("libNothing.so"));
  refused(AgentCommand({"--credentials", "7", dir.Path()}), 2, "--credentials 7 has no Credentials entry");
  refused(AgentCommand({"--credentials", "-1", dir.Path()}), 2, "--credentials cannot be negative");
  refused(AgentCommand({"--duration", "0", dir.Path()}), 2, "greater than 0 and at most 1000000000, not '0'");
  refused(AgentCommand({"--interval", "4294967296", dir.Path()}), 2, "from 0 to 4294967295, not '4294967296'");
  refused(AgentCommand({"--monitor", "inotify", dir.Path()}), 2, "inotify");
  refused(AgentCommand({"--log-file", dir.Join("no/such/dir.log"), dir.Path()}), 2,
          dir.Join("no/such/dir.log") + "\": No such file or directory");

  // Without --library the places tried are named.
  const std::string copy = dir.Join("vantrel-agent");
  std::filesystem::copy_file(VANTREL_AGENT_PATH, copy);
  std::filesystem::permissions(copy, std::filesystem::perms::owner_all);
  refused({copy, dir.Path()}, 1,
          "cannot find libVantrelMonitor.so; looked for " + dir.Join("libVantrelMonitor.so") + " and " +
              dir.Join("../lib/libVantrelMonitor.so"));
}

// A credentials entry that this process cannot switch to is named once at
// start. As root the agent runs with the identity-changing capabilities
// dropped.
TEST(AgentProcessTest, WarnsOnceAboutCredentialsItCannotSwitchTo) {
  TempDir dir;
  const std::string file = dir.Join("secret.log");
  WriteFile(file, "x");
  const std::string config = dir.Join("agent.conf");
  WriteFile(config, "Credentials = 7 65534:65534\nWatch = " + file + " @7\n");
  std::vector<std::string> command = AgentCommand({"--config", config});
  if (::geteuid() == 0) {
    if (::access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "needs setpriv to drop privileges as root";
    command.insert(command.begin(), {"/usr/bin/setpriv", "--bounding-set", "-setuid,-setgid", "--"});
  }
  ChildProcess agent(command);
  ASSERT_TRUE(agent.WaitForStderr("watching 1 paths with", kWait)) << agent.Transcript();
  std::size_t warnings = 0;
  for (const auto &line : agent.StderrLines()) {
    if (line.find("Credentials 7 cannot be switched to") != std::string::npos) {
      ++warnings;
      EXPECT_EQ(line.rfind("vantrel-agent: warning: " + config + ":1: ", 0), 0u) << line;
      EXPECT_NE(line.find("privilege"), std::string::npos) << line;
    }
  }
  EXPECT_EQ(warnings, 1u) << agent.Transcript();
  // The monitor warns about the refused checks itself: not quiet here.
  agent.Signal(SIGTERM);
  int status = -1;
  ASSERT_TRUE(agent.WaitForExit(kWait, status)) << agent.Transcript();
  EXPECT_EQ(status, 0) << agent.Transcript();
}

// logrotate in its create mode renames the file and makes a new one; the
// agent turns replacement reporting on, so both kinds say REPLACED, in text
// and in JSON, whatever the new file's size at the next check.
TEST(AgentProcessTest, ARotationByLogrotateIsReportedAsReplaced) {
  std::string logrotate;
  for (const char *candidate : {"/usr/sbin/logrotate", "/sbin/logrotate", "/usr/bin/logrotate"}) {
    if (access(candidate, X_OK) == 0) logrotate = candidate;
  }
  ASSERT_FALSE(logrotate.empty()) << "logrotate is missing; scripts/install-deps.sh installs it";
  for (const bool json : {false, true}) {
    TempDir dir;
    const std::string file = dir.Join("app.log");
    WriteFile(file, "before the rotation\n");
    WriteFile(dir.Join("rotate.conf"), file + " {\n  create\n  rotate 1\n}\n");
    std::vector<std::string> args{"--interval", "100", "--idle", "--monitor", json ? "poll" : "notify", file};
    if (json) args.push_back("--json");
    ChildProcess agent(AgentCommand(args));
    const auto reportWith = [&](const std::string &name) -> std::function<bool(const std::string &)> {
      if (!json) return ReportWith(file, name);
      return [&, name](const std::string &line) {
        const auto object = nlohmann::json::parse(line, nullptr, false);
        return !object.is_discarded() && object.value("path", "") == file &&
               object.at("names") == NamesOf(object.at("flags").get<unsigned int>()) &&
               object.at("names").dump().find('"' + name + '"') != std::string::npos;
      };
    };
    ASSERT_TRUE(agent.WaitForStdout(reportWith("IDLE"), kWait)) << agent.Transcript();

    ChildProcess rotate({logrotate, "-s", dir.Join("state"), "-f", dir.Join("rotate.conf")});
    int status = -1;
    ASSERT_TRUE(rotate.WaitForExit(kWait, status)) << rotate.Transcript();
    ASSERT_EQ(status, 0) << rotate.Transcript();
    ASSERT_EQ(ReadFile(file + ".1"), "before the rotation\n");
    AppendFile(file, "after the rotation, and longer than the first file\n");
    EXPECT_TRUE(agent.WaitForStdout(reportWith("REPLACED"), kWait)) << agent.Transcript();
    StopAndExpectCleanExit(agent);
  }
}

}  // namespace
