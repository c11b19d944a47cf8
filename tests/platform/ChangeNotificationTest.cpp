// Change notifications on real directories, through the public calls only.
#include "PlatformTestSupport.h"

#include <Platform/TestHooks.h>

#include <fstream>

using namespace VantrelTest;
using VantrelPlatform::TestHooks::ChangeHandleCount;
using VantrelPlatform::TestHooks::ChangeWatchCount;

namespace {

constexpr DWORD kNames = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME;

HANDLE Watch(const std::string &dir, DWORD filter = kNames, BOOL subtree = FALSE) {
  return FindFirstChangeNotificationW(Wide(dir).c_str(), subtree, filter);
}

// A watch that the test needs. Failing to make it fails the test, and the
// invalid handle returned then fails every check made with it.
HANDLE Watched(const std::string &dir, DWORD filter = kNames) {
  HANDLE h = Watch(dir, filter);
  EXPECT_NE(INVALID_HANDLE_VALUE, h) << dir << ": " << VantrelPlatform::ErrorText(GetLastError());
  return h;
}

// The watches and the handles that the process holds now.
std::pair<std::size_t, std::size_t> Counts() { return {ChangeWatchCount(), ChangeHandleCount()}; }

// Polls like the monitor does: whether the handle was signalled, re-arming it.
// Bounded, so that a re-arm that leaves the handle signalled fails the test
// instead of spinning.
bool Changed(HANDLE h) {
  int rearmed = 0;
  for (; rearmed < 100 && WaitForSingleObject(h, 0) == WAIT_OBJECT_0; ++rearmed) FindNextChangeNotification(h);
  return rearmed > 0;
}

long ProcValue(const char *path) {
  long value = -1;
  std::ifstream(path) >> value;
  return value;
}

}  // namespace

// A handle starts unsignalled, a blocking wait wakes when an entry's name
// changes, and the filter tells files from directories. inotify watches one
// directory for entry names: a subtree or any other filter is refused.
TEST(ChangeNotification, SignalledByTheEntryNamesOfOneDirectoryOnly) {
  TempDir dir;
  // 0x10: last write.
  const std::pair<BOOL, DWORD> refused[] = {{TRUE, kNames}, {FALSE, 0}, {FALSE, 0x10}, {FALSE, kNames | 0x10}};
  for (const auto &[subtree, filter] : refused) {
    EXPECT_EQ(ERROR_INVALID_PARAMETER, FailureCode(Watch(dir.Path(), filter, subtree) == INVALID_HANDLE_VALUE))
        << subtree << " " << filter;
  }
  WriteFile(dir.Join("existing.log"), "x");
  MakeDir(dir.Join("nested"));
  HANDLE h = Watched(dir.Path());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(h, 30));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);
  // Usually lands while the wait blocks; the result is the same if not.
  std::future<void> writer = InBackground([&] {
    std::this_thread::sleep_for(100ms);
    WriteFile(dir.Join("new.log"), "x");
  });
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(h, 30000));
  ASSERT_TRUE(Finished(writer));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(h, 0)) << "stays signalled until re-armed";
  EXPECT_TRUE(FindNextChangeNotification(h));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(h, 0));

  // Each change, and whether it signalled the handles on entry names, on
  // file names only and on directory names only.
  const HANDLE handles[] = {h, Watched(dir.Path(), FILE_NOTIFY_CHANGE_FILE_NAME),
                            Watched(dir.Path(), FILE_NOTIFY_CHANGE_DIR_NAME)};
  const std::tuple<std::string, std::string, std::function<void()>> changes[] = {
      {"write into a file", "000", [&] { AppendFile(dir.Join("existing.log"), "more"); }},
      {"one level down", "000", [&] { WriteFile(dir.Join("nested/inner.log"), "x"); }},
      {"rename", "110",
       [&] { EXPECT_EQ(0, std::rename(dir.Join("new.log").c_str(), dir.Join("old.log").c_str())); }},
      {"delete", "110", [&] { RemovePath(dir.Join("old.log")); }},
      {"new file", "110", [&] { WriteFile(dir.Join("file"), "x"); }},
      {"new subdirectory", "101", [&] { MakeDir(dir.Join("subdir")); }},
      {"removed subdirectory", "101", [&] { RemovePath(dir.Join("subdir")); }}};
  for (const auto &[what, expected, change] : changes) {
    change();
    std::string signalled;
    for (HANDLE each : handles) signalled += Changed(each) ? "1" : "0";
    EXPECT_EQ(expected, signalled) << what;
  }
  for (HANDLE each : handles) EXPECT_TRUE(FindCloseChangeNotification(each));
}

