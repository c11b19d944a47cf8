// What the sources ask of the platform beyond the Windows calls themselves:
// conversions between UTF-16 and UTF-8, the time conversions built on ACE's
// FILETIME support, error texts and whole writes. Everything else is the
// system's own.
#include <Platform/ChangeNotificationCalls.h>
#include <Platform/Win32Api.h>

#include <io.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <cwchar>

namespace VantrelPlatform {

ACE_Time_Value TimeValueFromFileTime(const FILETIME &ft) { return ACE_Time_Value(ft); }

ACE_Time_Value SystemTimeNow() {
  FILETIME now;
  ::GetSystemTimeAsFileTime(&now);
  return TimeValueFromFileTime(now);
}

ACE_Time_Value MonotonicNow() {
  // Milliseconds since the system started; never set back or forward.
  const ULONGLONG millis = ::GetTickCount64();
  return ACE_Time_Value(static_cast<time_t>(millis / 1000), static_cast<suseconds_t>((millis % 1000) * 1000));
}

ACE_HANDLE AceHandle(HANDLE h) { return h; }

namespace {

// The directory part of a path; empty when it has none.
std::wstring DirectoryOf(const std::wstring &path) {
  const std::size_t separator = path.find_last_of(L"\\/");
  if (separator == std::wstring::npos) return std::wstring();
  if (separator == 0 || (separator == 2 && path[1] == L':')) return path.substr(0, separator + 1);
  return path.substr(0, separator);
}

}  // namespace

// No mailbox is ever posted to here: see TakeChanges.
class ChangeMailbox {};

std::shared_ptr<ChangeMailbox> NewChangeMailbox() { return nullptr; }

bool ChangeSignalled(HANDLE handle) { return ::WaitForSingleObject(handle, 0) != WAIT_TIMEOUT; }

namespace {

class SystemChangeNotificationCalls final : public ChangeNotificationCalls {
 public:
  HANDLE OpenDirectory(const std::wstring &path, DWORD filter, const std::shared_ptr<ChangeMailbox> &,
                       std::uint64_t) override {
    return ::FindFirstChangeNotificationW(path.c_str(), FALSE, filter);
  }

  bool Take(ChangeMailbox &, std::vector<std::uint64_t> &) noexcept override { return false; }

  HANDLE OpenFile(const std::wstring &path, const std::shared_ptr<ChangeMailbox> &, std::uint64_t) override {
    if (!Trusted(path)) {
      ::SetLastError(ERROR_INVALID_PARAMETER);
      return INVALID_HANDLE_VALUE;
    }
    // A file has no notification of its own: its directory's, for sizes,
    // write times and names, stands for every file in it.
    std::wstring directory = DirectoryOf(path);
    if (directory.empty()) directory = L".";
    return ::FindFirstChangeNotificationW(
        directory.c_str(), FALSE,
        FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE);
  }

  bool Trusted(const std::wstring &path) override {
    wchar_t root[MAX_PATH + 1];
    if (!::GetVolumePathNameW(path.c_str(), root, MAX_PATH + 1)) return false;
    return ::GetDriveTypeW(root) != DRIVE_REMOTE;
  }
};

}  // namespace

ChangeNotificationCalls &ChangeNotificationCalls::System() {
  static auto *calls = new SystemChangeNotificationCalls();
  return *calls;
}

namespace {

// WideCharToMultiByte and MultiByteToWideChar take int lengths; longer text is
// converted in pieces that never split a surrogate pair or a UTF-8 sequence.
const std::size_t kPiece = 1u << 28;

void AppendUtf8(const wchar_t *text, std::size_t length, std::string &out) {
  while (length > 0) {
    std::size_t piece = length < kPiece ? length : kPiece;
    if (piece < length && text[piece - 1] >= 0xD800 && text[piece - 1] <= 0xDBFF) --piece;
    const int units = static_cast<int>(piece);
    const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text, units, nullptr, 0, nullptr, nullptr);
    if (bytes > 0) {
      const std::size_t at = out.size();
      out.resize(at + static_cast<std::size_t>(bytes));
      ::WideCharToMultiByte(CP_UTF8, 0, text, units, &out[at], bytes, nullptr, nullptr);
    }
    text += piece;
    length -= piece;
  }
}

}  // namespace

std::string ToUtf8(const std::wstring &text) {
  std::string out;
  AppendUtf8(text.data(), text.size(), out);
  return out;
}

std::string ToUtf8(const wchar_t *text) {
  std::string out;
  if (text != nullptr) AppendUtf8(text, std::wcslen(text), out);
  return out;
}

// Ill-formed UTF-8 becomes U+FFFD, as MultiByteToWideChar does without
// MB_ERR_INVALID_CHARS.
std::wstring FromUtf8(const std::string &text) {
  std::wstring out;
  const char *bytes = text.data();
  std::size_t length = text.size();
  while (length > 0) {
    std::size_t piece = length < kPiece ? length : kPiece;
    while (piece < length && piece > 0 && (static_cast<unsigned char>(bytes[piece]) & 0xC0) == 0x80) --piece;
    if (piece == 0) piece = length < kPiece ? length : kPiece;
    const int units = ::MultiByteToWideChar(CP_UTF8, 0, bytes, static_cast<int>(piece), nullptr, 0);
    if (units > 0) {
      const std::size_t at = out.size();
      out.resize(at + static_cast<std::size_t>(units));
      ::MultiByteToWideChar(CP_UTF8, 0, bytes, static_cast<int>(piece), &out[at], units);
    }
    bytes += piece;
    length -= piece;
  }
  return out;
}

