#include "support/TestSupport.h"

#include <ctime>
#include <set>
#include <sstream>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/syscall.h>
#include <unistd.h>
#endif

using namespace WindowsAgentCommon;
using namespace VantrelTest;

namespace {

// Captures every record at Debug for one test, without writing to stderr,
// and restores the process's logging set-up afterwards.
class LoggerTest : public ::testing::Test {
 protected:
  ~LoggerTest() override { LoggerFactory::SetLogFile(""); }

  LogCapture capture;
  CapturingSink &sink = capture.Sink();
};

// Logs during static destruction, after main() has returned: the logging
// state must still be there. A crash here fails the test binary.
struct LogsAtExit {
  Log log = LoggerFactory::GetLog("Test.StaticDestructor");
  ~LogsAtExit() {
    LoggerFactory::EnableStderr(false);
    log.Error("logged from a static destructor (%ls)", L"ok");
    LoggerFactory::GetLog("Test.StaticDestructor.New").Error("a log created during static destruction");
  }
} logsAtExit;

}  // namespace

TEST_F(LoggerTest, RecordCarriesLevelNameThreadAndTextAndIsWrittenAsOneLine) {
  Log log = LoggerFactory::GetLog("Code.FileMonitorStatOnly.x1234");
  EXPECT_EQ(log.operator->(), LoggerFactory::GetLog("Code.FileMonitorStatOnly.x1234").operator->());
  EXPECT_NE(log.operator->(), LoggerFactory::GetLog("Code.Test.Other").operator->());
  log.Warn(EngineFormat("Switching to credentials %I64u for %ls"), static_cast<std::uint64_t>(18446744073709551615ULL),
           L"/var/log/\u00E9.log");
#if defined(_WIN32)
  const auto thread = static_cast<unsigned long>(::GetCurrentThreadId());
#else
  const auto thread = static_cast<unsigned long>(::syscall(SYS_gettid));
#endif
  const auto records = sink.Records();
  ASSERT_EQ(1u, records.size());
  const LogRecord &r = records[0];
  EXPECT_EQ(std::make_tuple(LogLevel::Warn, std::string("Code.FileMonitorStatOnly.x1234"), thread,
                            std::string("Switching to credentials 18446744073709551615 for /var/log/\xC3\xA9.log")),
            std::make_tuple(r.level, r.logName, r.thread, r.text));
  EXPECT_LT(std::chrono::system_clock::now() - r.time, std::chrono::minutes(1));

  const std::string line = FormatLogRecord(
      LogRecord{std::chrono::system_clock::time_point(std::chrono::milliseconds(1700000000123LL)), LogLevel::Debug,
                "Code.FileMonitorFactory", 12345, "text"});
  // The local time of the record, then its millisecond, level, thread, log name and text.
  const std::time_t seconds = 1700000000;
  char stamp[32];
  ASSERT_NE(0u, std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", std::localtime(&seconds)));
  EXPECT_EQ(std::string(stamp) + ".123 DEBUG [12345] Code.FileMonitorFactory: text", line);

  // Overlong text is cut with the marker.
  const std::string longText(20000, 'x');
  LoggerFactory::GetLog("Code.Test.Long").Info("%s", longText.c_str());
  const std::string marker = "...[truncated]";
  EXPECT_EQ(std::string(16 * 1024 - marker.size(), 'x') + marker, sink.Texts().back());
}

TEST_F(LoggerTest, ThresholdDropsLowerLevelsAndASinkThatLogsIsNotReentered) {
  Log log = LoggerFactory::GetLog("Code.Test.Level");
  LoggerFactory::SetLevel(LogLevel::Warn);
  EXPECT_TRUE(!log.IsEnabled(LogLevel::Info) && log.IsEnabled(LogLevel::Error));
  log.Debug("debug");
  log.Info("info");
  log.Warn("warn");
  log.Error("error");
  LoggerFactory::SetLevel(LogLevel::Off);
  log.Error("nothing at all");
  LoggerFactory::SetLevel(LogLevel::Debug);
  log.Debug("debug again");
  log->Info("through the facade");

  // Level names as a configuration gives them, in any case; an unknown one
  // leaves the level alone.
  for (const auto &[text, level] : std::map<std::string, std::pair<bool, LogLevel>>{
           {"WARN", {true, LogLevel::Warn}}, {"Warning", {true, LogLevel::Warn}},
           {"debug", {true, LogLevel::Debug}}, {"OFF", {true, LogLevel::Off}},
           {"chatty", {false, LogLevel::Info}}}) {
    LogLevel parsed = LogLevel::Info;
    const bool known = ParseLogLevel(text, parsed);
    EXPECT_EQ(level, std::make_pair(known, parsed)) << text;
  }

  Log none;  // a default handle writes nothing and does not crash
  none.Error("ignored");
  EXPECT_FALSE(none.IsEnabled(LogLevel::Error));

  // A sink that logs does not deadlock: its nested record is dropped, and
  // once removed it hears no more.
  struct Echo : LogSink {
    void Write(const LogRecord &record) override {
      ++writes;
      LoggerFactory::GetLog("Code.Test.Echo").Error("echo of %s", record.text.c_str());
    }
    std::atomic<int> writes{0};
  };
  auto echo = std::make_shared<Echo>();
  LoggerFactory::AddSink(echo);
  log.Info("original");
  LoggerFactory::RemoveSink(echo);
  log.Info("after the removal");
  EXPECT_EQ(1, echo->writes.load());
  EXPECT_EQ((std::vector<std::string>{"warn", "error", "debug again", "through the facade", "original",
                                      "after the removal"}),
            sink.Texts());
}

// Many threads log at once: every record arrives whole, exactly once, in the
// capturing sink and in the log file alike. The file keeps what it held, is
// written at once (it is read before it is closed), and hears nothing after.
TEST_F(LoggerTest, ManyThreadsLoseAndTearNothingInTheSinkAndTheFile) {
  TempDir dir;
  const std::string path = dir.Join("agent.log");
  WriteFile(path, "earlier line\n");
  std::string error;
  ASSERT_TRUE(LoggerFactory::SetLogFile(path, &error)) << error;

  const int kThreads = 8;
  const int kPerThread = 400;
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  std::map<std::string, std::vector<std::string>> expected;  // per log, its texts in the order written
  for (int t = 0; t < kThreads; ++t) {
    const std::string name = "Code.Test.Thread" + std::to_string(t);
    for (int i = 0; i < kPerThread; ++i) {
      expected[name].push_back("thread " + std::to_string(t) + " record " + std::to_string(i) + " payload-payload");
    }
    threads.emplace_back([t, name, &go] {
      Log log = LoggerFactory::GetLog(name);
      while (!go.load()) std::this_thread::yield();
      for (int i = 0; i < kPerThread; ++i) log.Info("thread %d record %d %s", t, i, "payload-payload");
    });
  }
  go = true;
  for (auto &th : threads) th.join();
  const std::string content = ReadFile(path);
  const auto records = sink.Records();
  ASSERT_TRUE(LoggerFactory::SetLogFile(""));
  LoggerFactory::GetLog("Code.Test.File").Error("after closing");
  EXPECT_EQ(content, ReadFile(path));

  // The file holds the same records after what it held, each on a line of its own, whole.
  std::map<std::string, std::vector<std::string>> received;
  std::multiset<std::string> lines{"earlier line"};
  for (const auto &r : records) {
    received[r.logName].push_back(r.text);
    lines.insert(FormatLogRecord(r));
  }
  EXPECT_TRUE(expected == received) << records.size() << " records";
  std::multiset<std::string> written;
  std::istringstream file(content);
  for (std::string line; std::getline(file, line);) written.insert(line);
  EXPECT_TRUE(lines == written) << written.size() << " lines in the file";

  EXPECT_FALSE(LoggerFactory::SetLogFile(dir.Join("missing/dir/x.log"), &error));
  EXPECT_NE(std::string::npos, error.find("missing/dir/x.log")) << error;
}
