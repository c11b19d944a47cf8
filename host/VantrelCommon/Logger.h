// Named logs with printf-style formats, safe from any thread.
//
// LoggerFactory::GetLog(name) hands out a Log, a cheap copyable handle to the
// one LogFacade of that name. Records carry time, level, log name, thread and
// text, and go to every sink that the host installed: standard error (on by
// default), a file, and any sink of the host's own (tests install a
// CapturingSink to assert exact log lines). One level threshold applies to the
// whole process; a record below it costs one atomic load, and a caller that
// asks Log::IsEnabled first (inline: the handle reaches the threshold through
// its facade) spends no call at all on a line that is off.
#ifndef VANTREL_COMMON_LOGGER_H
#define VANTREL_COMMON_LOGGER_H

#include <VantrelCommon/Text.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace WindowsAgentCommon {

enum class LogLevel { Debug = 0, Info = 1, Warn = 2, Error = 3, Off = 4 };

// "DEBUG", "INFO", "WARN", "ERROR", "OFF".
const char *LogLevelName(LogLevel level);
// Accepts those names in any letter case (and "warning"); false otherwise.
bool ParseLogLevel(const std::string &text, LogLevel &level);

struct LogRecord {
  std::chrono::system_clock::time_point time;
  LogLevel level;
  std::string logName;
  unsigned long thread;  // the kernel's thread id
  std::string text;
};

// "2026-12-05 18:58:52.123 DEBUG [12345] Code.FileMonitorFactory: text"
std::string FormatLogRecord(const LogRecord &record);

// Receives every record at or above the threshold. Write may be called from
// several threads at once; the factory serialises calls to one sink.
class LogSink {
 public:
  virtual ~LogSink();
  virtual void Write(const LogRecord &record) = 0;
  virtual void Flush() {}
};

// Keeps every record in memory, for tests.
class CapturingSink : public LogSink {
 public:
  void Write(const LogRecord &record) override;

  std::vector<LogRecord> Records() const;
  // Texts of the records, optionally only of logs whose name starts with
  // `logNamePrefix`.
  std::vector<std::string> Texts(const std::string &logNamePrefix = std::string()) const;
  std::size_t Count(const std::string &text) const;  // records with exactly this text
  std::size_t CountContaining(const std::string &fragment) const;
  bool Contains(const std::string &text) const { return Count(text) > 0; }
  // Waits until `predicate` holds for the records captured so far, or the
  // deadline passes; returns whether it holds.
  bool WaitFor(const std::function<bool(const std::vector<LogRecord> &)> &predicate,
               std::chrono::milliseconds timeout);
  bool WaitForText(const std::string &text, std::size_t count, std::chrono::milliseconds timeout);
  void Clear();

 private:
  mutable std::mutex mtx;
  std::condition_variable cv;
  std::vector<LogRecord> records;
};

class LogFacade {
 public:
  explicit LogFacade(std::string name);
  const std::string &Name() const { return strName; }

  bool IsEnabled(LogLevel level) const {
    return level != LogLevel::Off && static_cast<int>(level) >= threshold_.load(std::memory_order_relaxed);
  }
  void Write(LogLevel level, const char *format, va_list args);

  void Debug(const char *format, ...) VANTREL_PRINTF_LIKE(2, 3);
  void Info(const char *format, ...) VANTREL_PRINTF_LIKE(2, 3);
  void Warn(const char *format, ...) VANTREL_PRINTF_LIKE(2, 3);
  void Error(const char *format, ...) VANTREL_PRINTF_LIKE(2, 3);

 private:
  std::string strName;
  // The process's threshold (LoggerFactory::SetLevel), which outlives every
  // facade.
  const std::atomic<int> &threshold_;
};

// Copyable handle to a LogFacade. A default-constructed Log writes nothing.
class Log {
 public:
  Log() = default;
  explicit Log(std::shared_ptr<LogFacade> facade) : spFacade(std::move(facade)) {}

  void Debug(const char *format, ...) const VANTREL_PRINTF_LIKE(2, 3);
  void Info(const char *format, ...) const VANTREL_PRINTF_LIKE(2, 3);
  void Warn(const char *format, ...) const VANTREL_PRINTF_LIKE(2, 3);
  void Error(const char *format, ...) const VANTREL_PRINTF_LIKE(2, 3);

  bool IsEnabled(LogLevel level) const { return spFacade && spFacade->IsEnabled(level); }
  std::string Name() const { return spFacade ? spFacade->Name() : std::string(); }
  LogFacade *operator->() const { return spFacade.get(); }
  explicit operator bool() const { return static_cast<bool>(spFacade); }

 private:
  std::shared_ptr<LogFacade> spFacade;
};

class LoggerFactory {
 public:
  static Log GetLog(const std::string &name);

  // Process-wide threshold; records below it are dropped. Default: Info.
  static void SetLevel(LogLevel level);
  static LogLevel GetLevel();

  // Standard error sink, on by default.
  static void EnableStderr(bool enabled);
  // Appends to `path` (created if missing); an empty path closes the file.
  // Returns false, with the reason in `error`, when the file cannot be opened.
  static bool SetLogFile(const std::string &path, std::string *error = nullptr);

  static void AddSink(const std::shared_ptr<LogSink> &sink);
  static void RemoveSink(const std::shared_ptr<LogSink> &sink);
  static void Flush();
};

}  // namespace WindowsAgentCommon

#endif  // VANTREL_COMMON_LOGGER_H
