// The notification monitor: its checks, driven one at a time on the test's
// thread where the flags are the point, and end to end through the sweep and
// the workers where the keys, the log lines and Stop are.
#include "monitor/nofsredirect/FileMonitorNoFSRedirect.h"
#include "support/TestSupport.h"

#if !defined(_WIN32)
#include <Platform/ChangeNotificationCalls.h>
#include <Platform/TestHooks.h>

#include <sys/inotify.h>
#include <unistd.h>
#endif
#include <Platform/Win32Api.h>
#include <VantrelCommon/Exceptions.h>

#include <algorithm>
#include <atomic>

using namespace WindowsAgentCommon;
using namespace VantrelTest;

namespace {

typedef CheckProbeTest<FileMonitorNoFSRedirect> NotificationChecks;
typedef LogAndDirTest NotificationMonitor;

#if !defined(_WIN32)
namespace TestHooks = VantrelPlatform::TestHooks;

// The system's change notifications, installed for the life of the object,
// but that the next `failures` opens fail with ERROR_NOT_ENOUGH_QUOTA, that
// files are refused, as on untrusted file systems, while `remote` is set,
// and that the next take says that the system dropped events once `dropped`
// is set.
struct FaultyChangeNotifications : VantrelPlatform::ChangeNotificationCallsWrapper {
  typedef VantrelPlatform::ChangeNotificationCallsWrapper System;
  typedef std::shared_ptr<VantrelPlatform::ChangeMailbox> Mailbox;
  FaultyChangeNotifications() { VantrelPlatform::InstallChangeNotificationCalls(this); }
  ~FaultyChangeNotifications() override { VantrelPlatform::InstallChangeNotificationCalls(nullptr); }
  HANDLE OpenFile(const std::wstring &path, const Mailbox &mailbox, std::uint64_t cookie) override {
    return remote || Fails() ? INVALID_HANDLE_VALUE : System::OpenFile(path, mailbox, cookie);
  }
  HANDLE OpenDirectory(const std::wstring &path, DWORD filter, const Mailbox &mailbox, std::uint64_t cookie) override {
    return Fails() ? INVALID_HANDLE_VALUE : System::OpenDirectory(path, filter, mailbox, cookie);
  }
  bool Take(VantrelPlatform::ChangeMailbox &mailbox, std::vector<std::uint64_t> &cookies) noexcept override {
    return System::Take(mailbox, cookies) | dropped.exchange(false);
  }
  bool Fails() { return failures > 0 && (--failures, SetLastError(ERROR_NOT_ENOUGH_QUOTA), true); }
  int failures = 0;  // set on the test's thread while no monitor runs
  std::atomic<bool> remote{false}, dropped{false};
};

// Another watcher of a file, counting the opens of it (the closes between
// them keep the system from merging one open with the next).
struct OpenWatcher {
  explicit OpenWatcher(const std::string &file) : fd(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    EXPECT_GE(inotify_add_watch(fd, file.c_str(), IN_OPEN | IN_CLOSE_NOWRITE), 0);
  }
  ~OpenWatcher() { ::close(fd); }
  // Opens since the last call.
  int Opens() {
    int opens = 0;
    alignas(inotify_event) char buffer[4096];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) {
      for (ssize_t at = 0; at < n; at += static_cast<ssize_t>(sizeof(inotify_event)) +
                                         reinterpret_cast<inotify_event *>(buffer + at)->len) {
        opens += (reinterpret_cast<inotify_event *>(buffer + at)->mask & IN_OPEN) != 0 ? 1 : 0;
      }
    }
    return opens;
  }
  const int fd;
};
#endif

}  // namespace

// ---------------------------------------------------------------------------
// The watched form and the log text of a path

// On POSIX a leading slash makes a path absolute and stays.
TEST(NotificationWatchedForm, TrimsSpacesAndSeparatorsOfTheSystem) {
  const std::map<std::wstring, std::wstring> cases = {
#if defined(_WIN32)
      // Spaces, backslashes and slashes go at both ends.
      {L"C:\\logs\\\\", L"C:\\logs"},
      {L"  C:\\logs\\ / ", L"C:\\logs"},
      {L"C:\\my a/b", L"C:\\my a/b"},
      {L"\\\\server\\share\\", L"server\\share"},
      {L"/var/log/", L"var/log"},
      {L" /\\/ ", L""},
#else
      {L"/var/log\\\\", L"/var/log"},
      {L"  /var/log/ / ", L"/var/log"},
      {L"/var/my a\\b", L"/var/my a\\b"},
      {L" /\\/ ", L"/"},
      {L"\\\\", L""},
#endif
      {L"   ", L""},
  };
  for (const auto &c : cases) EXPECT_EQ(std::wstring(NoFSRedirectFileData::WatchedForm(c.first)), c.second) << Utf8(c.first);
}

