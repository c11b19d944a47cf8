// Helpers shared by the tests: temporary directories, a receiver that
// records what it is told, a log capture, waiting for a condition, and a
// probe that runs a monitor's checks on the test's thread.
#ifndef VANTREL_TESTS_TESTSUPPORT_H
#define VANTREL_TESTS_TESTSUPPORT_H

#include "monitor/IFileMonitor.h"
#include "monitor/IFileMonitorSink.h"

#include <VantrelCommon/Logger.h>
#include <VantrelCommon/SecurityManager.h>
#include <VantrelCommon/ServiceComponent.h>

#include <Platform/FileIdentityCalls.h>
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <Platform/SystemClock.h>
#endif

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstdint>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace VantrelTest {

using namespace std::chrono_literals;

// The path separator of the system's own paths.
#if defined(_WIN32)
const char kSeparator = '\\';
#else
const char kSeparator = '/';
#endif

// Generous: the machines are shared and slow.
const std::chrono::milliseconds kDeadline = std::chrono::seconds(20);

// Polls `condition` every few milliseconds until it holds or the deadline
// passes; returns whether it holds.
bool WaitUntil(const std::function<bool()> &condition, std::chrono::milliseconds deadline = kDeadline);

// Runs `body` on a thread of its own, which is left behind should the body
// hang, so that a test fails in seconds instead of hanging (and then leaks
// what the body touches). Finished waits for it up to the deadline.
std::future<void> InBackground(std::function<void()> body);
inline bool Finished(std::future<void> &work, std::chrono::milliseconds deadline = kDeadline) {
  return work.wait_for(deadline) == std::future_status::ready;
}
bool ReturnsWithin(std::function<void()> call, std::chrono::milliseconds deadline = kDeadline);
// Returns `done`. When it is false, gives up `object` without destroying it:
// a thread that hangs in it still uses it, so the failing test leaks it.
template <class T>
bool LeakUnless(bool done, std::unique_ptr<T> &object) {
  if (!done) object.release();
  return done;
}

// Runs Stop on a thread of its own; a Stop that has not returned by the
// deadline ends the test process, since the monitor cannot be destroyed
// under it. Inline, so that suites which never touch a monitor do not link
// against its type information (the sanitizer builds' vptr checks refer to it).
inline void StopWithin(WindowsAgentCommon::IFileMonitor &monitor, std::chrono::milliseconds deadline = kDeadline) {
  std::future<void> stopped = InBackground([&monitor] { monitor.Stop(); });
  if (!Finished(stopped, deadline)) {
    std::fprintf(stderr, "Stop did not return within %lld ms\n", static_cast<long long>(deadline.count()));
    std::abort();
  }
}

std::wstring Wide(const std::string &utf8);
std::string Utf8(const std::wstring &text);

// A directory under `base` ($TMPDIR or /tmp when null), removed with
// everything in it when the object goes.
class TempDir {
 public:
  explicit TempDir(const char *base = nullptr);
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;

  const std::string &Path() const { return strPath; }
  std::string Join(const std::string &name) const { return strPath + kSeparator + name; }
  std::wstring WJoin(const std::string &name) const { return Wide(Join(name)); }
  std::wstring WPath() const { return Wide(strPath); }
  // Writes `content` to the file `name` in the directory; returns its path.
  std::string Write(const std::string &name, const std::string &content) const;

 private:
  std::string strPath;
};

// File helpers; each fails the current test on error.
void WriteFile(const std::string &path, const std::string &content);   // truncates
void AppendFile(const std::string &path, const std::string &content);
void TruncateFile(const std::string &path, std::size_t size);
void MakeDir(const std::string &path);
void RemovePath(const std::string &path);  // file or empty directory
// Sets the last-write time to `seconds` since 1970 (+ nanoseconds).
void SetWriteTime(const std::string &path, std::int64_t seconds, long nanoseconds = 0);
std::int64_t WriteTimeSeconds(const std::string &path);
// Runs `change`, then puts the write time of `path` back to what it was.
void KeepingWriteTime(const std::string &path, const std::function<void()> &change);
std::string ReadFile(const std::string &path);

// The memory mappings of the size of a default thread stack: the stacks of
// the threads that run, that ended but were not joined, and that the C
// library keeps for reuse (0 where the system does not say).
std::size_t ThreadStacks();

// The change flags, usable as values.
const unsigned int kCreated = WindowsAgentCommon::IFileMonitorSink::FILE_MON_CHANGE_CREATED;
const unsigned int kModified = WindowsAgentCommon::IFileMonitorSink::FILE_MON_CHANGE_MODIFICATION_TIME;
const unsigned int kSmaller = WindowsAgentCommon::IFileMonitorSink::FILE_MON_CHANGE_SIZE_SMALLER;
const unsigned int kLarger = WindowsAgentCommon::IFileMonitorSink::FILE_MON_CHANGE_SIZE_LARGER;
const unsigned int kDeleted = WindowsAgentCommon::IFileMonitorSink::FILE_MON_CHANGE_DELETED;
const unsigned int kReverted = WindowsAgentCommon::IFileMonitorSink::FILE_MON_CHANGE_SIZE_REVERTED;
const unsigned int kDir = WindowsAgentCommon::IFileMonitorSink::FILE_MON_CHANGE_TYPE_IS_DIRECTORY;
const unsigned int kReplaced = WindowsAgentCommon::IFileMonitorSink::FILE_MON_CHANGE_REPLACED;

// What every worker logs on its way out, after a quit or retire message.
const char kQuitLine[] =
    "We have no more work to do and we are considered to be an extra thread (or we are quitting). Exiting.";

// A pool floor of `threads` and a sweep every 10 ms.
std::multimap<std::string, std::string> FastSettings(unsigned int threads = 2);

// Reaches the checks of one record without threads or timers: the pool floor
// is 0, the monitor counts as running so that it accepts registrations, and
// Check runs what a worker runs. Monitor is a concrete monitor kind.
template <class Monitor>
class CheckProbe : public Monitor {
 public:
  typedef typename Monitor::FileData FileData;
  explicit CheckProbe(bool reportReplacement = false) {
    this->usReaderThreadsMin = 0;
    this->bInitialized = true;
    this->reportReplacement = reportReplacement;
  }
  void SetFullCheckPeriod(unsigned int millis) { this->fullCheckPeriodMillis = millis; }
  FileData &Record(const std::wstring &path) { return static_cast<FileData &>(*this->mapFiles.at(path)); }
  int Check(const std::wstring &path) {
    FileData &record = Record(path);
    if (!this->HasAcceptedState(record)) this->InitialScan(record);
    return this->CheckFile(record, this->log, {});
  }
  // Takes the record's baseline, as a worker does before its first check.
  void Baseline(const std::wstring &path) { this->InitialScan(Record(path)); }
};

struct Report {
  std::int64_t key;
  unsigned int flags;
  std::chrono::steady_clock::time_point when;
};

// Records every OnFileChanged call. Thread-safe.
class RecordingSink : public WindowsAgentCommon::IFileMonitorSink {
 public:
  void OnFileChanged(const std::int64_t &key, unsigned int flags) override;

  std::vector<Report> Reports() const;
  std::vector<unsigned int> NonZeroFlags() const;  // in arrival order
  // Whether any report so far has this bit.
  bool AnyHas(unsigned int bit) const;
  std::size_t Count() const;
  // Waits until at least `n` reports have arrived.
  bool WaitForCount(std::size_t n, std::chrono::milliseconds deadline = kDeadline) const;
  // Waits for `n` reports beyond those already received.
  bool WaitForMore(std::size_t n) const { return WaitForCount(Count() + n); }
  // Waits until a report with exactly these flags has arrived.
  bool WaitForFlags(unsigned int flags, std::chrono::milliseconds deadline = kDeadline) const;
  void Clear();

  // Called (outside the sink's lock) at every report, on the worker thread.
  std::function<void(const std::int64_t &, unsigned int)> onReport;

 private:
  mutable std::mutex mtx;
  mutable std::condition_variable cv;
  std::vector<Report> reports;
};

// The receiver's reports (or only those with flags) in arrival order, each as
// the path that the monitor gives for its key, and its flags.
typedef std::vector<std::pair<std::wstring, unsigned int>> NamedReports;
inline NamedReports Named(WindowsAgentCommon::IFileMonitor &monitor, const RecordingSink &sink,
                          bool changesOnly = false) {
  NamedReports named;
  for (const Report &r : sink.Reports()) {
    if (r.flags != 0 || !changesOnly) named.emplace_back(monitor.GetFilename(r.key), r.flags);
  }
  return named;
}

// Holds the threads that pass through it: while the gate is closed, every
// call of Pass blocks (never longer than the deadline, so that a failing test
// cannot hang the suite). A test uses it to keep a callback in flight, or to
// keep workers busy on purpose from a receiver's OnFileChanged. Thread-safe.
class Gate {
 public:
  enum State { kOpen, kClosed };
  explicit Gate(State state = kOpen) : closed(state == kClosed) {}
  void Close();
  void Open();
  void Pass();
  // Waits until at least `n` threads are held.
  bool WaitHeld(int n = 1);

 private:
  std::mutex mtx;
  std::condition_variable cv;
  bool closed;
  int held = 0;
};

// Installs a CapturingSink at Debug level for the test's lifetime and
// restores the previous level and stderr output afterwards.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  WindowsAgentCommon::CapturingSink &Sink() { return *spSink; }
  std::vector<std::string> Texts(const std::string &prefix = {}) const { return spSink->Texts(prefix); }
  std::size_t Count(const std::string &text) const { return spSink->Count(text); }
  std::size_t CountContaining(const std::string &fragment) const { return spSink->CountContaining(fragment); }
  // Succeeds when each line has been logged exactly as many times as given.
  ::testing::AssertionResult Logged(const std::map<std::string, std::size_t> &counts) const;
  bool WaitForText(const std::string &text, std::size_t count = 1, std::chrono::milliseconds deadline = kDeadline) {
    return spSink->WaitForText(text, count, deadline);
  }

 private:
  std::shared_ptr<WindowsAgentCommon::CapturingSink> spSink;
  WindowsAgentCommon::LogLevel previousLevel;
};

