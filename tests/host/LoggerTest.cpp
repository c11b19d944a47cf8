#include "support/TestSupport.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
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

const std::string kMarker = "...[truncated]";

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

TEST_F(LoggerTest, RecordCarriesLevelNameThreadAndFormattedText) {
  Log log = LoggerFactory::GetLog("Code.FileMonitorStatOnly.x1234");
  EXPECT_EQ(log.operator->(), LoggerFactory::GetLog("Code.FileMonitorStatOnly.x1234").operator->());
  EXPECT_NE(log.operator->(), LoggerFactory::GetLog("Code.Test.Other").operator->());
  log.Warn("Switching to credentials %I64u for %ls", static_cast<std::uint64_t>(18446744073709551615ULL),
           L"/var/log/\u00E9.log");
  const auto records = sink.Records();
  ASSERT_EQ(1u, records.size());
  EXPECT_EQ(LogLevel::Warn, records[0].level);
  EXPECT_EQ("Code.FileMonitorStatOnly.x1234", records[0].logName);
#if defined(_WIN32)
  EXPECT_EQ(static_cast<unsigned long>(::GetCurrentThreadId()), records[0].thread);
#else
  EXPECT_EQ(static_cast<unsigned long>(::syscall(SYS_gettid)), records[0].thread);
#endif
  EXPECT_EQ("Switching to credentials 18446744073709551615 for /var/log/\xC3\xA9.log", records[0].text);
  const auto age = std::chrono::system_clock::now() - records[0].time;
  EXPECT_LT(age, std::chrono::minutes(1));
}

TEST_F(LoggerTest, ThresholdDropsLowerLevels) {
  Log log = LoggerFactory::GetLog("Code.Test.Level");
  LoggerFactory::SetLevel(LogLevel::Warn);
  EXPECT_FALSE(log.IsEnabled(LogLevel::Info));
  EXPECT_TRUE(log.IsEnabled(LogLevel::Error));
  log.Debug("debug");
  log.Info("info");
  log.Warn("warn");
  log.Error("error");
  EXPECT_EQ((std::vector<std::string>{"warn", "error"}), sink.Texts());

  LoggerFactory::SetLevel(LogLevel::Off);
  log.Error("nothing at all");
  EXPECT_EQ(2u, sink.Records().size());

  LoggerFactory::SetLevel(LogLevel::Debug);
  log.Debug("debug again");
  log->Info("through the facade");
  EXPECT_TRUE(sink.Contains("debug again"));
  EXPECT_TRUE(sink.Contains("through the facade"));

  // Level names as a configuration gives them, in any case.
  for (const auto &[text, level] : std::map<std::string, LogLevel>{
           {"WARN", LogLevel::Warn}, {"Warning", LogLevel::Warn}, {"debug", LogLevel::Debug}, {"OFF", LogLevel::Off}}) {
    LogLevel parsed = LogLevel::Info;
    EXPECT_TRUE(ParseLogLevel(text, parsed)) << text;
    EXPECT_EQ(level, parsed) << text;
  }
  LogLevel untouched = LogLevel::Info;
  EXPECT_FALSE(ParseLogLevel("chatty", untouched));
  EXPECT_EQ(LogLevel::Info, untouched);

  Log none;  // a default handle writes nothing and does not crash
  none.Error("ignored");
  EXPECT_FALSE(none.IsEnabled(LogLevel::Error));
  EXPECT_EQ(4u, sink.Records().size());
}

