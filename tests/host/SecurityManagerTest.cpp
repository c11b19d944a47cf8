#include "support/TestSupport.h"

#include <Platform/Win32Api.h>

#include <algorithm>
#include <cerrno>
#include <climits>

using namespace WindowsAgentCommon;

// Handle 0 is the process's own identity and cannot be set; a handle that
// the table does not know is refused, as the thread's last error too. The
// table needs no privilege; on Windows it holds handle 0 only, and no text
// gives credentials.
TEST(SecurityManager, HandleZeroIsTheProcessAndUnknownHandlesAreRefused) {
  PlatformSecurityManager manager;
  EXPECT_TRUE(manager.HasCredentials(0) && !manager.HasCredentials(9) && !manager.SetCredentials(0, {1, 1, {}}));
  EXPECT_EQ(0, manager.SwitchToCredentials(0));
  EXPECT_EQ(static_cast<int>(ERROR_INVALID_HANDLE), manager.SwitchToCredentials(424242));
  EXPECT_EQ(ERROR_INVALID_HANDLE, ::GetLastError());
  manager.RevertCredentials();
#if defined(_WIN32)
  EXPECT_FALSE(manager.SetCredentials(9, {1, 1, {}}));
  PosixCredentials creds;
  std::string error;
  EXPECT_FALSE(ProcessSecurityManager::ParseCredentials("1000:1000", creds, error));
  EXPECT_NE(std::string::npos, error.find("Windows")) << error;
#else
  EXPECT_TRUE(manager.SetCredentials(9, {1, 1, {}}) && manager.HasCredentials(9));
  manager.RemoveCredentials(9);
  EXPECT_FALSE(manager.HasCredentials(9));
#endif
}

#if !defined(_WIN32)

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

using VantrelTest::kDeadline;

namespace {

const std::uint64_t kNobodyHandle = 7;
const unsigned int kNobody = 65534;

unsigned int ThreadFsuid() { return static_cast<unsigned int>(::syscall(SYS_setfsuid, -1)); }

// errno of opening `path` for reading on the calling thread; 0 if it opened.
int OpenError(const std::string &path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  ::close(fd);
  return 0;
}

unsigned int ThreadFsgid() { return static_cast<unsigned int>(::syscall(SYS_setfsgid, -1)); }

std::vector<gid_t> Groups() {
  std::vector<gid_t> groups(64);
  groups.resize(static_cast<std::size_t>(std::max(0, ::getgroups(64, groups.data()))));
  std::sort(groups.begin(), groups.end());
  return groups;
}

// What ParseCredentials makes of `text`, starting from {42, 43, {44}}: whether
// it accepted it, the credentials it leaves, and whether it gave a reason.
std::tuple<bool, unsigned int, unsigned int, std::vector<unsigned int>, bool> Parse(const std::string &text) {
  PosixCredentials creds{42, 43, {44}};
  std::string error;
  const bool accepted = PosixSecurityManager::ParseCredentials(text, creds, error);
  return std::make_tuple(accepted, creds.uid, creds.gid, creds.groups, !error.empty());
}

}  // namespace

// One thread of the process is switched to nobody, with its groups, and
// refused a root-only file, while another thread opens that file at the same
// moment; handle 0 and reverting each give the process's identity back.
TEST(PosixSecurityManager, SwitchesOnlyTheCallingThread) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to switch identities";
  VantrelTest::TempDir dir;
  ASSERT_EQ(0, ::chmod(dir.Path().c_str(), 0755));
  const std::string secret = dir.Write("secret.log", "x");
  const std::string readable = dir.Write("open.log", "x");
  ASSERT_EQ(0, ::chmod(secret.c_str(), 0600));
  ASSERT_EQ(0, ::chmod(readable.c_str(), 0644));
  // The calling thread's file-system identity and groups, and whether it may
  // open each file.
  const auto identity = [&] {
    return std::make_tuple(ThreadFsuid(), ThreadFsgid(), Groups(), OpenError(secret), OpenError(readable));
  };
  const auto own = identity();

  PosixSecurityManager manager;
  ASSERT_TRUE(manager.SetCredentials(kNobodyHandle, PosixCredentials{kNobody, kNobody - 1, {3456, 4567}}));
  // gtest's assertions may be made on the worker thread.
  std::promise<void> switched;
  std::promise<void> checkedByMain;
  std::thread worker([&] {
    EXPECT_EQ(0, manager.SwitchToCredentials(kNobodyHandle));
    // The directory is open to it: only the secret file's mode refuses.
    EXPECT_EQ(std::make_tuple(kNobody, kNobody - 1, std::vector<gid_t>{3456u, 4567u}, EACCES, 0), identity());
    switched.set_value();
    checkedByMain.get_future().wait_for(kDeadline);
    EXPECT_EQ(0, manager.SwitchToCredentials(0));
    EXPECT_EQ(own, identity());
    EXPECT_EQ(0, manager.SwitchToCredentials(kNobodyHandle));
    manager.RevertCredentials();
    EXPECT_EQ(own, identity());
  });

  EXPECT_EQ(std::future_status::ready, switched.get_future().wait_for(kDeadline));
  EXPECT_EQ(own, identity());  // the worker is switched now; this thread is not
  checkedByMain.set_value();
  worker.join();
}

TEST(PosixSecurityManager, ParseCredentials) {
  typedef std::vector<unsigned int> Ids;
  EXPECT_EQ(std::make_tuple(true, 1000u, 1001u, Ids{}, false), Parse("1000:1001"));
  EXPECT_EQ(std::make_tuple(true, 0u, 0u, Ids{4, 24, 4294967294u}, false), Parse("0:0:4,24,4294967294"));
  const auto [accepted, uid, gid, groups, reason] = Parse("root");
  EXPECT_EQ(std::make_tuple(true, 0u, 0u, false), std::make_tuple(accepted, uid, gid, reason));
  EXPECT_NE(groups.end(), std::find(groups.begin(), groups.end(), 0u));
  if (const auto nobody = Parse("nobody"); std::get<0>(nobody)) {
    EXPECT_EQ(kNobody, std::get<1>(nobody));
  }

  std::string tooManyGroups = "1:1:0";
  for (int i = 0; i < NGROUPS_MAX; ++i) tooManyGroups += ",1";
  for (const std::string &bad : std::vector<std::string>{"", "1000", "a:b", "1:2:3:4", "1:2:", "1::", ":1", "1:2:3,,4",
                                                          "-1:0", "4294967295:0", "1: 2", "99999999999:1",
                                                          "no_such_user_for_vantrel_tests", tooManyGroups}) {
    EXPECT_EQ(std::make_tuple(false, 42u, 43u, Ids{44}, true), Parse(bad)) << bad.substr(0, 40);
  }
}

#endif
