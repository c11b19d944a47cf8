// Files and directories: attributes, listings, read handles and _wstat64.
#include <Platform/Win32Api.h>

#include "Internal.h"


#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cwchar>
#include <memory>
#include <mutex>
#include <new>

using VantrelPlatform::detail::HandleKind;
using VantrelPlatform::detail::HandleTable;
using VantrelPlatform::detail::NativePath;
using VantrelPlatform::detail::NativePathBuffer;
using VantrelPlatform::detail::SetError;
using VantrelPlatform::detail::SetErrorFromErrno;

namespace {

int StatRetry(const char *path, struct stat *st) {
  int rc;
  do {
    rc = ::stat(path, st);
  } while (rc != 0 && errno == EINTR);
  return rc;
}

void SplitSize(std::uint64_t size, DWORD &high, DWORD &low) {
  high = static_cast<DWORD>(size >> 32);
  low = static_cast<DWORD>(size & 0xFFFFFFFFu);
}

// One listing started by FindFirstFileW. Instances are thread-safe: the
// directory stream and `done` are guarded by `mutex`, so two threads that
// misuse one handle at once cannot corrupt the stream.
struct FindState final {
  FindState(DIR *stream, std::wstring pattern) : dir(stream), filter(std::move(pattern)) {}
  FindState(const FindState &) = delete;
  FindState &operator=(const FindState &) = delete;
  ~FindState() { ::closedir(dir); }

