#include "monitor/FileMonitorMessage.h"

#include "monitor/MessageBlockPool.h"

#include <Platform/Win32Api.h>
#include <VantrelCommon/Exceptions.h>
#include <VantrelCommon/MessageBlockUtil.h>

#include <ace/OS_NS_Thread.h>

#include <cstring>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace WindowsAgentCommon {

static_assert(sizeof(FileMonitorMessage) == FileMonitorMessage::kImageSize, "the message is a 536-byte image");
static_assert(offsetof(FileMonitorMessage, eAction) == 8, "eAction at offset 8");
static_assert(offsetof(FileMonitorMessage, idThread) == 12, "idThread at offset 12");
static_assert(offsetof(FileMonitorMessage, szFilename) == 16, "szFilename at offset 16");
static_assert(std::is_trivially_copyable<FileMonitorMessage>::value, "the message is copied as bytes");

namespace {

// A key behind a path: after the path's terminator, this marker (a
// noncharacter that no encoder writes) and the key's four 16-bit parts,
// lowest first. A message that carries only a key has an empty path.
const VantrelPlatform::Utf16Unit kKeyMarker = 0xFFFF;
const std::size_t kKeyUnits = 6;  // terminator, marker, four parts

void WriteKey(VantrelPlatform::Utf16Unit *units, std::size_t length, std::int64_t key) {
  units[length + 1] = kKeyMarker;
  const auto bits = static_cast<std::uint64_t>(key);
  units[length + 2] = static_cast<VantrelPlatform::Utf16Unit>(bits & 0xFFFFu);
  units[length + 3] = static_cast<VantrelPlatform::Utf16Unit>((bits >> 16) & 0xFFFFu);
  units[length + 4] = static_cast<VantrelPlatform::Utf16Unit>((bits >> 32) & 0xFFFFu);
  units[length + 5] = static_cast<VantrelPlatform::Utf16Unit>(bits >> 48);
}

// The field's units are read from its bytes, wherever they lie: in a
// message, or in a block that a worker reads in place.
VantrelPlatform::Utf16Unit UnitAt(const char *filename, std::size_t i) {
  VantrelPlatform::Utf16Unit unit;
  std::memcpy(&unit, filename + i * sizeof(unit), sizeof(unit));
  return unit;
}

// With SSE2 eight units a step, and the first zero unit of a step read from
// its comparison's mask; the field is 32 steps and a half, the half read
// alone. Else four units a step: a word holds a zero unit exactly when the
// borrow test below sets a flag in it (it may also flag a unit above the
// zero one, never in a word without one), and that word's units are then
// read one by one.
std::size_t LengthOf(const char *filename) {
#if defined(__SSE2__)
  constexpr std::size_t kUnits = FileMonitorMessage::kFilenameUnits;
  static_assert(sizeof(VantrelPlatform::Utf16Unit) == 2 && kUnits % 8 == 4, "32 steps of 16 bytes and 8 more");
  const __m128i zero = _mm_setzero_si128();
  for (std::size_t at = 0; at + 8 <= kUnits; at += 8) {
    const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i *>(filename + at * 2));
    const int mask = _mm_movemask_epi8(_mm_cmpeq_epi16(units, zero));
    if (mask != 0) {
      return at + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(mask))) / 2;
    }
  }
  for (std::size_t at = kUnits - 4; at < kUnits; ++at) {
    if (UnitAt(filename, at) == 0) {
      return at;
    }
  }
  return kUnits;
#else
  constexpr std::size_t kStep = sizeof(std::uint64_t) / sizeof(VantrelPlatform::Utf16Unit);
  static_assert(FileMonitorMessage::kFilenameUnits % kStep == 0, "the field is whole words");
  constexpr std::uint64_t kOnes = 0x0001000100010001u;
  constexpr std::uint64_t kHighs = 0x8000800080008000u;
  for (std::size_t at = 0; at < FileMonitorMessage::kFilenameUnits; at += kStep) {
    std::uint64_t word;
    std::memcpy(&word, filename + at * sizeof(VantrelPlatform::Utf16Unit), sizeof(word));
    if (((word - kOnes) & ~word & kHighs) != 0) {
      std::size_t length = at;
      while (UnitAt(filename, length) != 0) {
        ++length;
      }
      return length;
    }
  }
  return FileMonitorMessage::kFilenameUnits;
#endif
}

std::int64_t ReadKey(const char *filename, std::size_t length) {
  const std::uint64_t bits = static_cast<std::uint64_t>(UnitAt(filename, length + 2)) |
                             static_cast<std::uint64_t>(UnitAt(filename, length + 3)) << 16 |
                             static_cast<std::uint64_t>(UnitAt(filename, length + 4)) << 32 |
                             static_cast<std::uint64_t>(UnitAt(filename, length + 5)) << 48;
  return static_cast<std::int64_t>(bits);
}

