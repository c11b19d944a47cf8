// The real vantrel-agent, run as a child process on a temporary directory:
// its ready line, its report lines and JSON objects for real changes, its
// notes, its statistics, its orderly exit on a signal or at the end of
// --duration, and its refusal of bad command lines and configuration files.
#include "ChildProcess.h"
#include "support/TestSupport.h"

#include <nlohmann/json.hpp>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <utility>

using namespace VantrelTest;

namespace {

using Match = ChildProcess::Match;

std::vector<std::string> AgentCommand(std::vector<std::string> args, bool withLibrary = true) {
  if (withLibrary) args.insert(args.begin(), {"--library", VANTREL_MONITOR_LIBRARY});
  args.insert(args.begin(), VANTREL_AGENT_PATH);
  return args;
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
  const std::size_t at = 24 + path.size() + 1;
  if (line.size() < at + 8 || !HasShape(line.substr(0, 24), "9999-99-99 99:99:99.999 ") ||
      line.compare(24, path.size() + 1, path + " ") != 0 || !HasShape(line.substr(line.size() - 7), " 0xXXXX")) {
    return false;
  }
  const std::string found = line.substr(at, line.size() - 7 - at);
  if (found.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ|") != std::string::npos) return false;
  if (names != nullptr) *names = found;
  return true;
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

// The flag names of a report of `path`, joined by '|', from a text line or
// from a JSON object whose names agree with its flags; empty for anything
// else.
std::string NamesIn(const std::string &line, const std::string &path, bool json = false) {
  std::string names;
  if (!json) return IsReportFor(line, path, &names) ? names : "";
  const auto object = nlohmann::json::parse(line, nullptr, false);
  if (!object.is_object() || object.value("path", "") != path || !object.contains("flags") ||
      object.value("names", nlohmann::json()) != NamesOf(object.at("flags").get<unsigned int>())) {
    return "";
  }
  for (const auto &name : object.at("names")) names += (names.empty() ? "" : "|") + name.get<std::string>();
  return names;
}

// The report of `path` that carries the flag name.
Match ReportWith(const std::string &path, const std::string &name, bool json = false) {
  return [=](const std::string &line) {
    return ("|" + NamesIn(line, path, json) + "|").find("|" + name + "|") != std::string::npos;
  };
}

// Quiet by default: standard error holds the agent's own notes and nothing
// of its log (which would begin with a timestamp and a level).
void StopAndExpectCleanExit(ChildProcess &agent, int sig = SIGTERM) {
  agent.Signal(sig);
  ASSERT_TRUE(agent.Exits(0));
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

// Text with the notification monitor, JSON objects with the polling one: an
// IDLE report of each path once its baseline is taken; a rotation by
// logrotate in its create mode as REPLACED, whatever the new file's size (the
// agent turns replacement reporting on); a new entry of a watched directory
// as MODIFIED|DIR; and nothing else on standard output. A name is bytes,
// printed as they are.
TEST(AgentProcessTest, ReportsInTextAndJsonARotationIncluded) {
  std::string logrotate;
  for (const char *candidate : {"/usr/sbin/logrotate", "/sbin/logrotate", "/usr/bin/logrotate"}) {
    if (::access(candidate, X_OK) == 0) logrotate = candidate;
  }
  ASSERT_FALSE(logrotate.empty()) << "logrotate is missing; scripts/install-deps.sh installs it";
  for (const bool json : {false, true}) {
    SCOPED_TRACE(json ? "json" : "text");
    TempDir dir;
    const std::string file = dir.Join(json ? "app.log" : "caf\xE9.log");
    const std::string monitor = json ? "FileMonitorNoNotifications" : "FileMonitorNoFSRedirect";
    WriteFile(file, "before the rotation\n");
    WriteFile(dir.Join("rotate.conf"), file + " {\n  create\n  rotate 1\n}\n");
    std::vector<std::string> args{"--interval", "100", "--idle", "--monitor", json ? "poll" : "notify", dir.Path(),
                                  file};
    if (json) args.push_back("--json");
    ChildProcess agent(AgentCommand(args));
    ASSERT_TRUE(agent.Stderr("watching 2 paths with " + monitor + " every 100 ms"));
    ASSERT_TRUE(agent.Stdout(ReportWith(file, "IDLE", json)));
    ASSERT_TRUE(agent.Stdout(ReportWith(dir.Path(), "IDLE", json)));

    ChildProcess rotate({logrotate, "-s", dir.Join("state"), "-f", dir.Join("rotate.conf")});
    ASSERT_TRUE(rotate.Exits(0));
    ASSERT_EQ(ReadFile(file + ".1"), "before the rotation\n");
    AppendFile(file, "after the rotation, and longer than the first file\n");
    EXPECT_TRUE(agent.Stdout(ReportWith(file, "REPLACED", json)));
    EXPECT_TRUE(agent.Stdout([&](const std::string &line) { return NamesIn(line, dir.Path(), json) == "MODIFIED|DIR"; }));
    StopAndExpectCleanExit(agent, json ? SIGINT : SIGTERM);

    std::map<std::string, std::int64_t> keys;
    for (const auto &line : agent.StdoutLines()) {
      EXPECT_TRUE(!NamesIn(line, file, json).empty() || !NamesIn(line, dir.Path(), json).empty()) << line;
      const auto object = nlohmann::json::parse(line, nullptr, false);
      if (!json || !object.is_object()) continue;
      EXPECT_EQ(object.size(), 6u) << line;
      const std::string time = object.value("time", "");
      EXPECT_TRUE(HasShape(time, "9999-99-99T99:99:99.999+99:99") || HasShape(time, "9999-99-99T99:99:99.999-99:99"))
          << line;
      EXPECT_EQ(object.value("monitor", ""), monitor);
      const std::int64_t key = object.value("key", std::int64_t{-1});
      EXPECT_EQ(keys.emplace(object.value("path", ""), key).first->second, key) << "one path, one key: " << line;
    }
    EXPECT_EQ(keys.size(), json ? 2u : 0u);
  }
}

// A person who asks again a second later, while the shutdown hangs on a
// report that cannot be written (nothing reads standard output), gets out at
// once.
TEST(AgentProcessTest, ASecondStopSignalASecondLaterEndsAtOnce) {
  TempDir dir;
  const std::string file = dir.Join("busy.log");
  WriteFile(file, "x");
  const std::string config = dir.Join("fast.conf");
  WriteFile(config, "FileMonitorNoFSRedirect.EventLogMonitor.ScheduleExpirySweepPeriodMillis = 10\n");
  ChildProcess agent(AgentCommand({"--config", config, "--log-level", "info", "--idle", "--interval", "1", file}),
                     NoThreadLeakReports(), false);
  ASSERT_TRUE(agent.Stderr("watching 1 paths with"));
  // Full, and no longer moving: a worker is stuck in its write.
  int unread = -1;
  ASSERT_TRUE(WaitUntil(
      [&] {
        const int before = agent.UnreadStdoutBytes();
        std::this_thread::sleep_for(300ms);
        unread = agent.UnreadStdoutBytes();
        return unread == before && unread > 4096 - 100;
      },
      ChildProcess::kWait))
      << unread << " bytes unread\n" << agent.Transcript();
  agent.Signal(SIGTERM);
  ASSERT_TRUE(agent.Stderr("Stopping on SIGTERM"));
  std::this_thread::sleep_for(1200ms);
  agent.Signal(SIGINT);
  ASSERT_TRUE(agent.Exits(128 + SIGINT));
  EXPECT_TRUE(agent.Stderr("SIGINT again; exiting at once"));
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
    const std::string fresh = dir.Join("a/b/new.log");
    const std::string missing = dir.Join("missing.log");
    WriteFile(old, "x");
    WriteFile(dir.Join(".hidden.log"), "x");
    ChildProcess agent(AgentCommand({"--monitor", monitor, "--interval", "100", "--exclude", "*.skip.log",
                                     dir.Join("**/*.log"), dir.Join("l[0-9]?/.named*"), dir.Join("later/*.log"),
                                     missing, missing}));
    ASSERT_TRUE(agent.Stderr("watching "));
    EXPECT_EQ(agent.CountStderr(missing + " does not exist yet"), 1u) << agent.Transcript();
    EXPECT_TRUE(agent.Stderr(dir.Join("later/*.log") + " matches nothing yet", 0ms));
    AppendFile(old, "y");
    ASSERT_TRUE(agent.Stdout(ReportWith(old, "GREW")));

    for (const char *subdirectory : {"a", "a/b", "l12", "later"}) MakeDir(dir.Join(subdirectory));
    for (const char *name : {"a/b/x.skip.log", "a/b/.h.log", "a/b/x.txt"}) WriteFile(dir.Join(name), "1");
    const std::vector<std::string> found = {fresh, dir.Join("l12/.named"), dir.Join("later/late.log"), missing};
    for (const auto &path : found) WriteFile(path, "1");
    for (const auto &path : found) EXPECT_TRUE(agent.Stdout(ReportWith(path, "CREATED"))) << path;
    AppendFile(fresh, "2");
    ASSERT_TRUE(agent.Stdout(ReportWith(fresh, "GREW")));
    ASSERT_EQ(::unlink(fresh.c_str()), 0);
    ASSERT_TRUE(agent.Stdout(ReportWith(fresh, "DELETED")));
    WriteFile(fresh, "3");
    const Match created = ReportWith(fresh, "CREATED");
    ASSERT_TRUE(agent.Stdout([&, seen = 0](const std::string &line) mutable { return created(line) && ++seen == 2; }));
    StopAndExpectCleanExit(agent);

    // Reports of the paths asked for and nothing else; a found file's first
    // one is CREATED.
    bool first = true;
    for (const auto &line : agent.StdoutLines()) {
      EXPECT_TRUE(IsReportFor(line, old) ||
                  std::any_of(found.begin(), found.end(), [&](const std::string &p) { return IsReportFor(line, p); }))
          << line;
      if (IsReportFor(line, fresh) && std::exchange(first, false)) {
        EXPECT_TRUE(created(line)) << line;
      }
    }
  }
}

// --format with every placeholder, --events, and one line per report even
// for a name with a newline in it. "./w5", "w5/" and the absolute path are one
// path, registered once and reported by its absolute name; each repeat is
// noted once.
TEST(AgentProcessTest, FormatEventsEscapedNamesAndOnePathHoweverItIsWritten) {
  TempDir dir;
  const std::string odd = dir.Join("two\nlines\\.log");
  const std::string w5 = dir.Join("w5");
  WriteFile(odd, "x");
  WriteFile(w5, "x");
  ChildProcess agent({"/bin/sh", "-c",
                      "cd '" + dir.Path() + "' && exec '" + VANTREL_AGENT_PATH + "' --library '" +
                          VANTREL_MONITOR_LIBRARY + "' --interval 100 --events grew,Deleted --format " +
                          "'%m ; %k ; %p ; %f ; %x ; %% ; %t ; %I' ./w5 w5/ '" + w5 + "' ./sub/../w5 '" + odd + "'"});
  ASSERT_TRUE(agent.Stderr("watching 2 paths"));
  EXPECT_EQ(agent.CountStderr("already given as ./w5; it is watched once"), 3u) << agent.Transcript();
  AppendFile(w5, "y");
  ASSERT_TRUE(agent.Stdout(" ; " + w5 + " ; "));
  // The n-th report of the odd name that carries the flag name.
  const std::string path = " ; " + dir.Join("two\\nlines\\\\.log") + " ; ";
  const auto oddWith = [&](const std::string &name, int n) -> Match {
    return [=, seen = 0](const std::string &line) mutable {
      return line.find(path) != std::string::npos && line.find(name) != std::string::npos && ++seen == n;
    };
  };
  AppendFile(odd, "y");
  ASSERT_TRUE(agent.Stdout(oddWith("GREW", 1)));
  ASSERT_EQ(::unlink(odd.c_str()), 0);
  ASSERT_TRUE(agent.Stdout(oddWith("DELETED", 1)));
  WriteFile(odd, "x");  // CREATED, which is not among the events
  std::this_thread::sleep_for(1s);
  AppendFile(odd, "y");
  ASSERT_TRUE(agent.Stdout(oddWith("GREW", 2)));
  StopAndExpectCleanExit(agent);

  std::vector<std::string> lines;
  for (const auto &line : agent.StdoutLines()) {
    if (line.find(path) != std::string::npos) lines.push_back(line);
  }
  ASSERT_EQ(lines.size(), 3u) << agent.Transcript();
  // Whole seconds of write time: GREW comes with or without MODIFIED.
  const char *flags[] = {"GREW ; 0x000", "DELETED ; 0x0010", "GREW ; 0x000"};
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].rfind("FileMonitorNoFSRedirect ; ", 0), 0u) << lines[i];
    const std::string rest = lines[i].substr(lines[i].find(path) + path.size());
    EXPECT_NE(rest.find(flags[i]), std::string::npos) << rest;
    const std::string times = rest.substr(rest.find(" ; % ; ") + 7);
    EXPECT_TRUE(HasShape(times.substr(0, 49), "9999-99-99 99:99:99.999 ; 9999-99-99T99:99:99.999")) << times;
  }
}

