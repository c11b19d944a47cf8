// The real vantrel-agent, run as a child process on a temporary directory:
// its ready line, its report lines and JSON objects for real changes, its
// notes, its statistics, its orderly exit on a signal or at the end of
// --duration, and its refusal of bad command lines and configuration files.

#include "ChildProcess.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <set>
#include <utility>

using namespace VantrelTest;

namespace {

// The agent with this build's library, run by the program `before` names,
// if any.
std::vector<std::string> AgentCommand(const std::vector<std::string> &args, std::vector<std::string> before = {}) {
  before.insert(before.end(), {VANTREL_AGENT_PATH, "--library", VANTREL_MONITOR_LIBRARY});
  before.insert(before.end(), args.begin(), args.end());
  return before;
}

const std::string kTime = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3})";
const std::string kIsoTime = R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d)";

// The default text line, --json, or --format with every placeholder, the
// default line's first.
enum class Output { kText, kJson, kFormat };
const char kFormat[] = "%t %p %f %x ; %I ; %m ; %k ; %%";

// A report line taken apart; an empty path for a line of another shape.
struct Seen {
  std::string path, names, hex, monitor;  // names joined by '|'
  std::int64_t key = -1;
};

Seen Parse(const std::string &line, Output output = Output::kText) {
  if (output == Output::kJson) {
    const auto object = nlohmann::json::parse(line, nullptr, false);
    if (!object.is_object() || object.size() != 6 || !object.contains("flags") ||
        !std::regex_match(object.value("time", ""), std::regex(kIsoTime))) {
      return {};
    }
    std::string names;
    for (const auto &name : object.value("names", nlohmann::json::array())) {
      names += (names.empty() ? "" : "|") + name.get<std::string>();
    }
    return {object.value("path", ""), names, "", object.value("monitor", ""), object.value("key", std::int64_t{-1})};
  }
  static const std::string text = kTime + " (.+) ([A-Z|]+) (0x[0-9A-F]{4})";
  static const std::regex plain(text), format(text + " ; " + kIsoTime + R"( ; (\w+) ; (-?\d+) ; %)");
  std::smatch m;  // a plain line has no groups 4 and 5: they read as unmatched
  if (!std::regex_match(line, m, output == Output::kText ? plain : format)) return {};
  return {m[1], m[2], m[3], m[4], m[5].matched ? std::stoll(m[5]) : -1};
}

// A report of `path` that carries the flag name (or the adjacent names).
Match ReportWith(const std::string &path, const std::string &name, Output output = Output::kText) {
  return [=](const std::string &line) {
    const Seen seen = Parse(line, output);
    return seen.path == path && ("|" + seen.names + "|").find("|" + name + "|") != std::string::npos;
  };
}

// The n-th line that `match` accepts.
Match Nth(const Match &match, int n) {
  return [=, seen = 0](const std::string &line) mutable { return match(line) && ++seen == n; };
}

// Quiet by default: standard error holds the agent's own notes and nothing
// of its log (which would begin with a timestamp and a level).
void StopAndExpectCleanExit(ChildProcess &agent, int sig = SIGTERM) {
  agent.Signal(sig);
  ASSERT_TRUE(agent.Exits(0));
  for (const auto &line : agent.StderrLines()) {
    EXPECT_TRUE(std::regex_search(line, std::regex("^(vantrel-agent: |watching |stats: )"))) << line;
  }
}