TEST(NotificationLogText, PathsOfAnyLengthAreWrittenWhole) {
  EXPECT_EQ(FileMonitorNoFSRedirect::Utf8ForLog(L"/var/\u00e9t\u00e9/\u65e5\u672c"),
            "/var/\xc3\xa9t\xc3\xa9/\xe6\x97\xa5\xe6\x9c\xac");
  // 16383 bytes and the terminator fill the buffer exactly; longer paths
  // are converted whole all the same.
  const std::wstring paths[] = {L"/var/log/app.log", L"", std::wstring(16383, L'a'), std::wstring(16384, L'a'),
                                std::wstring(40000, L'a'), std::wstring(10000, L'\u00e9')};
  for (const std::wstring &path : paths) {
    EXPECT_EQ(FileMonitorNoFSRedirect::Utf8ForLog(path), Utf8(path)) << path.size();
  }
}

// ---------------------------------------------------------------------------
// Directories

#if !defined(_WIN32)  // the platform layer's hooks
// The flags are in ReplacementTest; a directory's change notification goes
// with the directory and is made again when it returns.
TEST_F(NotificationChecks, ADirectoryHoldsNoNotificationWhileItIsGone) {
  const std::string d = dir.Join("d");
  MakeDir(d);
  const std::size_t handles = TestHooks::ChangeHandleCount();
  const std::wstring path = Watch("d");
  EXPECT_EQ(TestHooks::ChangeHandleCount(), handles + 1);
  RemovePath(d);
  EXPECT_EQ(probe.Check(path), static_cast<int>(kDir | kDeleted));
  EXPECT_EQ(TestHooks::ChangeHandleCount(), handles);
  MakeDir(d);
  EXPECT_EQ(probe.Check(path), static_cast<int>(kDir | kCreated));
  EXPECT_EQ(TestHooks::ChangeHandleCount(), handles + 1);
}

TEST_F(NotificationChecks, ANotificationThatCannotBeCreatedIsResetLater) {
  const std::string d = dir.Join("d");
  MakeDir(d);
  SetWriteTime(d, 2000000);
  const std::string problem = "There was a problem (" + VantrelPlatform::ErrorText(ERROR_NOT_ENOUGH_QUOTA) + ") when trying to ";
  const std::string failed = problem + "reset notifications on directory " + d + ".";
  const std::string reset = "Reset notifications on directory " + d + " successfully.";
  FaultyChangeNotifications calls;
  calls.failures = 7;
  const std::wstring path = Watch("d");  // the baseline's attempts (a file's, a directory's) fail silently
  EXPECT_EQ(probe.Record(path).hChange, INVALID_HANDLE_VALUE);

  SetWriteTime(d, 2000001);
  EXPECT_EQ(probe.Check(path), static_cast<int>(kDir | kModified)) << "its own write time still counts";
  for (int i = 0; i < 4; ++i) EXPECT_EQ(probe.Check(path), 0);
  EXPECT_TRUE(capture.Logged({{failed, 1}, {reset, 0}})) << "one warning about a path a minute, not one a check";
  EXPECT_EQ(probe.Check(path), 0);
  EXPECT_EQ(capture.Count(reset), 1u);

  MakeDir(d + "/sub");
  SetWriteTime(d, 2000001);
  EXPECT_EQ(probe.Check(path), static_cast<int>(kDir | kModified));
  EXPECT_EQ(capture.CountContaining("create notifications") + capture.CountContaining("Created notifications"), 0u);

  // A directory that appears: the warning names the creation, and the reset
  // that fails after it is not warned about again.
  const std::string e = dir.Join("e");
  const std::wstring later = Watch("e");
  EXPECT_EQ(probe.Check(later), 0);
  MakeDir(e);
  calls.failures = 2;
  for (const int flags : {static_cast<int>(kDir | kCreated), 0, 0}) EXPECT_EQ(probe.Check(later), flags);
  EXPECT_TRUE(capture.Logged({{problem + "create notifications on directory " + e + ".", 1},
                              {"Reset notifications on directory " + e + " successfully.", 1}}));
  EXPECT_EQ(capture.CountContaining(problem + "reset notifications on directory " + e), 0u);
  EXPECT_NE(probe.Record(later).hChange, INVALID_HANDLE_VALUE);
}
#endif