Utf16String ToUtf16(const std::wstring &text) { return text; }

std::size_t ToUtf16(const std::wstring &text, Utf16Unit *out, std::size_t capacity) {
  if (text.size() >= capacity) return capacity;
  std::copy(text.begin(), text.end(), out);
  out[text.size()] = 0;
  return text.size();
}

std::wstring FromUtf16(const Utf16Unit *text, std::size_t length) {
  std::wstring out;
  if (text == nullptr) return out;
  std::size_t end = 0;
  while (end < length && text[end] != 0) ++end;
  out.assign(text, end);
  return out;
}

std::string ErrorText(DWORD code) {
  wchar_t *buffer = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
      reinterpret_cast<wchar_t *>(&buffer), 0, nullptr);
  std::string text;
  if (length > 0 && buffer != nullptr) text = ToUtf8(std::wstring(buffer, length));
  if (buffer != nullptr) ::LocalFree(buffer);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  if (text.empty()) text = "Windows error " + std::to_string(code);
  return text;
}

// The 128-bit file id where the file system keeps one (ReFS needs all of
// it; NTFS's is its 64-bit index, high half 0), else the 64-bit index.
namespace detail {

bool IdentityOfOpenFile(HANDLE file, FileIdentity &identity) {
  FILE_ID_INFO id;
  if (::GetFileInformationByHandleEx(file, FileIdInfo, &id, sizeof(id))) {
    static_assert(sizeof(id.FileId.Identifier) == 2 * sizeof(std::uint64_t), "a 128-bit file id");
    identity.volume = id.VolumeSerialNumber;
    std::memcpy(&identity.file, id.FileId.Identifier, sizeof(identity.file));
    std::memcpy(&identity.instance, id.FileId.Identifier + sizeof(identity.file), sizeof(identity.instance));
    return true;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(file, &info)) return false;
  identity.volume = info.dwVolumeSerialNumber;
  identity.file = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  identity.instance = 0;
  return true;
}

// The identity is read through IdentityOfHandle, the installed calls' read.
BOOL AttributesAndIdentityOf(LPCWSTR path, WIN32_FILE_ATTRIBUTE_DATA *attributes,
                             std::optional<FileIdentity> *identity) {
  if (attributes == nullptr || identity == nullptr) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // Both calls take the path's long form (Platform/Win32Api.h).
  if (!GetFileAttributesExW(path, GetFileExInfoStandard, attributes)) return FALSE;
  identity->reset();
  const HANDLE file = CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    FileIdentity read;
    if (IdentityOfHandle(file, read)) *identity = read;
    ::CloseHandle(file);
  }
  ::SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL AttributesAndIdentityOf(const std::wstring &path, WIN32_FILE_ATTRIBUTE_DATA *attributes,
                             std::optional<FileIdentity> *identity) {
  return AttributesAndIdentityOf(path.c_str(), attributes, identity);
}

BOOL AttributesOfUtf16(const Utf16Unit *path, std::size_t /*length*/, WIN32_FILE_ATTRIBUTE_DATA *attributes,
                       std::optional<FileIdentity> *identity) {
  return identity != nullptr ? AttributesAndIdentityOf(path, attributes, identity)
                             : GetFileAttributesExW(path, GetFileExInfoStandard, attributes);
}

// The identity is read through GetFileAttributesAndIdentity, the installed
// calls' read.
int Stat64AndIdentityOf(const wchar_t *path, __stat64 *buffer, std::optional<FileIdentity> *identity) {
  if (_wstat64(path, buffer) != 0) return -1;
  if (identity != nullptr) {
    WIN32_FILE_ATTRIBUTE_DATA attributes;
    if (!GetFileAttributesAndIdentity(path, &attributes, identity)) identity->reset();
  }
  return 0;
}

}  // namespace detail

namespace {

// A console shows UTF-16 whatever its code page: the text is written so.
bool WriteToConsole(HANDLE console, const char *data, std::size_t size) {
  const std::wstring text = FromUtf8(std::string(data, size));
  const wchar_t *at = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    const DWORD chunk = left < 16384 ? static_cast<DWORD>(left) : 16384;
    DWORD written = 0;
    if (!::WriteConsoleW(console, at, chunk, &written, nullptr) || written == 0) return false;
    at += written;
    left -= written;
  }
  return true;
}

}  // namespace

bool WriteFully(int fd, const char *data, std::size_t size) {
  const HANDLE handle = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
  DWORD mode = 0;
  if (handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode)) return WriteToConsole(handle, data, size);
  while (size > 0) {
    const unsigned int chunk = size < static_cast<std::size_t>(INT_MAX) ? static_cast<unsigned int>(size) : INT_MAX;
    const int written = ::_write(fd, data, chunk);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

}  // namespace VantrelPlatform
