// Change notifications on real directories, through the public calls only.
#include "PlatformTestSupport.h"

#include <Platform/TestHooks.h>

#include <cstdio>
#include <fstream>

using namespace VantrelTest;
using VantrelPlatform::TestHooks::ChangeHandleCount;
using VantrelPlatform::TestHooks::ChangeWatchCount;

namespace {

constexpr DWORD kNames = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME;

HANDLE Watch(const std::string &dir, DWORD filter = kNames) {
  return FindFirstChangeNotificationW(Wide(dir).c_str(), FALSE, filter);
}

// Polls like the monitor does: whether the handle was signalled, re-arming it.
// Bounded, so that a re-arm that leaves the handle signalled fails the test
// instead of spinning.
bool Changed(HANDLE h) {
  bool changed = false;
  for (int i = 0; i < 100 && WaitForSingleObject(h, 0) == WAIT_OBJECT_0; ++i) {
    changed = true;
    FindNextChangeNotification(h);
  }
  return changed;
}

long ProcValue(const char *path) {
  std::ifstream in(path);
  long value = -1;
  in >> value;
  return value;
}

}  // namespace

TEST(ChangeNotification, SignalledByEntryNamesOnly) {
  TempDir dir;
  WriteFile(dir.Join("existing.log"), "x");
  MakeDir(dir.Join("nested"));
  HANDLE h = Watch(dir.Path());
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(h, 0));

  AppendFile(dir.Join("existing.log"), "more");
  EXPECT_FALSE(Changed(h)) << "a write into an existing file";
  WriteFile(dir.Join("nested/inner.log"), "x");
  EXPECT_FALSE(Changed(h)) << "a change one level down";

  WriteFile(dir.Join("new.log"), "x");
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(h, 0));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(h, 0)) << "stays signalled until re-armed";
  EXPECT_TRUE(FindNextChangeNotification(h));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(h, 0));

  ASSERT_EQ(0, std::rename(dir.Join("new.log").c_str(), dir.Join("renamed.log").c_str()));
  EXPECT_TRUE(Changed(h)) << "rename";
  ASSERT_EQ(0, std::remove(dir.Join("renamed.log").c_str()));
  EXPECT_TRUE(Changed(h)) << "delete";
  MakeDir(dir.Join("subdir"));
  EXPECT_TRUE(Changed(h)) << "new subdirectory";
  ASSERT_EQ(0, ::rmdir(dir.Join("subdir").c_str()));
  EXPECT_TRUE(Changed(h)) << "removed subdirectory";
  EXPECT_TRUE(FindCloseChangeNotification(h));

  // The filter separates files from directories.
  HANDLE files = Watch(dir.Path(), FILE_NOTIFY_CHANGE_FILE_NAME);
  HANDLE dirs = Watch(dir.Path(), FILE_NOTIFY_CHANGE_DIR_NAME);
  ASSERT_NE(INVALID_HANDLE_VALUE, files);
  ASSERT_NE(INVALID_HANDLE_VALUE, dirs);
  MakeDir(dir.Join("sub2"));
  EXPECT_FALSE(Changed(files));
  EXPECT_TRUE(Changed(dirs));
  WriteFile(dir.Join("file"), "x");
  EXPECT_TRUE(Changed(files));
  EXPECT_FALSE(Changed(dirs));
  EXPECT_TRUE(FindCloseChangeNotification(files));
  EXPECT_TRUE(FindCloseChangeNotification(dirs));
}

