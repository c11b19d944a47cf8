// The Windows security manager: the process's own identity only.
#include <VantrelCommon/SecurityManager.h>

#include <Platform/Win32Api.h>

#ifndef VANTREL_VERSION
#define VANTREL_VERSION "0.0.0"
#endif

namespace WindowsAgentCommon {

std::string ISecurityManager::GetServiceName() { return "SecurityManager"; }

ProcessSecurityManager::ProcessSecurityManager() = default;

ProcessSecurityManager::~ProcessSecurityManager() = default;

std::string ProcessSecurityManager::GetVersion() const { return VANTREL_VERSION; }

void ProcessSecurityManager::Shutdown() { bInitialized = false; }

int ProcessSecurityManager::SwitchToCredentials(const std::uint64_t &hCreds) {
  if (hCreds != 0) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return static_cast<int>(ERROR_INVALID_HANDLE);
  }
  // A thread that impersonates nobody has nothing to revert, and says so.
  ::RevertToSelf();
  ::SetLastError(ERROR_SUCCESS);
  return 0;
}

void ProcessSecurityManager::RevertCredentials() { ::RevertToSelf(); }

bool ProcessSecurityManager::SetCredentials(std::uint64_t, const PosixCredentials &) { return false; }

void ProcessSecurityManager::RemoveCredentials(std::uint64_t) {}

bool ProcessSecurityManager::HasCredentials(std::uint64_t hCreds) const { return hCreds == 0; }

bool ProcessSecurityManager::ParseCredentials(const std::string &, PosixCredentials &, std::string &error) {
  error = "only the process's own identity is supported on Windows";
  return false;
}

}  // namespace WindowsAgentCommon
