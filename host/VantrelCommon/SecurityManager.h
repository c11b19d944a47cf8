// The security manager: switches the calling thread to a set of credentials
// that the host knows by a 64-bit handle, and back.
//
// Handle 0 is the process's own identity. On POSIX a set of credentials is a
// file-system identity (user, group, supplementary groups), switched for the
// calling thread only, never for the whole process. Switching needs the
// privilege to change identity (root, or CAP_SETUID and CAP_SETGID); without
// it every handle but 0 fails.
//
// On Windows a set of credentials is a logon token: the table logs the account
// on once (LogonUserW) when its entry is set, or holds its own duplicate of a
// token the host gives; a switch impersonates the token on the calling thread
// (ImpersonateLoggedOnUser) and a revert ends that (RevertToSelf). The tokens
// are closed when the table forgets them (RemoveCredentials, Shutdown, the
// destructor), once no switch is still using them.
#ifndef VANTREL_COMMON_SECURITYMANAGER_H
#define VANTREL_COMMON_SECURITYMANAGER_H

#include <VantrelCommon/ServiceComponent.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace WindowsAgentCommon {

class ISecurityManager : public IServiceComponent {
 public:
  // "SecurityManager"
  static std::string GetServiceName();

  // Switches the calling thread to the credentials of `hCreds`. Returns 0 on
  // success, otherwise a Windows error code (also set as the thread's last
  // error): ERROR_INVALID_HANDLE for a handle the table does not know,
  // ERROR_ACCESS_DENIED when the process lacks the privilege to switch.
  virtual int SwitchToCredentials(const std::uint64_t &hCreds) = 0;
  // Returns the calling thread to the process's own identity.
  virtual void RevertCredentials() = 0;
};

// One entry of the credentials table.
struct PosixCredentials {
  unsigned int uid = 0;
  unsigned int gid = 0;
  std::vector<unsigned int> groups;  // supplementary groups
};

#if defined(_WIN32)

// One entry of the credentials table on Windows: an account and its password,
// or a token the host already holds (then the account is not used).
struct WindowsCredentials {
  std::wstring user;      // "name", "DOMAIN\name" or "name@domain"
  std::wstring domain;    // empty: the one the user names, else this machine
  std::wstring password;
  void *token = nullptr;  // a HANDLE of the host's, duplicated, never closed by the table
};

class WindowsSecurityManager : public ServiceComponentBase<ISecurityManager> {
 public:
  WindowsSecurityManager();
  ~WindowsSecurityManager() override;

  std::string GetVersion() const override;
  // Forgets the credentials table and closes its tokens; handle 0 keeps working.
  void Shutdown() override;

  // Handle 0 reverts the thread to the process's identity. Another handle
  // fails with ERROR_INVALID_HANDLE when the table does not know it, with
  // the logon's own error when its account could not be logged on, with the
  // error of ImpersonateLoggedOnUser, or with ERROR_BAD_IMPERSONATION_LEVEL
  // when the process may only identify the user, not act as it (it lacks
  // SeImpersonatePrivilege); the thread is then its own self again.
  int SwitchToCredentials(const std::uint64_t &hCreds) override;
  void RevertCredentials() override;

  // Logs the account on as a network logon whose credentials stay usable for
  // network shares (LOGON32_LOGON_NETWORK_CLEARTEXT), or duplicates the
  // token. False, with the thread's last error set, when that fails; the
  // handle is then known all the same and its switches fail with that error.
  // Handle 0 cannot be set.
  bool SetCredentials(std::uint64_t hCreds, const WindowsCredentials &creds);
  void RemoveCredentials(std::uint64_t hCreds);
  bool HasCredentials(std::uint64_t hCreds) const;
  // The token that the table holds for `hCreds` (a HANDLE), null when it
  // holds none; it stays the table's. For diagnostics.
  void *TokenOf(std::uint64_t hCreds) const;

  // Parses "ACCOUNT PASSWORD": the account as "DOMAIN\user", ".\user" (this
  // machine), "user@domain" or "user", and everything after the first blank
  // as the password. UTF-8 text. Returns false with a reason in `error`.
  static bool ParseCredentials(const std::string &text, WindowsCredentials &creds, std::string &error);

 private:
  struct Entry;
  mutable std::mutex mtxTable;
  std::map<std::uint64_t, std::shared_ptr<const Entry>> table;
};

typedef WindowsSecurityManager PlatformSecurityManager;
typedef WindowsCredentials PlatformCredentials;

#else

class PosixSecurityManager : public ServiceComponentBase<ISecurityManager> {
 public:
  PosixSecurityManager();
  ~PosixSecurityManager() override;

  std::string GetVersion() const override;
  // Forgets the credentials table; handle 0 keeps working.
  void Shutdown() override;

  int SwitchToCredentials(const std::uint64_t &hCreds) override;
  void RevertCredentials() override;

  // The credentials table. Handle 0 cannot be set: it is always the process.
  bool SetCredentials(std::uint64_t hCreds, const PosixCredentials &creds);
  void RemoveCredentials(std::uint64_t hCreds);
  bool HasCredentials(std::uint64_t hCreds) const;

  // Parses "UID:GID[:G1,G2,...]" (numbers) or a user name known to the
  // system (its primary group and supplementary groups are looked up).
  // Returns false with a reason in `error` for anything else.
  static bool ParseCredentials(const std::string &text, PosixCredentials &creds, std::string &error);

 private:
  // Puts the calling thread back to the process's identity; 0 or an error code.
  int RestoreProcessIdentity();

  // The process's supplementary groups, read at construction.
  std::vector<unsigned int> vecProcessGroups;
  mutable std::mutex mtxTable;
  std::map<std::uint64_t, PosixCredentials> table;
};

typedef PosixSecurityManager PlatformSecurityManager;
typedef PosixCredentials PlatformCredentials;

#endif

}  // namespace WindowsAgentCommon

#endif  // VANTREL_COMMON_SECURITYMANAGER_H