// Handles on one directory share its watch; a closed handle's value is not
// handed out again at once. When the directory goes, every handle on it is
// signalled once and then dead; a new directory at the same path gets a
// watch of its own, which closing the old handles leaves alone.
TEST(ChangeNotification, HandlesOnOneDirectoryShareItsWatchUntilItGoes) {
  TempDir dir;
  const std::string path = dir.Join("gone");
  MakeDir(path);
  const std::size_t watches = ChangeWatchCount();
  const std::size_t handles = ChangeHandleCount();
  HANDLE first = Watch(path);
  HANDLE second = Watch(path + "/");
  ASSERT_NE(INVALID_HANDLE_VALUE, first);
  ASSERT_NE(INVALID_HANDLE_VALUE, second);
  EXPECT_NE(first, second);
  EXPECT_EQ(watches + 1, ChangeWatchCount());
  EXPECT_EQ(handles + 2, ChangeHandleCount());
  WriteFile(path + "/a", "x");
  EXPECT_TRUE(Changed(first));
  EXPECT_TRUE(Changed(second));

  EXPECT_TRUE(FindCloseChangeNotification(first));
  EXPECT_EQ(watches + 1, ChangeWatchCount());
  HANDLE third = Watch(path);
  EXPECT_NE(first, third);
  WriteFile(path + "/b", "x");
  EXPECT_TRUE(Changed(second));
  EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(first, 0));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());

  RemovePath(path + "/a");
  RemovePath(path + "/b");
  ASSERT_EQ(0, ::rmdir(path.c_str()));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(second, 0));
  EXPECT_EQ(watches, ChangeWatchCount()) << "the kernel dropped the watch";
  EXPECT_FALSE(FindNextChangeNotification(second));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetLastError());
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(second, 0)) << "a dead handle is signalled once";

  MakeDir(path);
  HANDLE fresh = Watch(path);
  ASSERT_NE(INVALID_HANDLE_VALUE, fresh);
  EXPECT_TRUE(FindCloseChangeNotification(second));
  EXPECT_TRUE(FindCloseChangeNotification(third));
  EXPECT_EQ(watches + 1, ChangeWatchCount());
  WriteFile(path + "/file", "x");
  EXPECT_TRUE(Changed(fresh));
  EXPECT_TRUE(FindCloseChangeNotification(fresh));
  EXPECT_EQ(watches, ChangeWatchCount());
  EXPECT_EQ(handles, ChangeHandleCount());
}

// inotify watches one directory for entry names: anything else is refused.
TEST(ChangeNotification, SubtreesAndOtherFiltersAreRefused) {
  TempDir dir;
  EXPECT_EQ(INVALID_HANDLE_VALUE, FindFirstChangeNotificationW(Wide(dir.Path()).c_str(), TRUE, kNames));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
  for (DWORD filter : {DWORD{0}, DWORD{0x10}, DWORD{kNames | 0x10}}) {  // 0x10: last write
    EXPECT_EQ(INVALID_HANDLE_VALUE, Watch(dir.Path(), filter));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
  }
}

TEST(ChangeNotification, QueueOverflowSignalsEveryHandle) {
  const long queueLimit = ProcValue("/proc/sys/fs/inotify/max_queued_events");
  if (queueLimit <= 0 || queueLimit > 100000) {
    GTEST_SKIP() << "inotify queue limit " << queueLimit;
  }
  TempDir busy;
  TempDir quiet;
  HANDLE busyHandle = Watch(busy.Path());
  HANDLE quietHandle = Watch(quiet.Path());
  ASSERT_NE(INVALID_HANDLE_VALUE, busyHandle);
  ASSERT_NE(INVALID_HANDLE_VALUE, quietHandle);
  WriteFile(busy.Join("a"), "x");
  // Each rename queues two events; nothing reads them meanwhile.
  for (long i = 0; i < queueLimit / 2 + 100; ++i) {
    ASSERT_EQ(0, std::rename(busy.Join(i % 2 == 0 ? "a" : "b").c_str(), busy.Join(i % 2 == 0 ? "b" : "a").c_str()));
  }
  EXPECT_TRUE(Changed(quietHandle));
  EXPECT_TRUE(Changed(busyHandle));
  WriteFile(quiet.Join("later"), "x");
  EXPECT_TRUE(Changed(quietHandle)) << "still watching after the overflow";
  EXPECT_TRUE(FindCloseChangeNotification(busyHandle));
  EXPECT_TRUE(FindCloseChangeNotification(quietHandle));
}