// ---------------------------------------------------------------------------
// Files spared by their notifications

#if !defined(_WIN32)
// Between full checks a file about which nothing was notified is not opened
// (another watcher sees no open), and whatever is done to it, or to its
// directory, is read at the next check; a change that no notification
// reaches (a write through a hard link in another directory) waits for the
// full check.
TEST_F(NotificationChecks, AFileIsReadOnlyWhenNotifiedOrAtItsFullCheck) {
  const std::string file = dir.Write("app.log", "a"), other = dir.Join("other");
  SetWriteTime(file, 1000000);
  OpenWatcher watcher(file);
  const std::wstring path = Watch("app.log");  // the notification is armed before the baseline's read
  const std::function<void()> quiet[] = {[&] {}, [&] {}, [&] { dir.Write("other", "x"); }, [&] { RemovePath(other); },
                                         [&] { probe.Record(path).nextFullCheck = 0; }};
  for (const auto &nothing : quiet) {
    nothing();
    EXPECT_EQ(probe.Check(path), 0);
  }
  EXPECT_EQ(watcher.Opens(), 0) << "none at the baseline, the first check, between full checks, "
                                   "nor at one that nothing fired before";

  const std::pair<std::function<void()>, unsigned int> changes[] = {
      {[&] { AppendFile(file, "b"); SetWriteTime(file, 1000001); }, kModified | kLarger},
      {[&] { SetWriteTime(file, 1000002); }, kModified},
      {[&] { WriteFile(file, ""); SetWriteTime(file, 1000002); }, kSmaller},
      {[&] { std::rename(file.c_str(), other.c_str()); }, kDeleted},
      {[&] { std::rename(other.c_str(), file.c_str()); }, kCreated},
      {[&] { RemovePath(file); }, kDeleted},
      {[&] { WriteFile(file, "new"); }, kCreated},
  };
  for (const auto &[change, flags] : changes) {
    change();
    EXPECT_EQ(probe.Check(path), static_cast<int>(flags)) << flags;
    EXPECT_EQ(probe.Check(path), 0) << flags;
  }

  const std::string elsewhere = dir.Join("elsewhere");
  MakeDir(elsewhere);
  ASSERT_EQ(::link(file.c_str(), (elsewhere + "/link").c_str()), 0);
  EXPECT_EQ(probe.Check(path), 0) << "the new name is in another directory";
  AppendFile(elsewhere + "/link", "more");
  EXPECT_EQ(probe.Check(path), 0) << "nothing notified, nothing read";
  // A link's target changes where no watch of the link's directory looks.
  const std::wstring linked = Watch("linked");
  ASSERT_EQ(::symlink((elsewhere + "/link").c_str(), dir.Join("linked").c_str()), 0);
  for (const unsigned int expected : {kCreated, kLarger, kLarger}) {
    EXPECT_EQ(probe.Check(linked) & ~static_cast<int>(kModified), static_cast<int>(expected)) << "through a link";
    AppendFile(elsewhere + "/link", "more");
  }
  probe.SetFullCheckPeriod(200);
  probe.Record(path).nextFullCheck = 0;
  EXPECT_EQ(probe.Check(path) & static_cast<int>(kLarger), static_cast<int>(kLarger)) << "a full check";
  AppendFile(elsewhere + "/link", "more");
  int flags = 0;
  EXPECT_TRUE(WaitUntil([&] { return (flags = probe.Check(path)) != 0; })) << "the next full check";
  EXPECT_EQ(flags & static_cast<int>(kLarger), static_cast<int>(kLarger));
}

// A full check at every check: with a full check period of 0 (the setting
// off), and on a file system whose notifications are not trusted.
TEST_F(NotificationChecks, FilesAreReadAtEveryCheckWithoutTrustedNotifications) {
  const std::string file = dir.Write("app.log", "a");
  const std::wstring path = Watch("app.log");
  FaultyChangeNotifications calls;
  for (const bool remote : {false, true}) {
    calls.remote = remote;
    probe.SetFullCheckPeriod(remote ? 3600000 : 0);
    probe.Record(path).nextFullCheck = 0;
    OpenWatcher watcher(file);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(probe.Check(path), 0);
    EXPECT_EQ(watcher.Opens(), 3) << (remote ? "remote" : "period 0");
  }
}