// Watch entries, the pool floor and the log from the configuration file;
// statistics on SIGUSR1; the log reopened under its name on SIGHUP (what
// logrotate does: move the file away, then signal); and a stop signal twice
// at once (timeout(1) and service managers signal the process and its group)
// as one orderly stop.
TEST(AgentProcessTest, ConfigurationStatisticsLogReopeningAndADoubleStop) {
  TempDir dir;
  const std::string file = dir.Join("watched.log");
  const std::string log = dir.Join("agent.log");
  WriteFile(file, "x");
  const std::string config = dir.Join("agent.conf");
  WriteFile(config,
            "# watched by the configuration, not the command line\n"
            "Watch = " + file + "\n"
            "FileMonitorNoFSRedirect.FileMonitor.ReaderThreadsMin = 2\n"
            "Log.Level = info\n"
            "Log.File = " + log + "\n");
  ChildProcess agent(AgentCommand({"--config", config, "--stats", "3600", "--duration", "600"}));
  ASSERT_TRUE(agent.Stderr("watching 1 paths with FileMonitorNoFSRedirect every 1000 ms"));
  agent.Signal(SIGUSR1);
  EXPECT_TRUE(agent.Stderr([](const std::string &line) { return line.rfind("stats: 1 paths, 2 threads, ", 0) == 0; }));
  const auto logged = [&](const std::string &text) {
    return WaitUntil([&] { return ReadFile(log).find(text) != std::string::npos; }, ChildProcess::kWait);
  };
  ASSERT_EQ(std::rename(log.c_str(), dir.Join("agent.log.1").c_str()), 0);
  agent.Signal(SIGHUP);
  EXPECT_TRUE(logged("Log file " + log + " reopened")) << agent.Transcript();
  agent.Signal(SIGTERM);
  ASSERT_TRUE(logged("Stopping on SIGTERM")) << ReadFile(log);
  agent.Signal(SIGTERM);
  ASSERT_TRUE(agent.Exits(0));
  EXPECT_TRUE(logged("FileMonitorFactory shutdown")) << ReadFile(log);

  // --duration ends it by itself, and the library is found beside the
  // program when --library is not given.
  ChildProcess timed(AgentCommand({"--duration", "1", "--interval", "100", file}, false));
  ASSERT_TRUE(timed.Exits(0));
  EXPECT_TRUE(timed.Stderr("watching 1 paths with"));
}