// A person who asks again a second later, while the shutdown hangs on a
// report that cannot be written (nothing reads standard output), gets out at
// once.
TEST(AgentProcessTest, ASecondStopSignalASecondLaterEndsAtOnce) {
  TempDir dir;
  const std::string file = dir.Write("busy.log", "x");
  const std::string config =
      dir.Write("fast.conf", "FileMonitorNoFSRedirect.EventLogMonitor.ScheduleExpirySweepPeriodMillis = 10\n");
  // It ends without joining its threads, which ThreadSanitizer would report.
  const char *tsan = std::getenv("TSAN_OPTIONS");
  const std::string options = std::string("TSAN_OPTIONS=") + (tsan != nullptr ? tsan : "") + " report_thread_leaks=0";
  ChildProcess agent(AgentCommand({"--config", config, "--log-level", "info", "--idle", "--interval", "1", file},
                                  {"/usr/bin/env", options}),
                     false);
  ASSERT_TRUE(agent.Stderr("watching 1 paths with"));
  // Full, and no longer moving: a worker is stuck in its write.
  const auto stuck = [&] {
    const int before = agent.UnreadStdoutBytes();
    std::this_thread::sleep_for(300ms);
    return agent.UnreadStdoutBytes() == before && before > 4096 - 100;
  };
  ASSERT_TRUE(WaitUntil(stuck, ChildProcess::kWait)) << agent.UnreadStdoutBytes() << " bytes unread\n"
                                                     << agent.Transcript();
  agent.Signal(SIGTERM);
  ASSERT_TRUE(agent.Stderr("Stopping on SIGTERM"));
  std::this_thread::sleep_for(1200ms);
  agent.Signal(SIGINT);
  ASSERT_TRUE(agent.Exits(128 + SIGINT));
  EXPECT_TRUE(agent.Stderr("SIGINT again; exiting at once"));
}

// One run with each monitor kind: text with the notification monitor, JSON
// objects with the polling one. Of paths given as they are: an IDLE report of
// each once its baseline is taken; a rotation by logrotate in its create mode
// as REPLACED, whatever the new file's size (the agent turns replacement
// reporting on); a new entry of a watched directory as MODIFIED|DIR; a name
// is bytes, printed as they are. Patterns pick up what appears later, at any
// depth: a new file's first report is CREATED; hidden, excluded and unmatched
// files stay out (a file let go of after DELETED and found again: WatchSetTest,
// and FoundPathsAreAnnouncedAlike below); a pattern whose directory does not exist yet waits, as does a missing
// path, noted once however often it is given. Nothing else on standard output.
TEST(AgentProcessTest, RotationAndPatternsInTextAndJson) {
  const char *logrotate = "/usr/sbin/logrotate";
  ASSERT_EQ(::access(logrotate, X_OK), 0) << "logrotate is missing; scripts/install-deps.sh installs it";
  for (const bool json : {false, true}) {
    SCOPED_TRACE(json ? "json" : "text");
    const Output output = json ? Output::kJson : Output::kText;
    const std::string monitor = json ? "FileMonitorNoNotifications" : "FileMonitorNoFSRedirect";
    TempDir dir;
    const std::string file = dir.Write(json ? "app.log" : "caf\xE9.log", "before the rotation\n");
    const std::string rotation = dir.Write("rotate.conf", file + " {\n  create\n  rotate 1\n}\n");
    MakeDir(dir.Join("p"));
    const std::string old = dir.Write("p/old.log", "x");
    dir.Write("p/.hidden.log", "x");
    const std::string fresh = dir.Join("p/a/b/new.log");
    const std::string missing = dir.Join("p/missing.log");
    std::vector<std::string> args{"--interval", "100", "--idle", "--monitor", json ? "poll" : "notify",
                                  "--exclude", "*.skip.log", dir.Path(), file, dir.Join("p/**/*.log"),
                                  dir.Join("p/l[0-9]?/.named*"), dir.Join("p/later/*.log"), missing, missing};
    if (json) args.push_back("--json");
    ChildProcess agent(AgentCommand(args));
    ASSERT_TRUE(agent.Stderr(" paths with " + monitor + " every 100 ms"));
    // Counted as asked for: the paths given and what the patterns match; the
    // directories that the patterns pass through after it.
    EXPECT_EQ(agent.CountStderr("watching 4 paths with " + monitor + " every 100 ms (3 patterns, 2 directories followed)"),
              1u) << agent.Transcript();
    EXPECT_EQ(agent.CountStderr(dir.Join("p/later/*.log") + " matches nothing yet"), 1u);
    ASSERT_TRUE(agent.Stdout(Nth(ReportWith(file, "IDLE", output), 3))) << "--idle: every check";
    EXPECT_EQ(agent.CountStderr(missing + " does not exist yet"), 1u) << "once, however often it is checked";
    ASSERT_TRUE(agent.Stdout(ReportWith(dir.Path(), "IDLE", output)));

    ChildProcess rotate({logrotate, "-s", dir.Join("state"), "-f", rotation});
    ASSERT_TRUE(rotate.Exits(0));
    ASSERT_EQ(ReadFile(file + ".1"), "before the rotation\n");
    AppendFile(file, "after the rotation, and longer than the first file\n");
    EXPECT_TRUE(agent.Stdout(ReportWith(file, "REPLACED", output)));
    EXPECT_TRUE(agent.Stdout(ReportWith(dir.Path(), "MODIFIED|DIR", output)));

    AppendFile(old, "y");
    ASSERT_TRUE(agent.Stdout(ReportWith(old, "GREW", output)));
    for (const char *subdirectory : {"p/a", "p/a/b", "p/l12", "p/later"}) MakeDir(dir.Join(subdirectory));
    for (const char *name : {"p/a/b/x.skip.log", "p/a/b/.h.log", "p/a/b/x.txt"}) WriteFile(dir.Join(name), "1");
    const std::vector<std::string> found = {fresh, dir.Join("p/l12/.named"), dir.Join("p/later/late.log"), missing};
    for (const auto &path : found) WriteFile(path, "1");
    for (const auto &path : found) EXPECT_TRUE(agent.Stdout(ReportWith(path, "CREATED", output))) << path;
    AppendFile(fresh, "2");
    ASSERT_TRUE(agent.Stdout(ReportWith(fresh, "GREW", output)));
    StopAndExpectCleanExit(agent, json ? SIGINT : SIGTERM);

    // Reports of the paths asked for, each under one key.
    std::map<std::string, std::int64_t> keys;
    for (const auto &line : agent.StdoutLines()) {
      const Seen seen = Parse(line, output);
      EXPECT_TRUE(seen.path == file || seen.path == dir.Path() || seen.path == old ||
                  std::count(found.begin(), found.end(), seen.path) == 1)
          << line;
      EXPECT_EQ(seen.monitor, json ? monitor : "") << line;
      EXPECT_EQ(keys.emplace(seen.path, seen.key).first->second, seen.key) << line;
    }
  }
}