// With the setting on, a written file and a directory with a new entry are
// checked at the next sweep, long before their interval of 30 s; off, they
// wait for their interval.
TEST_F(NotificationMonitor, NotifiedPathsAreCheckedAtTheNextSweepOnlyWhenAsked) {
  struct Monitor : FileMonitorNoFSRedirect {
    // Whether the record's check now comes 30 s on (once it has taken its
    // baseline and armed its notification at an interval of 0).
    bool Slowed(const std::wstring &path) {
      MutexLock guard(mtxMonitor);
      FileRecord &record = *mapFiles.at(path);
      record.checkInterval = ACE_Time_Value(30);
      return !record.queued && record.nextCheck > VantrelPlatform::MonotonicNow() + ACE_Time_Value(20);
    }
  };
  Monitor monitors[2];
  RecordingSink sinks[2][2];
  std::string paths[2][2];
  for (const int on : {1, 0}) {
    auto settings = FastSettings();
    settings.emplace("FileMonitor.CheckWhenNotified", on ? "on" : "off");
    monitors[on].Initialize(settings);
    paths[on][0] = dir.Write(std::to_string(on) + ".log", "a");
    MakeDir(paths[on][1] = dir.Join(std::to_string(on)));
    for (const int i : {0, 1}) {
      // The file only reports its first check: between full checks the sweep
      // then spares its check without a message, until a notification.
      monitors[on].AddMonitorWithIdleReports(
          Wide(paths[on][i]), &sinks[on][i], 0, 0,
          i == 0 ? IFileMonitor::IDLE_REPORTS_UNTIL_PRESENT : IFileMonitor::IDLE_REPORTS_EVERY_CHECK);
      ASSERT_TRUE(sinks[on][i].WaitForCount(1 + i));
      ASSERT_TRUE(WaitUntil([&] { return monitors[on].Slowed(Wide(paths[on][i])); }));
      sinks[on][i].Clear();
    }
    AppendFile(paths[on][0], "b");
    dir.Write(std::to_string(on) + "/new", "");
  }
  EXPECT_TRUE(sinks[1][0].WaitForCount(1, std::chrono::seconds(10)) && sinks[1][0].AnyHas(kLarger));
  EXPECT_TRUE(sinks[1][1].WaitForFlags(kDir | kModified, std::chrono::seconds(10)));
  EXPECT_FALSE(sinks[0][0].WaitForCount(1, std::chrono::seconds(4)) || sinks[0][1].Count() > 0)
      << "checked before its interval";
  for (Monitor &monitor : monitors) StopWithin(monitor);
}

// A file that only its first check is reported of costs no check at all
// between full checks while nothing is notified about it; a notification,
// and events that the system dropped, bring its check back.
TEST_F(NotificationMonitor, UnchangedFilesCostNoCheckBetweenFullChecks) {
  FaultyChangeNotifications calls;
  FileMonitorNoFSRedirect monitor;
  auto settings = FastSettings();
  settings.emplace("FileMonitor.FullCheckPeriodMillis", "3600000");
  monitor.Initialize(settings);
  const std::string file = dir.Write("app.log", "a");
  RecordingSink sink;
  monitor.AddMonitorWithIdleReports(Wide(file), &sink, 0, 0, IFileMonitor::IDLE_REPORTS_UNTIL_PRESENT);
  ASSERT_TRUE(sink.WaitForCount(1));
  std::uint64_t settled = 0;
  const std::pair<std::function<void()>, std::function<bool()>> changes[] = {
      {[&] { AppendFile(file, "b"); }, [&] { return sink.AnyHas(kLarger); }},
      {[&] { calls.dropped = true; }, [&] { return monitor.GetStatistics().checks > settled; }}};
  for (const auto &[change, seen] : changes) {
    std::this_thread::sleep_for(300ms);
    settled = monitor.GetStatistics().checks;
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(monitor.GetStatistics().checks, settled) << "checked with nothing notified";
    change();
    EXPECT_TRUE(WaitUntil(seen));
  }
  StopWithin(monitor);
}
#endif

// ---------------------------------------------------------------------------
// End to end: sweep, queue, workers.

TEST_F(NotificationMonitor, RegistrationIsRefusedBeforeInitializeAndAfterStop) {
  RecordingSink sink;
  FileMonitorNoFSRedirect monitor;
  // Whether AddMonitor lets out the exception that names the path, and takes
  // in neither the path nor a worker.
  const auto refused = [&](const std::wstring &path) {
    try {
      monitor.AddMonitor(path, &sink, 10, 0, false);
    } catch (const InitializationException &e) {
      EXPECT_EQ(e.Message(), "FileMonitorNoFSRedirect - You can't add file " + Utf8(path) +
                                 " to the file monitor before you call Initialize()");
      EXPECT_EQ(e.Source(), "FileMonitorNoFSRedirect");
      EXPECT_EQ(e.Function(), "WindowsAgentCommon::FileMonitorNoFSRedirect::AddMonitor");
      return !monitor.IsMonitored(path) && monitor.thr_count() == 0;
    }
    return false;
  };
  const std::wstring early = dir.WJoin("\u00e9t\u00e9.log");
  EXPECT_TRUE(refused(early));
  monitor.Initialize(FastSettings());
  monitor.AddMonitor(early, &sink, 10, 0, false);
  EXPECT_TRUE(monitor.IsMonitored(early));
  EXPECT_EQ(monitor.thr_count(), 2u);
  monitor.Stop();
  EXPECT_TRUE(refused(dir.WJoin("late.log")));
}