// Handles on one directory share its watch; a closed handle's value is not
// handed out again at once. When the directory goes, every handle on it is
// signalled once and then dead; a new directory at the same path gets a
// watch of its own, which closing the old handles leaves alone.
TEST(ChangeNotification, HandlesOnOneDirectoryShareItsWatchUntilItGoes) {
  TempDir dir;
  const std::string path = dir.Join("gone");
  MakeDir(path);
  const std::size_t watches = ChangeWatchCount(), handles = ChangeHandleCount();
  HANDLE first = Watched(path);
  HANDLE second = Watched(path + "/");
  EXPECT_EQ(std::make_pair(watches + 1, handles + 2), Counts());
  WriteFile(path + "/a", "x");
  for (HANDLE h : {first, second}) EXPECT_TRUE(Changed(h));

  EXPECT_TRUE(FindCloseChangeNotification(first));
  EXPECT_EQ(std::make_pair(watches + 1, handles + 1), Counts());
  HANDLE third = Watched(path);
  EXPECT_NE(first, third);
  WriteFile(path + "/b", "x");
  EXPECT_TRUE(Changed(second));
  EXPECT_EQ(ERROR_INVALID_HANDLE, FailureCode(WaitForSingleObject(first, 0) == WAIT_FAILED));

  for (const char *name : {"/a", "/b", ""}) RemovePath(path + name);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(second, 0));
  EXPECT_EQ(watches, ChangeWatchCount()) << "the kernel dropped the watch";
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, FailureCode(!FindNextChangeNotification(second)));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(second, 0)) << "a dead handle is signalled once";

  MakeDir(path);
  HANDLE fresh = Watched(path);
  for (HANDLE h : {second, third}) EXPECT_TRUE(FindCloseChangeNotification(h));
  EXPECT_EQ(std::make_pair(watches + 1, handles + 1), Counts());
  WriteFile(path + "/file", "x");
  EXPECT_TRUE(Changed(fresh));
  EXPECT_TRUE(FindCloseChangeNotification(fresh));
  EXPECT_EQ(std::make_pair(watches, handles), Counts());
}

// A file's handle, on its directory's watch, is signalled by what is done to
// that file (written, truncated, its times set, renamed, deleted, made again)
// and by the loss of the watch, not by its neighbours; the directory's own
// handles still see entry names only.
TEST(ChangeNotification, AFileHandleIsSignalledByItsOwnFileOnly) {
  TempDir dir;
  const std::string sub = dir.Join("sub"), file = sub + "/app.log", neighbour = sub + "/other.log";
  MakeDir(sub);
  WriteFile(file, "a");
  WriteFile(neighbour, "a");
  HANDLE names = Watched(sub);
  HANDLE own = VantrelPlatform::OpenFileChangeNotification(Wide(file));
  ASSERT_NE(INVALID_HANDLE_VALUE, own);
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(own, 0));
  AppendFile(neighbour, "b");
  SetWriteTime(neighbour, 1000000);
  EXPECT_FALSE(Changed(own)) << "a neighbour written";
  const std::string moved = dir.Join("moved");
  const std::pair<std::function<void()>, bool> changes[] = {
      {[&] { AppendFile(file, "b"); }, false},
      {[&] { WriteFile(file, ""); }, false},
      {[&] { SetWriteTime(file, 1000000); }, false},
      {[&] { std::rename(file.c_str(), moved.c_str()); }, true},
      {[&] { std::rename(moved.c_str(), file.c_str()); }, true},
      {[&] { RemovePath(file); }, true},
      {[&] { WriteFile(file, "new"); }, true},
  };
  for (const auto &[change, named] : changes) {
    change();
    EXPECT_TRUE(Changed(own));
    EXPECT_EQ(named, Changed(names));
  }
  for (const char *path : {"/app.log", "/other.log", ""}) RemovePath(sub + path);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(own, 0)) << "the watch is lost";
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, FailureCode(!FindNextChangeNotification(own)));
  for (HANDLE h : {names, own}) EXPECT_TRUE(FindCloseChangeNotification(h));
  EXPECT_TRUE(VantrelPlatform::ChangeNotificationsTrusted(Wide(dir.Path()))) << "a local file system";
}