  std::mutex mutex;
  DIR *const dir;
  const std::wstring filter;  // empty: every entry
  bool done = false;
};

// statx, resumed after interruptions. One call gives what stat gives and
// the birth time, where the file system keeps one (glibc falls back to stat
// on a kernel without statx).
int StatxRetry(int dirfd, const char *path, int flags, struct statx *sx) {
  int rc;
  do {
    rc = ::statx(dirfd, path, flags, STATX_BASIC_STATS | STATX_BTIME, sx);
  } while (rc != 0 && errno == EINTR);
  return rc;
}

VantrelPlatform::FileIdentity IdentityOf(const struct statx &sx) {
  VantrelPlatform::FileIdentity identity;
  identity.volume = static_cast<std::uint64_t>(makedev(sx.stx_dev_major, sx.stx_dev_minor));
  identity.file = sx.stx_ino;
  if ((sx.stx_mask & STATX_BTIME) != 0) {
    identity.instance = static_cast<std::uint64_t>(sx.stx_btime.tv_sec) * 1000000000u + sx.stx_btime.tv_nsec;
  }
  return identity;
}

// A file opened by CreateFileW, with the identity read when it was opened.
struct OpenFile {
  int fd = -1;
  VantrelPlatform::FileIdentity identity;
  bool identityRead = false;  // else it is read when asked for
};

HandleTable<OpenFile> &FileHandles() {
  // Never destroyed: threads may still close handles while the process exits.
  static auto *table = new HandleTable<OpenFile>(HandleKind::File);
  return *table;
}

HandleTable<std::shared_ptr<FindState>> &FindHandles() {
  static auto *table = new HandleTable<std::shared_ptr<FindState>>(HandleKind::Find);
  return *table;
}

// Windows wildcards on one name: '*' any run of characters, '?' one
// character, everything else literal (case-sensitive, as POSIX names are).
bool WildcardMatch(const wchar_t *pattern, const wchar_t *name) {
  const wchar_t *star = nullptr;
  const wchar_t *resume = nullptr;
  while (*name != L'\0') {
    if (*pattern == L'*') {
      star = pattern++;
      resume = name;
    } else if (*pattern == L'?' || *pattern == *name) {
      ++pattern;
      ++name;
    } else if (star != nullptr) {
      pattern = star + 1;
      name = ++resume;
    } else {
      return false;
    }
  }
  while (*pattern == L'*') {
    ++pattern;
  }
  return *pattern == L'\0';
}

// The entry's attributes come from d_type, so a listing costs no stat per
// entry; only symbolic links (whose target decides, as GetFileAttributesExW
// follows links) and file systems that leave d_type unknown cost one.
DWORD EntryAttributes(DIR *dir, const struct dirent *entry) {
  if (entry->d_type == DT_DIR) {
    return FILE_ATTRIBUTE_DIRECTORY;
  }
  if (entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN) {
    struct stat st;
    if (::fstatat(::dirfd(dir), entry->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode)) {
      return FILE_ATTRIBUTE_DIRECTORY;
    }
  }
  return FILE_ATTRIBUTE_NORMAL;
}

// Reads up to the next entry that matches the state's filter into `data`.
// Returns TRUE for an entry; FALSE with the error set at the end
// (`endError`) or on a read error. The caller holds state.mutex.
BOOL NextMatch(FindState &state, LPWIN32_FIND_DATAW data, DWORD endError) {
  if (state.done) {
    SetError(endError);
    return FALSE;
  }
  for (;;) {
    errno = 0;
    const struct dirent *entry = ::readdir(state.dir);
    if (entry == nullptr) {
      state.done = true;
      if (errno != 0) {
        SetErrorFromErrno(errno, nullptr);
      } else {
        SetError(endError);
      }
      return FALSE;
    }
    const std::wstring name = VantrelPlatform::FromUtf8(entry->d_name);
    if (!state.filter.empty() && !WildcardMatch(state.filter.c_str(), name.c_str())) {
      continue;
    }
    std::memset(data, 0, sizeof *data);
    data->dwFileAttributes = EntryAttributes(state.dir, entry);
    // A name of NAME_MAX bytes never has more than MAX_PATH - 1 characters,
    // but the record must stay terminated whatever the file system says.
    const std::size_t length = std::min<std::size_t>(name.size(), MAX_PATH - 1);
    std::copy_n(name.data(), length, data->cFileName);
    data->cFileName[length] = L'\0';
    SetError(ERROR_SUCCESS);
    return TRUE;
  }
}

// Splits a pattern into the directory to read and the wildcard for its
// entries. A trailing "\*" or "/*" lists the whole directory (empty filter);
// elsewhere a backslash is an ordinary character of a POSIX name. Returns
// false for a pattern that names no entry at all ("dir/").
bool SplitPattern(const std::string &pattern, std::string &dir, std::string &filter) {
  const std::size_t n = pattern.size();
  if (n >= 2 && pattern[n - 1] == '*' && (pattern[n - 2] == '\\' || pattern[n - 2] == '/')) {
    dir = pattern.substr(0, n - 2);
    filter.clear();
    if (dir.empty()) {
      dir = pattern[n - 2] == '/' ? "/" : ".";
    }
    return true;
  }
  const std::size_t slash = pattern.rfind('/');
  if (slash == std::string::npos) {
    dir = ".";
    filter = pattern;
  } else {
    dir = slash == 0 ? std::string("/") : pattern.substr(0, slash);
    filter = pattern.substr(slash + 1);
  }
  if (filter == "*" || filter == "*.*") {
    filter.clear();
    return true;
  }
  return !filter.empty();
}

HANDLE FindFirst(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData) {
  std::string pattern;
  if (!NativePath(lpFileName, pattern)) {
    return INVALID_HANDLE_VALUE;
  }
  std::string dir;
  std::string filter;
  if (!SplitPattern(pattern, dir, filter)) {
    SetError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  std::wstring wideFilter = VantrelPlatform::FromUtf8(filter);
  DIR *stream = ::opendir(dir.c_str());
  if (stream == nullptr) {
    SetErrorFromErrno(errno, nullptr);
    return INVALID_HANDLE_VALUE;
  }
  std::shared_ptr<FindState> state;
  try {
    state = std::make_shared<FindState>(stream, std::move(wideFilter));
  } catch (...) {
    ::closedir(stream);
    throw;
  }
  // Windows reports a pattern that matches nothing as a missing file.
  if (!NextMatch(*state, lpFindFileData, ERROR_FILE_NOT_FOUND)) {
    return INVALID_HANDLE_VALUE;
  }
  HANDLE handle = FindHandles().Insert(std::move(state));
  SetError(ERROR_SUCCESS);
  return handle;
}

}  // namespace

namespace VantrelPlatform {

ACE_HANDLE AceHandle(HANDLE h) {
  OpenFile file;
  return FileHandles().Lookup(h, file) ? file.fd : ACE_INVALID_HANDLE;
}

namespace detail {

bool IdentityOfOpenFile(HANDLE h, FileIdentity &identity) {
  OpenFile file;
  if (!FileHandles().Lookup(h, file)) {
    return false;
  }
  if (!file.identityRead) {
    struct statx sx;
    if (StatxRetry(file.fd, "", AT_EMPTY_PATH, &sx) != 0) {
      return false;
    }
    file.identity = IdentityOf(sx);
  }
  identity = file.identity;
  return true;
}

}  // namespace detail

}  // namespace VantrelPlatform

namespace {

// The creation time is the status-change time, as POSIX has no other that
// every file system keeps; a directory's size is 0, as on Windows.
void FillAttributes(mode_t mode, const struct timespec &changed, const struct timespec &accessed,
                    const struct timespec &written, std::uint64_t size, LPWIN32_FILE_ATTRIBUTE_DATA data) {
  const bool directory = S_ISDIR(mode);
  data->dwFileAttributes = directory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
  data->ftCreationTime = VantrelPlatform::detail::FileTimeFromTimespec(changed);
  data->ftLastAccessTime = VantrelPlatform::detail::FileTimeFromTimespec(accessed);
  data->ftLastWriteTime = VantrelPlatform::detail::FileTimeFromTimespec(written);
  SplitSize(directory ? 0 : size, data->nFileSizeHigh, data->nFileSizeLow);
}

struct timespec Timespec(const struct statx_timestamp &t) {
  struct timespec ts;
  ts.tv_sec = static_cast<time_t>(t.tv_sec);
  ts.tv_nsec = static_cast<long>(t.tv_nsec);
  return ts;
}

// GetFileAttributesExW's read of a path in the system's form.
BOOL AttributesOf(const char *path, LPWIN32_FILE_ATTRIBUTE_DATA attributes) {
  struct stat st;
  if (StatRetry(path, &st) != 0) {
    SetErrorFromErrno(errno, path);
    return FALSE;
  }
  FillAttributes(st.st_mode, st.st_ctim, st.st_atim, st.st_mtim, static_cast<std::uint64_t>(st.st_size), attributes);
  SetError(ERROR_SUCCESS);
  return TRUE;
}

}  // namespace

BOOL GetFileAttributesExW(LPCWSTR lpFileName, GET_FILEEX_INFO_LEVELS fInfoLevelId, LPVOID lpFileInformation) {
  if (fInfoLevelId != GetFileExInfoStandard || lpFileInformation == nullptr) {
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  NativePathBuffer path;
  if (!path.Set(lpFileName)) {
    return FALSE;
  }
  return AttributesOf(path.c_str(), static_cast<LPWIN32_FILE_ATTRIBUTE_DATA>(lpFileInformation));
}

namespace VantrelPlatform {

namespace detail {

namespace {

// The attributes and the identity of a path in the system's form.
BOOL AttributesAndIdentityOf(const char *native, WIN32_FILE_ATTRIBUTE_DATA *attributes,
                             std::optional<FileIdentity> *identity) {
  struct statx sx;
  if (StatxRetry(AT_FDCWD, native, 0, &sx) != 0) {
    SetErrorFromErrno(errno, native);
    return FALSE;
  }
  FillAttributes(sx.stx_mode, Timespec(sx.stx_ctime), Timespec(sx.stx_atime), Timespec(sx.stx_mtime), sx.stx_size,
                 attributes);
  *identity = IdentityOf(sx);
  SetError(ERROR_SUCCESS);
  return TRUE;
}

// `length` characters of `path` come before its NUL.
BOOL AttributesAndIdentityOf(LPCWSTR path, std::size_t length, WIN32_FILE_ATTRIBUTE_DATA *attributes,
                             std::optional<FileIdentity> *identity) {
  if (attributes == nullptr || identity == nullptr) {
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  NativePathBuffer native;
  if (!native.Set(path, length)) {
    return FALSE;
  }
  return AttributesAndIdentityOf(native.c_str(), attributes, identity);
}

}  // namespace

BOOL AttributesOfUtf16(const Utf16Unit *path, std::size_t length, WIN32_FILE_ATTRIBUTE_DATA *attributes,
                       std::optional<FileIdentity> *identity) {
  if (path == nullptr || attributes == nullptr) {
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  NativePathBuffer native;
  if (!native.Set(path, length)) {
    return FALSE;
  }
  return identity != nullptr ? AttributesAndIdentityOf(native.c_str(), attributes, identity)
                             : AttributesOf(native.c_str(), attributes);
}

BOOL AttributesAndIdentityOf(LPCWSTR path, WIN32_FILE_ATTRIBUTE_DATA *attributes,
                             std::optional<FileIdentity> *identity) {
  return AttributesAndIdentityOf(path, path != nullptr ? std::wcslen(path) : 0, attributes, identity);
}

BOOL AttributesAndIdentityOf(const std::wstring &path, WIN32_FILE_ATTRIBUTE_DATA *attributes,
                             std::optional<FileIdentity> *identity) {
  return AttributesAndIdentityOf(path.c_str(), path.size(), attributes, identity);
}

}  // namespace detail

}  // namespace VantrelPlatform

HANDLE FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData) {
  if (lpFindFileData == nullptr) {
    SetError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  try {
    return FindFirst(lpFileName, lpFindFileData);
  } catch (const std::bad_alloc &) {
    SetError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
}

BOOL FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData) {
  std::shared_ptr<FindState> state;
  if (!FindHandles().Lookup(hFindFile, state)) {
    SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (lpFindFileData == nullptr) {
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::lock_guard<std::mutex> lock(state->mutex);
  try {
    return NextMatch(*state, lpFindFileData, ERROR_NO_MORE_FILES);
  } catch (const std::bad_alloc &) {
    SetError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
}

// Success leaves the last error alone, as on Windows: callers read the code of
// the FindNextFileW that ended a listing after closing it.
BOOL FindClose(HANDLE hFindFile) {
  std::shared_ptr<FindState> state;
  if (!FindHandles().Remove(hFindFile, state)) {
    SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD /*dwShareMode*/,
                   LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE /*hTemplateFile*/) {
  // Only opening an existing file for reading is supported; POSIX has no
  // share modes, so every share mode behaves as full sharing.
  if ((dwDesiredAccess & ~GENERIC_READ) != 0 || dwCreationDisposition != OPEN_EXISTING) {
    SetError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::string path;
  if (!NativePath(lpFileName, path)) {
    return INVALID_HANDLE_VALUE;
  }
  // O_NONBLOCK: opening a FIFO without a writer must not hang the caller.
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    SetErrorFromErrno(errno, path.c_str());
    return INVALID_HANDLE_VALUE;
  }
  // Windows refuses a directory without backup semantics. With them the
  // caller gets a handle whatever the path is, and the open costs no stat:
  // the identity is then read when it is asked for.
  OpenFile file;
  file.fd = fd;
  if ((dwFlagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS) == 0) {
    struct statx sx;
    if (StatxRetry(fd, "", AT_EMPTY_PATH, &sx) != 0) {
      const int error = errno;
      ::close(fd);
      SetErrorFromErrno(error, path.c_str());
      return INVALID_HANDLE_VALUE;
    }
    if (S_ISDIR(sx.stx_mode)) {
      ::close(fd);
      SetError(ERROR_ACCESS_DENIED);
      return INVALID_HANDLE_VALUE;
    }
    file.identity = IdentityOf(sx);
    file.identityRead = true;
  }
  try {
    HANDLE handle = FileHandles().Insert(file);
    SetError(ERROR_SUCCESS);
    return handle;
  } catch (const std::bad_alloc &) {
    ::close(fd);
    SetError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
}

// Success leaves the last error alone, as on Windows.
BOOL CloseHandle(HANDLE hObject) {
  OpenFile file;
  if (!FileHandles().Remove(hObject, file)) {
    SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  // Linux releases the descriptor even when close reports an error, so it
  // is never retried.
  if (::close(file.fd) != 0 && errno != EINTR) {
    SetErrorFromErrno(errno, nullptr);
    return FALSE;
  }
  return TRUE;
}

namespace {

// The runtime's record from the system's: it has no inode, owner or group;
// its permission bits sit where POSIX keeps them.
void FillStat64(mode_t mode, dev_t device, nlink_t links, off_t size, const struct timespec &accessed,
                const struct timespec &written, const struct timespec &changed, struct __stat64 *buffer) {
  std::memset(buffer, 0, sizeof *buffer);
  std::uint16_t type = 0;
  if (S_ISDIR(mode)) {
    type = _S_IFDIR;
  } else if (S_ISREG(mode)) {
    type = _S_IFREG;
  } else if (S_ISCHR(mode)) {
    type = 0x2000;  // _S_IFCHR
  } else if (S_ISFIFO(mode)) {
    type = 0x1000;  // _S_IFIFO
  }
  buffer->st_mode = static_cast<std::uint16_t>(type | (mode & 0777));
  buffer->st_dev = static_cast<std::uint32_t>(device);
  buffer->st_rdev = buffer->st_dev;
  buffer->st_nlink = static_cast<std::int16_t>(std::min<nlink_t>(links, 0x7FFF));
  buffer->st_size = S_ISDIR(mode) ? 0 : static_cast<std::int64_t>(size);
  buffer->st_atim = {accessed.tv_sec, accessed.tv_nsec};
  buffer->st_mtim = {written.tv_sec, written.tv_nsec};
  buffer->st_ctim = {changed.tv_sec, changed.tv_nsec};
}

// The path in the system's form; on failure errno as _wstat64 sets it.
bool StatPath(const wchar_t *path, struct __stat64 *buffer, NativePathBuffer &native) {
  if (path == nullptr || buffer == nullptr) {
    SetError(ERROR_INVALID_PARAMETER);
    errno = EINVAL;
    return false;
  }
  if (!native.Set(path)) {
    errno = GetLastError() == ERROR_NOT_ENOUGH_MEMORY ? ENOMEM : ENOENT;
    return false;
  }
  return true;
}

}  // namespace

int _wstat64(const wchar_t *path, struct __stat64 *buffer) {
  NativePathBuffer native;
  if (!StatPath(path, buffer, native)) {
    return -1;
  }
  struct stat st;
  if (StatRetry(native.c_str(), &st) != 0) {
    const int error = errno;
    SetErrorFromErrno(error, native.c_str());
    errno = error;
    return -1;
  }
  FillStat64(st.st_mode, st.st_dev, st.st_nlink, st.st_size, st.st_atim, st.st_mtim, st.st_ctim, buffer);
  SetError(ERROR_SUCCESS);
  return 0;
}

namespace VantrelPlatform {
namespace detail {

int Stat64AndIdentityOf(const wchar_t *path, struct __stat64 *buffer, std::optional<FileIdentity> *identity) {
  NativePathBuffer native;
  if (!StatPath(path, buffer, native)) {
    return -1;
  }
  struct statx sx;
  if (StatxRetry(AT_FDCWD, native.c_str(), 0, &sx) != 0) {
    const int error = errno;
    SetErrorFromErrno(error, native.c_str());
    errno = error;
    return -1;
  }
  FillStat64(sx.stx_mode, makedev(sx.stx_dev_major, sx.stx_dev_minor), sx.stx_nlink,
             static_cast<off_t>(sx.stx_size), Timespec(sx.stx_atime), Timespec(sx.stx_mtime),
             Timespec(sx.stx_ctime), buffer);
  if (identity != nullptr) {
    *identity = IdentityOf(sx);
  }
  SetError(ERROR_SUCCESS);
  return 0;
}

}  // namespace detail
}  // namespace VantrelPlatform

namespace VantrelPlatform {

bool WriteFully(int fd, const char *data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace VantrelPlatform
