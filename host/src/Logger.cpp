#include <VantrelCommon/Logger.h>
#include <VantrelCommon/Text.h>

#include <Platform/Win32Api.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <new>

#include <ace/OS_NS_time.h>

#include <fcntl.h>
#include <unistd.h>
#if !defined(_WIN32)
#include <sys/syscall.h>
#endif

#if defined(_WIN32)
// The log file is not inherited by children and is written byte for byte.
#define VANTREL_LOG_FILE_FLAGS (O_WRONLY | O_APPEND | O_CREAT | O_NOINHERIT | O_BINARY)
#else
#define VANTREL_LOG_FILE_FLAGS (O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC)
#endif

namespace WindowsAgentCommon {

namespace {

// Longest text of one record; a longer one is cut with the truncation marker.
const std::size_t kMaxRecordText = 16 * 1024;

// The process-wide logging state. It is created on first use and never
// destroyed, so that objects whose destructors log during static destruction,
// and threads still running at exit, never find it gone.
struct LoggingState {
  std::atomic<int> level{static_cast<int>(LogLevel::Info)};
  std::atomic<bool> stderrEnabled{true};

  std::mutex mtxLogs;  // guards logs
  std::map<std::string, std::shared_ptr<LogFacade>> logs;

  // Serialises every write to every sink, so records never interleave, and
  // guards the sink list and the file.
  std::mutex mtxSinks;
  std::vector<std::shared_ptr<LogSink>> sinks;
  int fileFd = -1;
};

LoggingState &State() {
  static LoggingState *state = new LoggingState();
  return *state;
}

unsigned long CurrentThreadId() {
#if defined(_WIN32)
  thread_local const unsigned long tid = static_cast<unsigned long>(::GetCurrentThreadId());
#else
  thread_local const unsigned long tid = static_cast<unsigned long>(::syscall(SYS_gettid));
#endif
  return tid;
}

// Set while this thread writes to the sinks: a sink that logs would otherwise
// take the sink lock a second time. Such nested records are dropped.
thread_local bool tlsWriting = false;

// A failing log device has nowhere to be reported; the record is lost.
void WriteAll(int fd, const std::string &line) { VantrelPlatform::WriteFully(fd, line.data(), line.size()); }

// A sink that throws loses that record, and must not take the caller down or
// starve the others. Said once, on standard error: the log may be what fails.
void SinkFailed() noexcept {
  static std::atomic<bool> said(false);
  static const char kLine[] = "VantrelCommon: a log sink failed; the records it failed on are lost\n";
  if (!said.exchange(true)) VantrelPlatform::WriteFully(STDERR_FILENO, kLine, sizeof kLine - 1);
}

struct WritingMark {
  WritingMark() { tlsWriting = true; }
  ~WritingMark() { tlsWriting = false; }
};

void Dispatch(const LogRecord &record) {
  LoggingState &state = State();
  if (tlsWriting) return;
  WritingMark mark;
  {
    std::lock_guard<std::mutex> lock(state.mtxSinks);
    if (state.stderrEnabled.load(std::memory_order_relaxed) || state.fileFd >= 0) {
      std::string line = FormatLogRecord(record);
      line += '\n';
      if (state.stderrEnabled.load(std::memory_order_relaxed)) WriteAll(STDERR_FILENO, line);
      // Written straight to the descriptor: nothing waits in a buffer that a
      // crash would lose.
      if (state.fileFd >= 0) WriteAll(state.fileFd, line);
    }
    for (const auto &sink : state.sinks) {
      try {
        sink->Write(record);
      } catch (...) {
        SinkFailed();
      }
    }
  }
}

}  // namespace

const char *LogLevelName(LogLevel level) {
  switch (level) {
    case LogLevel::Debug: return "DEBUG";
    case LogLevel::Info: return "INFO";
    case LogLevel::Warn: return "WARN";
    case LogLevel::Error: return "ERROR";
    case LogLevel::Off: return "OFF";
  }
  return "?";
}

bool ParseLogLevel(const std::string &text, LogLevel &level) {
  std::string lower;
  for (char c : text) lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  static const struct {
    const char *name;
    LogLevel level;
  } kNames[] = {{"debug", LogLevel::Debug}, {"info", LogLevel::Info},   {"warn", LogLevel::Warn},
                {"warning", LogLevel::Warn}, {"error", LogLevel::Error}, {"off", LogLevel::Off}};
  for (const auto &entry : kNames) {
    if (lower == entry.name) {
      level = entry.level;
      return true;
    }
  }
  return false;
}

std::string FormatLogRecord(const LogRecord &record) {
  using namespace std::chrono;
  const auto sinceEpoch = record.time.time_since_epoch();
  const auto secs = duration_cast<seconds>(sinceEpoch);
  long millis = static_cast<long>(duration_cast<milliseconds>(sinceEpoch - secs).count());
  std::time_t t = static_cast<std::time_t>(secs.count());
  if (millis < 0) {  // before 1970: keep the fraction positive
    millis += 1000;
    --t;
  }
  std::tm tm{};
  ACE_OS::localtime_r(&t, &tm);
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d.%03ld", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, millis);
  std::string line;
  line.reserve(64 + record.logName.size() + record.text.size());
  line += stamp;
  line += ' ';
  line += LogLevelName(record.level);
  line += " [";
  line += std::to_string(record.thread);
  line += "] ";
  line += record.logName;
  line += ": ";
  line += record.text;
  return line;
}

LogSink::~LogSink() = default;

void CapturingSink::Write(const LogRecord &record) {
  {
    std::lock_guard<std::mutex> lock(mtx);
    records.push_back(record);
  }
  cv.notify_all();
}

std::vector<LogRecord> CapturingSink::Records() const {
  std::lock_guard<std::mutex> lock(mtx);
  return records;
}

std::vector<std::string> CapturingSink::Texts(const std::string &logNamePrefix) const {
  std::lock_guard<std::mutex> lock(mtx);
  std::vector<std::string> texts;
  for (const auto &r : records) {
    if (r.logName.compare(0, logNamePrefix.size(), logNamePrefix) == 0) texts.push_back(r.text);
  }
  return texts;
}

std::size_t CapturingSink::Count(const std::string &text) const {
  std::lock_guard<std::mutex> lock(mtx);
  std::size_t n = 0;
  for (const auto &r : records) n += r.text == text ? 1 : 0;
  return n;
}

std::size_t CapturingSink::CountContaining(const std::string &fragment) const {
  std::lock_guard<std::mutex> lock(mtx);
  std::size_t n = 0;
  for (const auto &r : records) n += r.text.find(fragment) != std::string::npos ? 1 : 0;
  return n;
}

// The predicate runs with the sink's lock held; it must not log.
bool CapturingSink::WaitFor(const std::function<bool(const std::vector<LogRecord> &)> &predicate,
                            std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mtx);
  return cv.wait_for(lock, timeout, [&] { return predicate(records); });
}

