// The Windows security manager: logon tokens impersonated per thread.
#include <VantrelCommon/SecurityManager.h>

#include <Platform/Win32Api.h>

#ifndef VANTREL_VERSION
#define VANTREL_VERSION "0.0.0"
#endif

namespace WindowsAgentCommon {

// A table entry: the token, or the error that kept the account from logging on.
struct WindowsSecurityManager::Entry {
  HANDLE token = nullptr;
  DWORD error = ERROR_SUCCESS;
  Entry() = default;
  Entry(const Entry &) = delete;
  Entry &operator=(const Entry &) = delete;
  ~Entry() {
    if (token != nullptr) ::CloseHandle(token);
  }
};

namespace {

int Fail(DWORD error) {
  ::SetLastError(error);
  return static_cast<int>(error);
}

// Whether the calling thread now acts as the impersonated user, rather than
// only being able to identify it.
DWORD ImpersonationTook() {
  HANDLE token = nullptr;
  if (!::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) return ::GetLastError();
  SECURITY_IMPERSONATION_LEVEL level = SecurityAnonymous;
  DWORD size = 0;
  const BOOL read = ::GetTokenInformation(token, TokenImpersonationLevel, &level, sizeof(level), &size);
  const DWORD error = read ? ERROR_SUCCESS : ::GetLastError();
  ::CloseHandle(token);
  if (!read) return error;
  return level >= SecurityImpersonation ? ERROR_SUCCESS : ERROR_BAD_IMPERSONATION_LEVEL;
}

}  // namespace

std::string ISecurityManager::GetServiceName() { return "SecurityManager"; }

WindowsSecurityManager::WindowsSecurityManager() = default;

WindowsSecurityManager::~WindowsSecurityManager() = default;

std::string WindowsSecurityManager::GetVersion() const { return VANTREL_VERSION; }

void WindowsSecurityManager::Shutdown() {
  std::map<std::uint64_t, std::shared_ptr<const Entry>> forgotten;
  {
    std::lock_guard<std::mutex> lock(mtxTable);
    forgotten.swap(table);
  }
  bInitialized = false;
}

int WindowsSecurityManager::SwitchToCredentials(const std::uint64_t &hCreds) {
  if (hCreds == 0) {
    // A thread that impersonates nobody has nothing to revert, and says so.
    ::RevertToSelf();
    ::SetLastError(ERROR_SUCCESS);
    return 0;
  }
  std::shared_ptr<const Entry> entry;
  {
    std::lock_guard<std::mutex> lock(mtxTable);
    const auto it = table.find(hCreds);
    if (it == table.end()) return Fail(ERROR_INVALID_HANDLE);
    entry = it->second;
  }
  if (entry->token == nullptr) return Fail(entry->error);
  if (!::ImpersonateLoggedOnUser(entry->token)) {
    const DWORD error = ::GetLastError();
    ::RevertToSelf();
    return Fail(error);
  }
  const DWORD error = ImpersonationTook();
  if (error != ERROR_SUCCESS) {
    ::RevertToSelf();
    return Fail(error);
  }
  ::SetLastError(ERROR_SUCCESS);
  return 0;
}

void WindowsSecurityManager::RevertCredentials() { ::RevertToSelf(); }

bool WindowsSecurityManager::SetCredentials(std::uint64_t hCreds, const WindowsCredentials &creds) {
  if (hCreds == 0) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  auto entry = std::make_shared<Entry>();
  BOOL made;
  if (creds.token != nullptr) {
    made = ::DuplicateTokenEx(creds.token, TOKEN_IMPERSONATE | TOKEN_QUERY | TOKEN_DUPLICATE, nullptr,
                              SecurityImpersonation, TokenImpersonation, &entry->token);
  } else {
    const bool named = creds.user.find(L'@') != std::wstring::npos && creds.domain.empty();
    made = ::LogonUserW(creds.user.c_str(), named ? nullptr : creds.domain.empty() ? L"." : creds.domain.c_str(),
                        creds.password.c_str(), LOGON32_LOGON_NETWORK_CLEARTEXT, LOGON32_PROVIDER_DEFAULT,
                        &entry->token);
  }
  if (!made) {
    entry->token = nullptr;
    entry->error = ::GetLastError();
  }
  {
    std::lock_guard<std::mutex> lock(mtxTable);
    table[hCreds] = entry;
  }
  ::SetLastError(entry->error);
  return made != FALSE;
}

void WindowsSecurityManager::RemoveCredentials(std::uint64_t hCreds) {
  std::shared_ptr<const Entry> forgotten;
  std::lock_guard<std::mutex> lock(mtxTable);
  const auto it = table.find(hCreds);
  if (it == table.end()) return;
  forgotten = it->second;
  table.erase(it);
}

bool WindowsSecurityManager::HasCredentials(std::uint64_t hCreds) const {
  if (hCreds == 0) return true;
  std::lock_guard<std::mutex> lock(mtxTable);
  return table.count(hCreds) != 0;
}

void *WindowsSecurityManager::TokenOf(std::uint64_t hCreds) const {
  std::lock_guard<std::mutex> lock(mtxTable);
  const auto it = table.find(hCreds);
  return it == table.end() ? nullptr : it->second->token;
}

bool WindowsSecurityManager::ParseCredentials(const std::string &text, WindowsCredentials &creds,
                                              std::string &error) {
  const std::size_t blank = text.find_first_of(" \t");
  if (text.empty() || blank == 0 || blank == std::string::npos) {
    error = "expected an account and its password (\"DOMAIN\\user password\")";
    return false;
  }
  const std::wstring account = VantrelPlatform::FromUtf8(text.substr(0, blank));
  WindowsCredentials parsed;
  const std::size_t backslash = account.find(L'\\');
  if (backslash != std::wstring::npos) {
    parsed.domain = account.substr(0, backslash);
    parsed.user = account.substr(backslash + 1);
  } else {
    parsed.user = account;
  }
  if (parsed.user.empty() || parsed.user.find(L'\\') != std::wstring::npos) {
    error = "no user name in \"" + text.substr(0, blank) + "\"";
    return false;
  }
  const std::size_t password = text.find_first_not_of(" \t", blank);
  parsed.password = VantrelPlatform::FromUtf8(password == std::string::npos ? std::string() : text.substr(password));
  creds = parsed;
  return true;
}

}  // namespace WindowsAgentCommon
