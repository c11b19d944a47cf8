#include "support/TestSupport.h"

#include <Platform/Win32Api.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#if !defined(_WIN32)
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#endif

namespace VantrelTest {

namespace fs = std::filesystem;

bool WaitUntil(const std::function<bool()> &condition, std::chrono::milliseconds deadline) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= end) return condition();
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

bool ReturnsWithin(std::function<void()> call, std::chrono::milliseconds deadline) {
  std::future<void> work = InBackground(std::move(call));
  return Finished(work, deadline);
}

// The system's temporary directory (TMPDIR on POSIX, %TEMP% on Windows, so
// there a path with a drive letter and backslashes) unless `base` is given.
TempDir::TempDir(const char *base) {
  std::error_code ec;
  const fs::path parent = base != nullptr && *base != 0 ? fs::u8path(base) : fs::temp_directory_path(ec);
  std::mt19937_64 random(std::random_device{}());
  for (int attempt = 0; attempt < 100 && strPath.empty(); ++attempt) {
    const fs::path candidate = parent / ("vantrel-test-" + std::to_string(random() % 1000000000));
    if (fs::create_directory(candidate, ec)) strPath = candidate.u8string();
  }
  if (strPath.empty()) ADD_FAILURE() << "cannot make a temporary directory in " << parent.u8string() << ": " << ec.message();
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(fs::u8path(strPath), ignored);
}

std::string TempDir::Write(const std::string &name, const std::string &content) const {
  WriteFile(Join(name), content);
  return Join(name);
}

std::wstring Wide(const std::string &utf8) { return VantrelPlatform::FromUtf8(utf8); }
std::string Utf8(const std::wstring &text) { return VantrelPlatform::ToUtf8(text); }

namespace {
void WriteWithMode(const std::string &path, const std::string &content, std::ios::openmode mode) {
  std::ofstream out(fs::u8path(path), std::ios::binary | mode);
  ASSERT_TRUE(out.is_open()) << path << ": " << std::strerror(errno);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  out.close();
  ASSERT_FALSE(out.fail()) << path;
}
}  // namespace

void WriteFile(const std::string &path, const std::string &content) { WriteWithMode(path, content, std::ios::trunc); }
void AppendFile(const std::string &path, const std::string &content) { WriteWithMode(path, content, std::ios::app); }

void TruncateFile(const std::string &path, std::size_t size) {
  std::error_code ec;
  fs::resize_file(fs::u8path(path), size, ec);
  ASSERT_FALSE(ec) << path << ": " << ec.message();
}

void MakeDir(const std::string &path) {
  std::error_code ec;
  ASSERT_TRUE(fs::create_directory(fs::u8path(path), ec)) << path << ": " << ec.message();
}

void RemovePath(const std::string &path) {
  std::error_code ec;
  ASSERT_TRUE(fs::remove(fs::u8path(path), ec)) << path << ": " << ec.message();
}

void SetWriteTime(const std::string &path, std::int64_t seconds, long nanoseconds) {
#if defined(_WIN32)
  const HANDLE file = ::CreateFileW(Wide(path).c_str(), FILE_WRITE_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << path << ": error " << ::GetLastError();
  const std::uint64_t ticks = static_cast<std::uint64_t>(seconds * 10000000 + nanoseconds / 100) + 116444736000000000ull;
  const FILETIME written{static_cast<DWORD>(ticks & 0xFFFFFFFFu), static_cast<DWORD>(ticks >> 32)};
  const BOOL set = ::SetFileTime(file, nullptr, nullptr, &written);
  ::CloseHandle(file);
  ASSERT_TRUE(set) << path << ": error " << ::GetLastError();
#else
  const struct timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(seconds), nanoseconds}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path << ": " << std::strerror(errno);
#endif
}

std::int64_t WriteTimeSeconds(const std::string &path) {
  __stat64 st{};
  EXPECT_EQ(::_wstat64(Wide(path).c_str(), &st), 0) << path << ": " << std::strerror(errno);
  return static_cast<std::int64_t>(st.st_mtime);
}

