// The agent's parsing and formatting, without a process: the configuration
// file, the settings handed to the component, the command line, the watch
// list and the report lines.
#include "agent/Agent.h"
#include "agent/AgentConfig.h"
#include "agent/AgentOptions.h"
#include "agent/PathPattern.h"
#include "agent/ReportFormat.h"
#include "support/TestSupport.h"

#include <VantrelCommon/EnvironmentBlockHelper.h>


#include <ctime>
#include <iterator>
#include <sstream>
#include <tuple>

using namespace VantrelAgent;
using namespace VantrelTest;

namespace {

#if !defined(_WIN32)  // POSIX credentials entries; Windows refuses every one
bool Parse(const std::string &text, AgentConfig &config, std::vector<std::string> &errors) {
  std::istringstream in(text);
  return ParseConfig(in, "agent.conf", config, errors);
}

// Every kind of line, after a byte order mark as Windows editors write it.
// The settings handed to the component hold every default and the file's
// values after them.
TEST(AgentConfigTest, ReadsEveryKindOfLineAndHandsTheComponentEverySetting) {
  AgentConfig config;
  std::vector<std::string> errors;
  ASSERT_TRUE(Parse("\xEF\xBB\xBF# a comment\n"
                    "\n"
                    "   # an indented comment\n"
                    "FileMonitorNoFSRedirect.FileMonitor.ReaderThreadsMin = 2\r\n"
                    "FileMonitorNoFSRedirect.FileMonitor.ReaderThreadsMin=3\n"
                    "FileMonitorNoNotifications.EventLogMonitor.ScheduleExpirySweepPeriodMillis = 250\n"
                    "FileMonitorNoNotifications.FileMonitor.BacklogMonitor.BacklogCheckIntervalMillis = 500.5\n"
                    "FileMonitorNoNotifications.FileMonitor.BacklogDispositionMinThreshold = -7\n"
                    "FileMonitorNoNotifications.FileMonitor.ReportReplacement = Off\n"
                    "Log.Level = DEBUG\n"
                    "Log.File = '/var/tmp/agent.log'\n"
                    "Credentials = 7 1000:1000:4,24\n"
                    "Watch = /var/log/syslog\n"
                    "Watch = \"/srv/app/log dir/a b.log\" @7\n"
                    "Watch = /var/log/auth.log @0\n",
                    config, errors))
      << ::testing::PrintToString(errors);
  EXPECT_TRUE(config.hasLogLevel && config.logLevel == WindowsAgentCommon::LogLevel::Debug);
  EXPECT_EQ(config.logFile, "/var/tmp/agent.log");
  ASSERT_EQ(config.credentials.size(), 1u);
  const auto &entry = config.credentials[0];
  EXPECT_EQ(std::make_tuple(entry.handle, entry.credentials.uid, entry.credentials.gid, entry.credentials.groups),
            std::make_tuple(std::uint64_t{7}, 1000u, 1000u, std::vector<unsigned int>{4, 24}));
  std::vector<std::string> watches;
  for (const auto &w : config.watches) {
    watches.push_back(std::to_string(w.line) + " " + w.path + (w.hasHandle ? " @" + std::to_string(w.handle) : ""));
  }
  EXPECT_EQ(watches, (std::vector<std::string>{"13 /var/log/syslog", "14 /srv/app/log dir/a b.log @7",
                                               "15 /var/log/auth.log @0"}));

  // Every default, and every line of the file after them: a repeated key
  // is kept, the factory reads the last.
  const auto settings = ComponentSettings(config);
  EXPECT_EQ(settings.size(), 2u * std::size(WindowsAgentCommon::kMonitorSettings) + 6u);
  // Selected the way the factory selects them.
  const auto value = [&](const std::string &type, const char *key) {
    using WindowsAgentCommon::EnvironmentBlockHelper;
    EnvironmentBlockHelper::Settings selected;
    EnvironmentBlockHelper(settings).GetValuesForMatchingName(type + "\\.(.*?)", selected);
    std::string text;
    EnvironmentBlockHelper(selected).GetStringValue(key, text, "absent");
    return text;
  };
  EXPECT_EQ(value("FileMonitorNoFSRedirect", "FileMonitor.ReaderThreadsMin"), "3");
  EXPECT_EQ(value("FileMonitorNoNotifications", "FileMonitor.ReaderThreadsMin"), "5");
  EXPECT_EQ(value("FileMonitorNoFSRedirect", "FileMonitor.ReportReplacement"), "true") << "the agent turns it on";
  EXPECT_EQ(value("FileMonitorNoNotifications", "FileMonitor.ReportReplacement"), "Off");
}

TEST(AgentConfigTest, ReportsEveryBadLineWithItsNumber) {
  AgentConfig config;
  std::vector<std::string> errors;
  EXPECT_FALSE(Parse("just words\n"                                                              // 1
                     "= 5\n"                                                                     // 2
                     "Log.File =\n"                                                              // 3
                     "Nonsense = 1\n"                                                            // 4
                     "FileMonitorStatOnly.FileMonitor.ReaderThreadsMin = 1\n"                    // 5
                     "FileMonitorNoFSRedirect.FileMonitor.ReaderThreads = 1\n"                   // 6
                     "FileMonitorNoFSRedirect.FileMonitor.ReaderThreadsMin = many\n"             // 7
                     "FileMonitorNoFSRedirect.FileMonitor.ReaderThreadsMax = 70000\n"            // 8
                     "FileMonitorNoFSRedirect.EventLogMonitor.ScheduleExpirySweepPeriodMillis = 0\n"  // 9
                     "Log.Level = chatty\n"                                                      // 10
                     "Credentials = 7 1000:1000\n"                                               // 11
                     "Credentials = 7 1001:1001\n"                                               // 12
                     "Credentials = 0 1000:1000\n"                                               // 13
                     "Credentials = 8 1000:abc\n"                                                // 14
                     "Credentials = 9\n"                                                         // 15
                     "Watch = /var/log/secure @11\n"                                             // 16
                     "Watch = /var/log/other @x\n"                                               // 17
                     "filemonitornofsredirect.FileMonitor.ReaderThreadsMin = 1\n"                // 18
                     "FileMonitorNoFSRedirect.FileMonitor.ReaderThreadsMin = 0\n"                // 19
                     "FileMonitorNoFSRedirect.EventLogMonitor.ScheduleExpirySweepPeriodMillis = 60001\n"  // 20
                     "FileMonitorNoFSRedirect.FileMonitor.ReportReplacement = maybe\n"                   // 21
                     "FileMonitorNoFSRedirect.FileMonitor.ReaderThreadsMin = -3\n"               // 22
                     "Log.File = \"/var/log/a.log\n"                                              // 23
                     "Watch = '/var/log/b.log\" @7\n"                                             // 24
                     "Watch = \"\"\n"                                                                // 25
                     "FileMonitorNoNotifications.FileMonitor.BacklogMonitor.MinNumberOfDataPointsForCalc = 2000\n"  // 26
                     "FileMonitorNoFSRedirect.FileMonitor.BacklogMonitor.NumberOfDataPoints = 128\n",    // 27
                     config, errors));
  // In the order given, the cross-checks of the Watch entries last; a
  // fragment of the message where it says more than the line.
  const std::vector<std::pair<int, std::string>> expected = {
      {1, ""}, {2, ""}, {3, ""}, {4, ""}, {5, ""}, {6, ""}, {7, ""},
      {8, "must be a whole number from 0 to 65535, not '70000'"},
      {9, "must be a whole number from 1 to 60000, not '0': the sweep needs time between its rounds"}, {10, ""},
      {12, "already defined on line 11"}, {13, ""}, {14, ""}, {15, ""}, {17, ""}, {18, ""},
      {19, "must be a whole number from 1 to 65535, not '0': with no worker nothing is ever checked"},
      {20, "must be a whole number from 1 to 60000, not '60001': a sweep period above one minute"},
      {21, "must be true or false (or yes/no, on/off, 1/0), not 'maybe'"},
      {22, "must be a whole number from 1 to 65535, not '-3': with no worker nothing is ever checked"},
      {23, "Log.File: the quote \" that opens"}, {24, "Watch: the quote ' that opens"}, {25, "empty path"},
      {16, "credentials handle 11 has no Credentials entry"},
      {27, "NumberOfDataPoints (128) must be above FileMonitorNoFSRedirect.FileMonitor.BacklogMonitor."
           "MinNumberOfDataPointsForCalc (128): the worker pool would never grow or shrink"},
      {26, "NumberOfDataPoints (1024) must be above FileMonitorNoNotifications.FileMonitor.BacklogMonitor."
           "MinNumberOfDataPointsForCalc (2000)"}};
  ASSERT_EQ(errors.size(), expected.size()) << ::testing::PrintToString(errors);
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(errors[i].rfind("agent.conf:" + std::to_string(expected[i].first) + ": ", 0), 0u) << errors[i];
    EXPECT_NE(errors[i].find(expected[i].second), std::string::npos) << errors[i];
  }
}
#endif

