#include "monitor/FileMonitorMessage.h"

#include "monitor/MessageBlockPool.h"

#include <Platform/Win32Api.h>
#include <VantrelCommon/Exceptions.h>
#include <VantrelCommon/MessageBlockUtil.h>

#include <ace/OS_NS_Thread.h>

#include <cstring>
#include <type_traits>

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
  for (std::size_t i = 0; i < 4; ++i) {
    units[length + 2 + i] = static_cast<VantrelPlatform::Utf16Unit>((bits >> (16 * i)) & 0xFFFFu);
  }
}

// The field's units are read from its bytes, wherever they lie: in a
// message, or in a block that a worker reads in place.
VantrelPlatform::Utf16Unit UnitAt(const char *filename, std::size_t i) {
  VantrelPlatform::Utf16Unit unit;
  std::memcpy(&unit, filename + i * sizeof(unit), sizeof(unit));
  return unit;
}

std::size_t LengthOf(const char *filename) {
  std::size_t length = 0;
  while (length < FileMonitorMessage::kFilenameUnits && UnitAt(filename, length) != 0) {
    ++length;
  }
  return length;
}

std::int64_t ReadKey(const char *filename, std::size_t length) {
  std::uint64_t bits = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    bits |= static_cast<std::uint64_t>(UnitAt(filename, length + 2 + i)) << (16 * i);
  }
  return static_cast<std::int64_t>(bits);
}

bool CarriesKeyAlone(const char *filename) { return UnitAt(filename, 0) == 0 && UnitAt(filename, 1) == kKeyMarker; }

bool KeyBehindPath(const char *filename, std::int64_t &key) {
  const std::size_t length = LengthOf(filename);
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
                                                   MonitorAction action, MessageBlockPool &pool) {
  const std::size_t length = path.size();
  if (!travelsAsText || length + kKeyUnits >= kFilenameUnits) {
    return ForRecord(path, key, travelsAsText, action).ToBlock(pool);
  }
  VantrelPlatform::Utf16Unit units[kFilenameUnits];
  for (std::size_t i = 0; i < length; ++i) {
    const auto c = static_cast<std::uint32_t>(path[i]);
    if (c > 0xFFFF) {
      return ForRecord(path, key, travelsAsText, action).ToBlock(pool);
    }
    units[i] = static_cast<VantrelPlatform::Utf16Unit>(c);
  }
  units[length] = 0;
  WriteKey(units, length, key);
  const std::size_t used = (length + kKeyUnits) * sizeof(VantrelPlatform::Utf16Unit);

  ACE_Message_Block *block = pool.Take();
  char *image = block->wr_ptr();
  const IFileMonitorSink *noSink = nullptr;
  static const std::uint32_t threadId = NullThreadId();
  std::memcpy(image + offsetof(FileMonitorMessage, pSink), &noSink, sizeof(noSink));
  std::memcpy(image + offsetof(FileMonitorMessage, eAction), &action, sizeof(action));
  std::memcpy(image + offsetof(FileMonitorMessage, idThread), &threadId, sizeof(threadId));
  std::memcpy(image + offsetof(FileMonitorMessage, szFilename), units, used);
  block->wr_ptr(kImageSize);
  return block;
}

FileMonitorMessage::InBlock::InBlock(ACE_Message_Block *block) {
  if (block == nullptr || block->length() < kImageSize) {
    // As Unmarshal throws it: the worker's read of a message is Unmarshal's.
    throw UnmarshalMemoryException("VantrelCommon/MessageBlockUtil", "WindowsAgentCommon::Unmarshal", __LINE__);
  }
  const char *image = block->rd_ptr();
  std::memcpy(&action_, image + offsetof(FileMonitorMessage, eAction), sizeof(action_));
  filename_ = image + offsetof(FileMonitorMessage, szFilename);
  block->rd_ptr(kImageSize);
}

bool FileMonitorMessage::InBlock::CarriesKey() const { return CarriesKeyAlone(filename_); }

bool FileMonitorMessage::InBlock::KeyAfterPath(std::int64_t &key) const { return KeyBehindPath(filename_, key); }

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

bool FileMonitorMessage::KeyAfterPath(std::int64_t &key) const { return KeyBehindPath(FilenameBytes(*this), key); }

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
