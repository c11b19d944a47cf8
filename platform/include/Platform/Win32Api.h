// The Windows calls that the monitors make, under their Windows names.
//
// On Windows this header only includes the system's own headers (and
// declares the few helpers at its end). Elsewhere
// the platform layer supplies every call below with the same name, types,
// constants and error codes, implemented on POSIX, so the monitor code is one
// code base that never asks which system it runs on.
//
// Thread safety: every call may be made from any thread. GetLastError and
// SetLastError use a per-thread code. A call that fails sets it; a call that
// succeeds sets ERROR_SUCCESS, except where Windows leaves the code alone and
// callers rely on that: FindClose, CloseHandle, FindCloseChangeNotification,
// GetSystemTimeAsFileTime, Sleep and _time64 never change it on success (a
// listing's ERROR_NO_MORE_FILES is read after FindClose).
//
// POSIX handles are opaque numbers looked up in tables, never pointers: a
// closed, bogus or wrong-kind handle fails with ERROR_INVALID_HANDLE.
#ifndef VANTREL_PLATFORM_WIN32API_H
#define VANTREL_PLATFORM_WIN32API_H

#include <ace/Global_Macros.h>
#include <ace/Time_Value.h>
#include <ace/os_include/os_stddef.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#if defined(_WIN32)

#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <windows.h>

// The runtime's 64-bit stat record under its Microsoft name: mingw-w64 names
// the struct _stat64 and makes __stat64 a macro for it, which C++ then reads
// as the function _stat64.
#undef __stat64
typedef struct _stat64 __stat64;

#else  // POSIX

#include <sys/stat.h>  // st_mtime and friends are macros for st_mtim.tv_sec
#include <sys/types.h>

typedef std::uint32_t DWORD;
typedef int BOOL;
typedef void *HANDLE;
typedef void *HMODULE;
typedef void *PVOID;
typedef void *LPVOID;
typedef wchar_t WCHAR;
typedef const wchar_t *LPCWSTR;
typedef const char *LPCSTR;
typedef char *LPSTR;
typedef const char *LPCCH;
typedef BOOL *LPBOOL;
typedef std::int64_t __int64;
typedef std::uint32_t UINT;
typedef long (*FARPROC)();

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#ifndef MAX_PATH
#define MAX_PATH 260
#endif
#define WINAPI

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)))

// ACE defines a few of these names as 0 on POSIX for its own use; the layer's
// values are the Windows ones. (ACE's LPSECURITY_ATTRIBUTES, an int on POSIX,
// is kept: callers pass 0 for it, which means "none" on both systems.)
#undef FILE_ATTRIBUTE_NORMAL
#undef GENERIC_READ
#undef FILE_SHARE_READ
#undef OPEN_EXISTING

// File attributes.
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u

// CreateFileW.
#define GENERIC_READ 0x80000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define FILE_SHARE_DELETE 0x00000004u
#define OPEN_EXISTING 3u
// A directory is opened like a file instead of being refused.
#ifdef FILE_FLAG_BACKUP_SEMANTICS
#undef FILE_FLAG_BACKUP_SEMANTICS
#endif
#define FILE_FLAG_BACKUP_SEMANTICS 0x02000000u

// Change-notification filter.
#define FILE_NOTIFY_CHANGE_FILE_NAME 0x00000001u
#define FILE_NOTIFY_CHANGE_DIR_NAME 0x00000002u

// WaitForSingleObject.
#define WAIT_OBJECT_0 0u
#define WAIT_TIMEOUT 258u
#define WAIT_FAILED 0xFFFFFFFFu
#define INFINITE 0xFFFFFFFFu

// Code pages.
#define CP_UTF8 65001u

// Error codes that the monitors test or report.
#define ERROR_SUCCESS 0u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_TOO_MANY_OPEN_FILES 4u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_NO_MORE_FILES 18u
#define ERROR_GEN_FAILURE 31u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_INSUFFICIENT_BUFFER 122u
#define ERROR_MOD_NOT_FOUND 126u
#define ERROR_PROC_NOT_FOUND 127u
#define ERROR_FILENAME_EXCED_RANGE 206u
#define ERROR_NOT_ENOUGH_QUOTA 1816u
#define ERROR_CANT_RESOLVE_FILENAME 1921u

