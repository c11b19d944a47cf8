// The notification monitor at the kernel's limit of inotify watches. The
// process first moves into a user namespace of its own, whose limits it may
// lower without touching anybody else's; where that cannot be done (a system
// that forbids it, a sanitizer whose helper thread is already running), the
// test is skipped and says why.
#include "monitor/nofsredirect/FileMonitorNoFSRedirect.h"
#include "support/TestSupport.h"

#include <Platform/TestHooks.h>

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

using namespace WindowsAgentCommon;
using namespace VantrelTest;

namespace {

std::string gNoNamespace;

bool WriteProc(const std::string &path, const std::string &text) {
  return static_cast<bool>(std::ofstream(path) << text << std::flush);
}

// Maps the caller's own user and group to root of the new namespace, as
// `unshare -r` does, with a mount namespace of its own; says why that cannot
// be done, or nothing.
std::string EnterOwnUserNamespace() {
  const std::string uid = std::to_string(::getuid()), gid = std::to_string(::getgid());
  if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return std::string("unshare: ") + std::strerror(errno);
  const bool mapped = WriteProc("/proc/self/setgroups", "deny") &&
                      WriteProc("/proc/self/uid_map", "0 " + uid + " 1") &&
                      WriteProc("/proc/self/gid_map", "0 " + gid + " 1");
  return mapped ? std::string() : "the user namespace's identity cannot be mapped";
}

const char kWatchLimit[] = "/proc/sys/user/max_inotify_watches";
const char kInstanceLimit[] = "/proc/sys/user/max_inotify_instances";

}  // namespace

// Without an inotify instance, and while the watch limit is reached, a
// directory is still judged by its own attributes; once room returns its
// notification is made again and a change of entry names alone (the write
// time put back) is reported.
TEST(WatchLimit, ADirectoryBeyondTheLimitIsJudgedByItsAttributesUntilRoomReturns) {
  if (!gNoNamespace.empty()) GTEST_SKIP() << "no user namespace of our own: " << gNoNamespace;
  LogCapture capture;
  TempDir dir;
  const std::string d1 = dir.Join("d1"), d2 = dir.Join("d2"), d3 = dir.Join("d3");
  for (const std::string &d : {d1, d2, d3}) {
    MakeDir(d);
    SetWriteTime(d, 1000000);  // a new entry moves the write time by whole seconds
  }
  Gate gate;
  RecordingSink clock, quiet, sink3;
  clock.onReport = [&](const std::int64_t &, unsigned int) { gate.Pass(); };
  FileMonitorNoFSRedirect monitor;
  // Only the directories' watches count here: without files' notifications
  // the clock's first check takes no watch that would race the limits.
  auto settings = FastSettings(1);
  settings.emplace("FileMonitor.FullCheckPeriodMillis", "0");
  monitor.Initialize(settings);
  monitor.AddMonitor(dir.WJoin("clock"), &clock, 0, 0, true);
  ASSERT_TRUE(WriteProc(kInstanceLimit, "0"));
  for (const std::string &d : {d1, d2}) monitor.AddMonitor(Wide(d), &quiet, 0, 0, false);
  ASSERT_TRUE(capture.WaitForText("There was a problem (Too many open files) when trying to reset notifications on directory " + d1 +
                                  "."));
  ASSERT_TRUE(WriteProc(kInstanceLimit, "1"));
  ASSERT_TRUE(WaitUntil([] { return VantrelPlatform::TestHooks::ChangeWatchCount() == 2; }));
  ASSERT_TRUE(WriteProc(kWatchLimit, "2"));

  monitor.AddMonitor(Wide(d3), &sink3, 0, 0, false);
  ASSERT_TRUE(capture.WaitForText("There was a problem (No space left on device) when trying to reset notifications on directory " + d3 +
                                  "."));
  MakeDir(d3 + "/by-attributes");
  EXPECT_TRUE(sink3.WaitForFlags(kDir | kModified));

  ASSERT_TRUE(WriteProc(kWatchLimit, "3"));
  ASSERT_TRUE(capture.WaitForText("Reset notifications on directory " + d3 + " successfully."));
  ASSERT_TRUE(clock.WaitForCount(clock.Count() + 3));
  const std::int64_t stamp = WriteTimeSeconds(d3);
  gate.Close();
  ASSERT_TRUE(gate.WaitHeld()) << "the only worker is held, so no check sees the directory in between";
  MakeDir(d3 + "/by-name");
  SetWriteTime(d3, stamp);
  sink3.Clear();
  gate.Open();
  EXPECT_TRUE(sink3.WaitForFlags(kDir | kModified));
  StopWithin(monitor);
  EXPECT_TRUE(quiet.NonZeroFlags().empty());
}

// A file that is a mount of its own has its events go to its source's
// directory, never to the watch of the directory it is seen in: it gets no
// notification of its own, and its checks read it.
TEST(WatchLimit, ABindMountedFileIsReadAtItsChecks) {
  if (!gNoNamespace.empty()) GTEST_SKIP() << "no user namespace of our own: " << gNoNamespace;
  TempDir dir;
  const std::string file = dir.Join("seen.log"), source = dir.Join("source.log");
  WriteFile(file, "a\n");
  WriteFile(source, "b\n");
  if (::mount(source.c_str(), file.c_str(), nullptr, MS_BIND, nullptr) != 0) {
    GTEST_SKIP() << "no bind mount: " << std::strerror(errno);
  }
  RecordingSink sink;
  FileMonitorNoFSRedirect monitor;
  auto settings = FastSettings(1);
  settings.emplace("FileMonitor.FullCheckPeriodMillis", "3600000");
  monitor.Initialize(settings);
  monitor.AddMonitor(Wide(file), &sink, 0, 0, false);
  ASSERT_TRUE(WaitUntil([&] { return monitor.GetStatistics().checks >= 3; }));
  // Without a notification of its own and with the full check an hour
  // away, a file taken for notified is never read again: no append is seen.
  // The append may move the write time too, so only the growth is looked for.
  AppendFile(file, "more\n");
  EXPECT_TRUE(WaitUntil([&] { return sink.AnyHas(kLarger); }));
  StopWithin(monitor);
  ::umount2(file.c_str(), MNT_DETACH);
}

int main(int argc, char **argv) {
  gNoNamespace = EnterOwnUserNamespace();  // before anything starts a thread
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