// One run from a configuration file and a command line. From the file: Watch
// entries, the pool floor and the log; a Credentials entry that this process
// cannot switch to, named once at start (as root the agent runs with the
// identity-changing capabilities dropped). On the command line "./w5", "w5/",
// "./sub/../w5" and the absolute path are one path, registered once and
// reported by its absolute name, each repeat noted once; --format with every
// placeholder and --events, one line per report even for a name with a
// newline in it. Statistics on SIGUSR1; the log reopened under its name on
// SIGHUP (what logrotate does: move the file away, then signal); a stop
// signal twice at once (timeout(1) and service managers signal the process
// and its group) as one orderly stop.
TEST(AgentProcessTest, ConfigurationFileCommandLineAndSignalsInOneRun) {
  TempDir dir;
  const std::string file = dir.Write("watched.log", "x");
  const std::string log = dir.Join("agent.log");
  const std::string odd = dir.Write("two\nlines\\.log", "x");
  const std::string w5 = dir.Write("w5", "x");
  const std::string config = dir.Write("agent.conf",
                                       "# watched by the configuration, not the command line\n"
                                       "Watch = " + file + "\n"
                                       "Credentials = 7 65534:65534\n"
                                       "Watch = " + dir.Write("secret.log", "x") + " @7\n"
                                       "FileMonitorNoFSRedirect.FileMonitor.ReaderThreadsMin = 2\n"
                                       "Log.Level = info\n"
                                       "Log.File = " + log + "\n");
  std::vector<std::string> before;
  if (::geteuid() == 0) before = {"/usr/bin/setpriv", "--bounding-set", "-setuid,-setgid", "--"};
  ChildProcess agent(AgentCommand({"--config", config, "--stats", "3600", "--duration", "600", "--interval", "100",
                                   "--events", "grew,Deleted", "--format", kFormat, "./w5", "w5/", w5, "./sub/../w5",
                                   odd},
                                  before),
                     true, dir.Path());
  ASSERT_TRUE(agent.Stderr("watching 4 paths with FileMonitorNoFSRedirect every 100 ms"));
  EXPECT_EQ(agent.CountStderr("already given as ./w5; it is watched once"), 3u) << agent.Transcript();
  const std::string cannot = config + ":3: Credentials 7 cannot be switched to: the agent lacks the privilege";
  EXPECT_EQ(agent.CountStderr("vantrel-agent: warning: " + cannot), 1u) << agent.Transcript();
  agent.Signal(SIGUSR1);
  EXPECT_TRUE(agent.Stderr("stats: 4 paths, 2 threads, "));

  AppendFile(w5, "y");
  ASSERT_TRUE(agent.Stdout(ReportWith(w5, "GREW", Output::kFormat)));
  const std::string escaped = dir.Join("two\\nlines\\\\.log");
  const auto oddWith = [&](const char *name, int n) { return Nth(ReportWith(escaped, name, Output::kFormat), n); };
  AppendFile(odd, "y");
  ASSERT_TRUE(agent.Stdout(oddWith("GREW", 1)));
  ASSERT_EQ(::unlink(odd.c_str()), 0);
  ASSERT_TRUE(agent.Stdout(oddWith("DELETED", 1)));
  WriteFile(odd, "x");  // CREATED, which is not among the events
  std::this_thread::sleep_for(1s);
  AppendFile(odd, "y");
  ASSERT_TRUE(agent.Stdout(oddWith("GREW", 2)));

  const auto logged = [&](const std::string &text) {
    return WaitUntil([&] { return ReadFile(log).find(text) != std::string::npos; }, ChildProcess::kWait);
  };
  ASSERT_EQ(std::rename(log.c_str(), dir.Join("agent.log.1").c_str()), 0);
  agent.Signal(SIGHUP);
  EXPECT_TRUE(logged("Log file " + log + " reopened")) << agent.Transcript();
  agent.Signal(SIGTERM);
  ASSERT_TRUE(logged("Stopping on SIGTERM")) << ReadFile(log);
  StopAndExpectCleanExit(agent);
  EXPECT_TRUE(logged("FileMonitorFactory shutdown")) << ReadFile(log);

  // Every line in the format's shape, the odd name's three in order.
  std::vector<std::string> odds;
  for (const auto &line : agent.StdoutLines()) {
    const Seen seen = Parse(line, Output::kFormat);
    EXPECT_EQ(seen.monitor, "FileMonitorNoFSRedirect") << line;
    if (seen.path == escaped) odds.push_back(seen.names + " " + seen.hex);
  }
  // Whole seconds of write time: GREW comes with or without MODIFIED.
  const std::set<std::string> grew = {"GREW 0x0008", "MODIFIED|GREW 0x000A"};
  EXPECT_TRUE(odds.size() == 3 && grew.count(odds[0]) == 1 && odds[1] == "DELETED 0x0010" && grew.count(odds[2]) == 1)
      << ::testing::PrintToString(odds);

  // --duration ends it by itself, and the library is found beside the
  // program when --library is not given.
  ChildProcess timed({VANTREL_AGENT_PATH, "--duration", "1", file});
  ASSERT_TRUE(timed.Exits(0));
  EXPECT_TRUE(timed.Stderr("watching 1 paths with FileMonitorNoFSRedirect every 1000 ms"));
}

