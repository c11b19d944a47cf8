// Helpers shared by the POSIX sources of the platform layer. Not installed.
#ifndef VANTREL_PLATFORM_POSIX_INTERNAL_H
#define VANTREL_PLATFORM_POSIX_INTERNAL_H

#include <Platform/Win32Api.h>

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <limits>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>

// The helpers are the layer's own: hidden, they are called directly rather
// than through the library's procedure linkage table.
#pragma GCC visibility push(hidden)

namespace VantrelPlatform {
namespace detail {

// Sets the calling thread's last error; the errno kept for ERROR_GEN_FAILURE
// texts is left alone.
void SetError(DWORD code);

// Sets the calling thread's last error from an errno value and returns it.
// ENOENT is ERROR_FILE_NOT_FOUND when the parent directory of `path` exists,
// else ERROR_PATH_NOT_FOUND; a null `path` says that the missing object is a
// directory of the path itself (ERROR_PATH_NOT_FOUND). ENOSPC is the inotify
// watch limit only when `inotify` is set.
DWORD SetErrorFromErrno(int error, const char *path, bool inotify = false);

// UTF-8 of `length` wide characters (embedded NULs included).
std::string Utf8Of(const wchar_t *text, std::size_t length);

// The same written to `out`, followed by a NUL, when it fits in `capacity`
// bytes with the NUL: returns the length without the NUL, else kNoRoom.
constexpr std::size_t kNoRoom = ~std::size_t{0};
std::size_t Utf8Into(const wchar_t *text, std::size_t length, char *out, std::size_t capacity);
// The same for `length` UTF-16 units, read as FromUtf16 reads them.
std::size_t Utf8Into(const char16_t *text, std::size_t length, char *out, std::size_t capacity);

// The UTF-8 form of a path given to a call. An empty path fails with
// ERROR_PATH_NOT_FOUND, as on Windows; false means the error is set.
bool NativePath(const wchar_t *path, std::string &out);

// The same, for a path that is only passed on to one system call: a path
// whose UTF-8 fits (the rule) is written into the object itself, with no
// allocation; a longer one goes through NativePath. Meant for the stack.
class NativePathBuffer {
 public:
  NativePathBuffer() = default;
  NativePathBuffer(const NativePathBuffer &) = delete;
  NativePathBuffer &operator=(const NativePathBuffer &) = delete;
  // As NativePath.
  bool Set(const wchar_t *path);
  // The same for a path whose NUL the caller knows: path[length]. A NUL
  // before it ends the path all the same.
  bool Set(const wchar_t *path, std::size_t length);
  // The same for a path given as UTF-16 units, FromUtf16(path, length).
  bool Set(const char16_t *path, std::size_t length);
  const char *c_str() const { return text_; }

 private:
  static constexpr std::size_t kInline = 512;
  char inline_[kInline];
  std::string other_;
  const char *text_ = "";
};

// Handles are opaque numbers, never pointers: the top four bits name the
// kind of object and the rest is a serial number that a table maps to the
// object. Null and INVALID_HANDLE_VALUE decode to no kind, so a closed, bogus
// or wrong-kind handle is an error and never touches memory.
enum class HandleKind : std::uintptr_t { File = 1, Find = 2, Change = 3 };

constexpr unsigned kHandleKindShift = sizeof(std::uintptr_t) * 8 - 4;
constexpr std::uintptr_t kHandleSerialMask = (std::uintptr_t{1} << kHandleKindShift) - 1;

inline HANDLE MakeHandle(HandleKind kind, std::uintptr_t serial) {
  return reinterpret_cast<HANDLE>((static_cast<std::uintptr_t>(kind) << kHandleKindShift) | serial);
}

inline bool HandleSerial(HANDLE handle, HandleKind kind, std::uintptr_t &serial) {
  const auto value = reinterpret_cast<std::uintptr_t>(handle);
  if ((value >> kHandleKindShift) != static_cast<std::uintptr_t>(kind)) {
    return false;
  }
  serial = value & kHandleSerialMask;
  return serial != 0;
}

// Serial numbers of one kind of handle, mapped to their objects.
// Instances are thread-safe: all member data is guarded by mutex_, which is
// held only for the map operation (never across a system call).
template <class T>
class HandleTable final {
 public:
  explicit HandleTable(HandleKind kind) : kind_(kind) {}
  HandleTable(const HandleTable &) = delete;
  HandleTable &operator=(const HandleTable &) = delete;

  // Throws std::bad_alloc when the table cannot grow.
  HANDLE Insert(T value) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::uintptr_t serial = next_;
    // Serials are not reused while the counter has not wrapped, which on a
    // 64-bit system is never; after a wrap the live ones are skipped.
    while (entries_.count(serial) != 0) {
      serial = Following(serial);
    }
    entries_.emplace(serial, std::move(value));
    next_ = Following(serial);
    return MakeHandle(kind_, serial);
  }

  bool Lookup(HANDLE handle, T &out) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = Find(*this, handle);
    if (it == entries_.end()) {
      return false;
    }
    out = it->second;
    return true;
  }

  bool Remove(HANDLE handle, T &out) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = Find(*this, handle);
    if (it == entries_.end()) {
      return false;
    }
    out = std::move(it->second);
    entries_.erase(it);
    return true;
  }

 private:
  // The entry of a handle of this table's kind; end() for any other handle.
  // Called with mutex_ held; Self is the table, const or not.
  template <class Self>
  static auto Find(Self &self, HANDLE handle) -> decltype(self.entries_.end()) {
    std::uintptr_t serial = 0;
    return HandleSerial(handle, self.kind_, serial) ? self.entries_.find(serial) : self.entries_.end();
  }

  static std::uintptr_t Following(std::uintptr_t serial) { return serial == kHandleSerialMask ? 1 : serial + 1; }

  const HandleKind kind_;
  mutable std::mutex mutex_;
  std::unordered_map<std::uintptr_t, T> entries_;
  std::uintptr_t next_ = 1;
};

// 100-ns ticks between 1601-01-01 and 1970-01-01.
constexpr std::int64_t kFileTimeUnixEpoch = 116444736000000000LL;
constexpr std::int64_t kTicksPerSecond = 10000000LL;

// A POSIX time as a FILETIME; times before 1601 become 0, times beyond the
// range the largest FILETIME. Inline: a read of a file's attributes takes
// three.
inline FILETIME FileTimeFromTimespec(const struct timespec &ts) {
  constexpr std::int64_t kMaxSeconds =
      (std::numeric_limits<std::int64_t>::max() - kFileTimeUnixEpoch) / kTicksPerSecond - 1;
  constexpr std::int64_t kMinSeconds = -kFileTimeUnixEpoch / kTicksPerSecond;
  std::int64_t ticks = 0;
  const std::int64_t seconds = ts.tv_sec;
  if (seconds > kMaxSeconds) {
    ticks = std::numeric_limits<std::int64_t>::max();
  } else if (seconds >= kMinSeconds) {
    ticks = std::max<std::int64_t>(0, seconds * kTicksPerSecond + ts.tv_nsec / 100 + kFileTimeUnixEpoch);
  }
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(ticks) & 0xFFFFFFFFu);
  ft.dwHighDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(ticks) >> 32);
  return ft;
}

}  // namespace detail
}  // namespace VantrelPlatform

#pragma GCC visibility pop

#endif  // VANTREL_PLATFORM_POSIX_INTERNAL_H
