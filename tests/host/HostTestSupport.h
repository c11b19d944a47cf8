// Temporary directories and condition waits for the host library's tests.
#ifndef VANTREL_TESTS_HOST_HOSTTESTSUPPORT_H
#define VANTREL_TESTS_HOST_HOSTTESTSUPPORT_H

#include <chrono>
#include <functional>
#include <string>

namespace HostTest {

// Generous: the test machines are shared and slow.
const std::chrono::milliseconds kDeadline = std::chrono::seconds(20);

// Polls `condition` until it holds or the deadline passes; returns whether it holds.
bool WaitUntil(const std::function<bool()> &condition, std::chrono::milliseconds deadline = kDeadline);

// A fresh directory under the system's temp directory, removed with its
// contents when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;

  const std::string &Path() const { return strPath; }
  std::string Join(const std::string &name) const { return strPath + "/" + name; }

 private:
  std::string strPath;
};

std::string ReadFile(const std::string &path);

}  // namespace HostTest

#endif  // VANTREL_TESTS_HOST_HOSTTESTSUPPORT_H
