// The per-thread last error, the errno to Windows code mapping and the texts
// of the codes.
#include <Platform/Win32Api.h>

#include "Internal.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <new>

namespace {

// Initial-exec: the library is loaded with the program (or early, by the
// loader's reserve), and every system call of the layer sets the last error,
// so it is reached at a fixed offset from the thread pointer rather than
// through a call to the dynamic linker's TLS look-up.
#define VANTREL_FAST_TLS __attribute__((tls_model("initial-exec")))

thread_local DWORD t_lastError VANTREL_FAST_TLS = ERROR_SUCCESS;
// The errno behind the last code that the layer set from one on this thread,
// and that code; 0 once a failure without an errno has been set since. Kept
// while later calls succeed, so that the text can still be had after a few
// more calls.
thread_local int t_lastErrno VANTREL_FAST_TLS = 0;
thread_local DWORD t_lastErrnoCode VANTREL_FAST_TLS = ERROR_SUCCESS;

void Forget(DWORD code) {
  if (code != ERROR_SUCCESS) {
    t_lastErrno = 0;
  }
}

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
  Forget(dwErrCode);
}

namespace VantrelPlatform {
namespace detail {

void SetError(DWORD code) {
  t_lastError = code;
  Forget(code);
}

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
  t_lastErrno = error;
  t_lastErrnoCode = code;
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

bool NativePathBuffer::Set(const wchar_t *path) { return Set(path, path != nullptr ? std::wcslen(path) : 0); }

// A NUL within the first `length` characters is converted with the rest and
// ends the inline text where NativePath would end its own.
bool NativePathBuffer::Set(const wchar_t *path, std::size_t length) {
  if (length != 0 && *path != L'\0' && Utf8Into(path, length, inline_, kInline) != kNoRoom) {
    text_ = inline_;
    return true;
  }
  if (!NativePath(path, other_)) {
    return false;
  }
  text_ = other_.c_str();
  return true;
}

bool NativePathBuffer::Set(const char16_t *path, std::size_t length) {
  if (path != nullptr && length != 0 && *path != 0 && Utf8Into(path, length, inline_, kInline) != kNoRoom) {
    text_ = inline_;
    return true;
  }
  try {
    const std::wstring wide = FromUtf16(path, length);
    return Set(wide.c_str(), wide.size());
  } catch (const std::bad_alloc &) {
    SetError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
}

}  // namespace detail

// The system's own text: that of the errno behind the code when this thread's
// last failure with that code came from one, else that of the errno the code
// stands for. The few codes without a POSIX counterpart keep a text of their own.
std::string ErrorText(DWORD code) {
  int error = code != ERROR_SUCCESS && code == t_lastErrnoCode ? t_lastErrno : 0;
  const char *own = nullptr;
  if (error == 0) {
    switch (code) {
      case ERROR_SUCCESS:
        break;
      case ERROR_FILE_NOT_FOUND:
      case ERROR_PATH_NOT_FOUND:
        error = ENOENT;
        break;
      case ERROR_TOO_MANY_OPEN_FILES:
        error = EMFILE;
        break;
      case ERROR_ACCESS_DENIED:
        error = EACCES;
        break;
      case ERROR_INVALID_HANDLE:
        error = EBADF;
        break;
      case ERROR_NOT_ENOUGH_MEMORY:
        error = ENOMEM;
        break;
      case ERROR_GEN_FAILURE:
        error = EIO;
        break;
      case ERROR_INVALID_PARAMETER:
        error = EINVAL;
        break;
      case ERROR_INSUFFICIENT_BUFFER:
        error = ERANGE;
        break;
      case ERROR_FILENAME_EXCED_RANGE:
        error = ENAMETOOLONG;
        break;
      case ERROR_NOT_ENOUGH_QUOTA:
        error = ENOSPC;
        break;
      case ERROR_CANT_RESOLVE_FILENAME:
        error = ELOOP;
        break;
      case ERROR_NO_MORE_FILES:
        own = "No more directory entries";
        break;
      case ERROR_MOD_NOT_FOUND:
        own = "No such module";
        break;
      case ERROR_PROC_NOT_FOUND:
        own = "No such function";
        break;
      case WAIT_TIMEOUT:
        own = "Timed out";
        break;
      case 0x80004005u:
        own = "Unspecified error";
        break;
      default: {
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "Unknown error 0x%08X", static_cast<unsigned>(code));
        return buffer;
      }
    }
  }
  if (own != nullptr) {
    return own;
  }
  const char *description = ::strerrordesc_np(error);
  return description != nullptr ? description : "Unknown error " + std::to_string(error);
}

}  // namespace VantrelPlatform