// The command line as the agent gets it; what it prints goes to `output`.
ParseOutcome ParseArgs(std::vector<std::string> args, AgentOptions &options, std::string *output = nullptr) {
  args.insert(args.begin(), "vantrel-agent");
  std::vector<const char *> argv;
  for (const auto &arg : args) argv.push_back(arg.c_str());
  std::ostringstream out, err;
  const ParseOutcome outcome = ParseCommandLine(static_cast<int>(argv.size()), argv.data(), options, out, err);
  if (output != nullptr) *output = out.str() + err.str();
  return outcome;
}

TEST(AgentOptionsTest, EveryOption) {
  AgentOptions options;
  ASSERT_TRUE(ParseArgs({"/var/log/a", "--monitor", "poll", "--interval", "250", "--idle", "--credentials", "0",
                         "--config", "a.conf", "--log-level", "Debug", "--log-file", "x.log", "--json", "--duration",
                         "1.5", "--stats", "10", "--library", "/opt/lib.so", "/var/log/b"}, options).run);
  EXPECT_EQ(options.paths, (std::vector<std::string>{"/var/log/a", "/var/log/b"}));
  EXPECT_EQ(MonitorTypeName(options.monitor), "FileMonitorNoNotifications");
  EXPECT_EQ(std::make_tuple(options.intervalMillis, options.idle, options.credentialsGiven, options.credentials,
                            options.json, options.durationSeconds, options.statsSeconds),
            std::make_tuple(250u, true, true, std::uint64_t{0}, true, 1.5, 10.0));
  EXPECT_EQ((std::vector<std::string>{options.configFile, options.logLevel, options.logFile, options.library}),
            (std::vector<std::string>{"a.conf", "Debug", "x.log", "/opt/lib.so"}));
}