// What a pattern finds while running is announced alike every time: a
// directory as CREATED|DIR, a file as CREATED, and nothing else with it, even
// when its tree went and came back and the monitor still knew the old file.
// The lines of a burst of reports go out in the order of their times.
TEST(AgentProcessTest, FoundPathsAreAnnouncedAlikeAndLinesInTimeOrder) {
  TempDir dir;
  const std::string d = dir.Join("d"), f = dir.Join("d/t/u/f.log");
  MakeDir(d);
  constexpr int kBurst = 1000;
  MakeDir(d + "/burst");
  for (int i = 0; i < kBurst; ++i) dir.Write("d/burst/" + std::to_string(i), "x");
  ChildProcess agent(AgentCommand({"--interval", "200", d + "/**/*"}));
  ASSERT_TRUE(agent.Stderr("watching "));
  // The file found a check after its directories, so that their DELETED
  // often lets go of it while its own record still holds the old file.
  for (int round = 1; round <= 6; ++round) {
    std::filesystem::create_directories(d + "/t/u");
    ASSERT_TRUE(agent.Stdout(Nth(ReportWith(d + "/t/u", "CREATED"), round), 10s)) << round;
    WriteFile(f, std::string(static_cast<std::size_t>(round), 'x'));
    ASSERT_TRUE(agent.Stdout(Nth(ReportWith(f, "CREATED"), round), 10s)) << round;
    std::filesystem::remove_all(d + "/t");
    ASSERT_TRUE(agent.Stdout(Nth(ReportWith(f, "DELETED"), round), 10s)) << round;
  }
  const std::size_t lines = agent.StdoutLines().size() + kBurst;
  for (int i = 0; i < kBurst; ++i) AppendFile(d + "/burst/" + std::to_string(i), "y");
  ASSERT_TRUE(WaitUntil([&] { return agent.StdoutLines().size() >= lines; }, 20s)) << agent.Transcript();
  StopAndExpectCleanExit(agent);
  std::string before;
  for (const auto &line : agent.StdoutLines()) {
    const Seen seen = Parse(line);
    const bool directory = seen.path.find('.', seen.path.rfind('/')) == std::string::npos;
    if (seen.names.find("CREATED") != std::string::npos) {
      EXPECT_EQ(seen.names + " " + seen.hex, directory ? "CREATED|DIR 0x8001" : "CREATED 0x0001") << line;
    }
    EXPECT_LE(before, line.substr(0, 23)) << line;
    before = line.substr(0, 23);
  }
}

