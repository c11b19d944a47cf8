// Descriptor counts and an unprivileged thread for the platform layer's tests;
// temporary directories and files come from the shared test support.
#ifndef VANTREL_TESTS_PLATFORM_SUPPORT_H
#define VANTREL_TESTS_PLATFORM_SUPPORT_H

#include "support/TestSupport.h"

#include <Platform/Win32Api.h>

#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <filesystem>
#include <iterator>
#include <string>
#include <thread>

namespace VantrelTest {

// The last error where a call failed, ERROR_SUCCESS where it did not: one
// comparison checks both the failure and its code.
inline DWORD FailureCode(bool failed) { return failed ? GetLastError() : ERROR_SUCCESS; }

// Number of file descriptors that the process holds now.
inline int OpenDescriptorCount() {
  return static_cast<int>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                        std::filesystem::directory_iterator()));
}

// Runs `body` on a thread whose file-system identity is user and group
// 65534, which drops root's override of permissions for that thread only.
// Returns false when the identity cannot be switched. A body that hangs
// fails the test and is left behind, with the flag it shares.
template <class Body>
bool RunWithoutPrivileges(Body body) {
  const auto switched = std::make_shared<std::atomic<bool>>(false);
  std::future<void> worker = InBackground([switched, body] {
    ::syscall(SYS_setfsgid, 65534);
    ::syscall(SYS_setfsuid, 65534);
    // setfsuid answers with the previous identity, also for an invalid one.
    *switched = ::syscall(SYS_setfsuid, -1) == 65534 && ::syscall(SYS_setfsgid, -1) == 65534;
    if (*switched) body();
    ::syscall(SYS_setfsuid, 0);
    ::syscall(SYS_setfsgid, 0);
  });
  EXPECT_TRUE(Finished(worker)) << "the body run without privileges did not return";
  return *switched;
}

}  // namespace VantrelTest

#endif  // VANTREL_TESTS_PLATFORM_SUPPORT_H