// Each ends the agent at once, with its status and a word to the user.
TEST(AgentOptionsTest, HelpVersionAndBadCommandLines) {
  const std::vector<std::tuple<std::vector<std::string>, int, std::string>> cases = {
      {{"--help"}, 0, "--interval"}, {{"--version"}, 0, "vantrel-agent 7.2.5"},
      {{"--interval", "-1"}, kExitUsage, ""}, {{"--interval", "soon"}, kExitUsage, ""},
      {{"--stats", "-3"}, kExitUsage, ""}, {{"--log-level", "loud"}, kExitUsage, ""},
      {{"--credentials", "18446744073709551615"}, kExitUsage, ""}, {{"--no-such-option"}, kExitUsage, ""},
      {{"--help"}, 0, "GREW,SHRANK,REVERTED,DIR,IDLE"}, {{"--events", "grown"}, kExitUsage, "REPLACED, MODIFIED"},
      {{"--events", "DELETED,idle"}, kExitUsage, "IDLE needs --idle"},
      {{"--format", ""}, kExitUsage, "an empty format"}};
  for (const auto &[args, status, text] : cases) {
    AgentOptions options;
    std::string output;
    const ParseOutcome outcome = ParseArgs(args, options, &output);
    EXPECT_TRUE(!outcome.run && outcome.exitCode == status && !output.empty() && output.find(text) != std::string::npos)
        << args[0] << ": " << output;
  }
}

// A POSIX absolute path as the same path on Windows: on drive C:, with
// backslashes.
std::string Native(const std::string &posix) {
#if defined(_WIN32)
  std::string path = posix[0] == '/' ? "C:" + posix : posix;
  for (char &c : path) c = c == '/' ? '\\' : c;
  return path;
#else
  return posix;
#endif
}