bool CarriesKeyAlone(const char *filename) { return UnitAt(filename, 0) == 0 && UnitAt(filename, 1) == kKeyMarker; }

bool KeyBehindPath(const char *filename, std::int64_t &key, std::size_t &length) {
  length = LengthOf(filename);
  if (length + kKeyUnits >= FileMonitorMessage::kFilenameUnits || UnitAt(filename, length + 1) != kKeyMarker) {
    return false;
  }
  key = ReadKey(filename, length);
  return true;
}

std::wstring PathOf(const char *filename) {
  VantrelPlatform::Utf16Unit units[FileMonitorMessage::kFilenameUnits];
  const std::size_t length = LengthOf(filename);
  std::memcpy(units, filename, length * sizeof(units[0]));
  return VantrelPlatform::FromUtf16(units, length);
}

// Writes the path's characters to `units`, one unit each, and says whether
// each is below U+10000, which it then is as UTF-16 (on Windows every wide
// character is). Paths are so as a rule: eight characters a step, with one
// OR of them all tested at the end; the last step overlaps the one before.
bool EachOneUnit(const wchar_t *path, std::size_t length, VantrelPlatform::Utf16Unit *units) {
  constexpr std::size_t kStep = 8;
  if constexpr (sizeof(wchar_t) == sizeof(VantrelPlatform::Utf16Unit)) {
    std::memcpy(units, path, length * sizeof(wchar_t));
    return true;
  }
  if (length < kStep) {
    std::uint32_t any = 0;
    for (std::size_t i = 0; i < length; ++i) {
      const auto c = static_cast<std::uint32_t>(path[i]);
      any |= c;
      units[i] = static_cast<VantrelPlatform::Utf16Unit>(c);
    }
    return any <= 0xFFFF;
  }
  std::uint32_t any[kStep] = {};
  for (std::size_t at = 0;; at += kStep) {
    if (at + kStep > length) {
      at = length - kStep;
    }
    for (std::size_t k = 0; k < kStep; ++k) {
      const auto c = static_cast<std::uint32_t>(path[at + k]);
      any[k] |= c;
      units[at + k] = static_cast<VantrelPlatform::Utf16Unit>(c);
    }
    if (at + kStep == length) {
      break;
    }
  }
  std::uint32_t all = 0;
  for (const std::uint32_t lane : any) {
    all |= lane;
  }
  return all <= 0xFFFF;
}

const char *FilenameBytes(const FileMonitorMessage &message) {
  return reinterpret_cast<const char *>(message.szFilename);
}

std::uint32_t NullThreadId() {
  ACE_thread_t none = ACE_OS::NULL_thread;
  std::uint32_t id = 0;
  std::memcpy(&id, &none, sizeof(id) < sizeof(none) ? sizeof(id) : sizeof(none));
  return id;
}

}  // namespace

FileMonitorMessage::FileMonitorMessage()
    : pSink(nullptr), eAction(static_cast<MonitorAction>(0)), idThread(NullThreadId()), szFilename{} {}

FileMonitorMessage::FileMonitorMessage(const std::wstring &path, IFileMonitorSink *sink, MonitorAction action)
    : pSink(sink), eAction(action), idThread(NullThreadId()), szFilename{} {
  if (VantrelPlatform::ToUtf16(path, szFilename, kFilenameUnits) == kFilenameUnits) {
    std::memset(szFilename, 0, sizeof(szFilename));
  }
}

FileMonitorMessage FileMonitorMessage::ForKey(std::int64_t key, IFileMonitorSink *sink, MonitorAction action) {
  FileMonitorMessage message(std::wstring(), sink, action);
  WriteKey(message.szFilename, 0, key);
  return message;
}

FileMonitorMessage FileMonitorMessage::ForRecord(const std::wstring &path, std::int64_t key, bool travelsAsText,
                                                 MonitorAction action) {
  if (!travelsAsText) {
    return ForKey(key, nullptr, action);
  }
  FileMonitorMessage message;
  message.eAction = action;
  const std::size_t length = VantrelPlatform::ToUtf16(path, message.szFilename, kFilenameUnits);
  if (length == kFilenameUnits) {
    return ForKey(key, nullptr, action);
  }
  if (length + kKeyUnits < kFilenameUnits) {
    WriteKey(message.szFilename, length, key);
  }
  return message;
}

