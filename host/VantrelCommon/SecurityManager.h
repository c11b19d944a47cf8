// The security manager: switches the calling thread to a set of credentials
// that the host knows by a 64-bit handle, and back.
//
// Handle 0 is the process's own identity. On POSIX a set of credentials is a
// file-system identity (user, group, supplementary groups), switched for the
// calling thread only, never for the whole process. Switching needs the
// privilege to change identity (root, or CAP_SETUID and CAP_SETGID); without
// it every handle but 0 fails.
//
// On Windows the manager knows only the process's own identity, handle 0:
// another identity would need a logon token to impersonate, and this host
// makes none.
#ifndef VANTREL_COMMON_SECURITYMANAGER_H
#define VANTREL_COMMON_SECURITYMANAGER_H

#include <VantrelCommon/ServiceComponent.h>

#include <cstdint>
#include <map>
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

class ProcessSecurityManager : public ServiceComponentBase<ISecurityManager> {
 public:
  ProcessSecurityManager();
  ~ProcessSecurityManager() override;

  std::string GetVersion() const override;
  void Shutdown() override;

  // Handle 0 reverts the thread to the process's identity; any other handle
  // fails with ERROR_INVALID_HANDLE.
  int SwitchToCredentials(const std::uint64_t &hCreds) override;
  void RevertCredentials() override;

  // The table holds handle 0 only: setting anything fails.
  bool SetCredentials(std::uint64_t hCreds, const PosixCredentials &creds);
  void RemoveCredentials(std::uint64_t hCreds);
  bool HasCredentials(std::uint64_t hCreds) const;

  // Always false, with the reason in `error`.
  static bool ParseCredentials(const std::string &text, PosixCredentials &creds, std::string &error);
};

typedef ProcessSecurityManager PlatformSecurityManager;

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

#endif

}  // namespace WindowsAgentCommon

#endif  // VANTREL_COMMON_SECURITYMANAGER_H