void KeepingWriteTime(const std::string &path, const std::function<void()> &change) {
#if defined(_WIN32)
  // The C runtime opens no directory there to set its time: whole seconds,
  // by the system's own call.
  const std::int64_t seconds = WriteTimeSeconds(path);
  change();
  SetWriteTime(path, seconds);
#else
  std::error_code ec;
  const fs::file_time_type written = fs::last_write_time(fs::u8path(path), ec);
  change();
  if (!ec) fs::last_write_time(fs::u8path(path), written, ec);
  ASSERT_FALSE(ec) << path << ": " << ec.message();
#endif
}

std::string ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::size_t ThreadStacks() {
  std::size_t stacks = 0;
#if !defined(_WIN32)
  pthread_attr_t defaults;
  std::size_t size = 0, guard = 0;
  if (pthread_getattr_default_np(&defaults) != 0) return 0;
  pthread_attr_getstacksize(&defaults, &size);
  pthread_attr_getguardsize(&defaults, &guard);
  pthread_attr_destroy(&defaults);
  std::ifstream maps("/proc/self/maps");
  for (std::string line; std::getline(maps, line);) {
    unsigned long long from = 0, to = 0;
    char perms[5] = {};
    // The guard page is taken from the size or comes on top of it.
    if (std::sscanf(line.c_str(), "%llx-%llx %4s", &from, &to, perms) == 3 &&
        (to - from == size || to - from == size - guard) && std::string(perms) == "rw-p") {
      ++stacks;
    }
  }
#endif
  return stacks;
}

std::multimap<std::string, std::string> FastSettings(unsigned int threads) {
  return {{"FileMonitor.ReaderThreadsMin", std::to_string(threads)},
          {"EventLogMonitor.ScheduleExpirySweepPeriodMillis", "10"}};
}

void RecordingSink::OnFileChanged(const std::int64_t &key, unsigned int flags) {
  {
    std::lock_guard<std::mutex> guard(mtx);
    reports.push_back(Report{key, flags, std::chrono::steady_clock::now()});
  }
  cv.notify_all();
  if (onReport) onReport(key, flags);
}

std::vector<Report> RecordingSink::Reports() const {
  std::lock_guard<std::mutex> guard(mtx);
  return reports;
}

std::vector<unsigned int> RecordingSink::NonZeroFlags() const {
  std::vector<unsigned int> flags;
  for (const Report &report : Reports()) {
    if (report.flags != 0) flags.push_back(report.flags);
  }
  return flags;
}

std::size_t RecordingSink::Count() const {
  std::lock_guard<std::mutex> guard(mtx);
  return reports.size();
}

bool RecordingSink::AnyHas(unsigned int bit) const {
  const std::vector<unsigned int> flags = NonZeroFlags();
  return std::any_of(flags.begin(), flags.end(), [bit](unsigned int f) { return (f & bit) != 0; });
}

bool RecordingSink::WaitForCount(std::size_t n, std::chrono::milliseconds deadline) const {
  std::unique_lock<std::mutex> lock(mtx);
  return cv.wait_for(lock, deadline, [&] { return reports.size() >= n; });
}

bool RecordingSink::WaitForFlags(unsigned int flags, std::chrono::milliseconds deadline) const {
  std::unique_lock<std::mutex> lock(mtx);
  return cv.wait_for(lock, deadline, [&] {
    return std::any_of(reports.begin(), reports.end(), [flags](const Report &r) { return r.flags == flags; });
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
  if (!closed) return;
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

::testing::AssertionResult LogCapture::Logged(const std::map<std::string, std::size_t> &counts) const {
  std::map<std::string, std::size_t> logged;
  for (const auto &line : counts) logged[line.first] = Count(line.first);
  if (logged == counts) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "logged " << ::testing::PrintToString(logged);
}

}  // namespace VantrelTest