TEST(AgentWatchListTest, CommandLineThenConfigurationElseTheDefaultEachPathOnceByItsTidyText) {
  TempDir dir;
  for (const char *name : {"b.log", "a.log"}) dir.Write(name, "");
  MakeDir(dir.Join("sub"));
  EXPECT_EQ(DefaultWatchPaths(dir.Path()), (std::vector<std::string>{dir.Path(), dir.Join("a.log"), dir.Join("b.log")}));
  EXPECT_EQ(DefaultWatchPaths(dir.Join("absent")), std::vector<std::string>{dir.Join("absent")});

  AgentOptions options;
  AgentConfig config;
  std::vector<WatchTarget> targets;
  std::vector<std::string> notes;
  std::string error;
  ASSERT_TRUE(BuildWatchList(options, config, dir.Path(), Native("/"), targets, notes, error));
  ASSERT_EQ(targets.size(), 3u);
  EXPECT_TRUE(targets[0].defaultCredentials);

  // On Windows "/w" is \w on the current drive.
  options.paths = {"x", "/w/./y/", "/w/y/", "/w/y/../x/..//x", "/w/*.log"};
  config.watches = {WatchEntry{"/w/y", true, 7, 1}, WatchEntry{"../z", true, 7, 2}, WatchEntry{"/..", false, 0, 3}};
  ASSERT_TRUE(BuildWatchList(options, config, dir.Path(), Native("/w"), targets, notes, error));
  // The first mention of a path decides its credentials.
  std::vector<std::string> paths;
  for (const auto &t : targets) {
    const std::string handle = t.defaultCredentials ? "" : " @" + std::to_string(t.handle);
    paths.push_back(t.path + (t.pattern ? " pattern" : "") + handle);
  }
  EXPECT_EQ(paths, (std::vector<std::string>{Native("/w/x"), Native("/w/y"), Native("/w/*.log pattern"),
                                             Native("/z") + " @7", Native("/")}));
  // The repeats in the order given.
  ASSERT_EQ(notes.size(), 3u) << ::testing::PrintToString(notes);
  EXPECT_EQ(notes[0], "/w/y/ is " + Native("/w/y") + ", already given as /w/./y/; it is watched once");
  EXPECT_EQ(notes[1], "/w/y/../x/..//x is " + Native("/w/x") + ", already given as x; it is watched once");
#if !defined(_WIN32)
  for (const auto &[written, tidy] : std::vector<std::pair<std::string, std::string>>{
           {"/a/./b", "/a/b"}, {"/a/b/.", "/a/b"}, {"/a/b/..", "/a"}, {"/a/../..", "/"}, {"//a", "/a"},
           {"/a/b/", "/a/b"}, {"/", "/"}, {"/.a/..b/...", "/.a/..b/..."}, {"r", "/w/r"}})
    EXPECT_EQ(NormalizePath(written, "/w"), tidy) << written;
#endif

  options.paths = {""};
  EXPECT_FALSE(BuildWatchList(options, config, dir.Path(), Native("/"), targets, notes, error));

  // A configuration file's relative Watch paths are in its own folder,
  // wherever the agent starts.
  dir.Write("sub/agent.conf", "Watch = logs/*.log\nWatch = ../up.log\nWatch = " + Native("/abs.log") + "\n");
  config = AgentConfig();
  std::vector<std::string> errors;
  ASSERT_TRUE(LoadConfigFile(dir.Join("sub/agent.conf"), config, errors)) << ::testing::PrintToString(errors);
  paths.clear();
  for (const auto &w : config.watches) paths.push_back(w.path);
  EXPECT_EQ(paths, (std::vector<std::string>{NormalizePath(dir.Join("sub/logs/*.log"), "/"),
                                             NormalizePath(dir.Join("up.log"), "/"), Native("/abs.log")}));
}

#if defined(_WIN32)
TEST(AgentWatchListTest, WindowsPathsOnDrivesAndSharesWithEitherSeparatorAreOnePathInAnyCase) {
  for (const auto &c : std::vector<std::pair<std::string, std::string>>{
           {"d:/logs//app.log", "D:\\logs\\app.log"}, {"\\logs\\..\\..\\a", "C:\\a"}, {"C:logs", "C:\\w\\logs"},
           {"D:logs", "D:\\logs"}, {"//server/share/x/../y", "\\\\server\\share\\y"},
           {"\\\\?\\C:\\long\\.\\a", "C:\\long\\a"}, {"\\\\?\\UNC\\server\\share", "\\\\server\\share\\"},
           {"\\\\.\\pipe\\x", "\\\\.\\pipe\\x"}})
    EXPECT_EQ(NormalizePath(c.first, "C:\\w"), c.second) << c.first;
  // What the notification monitor would make relative or the drive's
  // current directory.
  for (const auto &[path, cannot] : std::vector<std::pair<const char *, bool>>{
           {"\\\\server\\share\\a.log", true}, {"\\\\.\\pipe\\x", true}, {"C:\\", true},
           {"C:\\*.log", true}, {"C:\\**\\*.log", true}, {"C:\\logs", false}, {"C:\\logs\\*.log", false}})
    EXPECT_EQ(!WhyNotificationsCannotWatch(NormalizePath(path, "C:\\")).empty(), cannot) << path;
  AgentOptions options;
  options.paths = {"C:\\Logs\\A.log", "c:/logs/a.LOG", "\\\\?\\C:\\logs\\b.log", "C:\\logs\\*.txt"};
  std::vector<WatchTarget> t;
  std::vector<std::string> notes;
  std::string error;
  ASSERT_TRUE(BuildWatchList(options, AgentConfig(), "C:\\", "C:\\", t, notes, error));
  ASSERT_EQ(t.size(), 3u) << "the second path is the first";
  EXPECT_TRUE(notes.size() == 1 && !t[1].pattern && t[2].pattern) << "the prefix's '?' is no wildcard";
}
#endif