typedef struct _FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
} FILETIME, *LPFILETIME;

typedef enum _GET_FILEEX_INFO_LEVELS { GetFileExInfoStandard = 0, GetFileExMaxInfoLevel } GET_FILEEX_INFO_LEVELS;

typedef struct _WIN32_FILE_ATTRIBUTE_DATA {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
} WIN32_FILE_ATTRIBUTE_DATA, *LPWIN32_FILE_ATTRIBUTE_DATA;

typedef struct _WIN32_FIND_DATAW {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  WCHAR cFileName[MAX_PATH];
  WCHAR cAlternateFileName[14];
} WIN32_FIND_DATAW, *LPWIN32_FIND_DATAW;

// The runtime library's 64-bit stat record. <sys/stat.h> defines st_atime,
// st_mtime and st_ctime as macros for st_Xtim.tv_sec, so the times are kept in
// members of that shape and `s.st_mtime` reads the same on both systems.
struct __vantrel_time64 {
  std::int64_t tv_sec;
  std::int64_t tv_nsec;
};
struct __stat64 {
  std::uint32_t st_dev;
  std::uint16_t st_ino;
  std::uint16_t st_mode;
  std::int16_t st_nlink;
  std::int16_t st_uid;
  std::int16_t st_gid;
  std::uint32_t st_rdev;
  std::int64_t st_size;
  __vantrel_time64 st_atim;
  __vantrel_time64 st_mtim;
  __vantrel_time64 st_ctim;
};
#define _S_IFMT 0xF000
#define _S_IFDIR 0x4000
#define _S_IFREG 0x8000

// Files and directories. Paths are native POSIX paths. FindFirstFileW lists
// the directory before the last '/' and keeps the entries whose names match
// the last component ('*' and '?' wildcards; "*" and "*.*" match all); a
// trailing "\*" or "/*" lists every entry, "." and ".." included. A listing
// fills cFileName and dwFileAttributes (directory or normal, following
// symbolic links) and leaves times and sizes 0. CreateFileW opens an existing
// file for reading only (GENERIC_READ, OPEN_EXISTING); a directory is refused
// with ERROR_ACCESS_DENIED unless FILE_FLAG_BACKUP_SEMANTICS is given, and a
// FIFO opens without waiting for a writer.
BOOL GetFileAttributesExW(LPCWSTR lpFileName, GET_FILEEX_INFO_LEVELS fInfoLevelId, LPVOID lpFileInformation);
HANDLE FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData);
BOOL FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData);
BOOL FindClose(HANDLE hFindFile);
HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
BOOL CloseHandle(HANDLE hObject);
int _wstat64(const wchar_t *path, struct __stat64 *buffer);

// Directory change notifications (one process-wide inotify instance; a handle
// costs no file descriptor of its own). Only bWatchSubtree FALSE and filters
// of FILE_NOTIFY_CHANGE_FILE_NAME and/or FILE_NOTIFY_CHANGE_DIR_NAME are
// supported; anything else fails with ERROR_INVALID_PARAMETER. A handle whose
// directory was deleted is signalled once; re-arming it then fails with
// ERROR_FILE_NOT_FOUND, as it can never be signalled again. WaitForSingleObject
// takes change handles only.
HANDLE FindFirstChangeNotificationW(LPCWSTR lpPathName, BOOL bWatchSubtree, DWORD dwNotifyFilter);
BOOL FindNextChangeNotification(HANDLE hChangeHandle);
BOOL FindCloseChangeNotification(HANDLE hChangeHandle);
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);

// Modules: nothing is ever found on POSIX.
HMODULE GetModuleHandleW(LPCWSTR lpModuleName);
FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName);

// Time, sleeping, errors, text.
void GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime);
void Sleep(DWORD dwMilliseconds);
DWORD GetLastError();
void SetLastError(DWORD dwErrCode);
int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, const wchar_t *lpWideCharStr, int cchWideChar,
                        LPSTR lpMultiByteStr, int cbMultiByte, LPCCH lpDefaultChar, LPBOOL lpUsedDefaultChar);