// Each failure is said once, in plain words, and nothing is watched.
TEST(AgentProcessTest, StartUpFailuresEndWithAClearMessage) {
  TempDir dir;
  const auto refused = [&](const std::vector<std::string> &command, int expected, const std::string &message) {
    ChildProcess agent(command);
    EXPECT_TRUE(agent.Exits(expected)) << message;
    const auto lines = agent.StderrLines();
    const std::string first = lines.empty() ? "" : lines[0];
    EXPECT_NE(first.find(message), std::string::npos) << agent.Transcript();
    EXPECT_EQ(first.find(message), first.rfind(message)) << "said once: " << first;
    EXPECT_LE(first.size(), message.size() + 120) << first;  // the paths in it are as long as TMPDIR makes them
    EXPECT_TRUE(agent.StdoutLines().empty() && agent.CountStderr("watching") == 0) << agent.Transcript();
    return agent.Transcript();
  };
  refused({VANTREL_AGENT_PATH, "--library", dir.Join("libNothing.so"), dir.Path()}, 1, dir.Join("libNothing.so"));
  refused(AgentCommand({"--credentials", "7", dir.Path()}), 2, "--credentials 7 has no Credentials entry");
  refused(AgentCommand({"--credentials", "-1", dir.Path()}), 2, "--credentials cannot be negative");
  refused(AgentCommand({"--duration", "0", dir.Path()}), 2, "greater than 0 and at most 1000000000, not '0'");
  refused(AgentCommand({"--interval", "4294967296", dir.Path()}), 2, "from 0 to 4294967295, not '4294967296'");
  refused(AgentCommand({"--monitor", "inotify", dir.Path()}), 2, "inotify");
  refused(AgentCommand({"--format", "%p %q", dir.Path()}), 2, "unknown placeholder %q");
  refused(AgentCommand({"--log-file", dir.Join("no/such/dir.log"), dir.Path()}), 2,
          dir.Join("no/such/dir.log") + "\": No such file or directory");
  refused(AgentCommand({"--config", dir.Join("absent.conf"), dir.Path()}), 2, dir.Join("absent.conf") + ": cannot read");
  refused(AgentCommand({"--config", dir.Path(), dir.Path()}), 2, dir.Path() + ": cannot read");

  // Every bad line of a configuration file, by its number.
  const std::string config = dir.Join("bad.conf");
  WriteFile(config, "# fine so far\nFileMonitorNoFSRedirect.FileMonitor.ReaderThreadsMin = x\nWatch = /tmp @9\nNo = 1\n");
  const std::string transcript = refused(AgentCommand({"--config", config, dir.Path()}), 2,
                                         config + ":2: FileMonitorNoFSRedirect.FileMonitor.ReaderThreadsMin must be");
  for (const std::string &said : {config + ":3: credentials handle 9 has no Credentials entry",
                                  config + ":4: unknown setting 'No'",
                                  "not started: the configuration file " + config + " has 3 errors"}) {
    EXPECT_NE(transcript.find(said), std::string::npos) << said << "\n" << transcript;
  }

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
  ASSERT_TRUE(agent.Stderr("watching 1 paths with"));
  EXPECT_EQ(agent.CountStderr("Credentials 7 cannot be switched to"), 1u) << agent.Transcript();
  EXPECT_TRUE(agent.Stderr([&](const std::string &line) {
    return line.rfind("vantrel-agent: warning: " + config + ":1: Credentials 7 cannot be switched to", 0) == 0 &&
           line.find("privilege") != std::string::npos;
  }));
  // The monitor warns about the refused checks itself: not quiet here.
  agent.Signal(SIGTERM);
  EXPECT_TRUE(agent.Exits(0));
}

}  // namespace