// Each record keeps the key of its registered form and watches the trimmed
// one: a file registered with spaces around it, and a directory with and
// without a trailing slash, whose two records open their notifications on the
// directory without the slash and share the kernel watch.
TEST_F(NotificationMonitor, RegisteredFormsKeepTheirKeysAndShareWhatTheyWatch) {
  const std::string file = dir.Join("new.log");
  const std::wstring spaced = L"  " + Wide(file) + L"  ";
  const std::string d = dir.Join("logs");
  RecordingSink created, plain, slashed;
#if !defined(_WIN32)
  const std::size_t watches = TestHooks::ChangeWatchCount();
  const std::size_t handles = TestHooks::ChangeHandleCount();
#endif
  std::string threadLogs;
  {
    FileMonitorNoFSRedirect monitor;
    threadLogs = monitor.LogName() + ".thread.x";
    // Every check reads the file itself, so that the directory's are the only
    // notifications counted, whenever a check falls.
    auto settings = FastSettings();
    settings.emplace("FileMonitor.FullCheckPeriodMillis", "0");
    monitor.Initialize(settings);
    monitor.AddMonitor(spaced, &created, 0, 0, true);
    monitor.AddMonitor(Wide(d), &plain, 0, 0, true);
    monitor.AddMonitor(Wide(d + "/"), &slashed, 0, 0, true);
    ASSERT_TRUE(created.WaitForCount(1) && plain.WaitForCount(1) && slashed.WaitForCount(1)) << "the baselines";
    // Whole at once: a check between a creation and its write would see a growth too.
    WriteFile(dir.Join("new.tmp"), "x");
    ASSERT_EQ(std::rename(dir.Join("new.tmp").c_str(), file.c_str()), 0);
    MakeDir(d);
    ASSERT_TRUE(created.WaitForFlags(kCreated) && plain.WaitForFlags(kDir | kCreated) &&
                slashed.WaitForFlags(kDir | kCreated));
#if !defined(_WIN32)
    EXPECT_EQ(TestHooks::ChangeWatchCount(), watches + 1);
    EXPECT_EQ(TestHooks::ChangeHandleCount(), handles + 2);
#endif

    MakeDir(d + "/sub");
    ASSERT_TRUE(plain.WaitForFlags(kDir | kModified) && slashed.WaitForFlags(kDir | kModified));
    EXPECT_EQ(Named(monitor, created, true), (NamedReports{{spaced, kCreated}}));
    monitor.RemoveMonitor(spaced, &created);
    monitor.Stop();
    EXPECT_FALSE(monitor.IsMonitored(Wide(file))) << "the table is keyed by the registered form";
    for (const RecordingSink *sink : {&plain, &slashed}) {
      const std::wstring form = Wide(sink == &plain ? d : d + "/");
      EXPECT_EQ(Named(monitor, *sink, true), (NamedReports{{form, kDir | kCreated}, {form, kDir | kModified}}));
    }
  }
  // The log names the watched form, and neither registrations nor checks.
  EXPECT_TRUE(capture.Logged({{"File changed 1 - " + file, 1}, {"Removing monitor on " + Utf8(spaced), 1},
                              {"File changed 32769 - " + d, 2}, {"File changed 32770 - " + d, 2}}));
  EXPECT_EQ(capture.CountContaining("Adding monitor"), 0u);
  EXPECT_EQ(capture.CountContaining("CHECK File"), 0u);
  const auto onThreadLogs = capture.Texts(threadLogs);
  const std::string opened = "Created notifications on directory " + d + " successfully.";
  EXPECT_EQ(std::count(onThreadLogs.begin(), onThreadLogs.end(), opened), 2);
#if !defined(_WIN32)
  EXPECT_EQ(TestHooks::ChangeHandleCount(), handles) << "the records close their handles";
  EXPECT_EQ(TestHooks::ChangeWatchCount(), watches);
#endif
}