// Nothing watched is silently blind: a file that the credentials it is
// watched with cannot reach, and a directory too deep for the system, are
// each said once with the reason, and again when that changes.
TEST(AgentProcessTest, PathsThatCannotBeReachedAreSaid) {
  if (::geteuid() != 0) GTEST_SKIP() << "switching to another identity needs root";
  TempDir dir;
  ASSERT_EQ(::chmod(dir.Path().c_str(), 0755), 0);
  MakeDir(dir.Join("secret"));
  ASSERT_EQ(::chmod(dir.Join("secret").c_str(), 0700), 0);
  const std::string secret = dir.Write("secret/app.log", "x");
  // Directories of 200 characters, deeper than a path can be.
  std::string deep = dir.Join("deep"), tooLong;
  MakeDir(deep);
  int fd = ::open(deep.c_str(), O_DIRECTORY);
  for (int level = 0; level < 24 && fd >= 0; ++level) {
    const std::string name(200, static_cast<char>('a' + level));
    deep += "/" + name;
    if (tooLong.empty() && deep.size() >= PATH_MAX) tooLong = deep;
    const int next = ::mkdirat(fd, name.c_str(), 0755) == 0 ? ::openat(fd, name.c_str(), O_DIRECTORY) : -1;
    ::close(fd);
    fd = next;
  }
  ASSERT_GE(fd, 0);
  ::close(::openat(fd, "x.log", O_CREAT | O_WRONLY, 0644));
  ::close(fd);
  const std::string config = dir.Write("agent.conf", "Credentials = 7 nobody\nWatch = " + secret + " @7\n");
  ChildProcess agent(AgentCommand({"--config", config, "--interval", "100", dir.Join("deep/**/*.log")}));
  ASSERT_TRUE(agent.Stderr("watching "));
  const std::string cannot = "warning: " + secret + " cannot be checked with credentials 7 (" + std::strerror(EACCES);
  const std::string now = secret + " can be checked now";
  ASSERT_TRUE(agent.Stderr(cannot, 10s));
  ASSERT_EQ(::chmod(dir.Join("secret").c_str(), 0755), 0);
  ASSERT_TRUE(agent.Stderr(now, 10s));
  ASSERT_TRUE(agent.Stdout(ReportWith(secret, "CREATED")));
  StopAndExpectCleanExit(agent);
  EXPECT_EQ(agent.CountStderr(cannot), 1u);
  EXPECT_EQ(agent.CountStderr(now), 1u);
  EXPECT_EQ(agent.CountStderr("warning: " + tooLong + " cannot be watched (" + std::strerror(ENAMETOOLONG)), 1u)
      << agent.Transcript();
  ChildProcess remove({"/bin/rm", "-rf", dir.Join("deep")});
  EXPECT_TRUE(remove.Exits(0));
}