__int64 _time64(__int64 *timer);

#endif  // POSIX

namespace VantrelPlatform {

// The one conversion from a FILETIME (100-ns ticks since 1601) to an
// ACE_Time_Value of the Unix epoch, used on both systems.
ACE_Time_Value TimeValueFromFileTime(const FILETIME &ft);

// The current system time as an ACE_Time_Value (GetSystemTimeAsFileTime
// converted with TimeValueFromFileTime). It can be set back or forward at
// any moment: use it for what is compared with file times or reported.
ACE_Time_Value SystemTimeNow();

// A change notification on one file, waited for, re-armed and closed like
// those of FindFirstChangeNotificationW: signalled when the file's contents,
// size, times or name may have changed, and whenever such a change may have
// gone unseen (its directory went or moved, the system dropped events).
// Linux tells the files of a directory apart by name, through the
// directory's watch; Windows signals for any file of the directory (sizes,
// write times and names). INVALID_HANDLE_VALUE, with the last error, when
// the directory cannot be watched, where its file system's notifications
// cannot be trusted (ChangeNotificationsTrusted), and on Linux when the path
// is a symbolic link (its target changes where its directory's watch does
// not look).
//
// With a mailbox, the handle also posts `cookie` to it when it is signalled
// by a change that names its file, or when its directory goes or moves (not
// when the system dropped events: every handle is then signalled, and read
// at its own time); the mailbox lives as long as any handle posts to it.
class ChangeMailbox;
HANDLE OpenFileChangeNotification(const std::wstring &path,
                                  const std::shared_ptr<ChangeMailbox> &mailbox = nullptr,
                                  std::uint64_t cookie = 0);

// FindFirstChangeNotificationW(path, FALSE, filter), whose handle also posts
// `cookie` to the mailbox when it is signalled (as above).
HANDLE OpenDirectoryChangeNotification(const std::wstring &path, DWORD filter,
                                       const std::shared_ptr<ChangeMailbox> &mailbox, std::uint64_t cookie);

// A new, empty mailbox; null on Windows, where handles cannot post (one
// directory notification there stands for all its files, and the check
// reads them when it fires).
std::shared_ptr<ChangeMailbox> NewChangeMailbox();

// Appends to `cookies` the cookie of every handle that posted to the mailbox
// since the last take, each once, having read what the system has
// notified so far. True when the system dropped events since the last take
// while a handle posted to the mailbox: any of them may have missed a change
// and posted nothing. Never blocks for long and never throws.
bool TakeChanges(ChangeMailbox &mailbox, std::vector<std::uint64_t> &cookies) noexcept;

// Whether a change handle has been signalled since its last re-arm by what
// has been read of the system's notifications so far: the answer of
// WaitForSingleObject(handle, 0) without its read of the system's queue, so
// it may miss the latest changes (Windows has no queue to read: there it is
// that answer). For a look that must be cheap and may be wrong that way.
bool ChangeSignalled(HANDLE handle);

// Whether the file system that holds `path` (or would hold it) notifies
// every change of its files: not so for network file systems, whose files
// other hosts change unseen, nor for FUSE ones; false too when the type
// cannot be told.
bool ChangeNotificationsTrusted(const std::wstring &path);

// A clock that only moves forward, at the rate of real time, from an
// arbitrary origin (the system's start): use it for due times and delays.
ACE_Time_Value MonotonicNow();

// The ACE handle behind a handle from CreateFileW, for ACE_OS::fstat.
ACE_HANDLE AceHandle(HANDLE h);

// The system's own text for an error code, on one line: Windows's message
// on Windows; on POSIX the strerror text of the errno that this thread's last
// failure with that code came from, else of the errno the code stands for.
std::string ErrorText(DWORD code);

// Writes all of `data` to a descriptor, resuming after interruptions and
// partial writes; false when the descriptor fails. Used by the log and the
// agent, whose lines must each go out in one piece.
// On Windows, UTF-8 text for a console is written to it as UTF-16, so that
// every name shows as it is whatever the console's code page.
bool WriteFully(int fd, const char *data, std::size_t size);

// UTF-8 from a wide string and back, lossless for every byte string a file
// name can hold: FromUtf8 turns each byte that is not part of well-formed
// UTF-8 into U+DC00 + byte, and ToUtf8 writes U+DC80..U+DCFF back as that
// byte. Other surrogates and values above U+10FFFF become U+FFFD in UTF-8.
// Never throws for bad input, never truncates.
std::string ToUtf8(const std::wstring &text);
std::string ToUtf8(const wchar_t *text);
std::wstring FromUtf8(const std::string &text);

// What a path to watch for change notifications loses at its start: spaces,
// and on Windows also slashes and backslashes. (Spaces, slashes and
// backslashes go at its end on every system.) On POSIX a leading slash makes
// the path absolute and stays.
#if defined(_WIN32)
constexpr const wchar_t *kWatchedFormLeadingTrim = L" \\/";
#else
constexpr const wchar_t *kWatchedFormLeadingTrim = L" ";
#endif

// Whether the runtime's _wstat64 of a file gives the size and write time
// that a read handle on it gives: so on POSIX, where both read the one
// inode; not on Windows, where the directory entry that it reads may lag
// behind a file that its writer holds open.
#if defined(_WIN32)
constexpr bool kStatSeesOpenFiles = false;
#else
constexpr bool kStatSeesOpenFiles = true;
#endif

// A UTF-16 code unit: wchar_t itself where it is one (Windows), char16_t
// elsewhere.
#if defined(_WIN32)
typedef wchar_t Utf16Unit;
#else
typedef char16_t Utf16Unit;
#endif
typedef std::basic_string<Utf16Unit> Utf16String;

// UTF-16 code units from a wide string and back (a copy where wchar_t is
// 16-bit). Code points above U+FFFF become surrogate pairs; a surrogate code
// point stays its own unit both ways, as in a Windows wide string; values
// above U+10FFFF become U+FFFD. FromUtf16 reads at most `length` units and
// stops at the first NUL, so a fixed-size, terminated array can be passed
// with its full size.
Utf16String ToUtf16(const std::wstring &text);
std::wstring FromUtf16(const Utf16Unit *text, std::size_t length);
// The units of ToUtf16(text) and a terminating zero, written into `out`
// (room for `capacity` units) without allocating. Returns the number of
// units before the terminator, or `capacity` when they and the terminator
// do not fit; nothing is written at or past out[capacity].
std::size_t ToUtf16(const std::wstring &text, Utf16Unit *out, std::size_t capacity);

// Which file a path names, as opposed to what it holds. Two names of one
// file have equal identities; a file created after another was renamed away
// or deleted has another one, even where it reuses the other's number.
//   volume: the device (POSIX) or the volume serial number (Windows);
//   file: the inode number (POSIX) or the file index (Windows; the low half
//     of a 128-bit file id where the file system has those);
//   instance: what tells apart two files that had one number in turn: the
//     birth time in nanoseconds since 1970 where the file system records one
//     (POSIX; Linux reuses a deleted file's inode number at once), the high
//     half of a 128-bit file id (Windows, whose 64-bit index already holds a
//     reuse count); else 0.
struct FileIdentity {
  std::uint64_t volume = 0;
  std::uint64_t file = 0;
  std::uint64_t instance = 0;
  bool operator==(const FileIdentity &other) const {
    return volume == other.volume && file == other.file && instance == other.instance;
  }
  bool operator!=(const FileIdentity &other) const { return !(*this == other); }
};

// GetFileAttributesExW at GetFileExInfoStandard, and the identity of the
// same file: on POSIX both from one statx call; on Windows the identity is
// asked of a handle opened without access rights and with backup semantics
// (so that a directory has one too). Fails as GetFileAttributesExW does, with
// the same error codes, and then leaves `identity` alone. On success
// `identity` is empty where the identity could not be read (on Windows the
// file went, or may not be opened, between the two calls): it is unknown,
// never a made-up value to compare.
BOOL GetFileAttributesAndIdentity(LPCWSTR path, WIN32_FILE_ATTRIBUTE_DATA *attributes,
                                  std::optional<FileIdentity> *identity);
// The same for a path held in a string, whose length the POSIX layer then
// need not look for (a NUL in it ends the path, as it ends path.c_str()).
BOOL GetFileAttributesAndIdentity(const std::wstring &path, WIN32_FILE_ATTRIBUTE_DATA *attributes,
                                  std::optional<FileIdentity> *identity);

// GetFileAttributesExW at GetFileExInfoStandard, and with `identity`
// GetFileAttributesAndIdentity, of the path whose `length` UTF-16 units are
// followed by a zero unit (path[length] == 0), read where they lie: the path
// is FromUtf16(path, length), but no wide string is made of it (on Windows
// the units are the wide path itself). Fails as those calls do.
BOOL GetFileAttributesOfUtf16(const Utf16Unit *path, std::size_t length, WIN32_FILE_ATTRIBUTE_DATA *attributes,
                              std::optional<FileIdentity> *identity);

// _wstat64 of `path` and, with `identity`, the identity of the same file:
// on POSIX both from one statx call; on Windows the identity as
// GetFileAttributesAndIdentity reads it, after the stat. Fails as _wstat64
// does and then leaves `identity` alone; on success `identity` is empty
// where the identity could not be read.
int Stat64AndIdentity(const wchar_t *path, __stat64 *buffer, std::optional<FileIdentity> *identity);

// Paths this long or longer go to Windows in their long form: MAX_PATH less
// the 12 characters that CreateDirectoryW keeps for an 8.3 name, so that a
// directory's listing pattern ("\*" appended) fits too.
constexpr std::size_t kLongPathFrom = MAX_PATH - 12;

// A full Windows path (as GetFullPathNameW gives it: backslashes, no "." or
// "..") of kLongPathFrom characters or more in the form that lifts the
// MAX_PATH limit: C:\dir as \\?\C:\dir, \\server\share as
// \\?\UNC\server\share. A shorter path, one already in that form, a device
// path (\\.\) and anything else stay as they are.
std::wstring LongPathForm(const std::wstring &fullPath);

#if defined(_WIN32)
// What the file calls below hand to the system for `path`: the path itself
// when it is absolute and shorter than kLongPathFrom, else its full path
// (GetFullPathNameW) in LongPathForm.
std::wstring SystemPath(LPCWSTR path);

BOOL LongGetFileAttributesExW(LPCWSTR path, GET_FILEEX_INFO_LEVELS level, LPVOID information);
HANDLE LongFindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW found);
HANDLE LongCreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                       DWORD flags, HANDLE templateFile);
HANDLE LongFindFirstChangeNotificationW(LPCWSTR path, BOOL subtree, DWORD filter);
// The runtime's _wstat64 from the system's attributes, so that it takes every
// path the calls above take (msvcrt's own refuses \\?\ paths):
// st_mode directory or regular file with read, write (unless read-only) and
// execute bits, st_size (0 for a directory), the three times in whole
// seconds since 1970 (st_ctime the creation time, as msvcrt has it), st_dev
// and st_rdev the drive's number where there is one, st_nlink 1. Fails with
// -1 and errno ENOENT for a missing file or directory, else EACCES or EINVAL.
int LongStat64(const wchar_t *path, struct _stat64 *buffer);
#endif

// The identity of the file behind a handle from CreateFileW. On POSIX it was
// read when the handle was opened, in the call that checks the file's type,
// so asking costs no system call (for a handle opened with backup semantics,
// which skips that call, it is read now); on Windows it is asked of the handle:
// the 128-bit file id (GetFileInformationByHandleEx, FileIdInfo) where the
// file system has one, else the 64-bit file index. False for a handle that is
// not such a handle.
bool IdentityOfHandle(HANDLE file, FileIdentity &identity);

}  // namespace VantrelPlatform

#if defined(_WIN32)
// The file calls of the sources reach the system through the long forms above.
#define GetFileAttributesExW VantrelPlatform::LongGetFileAttributesExW
#define FindFirstFileW VantrelPlatform::LongFindFirstFileW
#define CreateFileW VantrelPlatform::LongCreateFileW
#define FindFirstChangeNotificationW VantrelPlatform::LongFindFirstChangeNotificationW
#define _wstat64 VantrelPlatform::LongStat64
#endif

#endif  // VANTREL_PLATFORM_WIN32API_H
