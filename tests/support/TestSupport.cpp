#include "support/TestSupport.h"

#include <Platform/Win32Api.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace VantrelTest {

bool WaitUntil(const std::function<bool()> &condition, std::chrono::milliseconds deadline) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= end) {
      return condition();
    }
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

std::future<void> InBackground(std::function<void()> body) {
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> finished = done->get_future();
  std::thread([done, body = std::move(body)] {
    body();
    done->set_value();
  }).detach();
  return finished;
}

bool Finished(std::future<void> &work, std::chrono::milliseconds deadline) {
  return work.wait_for(deadline) == std::future_status::ready;
}

bool ReturnsWithin(std::function<void()> call, std::chrono::milliseconds deadline) {
  std::future<void> work = InBackground(std::move(call));
  return Finished(work, deadline);
}

TempDir::TempDir(const char *base) {
  if (base == nullptr) {
    base = std::getenv("TMPDIR");
  }
  std::string pattern = std::string(base != nullptr && *base != 0 ? base : "/tmp") + "/vantrel-test-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back(0);
  if (mkdtemp(buffer.data()) == nullptr) {
    ADD_FAILURE() << "mkdtemp failed: " << std::strerror(errno);
  }
  strPath = buffer.data();
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(strPath, ignored);
}

std::wstring TempDir::WJoin(const std::string &name) const { return Wide(Join(name)); }
std::wstring TempDir::WPath() const { return Wide(strPath); }

std::wstring Wide(const std::string &utf8) { return VantrelPlatform::FromUtf8(utf8); }
std::string Utf8(const std::wstring &text) { return VantrelPlatform::ToUtf8(text); }

namespace {
void WriteWithFlags(const std::string &path, const std::string &content, int flags) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | flags, 0644);
  ASSERT_GE(fd, 0) << path << ": " << std::strerror(errno);
  std::size_t done = 0;
  while (done < content.size()) {
    const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    ASSERT_GT(n, 0) << path << ": " << std::strerror(errno);
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
}
}  // namespace

void WriteFile(const std::string &path, const std::string &content) { WriteWithFlags(path, content, O_TRUNC); }
void AppendFile(const std::string &path, const std::string &content) { WriteWithFlags(path, content, O_APPEND); }

void TruncateFile(const std::string &path, std::size_t size) {
  ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(size)), 0) << path << ": " << std::strerror(errno);
}

void MakeDir(const std::string &path) {
  ASSERT_EQ(::mkdir(path.c_str(), 0755), 0) << path << ": " << std::strerror(errno);
}

void RemovePath(const std::string &path) {
  ASSERT_EQ(::remove(path.c_str()), 0) << path << ": " << std::strerror(errno);
}

void SetWriteTime(const std::string &path, std::int64_t seconds, long nanoseconds) {
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = static_cast<time_t>(seconds);
  times[1].tv_nsec = nanoseconds;
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path << ": " << std::strerror(errno);
}

std::int64_t WriteTimeSeconds(const std::string &path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    ADD_FAILURE() << path << ": " << std::strerror(errno);
    return 0;
  }
  return static_cast<std::int64_t>(st.st_mtim.tv_sec);
}

std::string ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::multimap<std::string, std::string> FastSettings(unsigned int threads) {
  return {
      {"FileMonitor.ReaderThreadsMin", std::to_string(threads)},
      {"EventLogMonitor.ScheduleExpirySweepPeriodMillis", "10"},
  };
}

void RecordingSink::OnFileChanged(const std::int64_t &key, unsigned int flags) {
  {
    std::lock_guard<std::mutex> guard(mtx);
    reports.push_back(Report{key, flags, std::chrono::steady_clock::now()});
  }
  cv.notify_all();
  if (onReport) {
    onReport(key, flags);
  }
}

std::vector<Report> RecordingSink::Reports() const {
  std::lock_guard<std::mutex> guard(mtx);
  return reports;
}

std::vector<unsigned int> RecordingSink::Flags() const {
  std::vector<unsigned int> flags;
  for (const Report &report : Reports()) {
    flags.push_back(report.flags);
  }
  return flags;
}

std::vector<unsigned int> RecordingSink::NonZeroFlags() const {
  std::vector<unsigned int> flags;
  for (const Report &report : Reports()) {
    if (report.flags != 0) {
      flags.push_back(report.flags);
    }
  }
  return flags;
}

std::size_t RecordingSink::Count() const {
  std::lock_guard<std::mutex> guard(mtx);
  return reports.size();
}

bool RecordingSink::AnyHas(unsigned int bit) const {
  for (unsigned int flags : NonZeroFlags()) {
    if ((flags & bit) != 0) {
      return true;
    }
  }
  return false;
}

bool RecordingSink::WaitForCount(std::size_t n, std::chrono::milliseconds deadline) const {
  std::unique_lock<std::mutex> lock(mtx);
  return cv.wait_for(lock, deadline, [&] { return reports.size() >= n; });
}

bool RecordingSink::WaitForFlags(unsigned int flags, std::chrono::milliseconds deadline) const {
  std::unique_lock<std::mutex> lock(mtx);
  return cv.wait_for(lock, deadline, [&] {
    for (const Report &report : reports) {
      if (report.flags == flags) {
        return true;
      }
    }
    return false;
  });
}

void RecordingSink::Clear() {
  std::lock_guard<std::mutex> guard(mtx);
  reports.clear();
}

void Gate::Close() {
  std::lock_guard<std::mutex> guard(mtx);
  closed = true;
}

void Gate::Open() {
  {
    std::lock_guard<std::mutex> guard(mtx);
    closed = false;
  }
  cv.notify_all();
}

void Gate::Pass() {
  std::unique_lock<std::mutex> lock(mtx);
  if (!closed) {
    return;
  }
  ++held;
  cv.notify_all();
  cv.wait_for(lock, kDeadline, [this] { return !closed; });
  --held;
}

bool Gate::WaitHeld(int n) {
  std::unique_lock<std::mutex> lock(mtx);
  return cv.wait_for(lock, kDeadline, [&] { return held >= n; });
}

LogCapture::LogCapture()
    : spSink(std::make_shared<WindowsAgentCommon::CapturingSink>()),
      previousLevel(WindowsAgentCommon::LoggerFactory::GetLevel()) {
  WindowsAgentCommon::LoggerFactory::AddSink(spSink);
  WindowsAgentCommon::LoggerFactory::EnableStderr(false);
  WindowsAgentCommon::LoggerFactory::SetLevel(WindowsAgentCommon::LogLevel::Debug);
}

LogCapture::~LogCapture() {
  WindowsAgentCommon::LoggerFactory::RemoveSink(spSink);
  WindowsAgentCommon::LoggerFactory::SetLevel(previousLevel);
  WindowsAgentCommon::LoggerFactory::EnableStderr(true);
}

std::vector<std::string> LogCapture::Texts(const std::string &prefix) const { return spSink->Texts(prefix); }
std::size_t LogCapture::Count(const std::string &text) const { return spSink->Count(text); }
std::size_t LogCapture::CountContaining(const std::string &fragment) const {
  return spSink->CountContaining(fragment);
}
bool LogCapture::WaitForText(const std::string &text, std::size_t count, std::chrono::milliseconds deadline) {
  return spSink->WaitForText(text, count, deadline);
}

}  // namespace VantrelTest