// The files of one directory share the kernel's answer for it, but not past
// its move: a file's handle made once its directory was moved away and made
// again watches the new one.
TEST(ChangeNotification, AFileHandleMadeAfterItsDirectoryMovedWatchesTheNewOne) {
  TempDir dir;
  const std::string sub = dir.Join("sub");
  MakeDir(sub);
  WriteFile(sub + "/a", "x");
  HANDLE before = VantrelPlatform::OpenFileChangeNotification(Wide(sub + "/a"));
  ASSERT_EQ(0, std::rename(sub.c_str(), dir.Join("old").c_str()));
  MakeDir(sub);
  WriteFile(sub + "/b", "x");
  EXPECT_TRUE(Changed(before)) << "its directory moved";
  HANDLE after = VantrelPlatform::OpenFileChangeNotification(Wide(sub + "/b"));
  AppendFile(sub + "/b", "y");
  EXPECT_TRUE(Changed(after));
  for (HANDLE h : {before, after}) EXPECT_TRUE(FindCloseChangeNotification(h));
}

// Many files of one directory, every other handle closed: each handle left
// is signalled by its own file only.
TEST(ChangeNotification, ManyFilesOfOneDirectoryEachSignalTheirOwnHandle) {
  TempDir dir;
  constexpr int kFiles = 300;
  const std::size_t handles = ChangeHandleCount();
  std::vector<HANDLE> own;
  for (int i = 0; i < kFiles; ++i) {
    WriteFile(dir.Join(std::to_string(i)), "x");
    own.push_back(VantrelPlatform::OpenFileChangeNotification(Wide(dir.Join(std::to_string(i)))));
    ASSERT_NE(INVALID_HANDLE_VALUE, own.back());
  }
  for (int i = 0; i < kFiles; i += 2) EXPECT_TRUE(FindCloseChangeNotification(own[i]));
  for (int i = 1; i < kFiles; i += 2) Changed(own[i]);  // the files' making may be read after their handles'
  for (int i = 0; i < kFiles; i += 3) AppendFile(dir.Join(std::to_string(i)), "y");
  for (int i = 1; i < kFiles; i += 2) EXPECT_EQ(i % 3 == 0, Changed(own[i])) << i;
  for (int i = 1; i < kFiles; i += 2) EXPECT_TRUE(FindCloseChangeNotification(own[i]));
  EXPECT_EQ(handles, ChangeHandleCount());
}