TEST(AgentPathPatternTest, NamesAndPathsMatchAsInTheShellWithoutCaseOnWindows) {
  const bool windows = Native("/") != "/";
  for (const auto &[pattern, name, matches] : std::vector<std::tuple<const char *, const char *, bool>>{
           {"*-error.log", "app--error.log", true}, {"app.?og", "app.log", true}, {"[!ab]pp.log", "bpp.log", false},
           {"[a-c]*[0-9]", "cat7", true}, {"*.log", ".hidden.log", false}, {".*.log", ".hidden.log", true},
           {"[[]1].log", "[1].log", true}, {"*.LOG", "App.log", windows}})
    EXPECT_EQ(MatchName(pattern, name), matches) << pattern << " " << name;
  const std::vector<std::string> pattern = SplitPath(Native("/a/**/*.log"));
  for (const auto &[path, matches] : std::vector<std::pair<const char *, bool>>{
           {"/a/.b/c/x.log", true}, {"/a/x.log", true}, {"/A/b/x.log", windows}, {"/a/b/x.txt", false}})
    EXPECT_EQ(MatchPath(pattern, SplitPath(Native(path))), matches) << path;
}

// Local time is the process's: a fixed zone makes the texts exact.
class ReportFormatTest : public ::testing::Test {
 protected:
  void TearDown() override { Zone(hadTz ? oldTz.c_str() : nullptr); }
  // Sets TZ (null: unsets it) and has the C library read it again.
  static void Zone(const char *tz) {
#if defined(_WIN32)
    _putenv_s("TZ", tz != nullptr ? tz : "");
    _tzset();
#else
    tz != nullptr ? setenv("TZ", tz, 1) : unsetenv("TZ");
    tzset();
#endif
  }
  static std::chrono::system_clock::time_point At(std::int64_t millis) {
    return std::chrono::system_clock::time_point(std::chrono::milliseconds(millis));
  }

  const bool hadTz = std::getenv("TZ") != nullptr;
  const std::string oldTz = hadTz ? std::getenv("TZ") : "";
};

TEST_F(ReportFormatTest, TextAndJsonLines) {
  Zone("UTC0");
  // At 2025-12-05 19:10:01.007 UTC: milliseconds in three digits.
  VantrelAgent::Report report{At(1764961801007), "FileMonitorNoFSRedirect", "/var/log/syslog", 42, 0x000A};
  EXPECT_EQ(FormatText(report), "2025-12-05 19:10:01.007 /var/log/syslog MODIFIED|GREW 0x000A");
  EXPECT_EQ(FormatJson(report),
            R"({"time":"2025-12-05T19:10:01.007+00:00","monitor":"FileMonitorNoFSRedirect",)"
            R"("path":"/var/log/syslog","key":42,"flags":10,"names":["MODIFIED","GREW"]})");
  report.flags = 0;
  EXPECT_EQ(FormatText(report), "2025-12-05 19:10:01.007 /var/log/syslog IDLE 0x0000");
  report.flags = 0x807F;  // every flag, in the order a person reads them
  EXPECT_EQ(FormatText(report), "2025-12-05 19:10:01.007 /var/log/syslog "
                                "CREATED|DELETED|REPLACED|MODIFIED|GREW|SHRANK|REVERTED|DIR 0x807F");

  // Offsets east and west of UTC, with minutes.
  Zone("IST-5:30");
  EXPECT_EQ(IsoTimestamp(At(0)), "1970-01-01T05:30:00.000+05:30");
  EXPECT_EQ(LocalTimestamp(At(999)), "1970-01-01 05:30:00.999");
  Zone("NST3:30");
  EXPECT_EQ(IsoTimestamp(At(0)), "1969-12-31T20:30:00.000-03:30");

  // Names in any bytes: the report_line fuzz target.
}

}  // namespace