ACE_Message_Block *FileMonitorMessage::RecordBlock(const std::wstring &path, std::int64_t key, bool travelsAsText,
                                                   MonitorAction action, MessageBlockPool &pool,
                                                   const char **imageAt) {
  char *image = nullptr;
  ACE_Message_Block *block = pool.Take(image);
  if (imageAt != nullptr) {
    *imageAt = image;
  }
  const std::size_t length = path.size();
  auto *units = reinterpret_cast<VantrelPlatform::Utf16Unit *>(image + offsetof(FileMonitorMessage, szFilename));
  if (travelsAsText && length + kKeyUnits < kFilenameUnits && EachOneUnit(path.data(), length, units)) {
    units[length] = 0;
    WriteKey(units, length, key);
    const IFileMonitorSink *noSink = nullptr;
    static const std::uint32_t threadId = NullThreadId();
    std::memcpy(image + offsetof(FileMonitorMessage, pSink), &noSink, sizeof(noSink));
    std::memcpy(image + offsetof(FileMonitorMessage, eAction), &action, sizeof(action));
    std::memcpy(image + offsetof(FileMonitorMessage, idThread), &threadId, sizeof(threadId));
  } else {
    const FileMonitorMessage message = ForRecord(path, key, travelsAsText, action);
    std::memcpy(image, &message, kImageSize);
  }
  block->wr_ptr(kImageSize);
  return block;
}

FileMonitorMessage::InBlock::InBlock(ACE_Message_Block *block, const char *image) {
  if (block == nullptr || block->length() < kImageSize) {
    // As Unmarshal throws it: the worker's read of a message is Unmarshal's.
    throw UnmarshalMemoryException("VantrelCommon/MessageBlockUtil", "WindowsAgentCommon::Unmarshal", __LINE__);
  }
  if (image == nullptr) {
    image = block->rd_ptr();
  }
  std::memcpy(&action_, image + offsetof(FileMonitorMessage, eAction), sizeof(action_));
  filename_ = image + offsetof(FileMonitorMessage, szFilename);
  block->rd_ptr(kImageSize);
}

bool FileMonitorMessage::InBlock::CarriesKey() const { return CarriesKeyAlone(filename_); }

bool FileMonitorMessage::InBlock::KeyAfterPath(std::int64_t &key, PathUnits &path) const {
  std::size_t length;
  if (!KeyBehindPath(filename_, key, length)) {
    return false;
  }
  // A key alone has no path in front of it. The units are read in place
  // only where they lie on their own alignment, as in a block's image from
  // the allocator.
  if (length != 0 && reinterpret_cast<std::uintptr_t>(filename_) % alignof(VantrelPlatform::Utf16Unit) == 0) {
    path.units = reinterpret_cast<const VantrelPlatform::Utf16Unit *>(filename_);
    path.length = length;
  }
  return true;
}

std::wstring FileMonitorMessage::InBlock::Path() const { return PathOf(filename_); }

bool FileMonitorMessage::KeyTravels(const std::wstring &path, bool travelsAsText) {
  if (!travelsAsText || path.size() * 2 + kKeyUnits < kFilenameUnits) {
    return true;  // by key alone, or behind a path short enough at two units a character
  }
  return VantrelPlatform::ToUtf16(path).size() + kKeyUnits < kFilenameUnits;
}

bool FileMonitorMessage::TravelsAsText(const std::wstring &path) {
  if (path.size() >= kFilenameUnits) {
    return false;  // every code point takes at least one unit
  }
  const VantrelPlatform::Utf16String units = VantrelPlatform::ToUtf16(path);
  return units.size() < kFilenameUnits && VantrelPlatform::FromUtf16(units.data(), units.size()) == path;
}

bool FileMonitorMessage::CarriesKey() const { return CarriesKeyAlone(FilenameBytes(*this)); }

std::int64_t FileMonitorMessage::Key() const { return ReadKey(FilenameBytes(*this), 0); }

bool FileMonitorMessage::KeyAfterPath(std::int64_t &key) const {
  std::size_t length;
  return KeyBehindPath(FilenameBytes(*this), key, length);
}

std::wstring FileMonitorMessage::Path() const { return PathOf(FilenameBytes(*this)); }

ACE_Message_Block *FileMonitorMessage::ToBlock() const {
  ACE_Message_Block *block = nullptr;
  CreateDataMessageBlock(kImageSize, block);
  block->copy(reinterpret_cast<const char *>(this), kImageSize);
  return block;
}

ACE_Message_Block *FileMonitorMessage::ToBlock(MessageBlockPool &pool) const {
  ACE_Message_Block *block = pool.Take();
  block->copy(reinterpret_cast<const char *>(this), kImageSize);
  return block;
}

}  // namespace WindowsAgentCommon