TEST(ChangeNotification, QueueOverflowSignalsEveryHandle) {
  const long queueLimit = ProcValue("/proc/sys/fs/inotify/max_queued_events");
  if (queueLimit <= 0 || queueLimit > 100000) GTEST_SKIP() << "inotify queue limit " << queueLimit;
  TempDir busy, quiet;
  HANDLE busyHandle = Watched(busy.Path()), quietHandle = Watched(quiet.Path());
  WriteFile(quiet.Join("file"), "x");
  const auto mailbox = VantrelPlatform::NewChangeMailbox();
  HANDLE quietFile = VantrelPlatform::OpenFileChangeNotification(Wide(quiet.Join("file")), mailbox, 1);
  Changed(quietFile);  // the file's making may be read after its handle's
  EXPECT_FALSE(Changed(quietFile));
  WriteFile(busy.Join("a"), "x");
  // Each rename queues two events; nothing reads them meanwhile.
  for (long i = 0; i < queueLimit / 2 + 100; ++i) {
    ASSERT_EQ(0, std::rename(busy.Join(i % 2 == 0 ? "a" : "b").c_str(), busy.Join(i % 2 == 0 ? "b" : "a").c_str()));
  }
  std::vector<std::uint64_t> posted;
  EXPECT_TRUE(VantrelPlatform::TakeChanges(*mailbox, posted)) << "the mailbox hears that events were dropped";
  for (HANDLE h : {quietHandle, busyHandle, quietFile}) EXPECT_TRUE(Changed(h));
  EXPECT_TRUE(FindCloseChangeNotification(quietFile));
  WriteFile(quiet.Join("later"), "x");
  EXPECT_TRUE(Changed(quietHandle)) << "still watching after the overflow";
  for (HANDLE h : {busyHandle, quietHandle}) EXPECT_TRUE(FindCloseChangeNotification(h));
}

TEST(ChangeNotification, TwentyThousandDirectoriesCostNoDescriptors) {
  constexpr int kDirectories = 20000;
  const long watchLimit = ProcValue("/proc/sys/fs/inotify/max_user_watches");
  if (watchLimit < 2 * kDirectories) GTEST_SKIP() << "inotify watch limit " << watchLimit;
  // Creating and removing 20,000 directories is many times faster in memory.
  TempDir dir(::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : nullptr);
  // The first handle, on the parent, makes the inotify instance; the one on
  // directory i is handles[i + 1].
  std::vector<HANDLE> handles = {Watched(dir.Path())};
  const int descriptors = OpenDescriptorCount();
  const std::size_t watches = ChangeWatchCount();
  DWORD failure = ERROR_SUCCESS;
  for (int i = 0; i < kDirectories && failure == ERROR_SUCCESS; ++i) {
    MakeDir(dir.Join(std::to_string(i)));
    handles.push_back(Watch(dir.Join(std::to_string(i))));
    failure = FailureCode(handles.back() == INVALID_HANDLE_VALUE);
  }
  EXPECT_EQ(descriptors, OpenDescriptorCount());
  if (failure == ERROR_SUCCESS) {
    EXPECT_EQ(watches + kDirectories, ChangeWatchCount());
    WriteFile(dir.Join("12345/file"), "x");
    EXPECT_EQ(std::make_pair(true, false), std::make_pair(Changed(handles[12346]), Changed(handles[12345])));
  }
  for (HANDLE h : handles) EXPECT_TRUE(h == INVALID_HANDLE_VALUE || FindCloseChangeNotification(h));
  EXPECT_EQ(watches - 1, ChangeWatchCount());
  // Other processes of this user may hold watches too.
  if (failure == ERROR_NOT_ENOUGH_QUOTA) GTEST_SKIP() << "the user's inotify watches ran out";
  EXPECT_EQ(ERROR_SUCCESS, failure) << VantrelPlatform::ErrorText(failure);
}

TEST(ChangeNotification, ConcurrentUseFromManyThreads) {
  TempDir dir;
  constexpr int kDirs = 4;
  for (int i = 0; i < kDirs; ++i) MakeDir(dir.Join(std::to_string(i)));
  const auto before = Counts();
  // Each worker makes and removes an entry of the directory that another one
  // watches, so that events arrive while watches come and go.
  std::vector<std::future<void>> workers;
  for (int t = 0; t < 4; ++t) {
    workers.push_back(InBackground([&, t] {
      for (int i = 0; i < 300; ++i) {
        const std::string entry = dir.Join(std::to_string((t + i + 1) % kDirs) + "/" + std::to_string(t));
        WriteFile(entry, "x");
        RemovePath(entry);
        HANDLE h = Watched(dir.Join(std::to_string((t + i) % kDirs)));
        Changed(h);
        ASSERT_TRUE(FindCloseChangeNotification(h));
      }
    }));
  }
  for (auto &worker : workers) ASSERT_TRUE(Finished(worker));
  EXPECT_EQ(before, Counts());
}