TEST(ChangeNotification, TwentyThousandDirectoriesCostNoDescriptors) {
  constexpr int kDirectories = 20000;
  if (ProcValue("/proc/sys/fs/inotify/max_user_watches") < 2 * kDirectories) {
    GTEST_SKIP() << "inotify watch limit too low";
  }
  // Creating and removing 20,000 directories is many times faster in memory.
  TempDir dir(::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : nullptr);
  HANDLE first = Watch(dir.Path());  // the inotify instance exists from here on
  ASSERT_NE(INVALID_HANDLE_VALUE, first);
  const int descriptors = OpenDescriptorCount();
  const std::size_t watches = ChangeWatchCount();
  std::vector<HANDLE> handles;
  DWORD failure = ERROR_SUCCESS;
  for (int i = 0; i < kDirectories && failure == ERROR_SUCCESS; ++i) {
    MakeDir(dir.Join(std::to_string(i)));
    HANDLE h = Watch(dir.Join(std::to_string(i)));
    failure = h == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    if (h != INVALID_HANDLE_VALUE) handles.push_back(h);
  }
  EXPECT_EQ(descriptors, OpenDescriptorCount());
  if (failure == ERROR_SUCCESS) {
    EXPECT_EQ(watches + kDirectories, ChangeWatchCount());
    WriteFile(dir.Join("12345/file"), "x");
    EXPECT_TRUE(Changed(handles[12345]));
    EXPECT_FALSE(Changed(handles[12344]));
  }
  for (HANDLE h : handles) EXPECT_TRUE(FindCloseChangeNotification(h));
  EXPECT_TRUE(FindCloseChangeNotification(first));
  EXPECT_EQ(watches - 1, ChangeWatchCount());
  // Other processes of this user may hold watches too.
  if (failure == ERROR_NOT_ENOUGH_QUOTA) GTEST_SKIP() << "the user's inotify watches ran out";
  EXPECT_EQ(ERROR_SUCCESS, failure) << VantrelPlatform::ErrorText(failure);
}

TEST(ChangeNotification, BlockingWaitWakesOnAChange) {
  TempDir dir;
  HANDLE h = Watch(dir.Path());
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(h, 30));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
  // Usually lands while the wait blocks; the result is the same if not.
  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    WriteFile(dir.Join("file"), "x");
  });
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(h, 30000));
  writer.join();
  EXPECT_TRUE(FindCloseChangeNotification(h));
}

TEST(ChangeNotification, ConcurrentUseFromManyThreads) {
  TempDir dir;
  constexpr int kDirs = 4;
  for (int i = 0; i < kDirs; ++i) {
    MakeDir(dir.Join(std::to_string(i)));
  }
  const std::size_t watches = ChangeWatchCount();
  const std::size_t handles = ChangeHandleCount();
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (int i = 0; !stop; ++i) {
      const std::string path = dir.Join(std::to_string(i % kDirs) + "/f");
      WriteFile(path, "x");
      std::remove(path.c_str());
    }
  });
  std::vector<std::thread> workers;
  for (int t = 0; t < 4; ++t) {
    workers.emplace_back([&, t] {
      for (int i = 0; i < 300; ++i) {
        HANDLE h = Watch(dir.Join(std::to_string((t + i) % kDirs)));
        ASSERT_NE(INVALID_HANDLE_VALUE, h);
        Changed(h);
        ASSERT_TRUE(FindCloseChangeNotification(h));
      }
    });
  }
  for (auto &worker : workers) {
    worker.join();
  }
  stop = true;
  writer.join();
  EXPECT_EQ(watches, ChangeWatchCount());
  EXPECT_EQ(handles, ChangeHandleCount());
}