bool CapturingSink::WaitForText(const std::string &text, std::size_t count, std::chrono::milliseconds timeout) {
  return WaitFor(
      [&](const std::vector<LogRecord> &recs) {
        std::size_t n = 0;
        for (const auto &r : recs) n += r.text == text ? 1 : 0;
        return n >= count;
      },
      timeout);
}

void CapturingSink::Clear() {
  std::lock_guard<std::mutex> lock(mtx);
  records.clear();
}

LogFacade::LogFacade(std::string name) : strName(std::move(name)), threshold_(State().level) {}

void LogFacade::Write(LogLevel level, const char *format, va_list args) {
  if (!IsEnabled(level)) return;
  try {
    LogRecord record;
    record.time = std::chrono::system_clock::now();
    record.level = level;
    record.logName = strName;
    record.thread = CurrentThreadId();
    AppendFormatV(record.text, kMaxRecordText, format, args);
    Dispatch(record);
  } catch (const std::bad_alloc &) {
    // No memory for the record: the line is lost, and the caller, often in
    // the middle of handling a failure already, goes on.
  }
}

#define VANTREL_LOG_VARIADIC(level)       \
  do {                                    \
    va_list args;                         \
    va_start(args, format);               \
    Write(level, format, args);           \
    va_end(args);                         \
  } while (false)

