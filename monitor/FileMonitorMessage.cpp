#include "monitor/FileMonitorMessage.h"

#include <Platform/Win32Api.h>
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

// A key-carrying message: szFilename[0] is the terminator of an empty path,
// szFilename[1] this marker (a noncharacter that no encoder writes), and the
// key's four 16-bit parts follow, lowest first.
const char16_t kKeyMarker = 0xFFFF;

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
  const std::u16string units = VantrelPlatform::ToUtf16(path);
  if (units.size() < kFilenameUnits) {
    std::memcpy(szFilename, units.data(), units.size() * sizeof(char16_t));
  }
}

FileMonitorMessage FileMonitorMessage::ForKey(std::int64_t key, IFileMonitorSink *sink, MonitorAction action) {
  FileMonitorMessage message(std::wstring(), sink, action);
  message.szFilename[1] = kKeyMarker;
  const auto bits = static_cast<std::uint64_t>(key);
  for (int i = 0; i < 4; ++i) {
    message.szFilename[2 + i] = static_cast<char16_t>((bits >> (16 * i)) & 0xFFFFu);
  }
  return message;
}

bool FileMonitorMessage::TravelsAsText(const std::wstring &path) {
  if (path.size() >= kFilenameUnits) {
    return false;  // every code point takes at least one unit
  }
  const std::u16string units = VantrelPlatform::ToUtf16(path);
  return units.size() < kFilenameUnits && VantrelPlatform::FromUtf16(units.data(), units.size()) == path;
}

bool FileMonitorMessage::CarriesKey() const { return szFilename[0] == 0 && szFilename[1] == kKeyMarker; }

std::int64_t FileMonitorMessage::Key() const {
  std::uint64_t bits = 0;
  for (int i = 0; i < 4; ++i) {
    bits |= static_cast<std::uint64_t>(szFilename[2 + i]) << (16 * i);
  }
  return static_cast<std::int64_t>(bits);
}

std::wstring FileMonitorMessage::Path() const {
  std::size_t length = 0;
  while (length < kFilenameUnits && szFilename[length] != 0) {
    ++length;
  }
  return VantrelPlatform::FromUtf16(szFilename, length);
}

ACE_Message_Block *FileMonitorMessage::ToBlock() const {
  ACE_Message_Block *block = nullptr;
  CreateDataMessageBlock(kImageSize, block);
  block->copy(reinterpret_cast<const char *>(this), kImageSize);
  return block;
}

}  // namespace WindowsAgentCommon
