// Temporary directories and file helpers for the platform layer's tests.
#ifndef VANTREL_TESTS_PLATFORM_SUPPORT_H
#define VANTREL_TESTS_PLATFORM_SUPPORT_H

#include <Platform/Win32Api.h>

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>

namespace VantrelPlatformTest {

// A unique directory under the system's temporary directory, removed with
// everything in it when the object goes.
class TempDir final {
 public:
  // `base` null: $TMPDIR or /tmp.
  explicit TempDir(const char *base = nullptr) {
    if (base == nullptr) {
      base = std::getenv("TMPDIR");
    }
    std::string templ = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/vantrel-platform-XXXXXX";
    if (::mkdtemp(&templ[0]) == nullptr) {
      throw std::runtime_error("mkdtemp failed");
    }
    path_ = templ;
  }
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  ~TempDir() {
    // Best effort: a failed removal leaves a directory behind, nothing worse.
    ::chmod(path_.c_str(), 0700);
    ::nftw(
        path_.c_str(),
        [](const char *p, const struct stat *, int, struct FTW *) {
          ::remove(p);
          return 0;
        },
        64, FTW_DEPTH | FTW_PHYS);
  }

  const std::string &path() const { return path_; }
  std::string operator/(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline std::wstring Wide(const std::string &utf8) { return VantrelPlatform::FromUtf8(utf8); }

inline void WriteFile(const std::string &path, const std::string &content, bool append = false) {
  std::FILE *f = std::fopen(path.c_str(), append ? "ab" : "wb");
  if (f == nullptr) {
    throw std::runtime_error("cannot write " + path);
  }
  std::fwrite(content.data(), 1, content.size(), f);
  std::fclose(f);
}

inline void MakeDir(const std::string &path, mode_t mode = 0755) {
  if (::mkdir(path.c_str(), mode) != 0) {
    throw std::runtime_error("cannot create " + path);
  }
}

// Number of file descriptors that the process holds now.
inline int OpenDescriptorCount() {
  int count = 0;
  DIR *dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) {
    return -1;
  }
  while (::readdir(dir) != nullptr) {
    ++count;
  }
  ::closedir(dir);
  return count;
}

// Runs `body` on a thread whose file-system identity is user and group
// 65534, which drops root's override of permissions for that thread only.
// Returns false when the identity cannot be switched.
template <class Body>
bool RunWithoutPrivileges(Body body) {
  bool switched = false;
  std::thread worker([&] {
    ::syscall(SYS_setfsgid, 65534);
    ::syscall(SYS_setfsuid, 65534);
    // setfsuid answers with the previous identity, also for an invalid one.
    switched = ::syscall(SYS_setfsuid, -1) == 65534 && ::syscall(SYS_setfsgid, -1) == 65534;
    if (switched) {
      body();
    }
    ::syscall(SYS_setfsuid, 0);
    ::syscall(SYS_setfsgid, 0);
  });
  worker.join();
  return switched;
}

}  // namespace VantrelPlatformTest

#endif  // VANTREL_TESTS_PLATFORM_SUPPORT_H
