// The per-thread last error, the errno to Windows code mapping and the texts
// of the codes.
#include <Platform/Win32Api.h>

#include "Internal.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

namespace {

thread_local DWORD t_lastError = ERROR_SUCCESS;
// errno behind the last ERROR_GEN_FAILURE that the layer set on this thread;
// 0 when that code came from SetLastError. Kept while later calls succeed so
// that the text can still be had after a few more calls.
thread_local int t_genFailureErrno = 0;

// The directory that holds the last component of `path`.
std::string ParentOf(const std::string &path) {
  std::size_t end = path.size();
  while (end > 1 && path[end - 1] == '/') {
    --end;
  }
  std::size_t slash = path.rfind('/', end - 1);
  if (slash == std::string::npos) {
    return ".";
  }
  while (slash > 0 && path[slash - 1] == '/') {
    --slash;
  }
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

bool IsDirectory(const std::string &path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

DWORD GetLastError() { return t_lastError; }

void SetLastError(DWORD dwErrCode) {
  t_lastError = dwErrCode;
  if (dwErrCode == ERROR_GEN_FAILURE) {
    t_genFailureErrno = 0;
  }
}

namespace VantrelPlatform {
namespace detail {

void SetError(DWORD code) { t_lastError = code; }

DWORD SetErrorFromErrno(int error, const char *path, bool inotify) {
  DWORD code = ERROR_GEN_FAILURE;
  switch (error) {
    case ENOENT:
      try {
        code = path != nullptr && IsDirectory(ParentOf(path)) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
      } catch (const std::bad_alloc &) {
        code = ERROR_PATH_NOT_FOUND;
      }
      break;
    case ENOTDIR:
      code = ERROR_PATH_NOT_FOUND;
      break;
    case EACCES:
    case EPERM:
      code = ERROR_ACCESS_DENIED;
      break;
    case EMFILE:
    case ENFILE:
      code = ERROR_TOO_MANY_OPEN_FILES;
      break;
    case ENAMETOOLONG:
      code = ERROR_FILENAME_EXCED_RANGE;
      break;
    case ELOOP:
      code = ERROR_CANT_RESOLVE_FILENAME;
      break;
    case ENOSPC:
      code = inotify ? ERROR_NOT_ENOUGH_QUOTA : ERROR_GEN_FAILURE;
      break;
    default:
      break;
  }
  t_lastError = code;
  if (code == ERROR_GEN_FAILURE) {
    t_genFailureErrno = error;
  }
  return code;
}

bool NativePath(const wchar_t *path, std::string &out) {
  if (path == nullptr) {
    SetError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if (*path == L'\0') {
    SetError(ERROR_PATH_NOT_FOUND);
    return false;
  }
  try {
    out = ToUtf8(path);
  } catch (const std::bad_alloc &) {
    SetError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  return true;
}

}  // namespace detail

std::string ErrorText(DWORD code) {
  const char *text = nullptr;
  switch (code) {
    case ERROR_SUCCESS:
      text = "The operation completed successfully.";
      break;
    case ERROR_FILE_NOT_FOUND:
      text = "The system cannot find the file specified.";
      break;
    case ERROR_PATH_NOT_FOUND:
      text = "The system cannot find the path specified.";
      break;
    case ERROR_TOO_MANY_OPEN_FILES:
      text = "The system cannot open the file.";
      break;
    case ERROR_ACCESS_DENIED:
      text = "Access is denied.";
      break;
    case ERROR_INVALID_HANDLE:
      text = "The handle is invalid.";
      break;
    case ERROR_NOT_ENOUGH_MEMORY:
      text = "Not enough memory resources are available to process this command.";
      break;
    case ERROR_NO_MORE_FILES:
      text = "There are no more files.";
      break;
    case ERROR_GEN_FAILURE:
      text = "A device attached to the system is not functioning.";
      break;
    case ERROR_INVALID_PARAMETER:
      text = "The parameter is incorrect.";
      break;
    case ERROR_INSUFFICIENT_BUFFER:
      text = "The data area passed to a system call is too small.";
      break;
    case ERROR_MOD_NOT_FOUND:
      text = "The specified module could not be found.";
      break;
    case ERROR_PROC_NOT_FOUND:
      text = "The specified procedure could not be found.";
      break;
    case ERROR_FILENAME_EXCED_RANGE:
      text = "The filename or extension is too long.";
      break;
    case WAIT_TIMEOUT:
      text = "The wait operation timed out.";
      break;
    case ERROR_NOT_ENOUGH_QUOTA:
      text = "Not enough quota is available to process this command.";
      break;
    case ERROR_CANT_RESOLVE_FILENAME:
      text = "The name of the file cannot be resolved by the system.";
      break;
    case 0x80004005u:
      text = "Unspecified error";
      break;
    default: {
      char buffer[32];
      std::snprintf(buffer, sizeof buffer, "Unknown error 0x%08X", static_cast<unsigned>(code));
      return buffer;
    }
  }
  std::string result(text);
  if (code == ERROR_GEN_FAILURE && t_genFailureErrno != 0) {
    const char *name = ::strerrorname_np(t_genFailureErrno);
    const char *description = ::strerrordesc_np(t_genFailureErrno);
    char buffer[160];
    if (name != nullptr) {
      std::snprintf(buffer, sizeof buffer, " (POSIX error %s: %s)", name, description != nullptr ? description : "");
    } else {
      std::snprintf(buffer, sizeof buffer, " (POSIX error %d)", t_genFailureErrno);
    }
    result += buffer;
  }
  return result;
}

}  // namespace VantrelPlatform