void LogFacade::Debug(const char *format, ...) { VANTREL_LOG_VARIADIC(LogLevel::Debug); }
void LogFacade::Info(const char *format, ...) { VANTREL_LOG_VARIADIC(LogLevel::Info); }
void LogFacade::Warn(const char *format, ...) { VANTREL_LOG_VARIADIC(LogLevel::Warn); }
void LogFacade::Error(const char *format, ...) { VANTREL_LOG_VARIADIC(LogLevel::Error); }

#undef VANTREL_LOG_VARIADIC

#define VANTREL_LOG_HANDLE_VARIADIC(level)                      \
  do {                                                          \
    if (!spFacade || !spFacade->IsEnabled(level)) return;       \
    va_list args;                                               \
    va_start(args, format);                                     \
    spFacade->Write(level, format, args);                       \
    va_end(args);                                               \
  } while (false)

void Log::Debug(const char *format, ...) const { VANTREL_LOG_HANDLE_VARIADIC(LogLevel::Debug); }
void Log::Info(const char *format, ...) const { VANTREL_LOG_HANDLE_VARIADIC(LogLevel::Info); }
void Log::Warn(const char *format, ...) const { VANTREL_LOG_HANDLE_VARIADIC(LogLevel::Warn); }
void Log::Error(const char *format, ...) const { VANTREL_LOG_HANDLE_VARIADIC(LogLevel::Error); }

#undef VANTREL_LOG_HANDLE_VARIADIC

Log LoggerFactory::GetLog(const std::string &name) {
  LoggingState &state = State();
  std::lock_guard<std::mutex> lock(state.mtxLogs);
  std::shared_ptr<LogFacade> &facade = state.logs[name];
  if (!facade) facade = std::make_shared<LogFacade>(name);
  return Log(facade);
}

void LoggerFactory::SetLevel(LogLevel level) { State().level.store(static_cast<int>(level)); }

LogLevel LoggerFactory::GetLevel() { return static_cast<LogLevel>(State().level.load()); }

void LoggerFactory::EnableStderr(bool enabled) { State().stderrEnabled.store(enabled); }

bool LoggerFactory::SetLogFile(const std::string &path, std::string *error) {
  LoggingState &state = State();
  int fd = -1;
  if (!path.empty()) {
    do {
#if defined(_WIN32)
      // The name is UTF-8; the runtime's narrow open would read it in the
      // ANSI code page.
      fd = ::_wopen(VantrelPlatform::FromUtf8(path).c_str(), VANTREL_LOG_FILE_FLAGS, _S_IREAD | _S_IWRITE);
#else
      fd = ::open(path.c_str(), VANTREL_LOG_FILE_FLAGS, 0644);
#endif
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
      if (error != nullptr) *error = "cannot open log file \"" + path + "\": " + std::strerror(errno);
      return false;
    }
  }
  int old;
  {
    std::lock_guard<std::mutex> lock(state.mtxSinks);
    old = state.fileFd;
    state.fileFd = fd;
  }
  if (old >= 0) ::close(old);
  return true;
}

void LoggerFactory::AddSink(const std::shared_ptr<LogSink> &sink) {
  if (!sink) return;
  LoggingState &state = State();
  std::lock_guard<std::mutex> lock(state.mtxSinks);
  for (const auto &s : state.sinks) {
    if (s == sink) return;
  }
  state.sinks.push_back(sink);
}

void LoggerFactory::RemoveSink(const std::shared_ptr<LogSink> &sink) {
  LoggingState &state = State();
  std::shared_ptr<LogSink> removed;  // released after the lock: its destructor may log
  std::lock_guard<std::mutex> lock(state.mtxSinks);
  for (auto it = state.sinks.begin(); it != state.sinks.end(); ++it) {
    if (*it == sink) {
      removed = *it;
      state.sinks.erase(it);
      break;
    }
  }
}

void LoggerFactory::Flush() {
  LoggingState &state = State();
  std::lock_guard<std::mutex> lock(state.mtxSinks);
  for (const auto &sink : state.sinks) {
    try {
      sink->Flush();
    } catch (...) {
      SinkFailed();
    }
  }
}

}  // namespace WindowsAgentCommon
