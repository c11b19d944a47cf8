// The POSIX security manager switches the file-system identity of the calling
// thread only.
//
// glibc's setgroups, setresuid and setfsuid wrappers apply a change to every
// thread of the process (they broadcast it, as POSIX demands). The kernel
// keeps credentials per thread, so the raw system calls are used instead:
// supplementary groups, then the file-system group, then the file-system user.
// setfsuid and setfsgid report no error; each switch is read back (a call
// with -1 changes nothing and returns the current value) to learn whether it
// took.
#include <VantrelCommon/SecurityManager.h>

#include <Platform/Win32Api.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstring>

#include <grp.h>
#include <pwd.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#ifndef VANTREL_VERSION
#define VANTREL_VERSION "0.0.0"
#endif

namespace WindowsAgentCommon {

namespace {

// 32-bit ids on every architecture (the 16-bit calls exist only on old ABIs).
#if defined(SYS_setfsuid32)
const long kSysSetFsuid = SYS_setfsuid32;
const long kSysSetFsgid = SYS_setfsgid32;
const long kSysSetGroups = SYS_setgroups32;
#else
const long kSysSetFsuid = SYS_setfsuid;
const long kSysSetFsgid = SYS_setfsgid;
const long kSysSetGroups = SYS_setgroups;
#endif

const unsigned int kNoId = static_cast<unsigned int>(-1);

unsigned int ThreadFsuid() { return static_cast<unsigned int>(::syscall(kSysSetFsuid, kNoId)); }
unsigned int ThreadFsgid() { return static_cast<unsigned int>(::syscall(kSysSetFsgid, kNoId)); }

int ErrorFromErrno(int e) {
  switch (e) {
    case EPERM:
    case EACCES:
      return static_cast<int>(ERROR_ACCESS_DENIED);
    case EINVAL:
      return static_cast<int>(ERROR_INVALID_PARAMETER);
    case ENOMEM:
      return static_cast<int>(ERROR_NOT_ENOUGH_MEMORY);
    default:
      return static_cast<int>(ERROR_GEN_FAILURE);
  }
}

// The calling thread's supplementary groups, sorted. glibc's getgroups is a
// plain read of the thread's own credentials.
bool ThreadGroups(std::vector<gid_t> &groups) {
  const int n = ::getgroups(0, nullptr);
  if (n < 0) return false;
  groups.assign(static_cast<std::size_t>(n), 0);
  const int m = n > 0 ? ::getgroups(n, groups.data()) : 0;
  if (m < 0) return false;
  groups.resize(static_cast<std::size_t>(m));
  std::sort(groups.begin(), groups.end());
  return true;
}

bool ThreadHasGroups(const std::vector<unsigned int> &wanted) {
  std::vector<gid_t> current;
  if (!ThreadGroups(current)) return false;
  std::vector<gid_t> sorted(wanted.begin(), wanted.end());
  std::sort(sorted.begin(), sorted.end());
  return current == sorted;
}

int SetThreadGroups(const std::vector<unsigned int> &groups) {
  std::vector<gid_t> list(groups.begin(), groups.end());
  if (::syscall(kSysSetGroups, list.size(), list.empty() ? nullptr : list.data()) != 0) {
    return ErrorFromErrno(errno);
  }
  // The kernel sorts the list it keeps; compare as sets of the same size.
  return ThreadHasGroups(groups) ? 0 : static_cast<int>(ERROR_ACCESS_DENIED);
}

int SetThreadFsgid(unsigned int gid) {
  ::syscall(kSysSetFsgid, gid);
  return ThreadFsgid() == gid ? 0 : static_cast<int>(ERROR_ACCESS_DENIED);
}

int SetThreadFsuid(unsigned int uid) {
  ::syscall(kSysSetFsuid, uid);
  return ThreadFsuid() == uid ? 0 : static_cast<int>(ERROR_ACCESS_DENIED);
}

// A user or group id in decimal, nothing else; -1 is no id (it means "leave
// unchanged" to the system calls).
bool ParseId(const std::string &text, unsigned int &id) {
  if (text.empty() || text.size() > 10) return false;
  unsigned long long value = 0;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value, 10);
  if (result.ec != std::errc() || result.ptr != text.data() + text.size()) return false;
  if (value >= kNoId) return false;
  id = static_cast<unsigned int>(value);
  return true;
}

std::vector<std::string> Split(const std::string &text, char separator) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t at = text.find(separator, start);
    parts.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
    if (at == std::string::npos) return parts;
    start = at + 1;
  }
}

bool ParseNumericCredentials(const std::string &text, PosixCredentials &creds, std::string &error) {
  const std::vector<std::string> parts = Split(text, ':');
  if (parts.size() < 2 || parts.size() > 3) {
    error = "expected UID:GID or UID:GID:G1,G2,... in \"" + text + "\"";
    return false;
  }
  PosixCredentials parsed;
  if (!ParseId(parts[0], parsed.uid)) {
    error = "invalid user id \"" + parts[0] + "\"";
    return false;
  }
  if (!ParseId(parts[1], parsed.gid)) {
    error = "invalid group id \"" + parts[1] + "\"";
    return false;
  }
  if (parts.size() == 3) {
    for (const std::string &g : Split(parts[2], ',')) {
      unsigned int gid = 0;
      if (!ParseId(g, gid)) {
        error = "invalid supplementary group id \"" + g + "\"";
        return false;
      }
      parsed.groups.push_back(gid);
    }
    if (parsed.groups.size() > static_cast<std::size_t>(NGROUPS_MAX)) {
      error = "too many supplementary groups";
      return false;
    }
  }
  creds = parsed;
  return true;
}