TEST_F(LoggerTest, FormatOfAWrittenLineAndItsLimit) {
  LogRecord record;
  record.time = std::chrono::system_clock::time_point(std::chrono::milliseconds(1700000000123LL));
  record.level = LogLevel::Debug;
  record.logName = "Code.FileMonitorFactory";
  record.thread = 12345;
  record.text = "text";
  const std::string line = FormatLogRecord(record);
  // The local time of the record, then its millisecond, level, thread, log name and text.
  // std::regex is not used: GCC 12 warns inside it under the sanitizers.
  const std::string stamp = "dddd-dd-dd dd:dd:dd";
  const std::string rest = ".123 DEBUG [12345] Code.FileMonitorFactory: text";
  ASSERT_EQ(line.size(), stamp.size() + rest.size()) << line;
  for (std::size_t i = 0; i < stamp.size(); ++i) {
    EXPECT_TRUE(stamp[i] == 'd' ? std::isdigit(static_cast<unsigned char>(line[i])) != 0 : line[i] == stamp[i]) << line;
  }
  EXPECT_EQ(line.substr(stamp.size()), rest);

  // Overlong text is cut with the marker.
  const std::string longText(20000, 'x');
  LoggerFactory::GetLog("Code.Test.Long").Info("%s", longText.c_str());
  const auto texts = sink.Texts();
  ASSERT_EQ(1u, texts.size());
  EXPECT_EQ(16u * 1024u, texts[0].size());
  EXPECT_EQ(kMarker, texts[0].substr(texts[0].size() - kMarker.size()));
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
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &go] {
      Log log = LoggerFactory::GetLog("Code.Test.Thread" + std::to_string(t));
      while (!go.load()) std::this_thread::yield();
      for (int i = 0; i < kPerThread; ++i) log.Info("thread %d record %d %s", t, i, "payload-payload-payload");
    });
  }
  go = true;
  for (auto &th : threads) th.join();
  const std::string content = ReadFile(path);
  const auto records = sink.Records();
  ASSERT_TRUE(LoggerFactory::SetLogFile(""));
  LoggerFactory::GetLog("Code.Test.File").Error("after closing");
  EXPECT_EQ(content, ReadFile(path));

  ASSERT_EQ(static_cast<std::size_t>(kThreads * kPerThread), records.size());
  std::map<int, int> next;  // per thread, records arrive in the order written
  for (const auto &r : records) {
    int t = -1;
    int i = -1;
    char tail[64] = {0};
    ASSERT_EQ(3, std::sscanf(r.text.c_str(), "thread %d record %d %63s", &t, &i, tail)) << r.text;
    EXPECT_STREQ("payload-payload-payload", tail);
    EXPECT_EQ("Code.Test.Thread" + std::to_string(t), r.logName);
    EXPECT_EQ(next[t], i);
    next[t] = i + 1;
  }

  // The file holds the same records, each on a line of its own, whole.
  std::vector<std::string> expected{"earlier line"};
  for (const auto &r : records) expected.push_back(FormatLogRecord(r));
  std::vector<std::string> written;
  std::istringstream file(content);
  for (std::string line; std::getline(file, line);) written.push_back(line);
  EXPECT_EQ(written.front(), "earlier line");
  std::sort(expected.begin(), expected.end());
  std::sort(written.begin(), written.end());
  EXPECT_TRUE(expected == written) << written.size() << " lines in the file";

  EXPECT_FALSE(LoggerFactory::SetLogFile(dir.Join("missing/dir/x.log"), &error));
  EXPECT_NE(std::string::npos, error.find("missing/dir/x.log")) << error;
}

TEST_F(LoggerTest, SinkThatLogsDoesNotDeadlock) {
  struct Echo : LogSink {
    void Write(const LogRecord &record) override {
      ++writes;
      LoggerFactory::GetLog("Code.Test.Echo").Error("echo of %s", record.text.c_str());
    }
    std::atomic<int> writes{0};
  };
  auto echo = std::make_shared<Echo>();
  LoggerFactory::AddSink(echo);
  LoggerFactory::GetLog("Code.Test.Echo").Info("original");
  LoggerFactory::RemoveSink(echo);
  LoggerFactory::GetLog("Code.Test.Echo").Info("after the removal");
  EXPECT_EQ(1, echo->writes.load());  // the nested record is dropped, and the removed sink hears no more
  EXPECT_EQ((std::vector<std::string>{"original", "after the removal"}), sink.Texts());
}