// The system's security manager, registered as the host's for the life of
// the object.
struct RegisteredSecurityManager {
  RegisteredSecurityManager() { WindowsAgentCommon::RegisterService(GetServiceName(), &manager); }
  ~RegisteredSecurityManager() { WindowsAgentCommon::UnregisterService(GetServiceName()); }
  static std::string GetServiceName() { return WindowsAgentCommon::ISecurityManager::GetServiceName(); }
  WindowsAgentCommon::PlatformSecurityManager manager;
};

#if !defined(_WIN32)
// The system's time of day `step` microseconds off (back when negative),
// installed for the life of the object; the monotonic clock is left alone.
struct SteppedClock : VantrelPlatform::SystemClock {
  SteppedClock() { VantrelPlatform::InstallSystemClock(this); }
  ~SteppedClock() override { VantrelPlatform::InstallSystemClock(nullptr); }
  struct timespec Now() override {
    const struct timespec now = System().Now();
    const std::int64_t nanos = (now.tv_sec * 1000000LL + step.load()) * 1000 + now.tv_nsec;
    return {static_cast<time_t>(nanos / 1000000000), static_cast<long>(nanos % 1000000000)};
  }
  std::atomic<std::int64_t> step{0};
};
#endif

// The system's identity reads, installed for the life of the object, but
// that the next `failures` of them fail, as when the file goes between the
// two reads: GetFileAttributesAndIdentity and Stat64AndIdentity leave the
// identity unknown, IdentityOfHandle returns false.
struct FailingIdentityReads : VantrelPlatform::FileIdentityCalls {
  FailingIdentityReads() { VantrelPlatform::InstallFileIdentityCalls(this); }
  ~FailingIdentityReads() override { VantrelPlatform::InstallFileIdentityCalls(nullptr); }
  BOOL AttributesAndIdentity(LPCWSTR path, WIN32_FILE_ATTRIBUTE_DATA *attributes,
                             std::optional<VantrelPlatform::FileIdentity> *identity) override {
    const int before = failures.load();
    if (!System().AttributesAndIdentity(path, attributes, identity)) return FALSE;
    // On Windows the system's read asks OfHandle, which may have failed it.
    if (failures.load() == before && Fails()) identity->reset();
    return TRUE;
  }
  int StatAndIdentity(const wchar_t *path, __stat64 *buffer,
                      std::optional<VantrelPlatform::FileIdentity> *identity) override {
    const int before = failures.load();
    if (System().StatAndIdentity(path, buffer, identity) != 0) return -1;
    if (identity != nullptr && failures.load() == before && Fails()) identity->reset();
    return 0;
  }
  bool OfHandle(HANDLE file, VantrelPlatform::FileIdentity &identity) override {
    return !Fails() && System().OfHandle(file, identity);
  }
  bool Fails() {
    for (int left = failures.load(); left > 0;) {
      if (failures.compare_exchange_weak(left, left - 1)) return true;
    }
    return false;
  }
  std::atomic<int> failures{0};
};

// A log capture and a directory.
class LogAndDirTest : public ::testing::Test {
 protected:
  LogCapture capture;
  TempDir dir;
};

// A probe, a receiver, a log capture and a directory, for the tests of one
// monitor kind's checks.
template <class Monitor>
class CheckProbeTest : public LogAndDirTest {
 protected:
  // Registers the path and takes its baseline.
  std::wstring Watch(const std::string &name) {
    const std::wstring path = dir.WJoin(name);
    probe.AddMonitor(path, &sink, 1000, 0, false);
    probe.Baseline(path);
    return path;
  }

  RecordingSink sink;
  CheckProbe<Monitor> probe;
};

}  // namespace VantrelTest

#endif  // VANTREL_TESTS_TESTSUPPORT_H