bool ParseUserCredentials(const std::string &name, PosixCredentials &creds, std::string &error) {
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 1024u);
  struct passwd pwd;
  struct passwd *found = nullptr;
  for (;;) {
    const int rc = ::getpwnam_r(name.c_str(), &pwd, buffer.data(), buffer.size(), &found);
    if (rc == ERANGE && buffer.size() < (1u << 20)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (rc != 0) {
      error = "cannot look up user \"" + name + "\": " + std::strerror(rc);
      return false;
    }
    break;
  }
  if (found == nullptr) {
    error = "unknown user \"" + name + "\"";
    return false;
  }
  PosixCredentials parsed;
  parsed.uid = pwd.pw_uid;
  parsed.gid = pwd.pw_gid;
  std::vector<gid_t> groups(32);
  for (;;) {
    int count = static_cast<int>(groups.size());
    if (::getgrouplist(name.c_str(), pwd.pw_gid, groups.data(), &count) >= 0) {
      groups.resize(static_cast<std::size_t>(count));
      break;
    }
    // count now holds the number needed.
    if (count <= static_cast<int>(groups.size()) || count > NGROUPS_MAX) {
      error = "cannot list the groups of user \"" + name + "\"";
      return false;
    }
    groups.resize(static_cast<std::size_t>(count));
  }
  parsed.groups.assign(groups.begin(), groups.end());
  creds = parsed;
  return true;
}

}  // namespace

std::string ISecurityManager::GetServiceName() { return "SecurityManager"; }

PosixSecurityManager::PosixSecurityManager() {
  std::vector<gid_t> groups;
  if (ThreadGroups(groups)) vecProcessGroups.assign(groups.begin(), groups.end());
}

PosixSecurityManager::~PosixSecurityManager() = default;

std::string PosixSecurityManager::GetVersion() const { return VANTREL_VERSION; }

void PosixSecurityManager::Shutdown() {
  std::lock_guard<std::mutex> lock(mtxTable);
  table.clear();
  bInitialized = false;
}

int PosixSecurityManager::SwitchToCredentials(const std::uint64_t &hCreds) {
  if (hCreds == 0) {
    const int rc = RestoreProcessIdentity();
    if (rc != 0) ::SetLastError(static_cast<DWORD>(rc));
    return rc;
  }
  PosixCredentials creds;
  {
    std::lock_guard<std::mutex> lock(mtxTable);
    const auto it = table.find(hCreds);
    if (it == table.end()) {
      ::SetLastError(ERROR_INVALID_HANDLE);
      return static_cast<int>(ERROR_INVALID_HANDLE);
    }
    creds = it->second;
  }
  int rc = SetThreadGroups(creds.groups);
  if (rc == 0) rc = SetThreadFsgid(creds.gid);
  if (rc == 0) rc = SetThreadFsuid(creds.uid);
  if (rc != 0) {
    // Never leave the thread half switched.
    RestoreProcessIdentity();
    ::SetLastError(static_cast<DWORD>(rc));
  }
  return rc;
}

void PosixSecurityManager::RevertCredentials() {
  const int rc = RestoreProcessIdentity();
  if (rc != 0) ::SetLastError(static_cast<DWORD>(rc));
}

// The undo of a switch, in reverse order. The groups are set only when they
// differ: an unprivileged process may not call setgroups at all, and its
// threads have never left the process's groups anyway.
int PosixSecurityManager::RestoreProcessIdentity() {
  int rc = SetThreadFsuid(static_cast<unsigned int>(::geteuid()));
  const int rcGid = SetThreadFsgid(static_cast<unsigned int>(::getegid()));
  if (rc == 0) rc = rcGid;
  if (!ThreadHasGroups(vecProcessGroups)) {
    const int rcGroups = SetThreadGroups(vecProcessGroups);
    if (rc == 0) rc = rcGroups;
  }
  return rc;
}

bool PosixSecurityManager::SetCredentials(std::uint64_t hCreds, const PosixCredentials &creds) {
  if (hCreds == 0 || creds.uid == kNoId || creds.gid == kNoId) return false;
  std::lock_guard<std::mutex> lock(mtxTable);
  table[hCreds] = creds;
  return true;
}

void PosixSecurityManager::RemoveCredentials(std::uint64_t hCreds) {
  std::lock_guard<std::mutex> lock(mtxTable);
  table.erase(hCreds);
}

bool PosixSecurityManager::HasCredentials(std::uint64_t hCreds) const {
  if (hCreds == 0) return true;
  std::lock_guard<std::mutex> lock(mtxTable);
  return table.count(hCreds) != 0;
}

bool PosixSecurityManager::ParseCredentials(const std::string &text, PosixCredentials &creds, std::string &error) {
  if (text.empty()) {
    error = "empty credentials";
    return false;
  }
  if (text.find(':') != std::string::npos) return ParseNumericCredentials(text, creds, error);
  return ParseUserCredentials(text, creds, error);
}

}  // namespace WindowsAgentCommon
