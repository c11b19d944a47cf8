// The file calls of the sources, with every path handed to the system in the
// form that lifts the MAX_PATH limit where it is that long.
#include <Platform/Win32Api.h>

// This file calls the system's own functions.
#undef GetFileAttributesExW
#undef FindFirstFileW
#undef CreateFileW
#undef FindFirstChangeNotificationW
#undef _wstat64

#include <cerrno>
#include <cwchar>
#include <vector>

namespace VantrelPlatform {

namespace {

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool IsLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

bool IsAbsolute(LPCWSTR path, std::size_t length) {
  if (length >= 3 && IsLetter(path[0]) && path[1] == L':' && IsSeparator(path[2])) return true;
  return length >= 2 && IsSeparator(path[0]) && IsSeparator(path[1]);
}

// 100-ns ticks since 1601 to whole seconds since 1970.
__time64_t UnixSeconds(const FILETIME &time) {
  const unsigned long long ticks =
      (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  return static_cast<__time64_t>(ticks / 10000000ULL) - 11644473600LL;
}

}  // namespace

std::wstring SystemPath(LPCWSTR path) {
  const std::size_t length = std::wcslen(path);
  if (length < kLongPathFrom && IsAbsolute(path, length)) return path;
  if (std::wcsncmp(path, L"\\\\?\\", 4) == 0) return path;
  std::vector<wchar_t> full(length + MAX_PATH + 1);
  DWORD n = ::GetFullPathNameW(path, static_cast<DWORD>(full.size()), full.data(), nullptr);
  if (n >= full.size()) {
    full.resize(n + 1);
    n = ::GetFullPathNameW(path, static_cast<DWORD>(full.size()), full.data(), nullptr);
  }
  if (n == 0 || n >= full.size()) return path;  // the system's call then says what is wrong
  return LongPathForm(std::wstring(full.data(), n));
}

BOOL LongGetFileAttributesExW(LPCWSTR path, GET_FILEEX_INFO_LEVELS level, LPVOID information) {
  if (path == nullptr) return ::GetFileAttributesExW(path, level, information);
  return ::GetFileAttributesExW(SystemPath(path).c_str(), level, information);
}

HANDLE LongFindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW found) {
  if (pattern == nullptr) return ::FindFirstFileW(pattern, found);
  return ::FindFirstFileW(SystemPath(pattern).c_str(), found);
}

HANDLE LongCreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                       DWORD flags, HANDLE templateFile) {
  if (path == nullptr) return ::CreateFileW(path, access, share, security, disposition, flags, templateFile);
  return ::CreateFileW(SystemPath(path).c_str(), access, share, security, disposition, flags, templateFile);
}

HANDLE LongFindFirstChangeNotificationW(LPCWSTR path, BOOL subtree, DWORD filter) {
  if (path == nullptr) return ::FindFirstChangeNotificationW(path, subtree, filter);
  return ::FindFirstChangeNotificationW(SystemPath(path).c_str(), subtree, filter);
}

int LongStat64(const wchar_t *path, struct _stat64 *buffer) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (path == nullptr || buffer == nullptr || *path == L'\0') {
    errno = path == nullptr || buffer == nullptr ? EINVAL : ENOENT;
    return -1;
  }
  const std::wstring system = SystemPath(path);
  if (!::GetFileAttributesExW(system.c_str(), GetFileExInfoStandard, &data)) {
    const DWORD error = ::GetLastError();
    errno = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME ||
                    error == ERROR_BAD_NETPATH || error == ERROR_BAD_NET_NAME
                ? ENOENT
                : error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ? EACCES : EINVAL;
    return -1;
  }
  *buffer = {};
  const bool directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  unsigned short mode = directory ? (_S_IFDIR | _S_IEXEC) : _S_IFREG;
  mode |= _S_IREAD;
  if ((data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) == 0) mode |= _S_IWRITE;
  // The owner's bits repeated for group and others, as msvcrt does.
  buffer->st_mode = static_cast<unsigned short>(mode | ((mode & 0700) >> 3) | ((mode & 0700) >> 6));
  buffer->st_nlink = 1;
  const std::size_t at = std::wcsncmp(system.c_str(), L"\\\\?\\", 4) == 0 ? 4 : 0;
  if (system.size() > at + 1 && system[at + 1] == L':' && IsLetter(system[at])) {
    const wchar_t letter = system[at];
    buffer->st_dev = buffer->st_rdev = static_cast<_dev_t>((letter | 0x20) - L'a');
  }
  buffer->st_size =
      directory ? 0 : static_cast<__int64>((static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
  buffer->st_atime = UnixSeconds(data.ftLastAccessTime);
  buffer->st_mtime = UnixSeconds(data.ftLastWriteTime);
  buffer->st_ctime = UnixSeconds(data.ftCreationTime);
  return 0;
}

}  // namespace VantrelPlatform
