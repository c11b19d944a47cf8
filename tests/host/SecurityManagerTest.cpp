#include "support/TestSupport.h"

#include <Platform/Win32Api.h>

#include <algorithm>
#include <cerrno>
#include <climits>

using namespace WindowsAgentCommon;

// Handle 0 is the process's own identity and cannot be set; a handle that
// the table does not know is refused, as the thread's last error too.
TEST(SecurityManager, HandleZeroIsTheProcessAndUnknownHandlesAreRefused) {
  PlatformSecurityManager manager;
  EXPECT_TRUE(manager.HasCredentials(0) && !manager.HasCredentials(9) && !manager.SetCredentials(0, {}));
  EXPECT_EQ(0, manager.SwitchToCredentials(0));
  EXPECT_EQ(static_cast<int>(ERROR_INVALID_HANDLE), manager.SwitchToCredentials(424242));
  EXPECT_EQ(ERROR_INVALID_HANDLE, ::GetLastError());
  manager.RevertCredentials();
#if !defined(_WIN32)
  EXPECT_TRUE(manager.SetCredentials(9, {1, 1, {}}) && manager.HasCredentials(9));
  manager.RemoveCredentials(9);
  EXPECT_FALSE(manager.HasCredentials(9));
#endif
}

#if defined(_WIN32)

#include <thread>

namespace {

bool Impersonating() {
  HANDLE token = nullptr;
  if (!::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) return false;
  ::CloseHandle(token);
  return true;
}

// Whether the process holds the handle still.
bool Open(HANDLE handle) {
  DWORD flags = 0;
  return ::GetHandleInformation(handle, &flags) != FALSE;
}

}  // namespace

// A token of the host's: the table keeps a duplicate of its own, a switch
// makes the calling thread (only) impersonate it, a revert ends that, and the
// duplicate is closed when the table forgets it.
TEST(SecurityManager, WindowsTokensAreImpersonatedPerThreadAndClosedWithTheTable) {
  HANDLE process = nullptr;
  ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, &process));
  PlatformSecurityManager manager;
  ASSERT_TRUE(manager.SetCredentials(7, WindowsCredentials{L"", L"", L"", process}));
  const HANDLE held = manager.TokenOf(7);
  EXPECT_TRUE(held != nullptr && held != process && Open(held));
  std::vector<bool> seen;
  std::thread worker([&] {
    seen.push_back(Impersonating());
    seen.push_back(manager.SwitchToCredentials(7) == 0 && Impersonating());
    manager.RevertCredentials();
    seen.push_back(Impersonating());
    seen.push_back(manager.SwitchToCredentials(7) == 0 && manager.SwitchToCredentials(0) == 0 && !Impersonating());
  });
  worker.join();
  EXPECT_EQ(seen, (std::vector<bool>{false, true, false, true})) << "before, switched, reverted, 7 then 0";
  EXPECT_FALSE(Impersonating()) << "the test's own thread";
  manager.Shutdown();
  EXPECT_FALSE(Open(held)) << "the table's token is closed at shutdown";
  EXPECT_TRUE(Open(process)) << "the host's own stays open";
  EXPECT_EQ(static_cast<int>(ERROR_INVALID_HANDLE), manager.SwitchToCredentials(7));
  ::CloseHandle(process);
}

// The configuration's text, and an account that cannot be logged on: its
// handle stays known and its switches fail with the logon's own error, as
// the thread's last error too, whose text is the system's.
TEST(SecurityManager, WindowsAccountsAreParsedAndTheirLogonFailuresKept) {
  struct Row {
    const char *text;
    bool parsed;
    const wchar_t *domain, *user, *password;
  };
  for (const Row &row : std::vector<Row>{{".\\svc-logs pass word ", true, L".", L"svc-logs", L"pass word "},
                                         {"CORP\\ölaf x", true, L"CORP", L"ölaf", L"x"},
                                         {"reader@corp.example  secret", true, L"", L"reader@corp.example", L"secret"},
                                         {"CORP\\ x", false, L"", L"", L""}, {"alone", false, L"", L"", L""},
                                         {"", false, L"", L"", L""}, {" x", false, L"", L"", L""}}) {
    WindowsCredentials creds{L"-", L"-", L"-", nullptr};
    std::string error;
    const bool parsed = PlatformSecurityManager::ParseCredentials(row.text, creds, error);
    EXPECT_EQ(parsed, row.parsed) << row.text;
    if (parsed && row.parsed) {
      EXPECT_EQ(std::vector<std::wstring>({creds.domain, creds.user, creds.password}),
                std::vector<std::wstring>({row.domain, row.user, row.password})) << row.text;
    }
    EXPECT_EQ(error.empty(), row.parsed) << row.text;
  }
  PlatformSecurityManager manager;
  WindowsCredentials nobody;
  std::string error;
  ASSERT_TRUE(PlatformSecurityManager::ParseCredentials(".\\vantrel-no-such-user not-the-password", nobody, error));
  const bool loggedOn = manager.SetCredentials(8, nobody);
  const DWORD logonError = ::GetLastError();
  EXPECT_TRUE(manager.HasCredentials(8));
  const int rc = manager.SwitchToCredentials(8);
  manager.RevertCredentials();
  if (!loggedOn) {
    EXPECT_NE(logonError, ERROR_SUCCESS);
    EXPECT_EQ(rc, static_cast<int>(logonError));
  }
  if (rc != 0) {
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(rc));
    EXPECT_EQ(VantrelPlatform::ErrorText(static_cast<DWORD>(rc)).find("Windows error"), std::string::npos);
  }
}

#endif

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