// Each failure is said once, in plain words, and nothing is watched.
TEST(AgentProcessTest, StartUpFailuresEndWithAClearMessage) {
  TempDir dir;
  // `message` in the first line, and each of `also` somewhere on standard error.
  const auto refused = [&](const std::vector<std::string> &command, int expected, const std::string &message,
                           const std::vector<std::string> &also = {}) {
    ChildProcess agent(command);
    EXPECT_TRUE(agent.Exits(expected)) << message;
    const auto lines = agent.StderrLines();
    const std::string first = lines.empty() ? "" : lines[0];
    EXPECT_TRUE(first.find(message) != std::string::npos && first.find(message) == first.rfind(message))
        << "said once:\n" << agent.Transcript();
    EXPECT_LE(first.size(), message.size() + 120) << first;  // the paths in it are as long as TMPDIR makes them
    EXPECT_TRUE(agent.StdoutLines().empty() && agent.CountStderr("watching") == 0) << agent.Transcript();
    for (const auto &said : also) EXPECT_EQ(agent.CountStderr(said), 1u) << said << "\n" << agent.Transcript();
  };
  refused({VANTREL_AGENT_PATH, "--library", dir.Join("libNothing.so"), dir.Path()}, 1, dir.Join("libNothing.so"));
  refused(AgentCommand({"--credentials", "7", dir.Path()}), 2, "--credentials 7 has no Credentials entry");
  refused(AgentCommand({"--credentials", "-1", dir.Path()}), 2, "--credentials cannot be negative");
  refused(AgentCommand({"--duration", "0", dir.Path()}), 2, "greater than 0 and at most 1000000000, not '0'");
  refused(AgentCommand({"--interval", "4294967296", dir.Path()}), 2, "from 0 to 4294967295, not '4294967296'");
  refused(AgentCommand({"--monitor", "inotify", dir.Path()}), 2, "inotify");
  refused(AgentCommand({"--format", "%p %q", dir.Path()}), 2, "unknown placeholder %q");
  refused(AgentCommand({"--exclude", "*.log", "--exclude", dir.Path(), dir.Join("a.log"), dir.Path()}), 2,
          dir.Join("a.log") + " is left out by --exclude", {"nothing is left to watch"});
  refused(AgentCommand({"--log-file", dir.Join("no/such/dir.log"), dir.Path()}), 2,
          dir.Join("no/such/dir.log") + "\": No such file or directory");
  refused(AgentCommand({"--config", dir.Join("absent.conf"), dir.Path()}), 2, dir.Join("absent.conf") + ": cannot read");
  refused(AgentCommand({"--config", dir.Path(), dir.Path()}), 2, dir.Path() + ": cannot read");
  const std::string logConfig = dir.Write("log.conf", "\nLog.File = " + dir.Join("no/such/dir.log") + "\n");
  refused(AgentCommand({"--config", logConfig, dir.Path()}), 2, logConfig + ":2: Log.File: ");

  // Every bad line of a configuration file, by its number.
  const std::string config = dir.Join("bad.conf");
  WriteFile(config, "# fine so far\nFileMonitorNoFSRedirect.FileMonitor.ReaderThreadsMin = x\nWatch = /tmp @9\nNo = 1\n");
  refused(AgentCommand({"--config", config, dir.Path()}), 2,
          config + ":2: FileMonitorNoFSRedirect.FileMonitor.ReaderThreadsMin must be",
          {config + ":3: credentials handle 9 has no Credentials entry", config + ":4: unknown setting 'No'",
           "not started: the configuration file " + config + " has 3 errors"});

  // Without --library the places tried are named.
  const std::string copy = dir.Join("vantrel-agent");
  std::filesystem::copy_file(VANTREL_AGENT_PATH, copy);
  refused({copy, dir.Path()}, 1,
          std::string("cannot find ") + VANTREL_MONITOR_SONAME + "; looked for " + dir.Join(VANTREL_MONITOR_SONAME) +
              " and " + dir.Join(std::string("../lib/") + VANTREL_MONITOR_SONAME));
}

}  // namespace
