// The control message on a monitor's queue: a 536-byte plain record, copied
// byte for byte into a message block by the sender and out of it by the
// worker that takes it.
#ifndef VANTREL_MONITOR_FILEMONITORMESSAGE_H
#define VANTREL_MONITOR_FILEMONITORMESSAGE_H

#include "monitor/IFileMonitorSink.h"
#include "monitor/VantrelMonitorExport.h"

#include <Platform/Win32Api.h>

#include <ace/Message_Block.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace WindowsAgentCommon {

class MessageBlockPool;

struct VANTREL_MONITOR_API FileMonitorMessage {
  enum MonitorAction : std::uint32_t {
    MONITOR_ACTION_QUIT = 3,
    MONITOR_ACTION_CHECK = 4,
    MONITOR_ACTION_CHECK_AND_REPORT = 5,
    MONITOR_ACTION_RETIRE_THREAD = 6,
  };

  // Code units of szFilename, terminator included.
  static constexpr std::size_t kFilenameUnits = 260;
  static constexpr std::size_t kImageSize = 536;

  IFileMonitorSink *pSink;    // always null in the messages this library builds
  MonitorAction eAction;
  std::uint32_t idThread;     // always the null thread; nothing reads it
  VantrelPlatform::Utf16Unit szFilename[kFilenameUnits];  // UTF-16, zero-terminated

  // Action 0, empty path, every byte of szFilename zero.
  FileMonitorMessage();
  // Copies the path's UTF-16 code units and its terminator into szFilename.
  // A path that does not fit is not copied: szFilename is left empty.
  FileMonitorMessage(const std::wstring &path, IFileMonitorSink *sink, MonitorAction action);

  // A check message for a path that cannot travel as text: it carries the
  // path's registry key instead, behind an empty path and a marker that no
  // UTF-16 text can begin with after its terminator.
  static FileMonitorMessage ForKey(std::int64_t key, IFileMonitorSink *sink, MonitorAction action);

  // Whether a check message can carry the path as text: its UTF-16 form and
  // terminator fit szFilename, and Path() gives back exactly the same wide
  // string. Not so for a path that is too long, holds a NUL, a value above
  // U+10FFFF or a high surrogate followed by a low one; such a path travels
  // by key, so that a look-up never misses nor finds another path's record.
  static bool TravelsAsText(const std::wstring &path);

  // The check message of a record: its path, and its key behind the path's
  // terminator where there is room, so that the worker finds the record
  // without a search; a path that does not travel as text goes by key alone
  // (ForKey).
  static FileMonitorMessage ForRecord(const std::wstring &path, std::int64_t key, bool travelsAsText,
                                      MonitorAction action);

  // The image of ForRecord(path, key, travelsAsText, action) in a block
  // from `pool`, written there directly where the path's characters are
  // each one UTF-16 unit (the rule): the header, the path, its terminator
  // and the key. The units after the key are left unset, as the
  // constructor leaves those after a terminator. `image`, when not null,
  // is told where the image begins.
  static ACE_Message_Block *RecordBlock(const std::wstring &path, std::int64_t key, bool travelsAsText,
                                        MonitorAction action, MessageBlockPool &pool,
                                        const char **image = nullptr);

  bool CarriesKey() const;
  std::int64_t Key() const;   // valid when CarriesKey()
  // The key that follows the path's terminator, if one does (always when
  // CarriesKey()).
  bool KeyAfterPath(std::int64_t &key) const;
  std::wstring Path() const;  // the path of szFilename

  // A message's path where it lies in its block: `length` UTF-16 units and
  // their terminator; no units where it is not read there.
  struct PathUnits {
    const VantrelPlatform::Utf16Unit *units = nullptr;
    std::size_t length = 0;
  };

  // A message read where it lies in its block, the worker's way: only the
  // action, the path through its terminator and the key behind it are read,
  // never the whole image. Valid while the block is.
  class VANTREL_MONITOR_API InBlock {
   public:
    // The message at the block's read position, which moves kImageSize on, as
    // Unmarshal's does. A null block, or one with fewer readable bytes,
    // throws UnmarshalMemoryException, as Unmarshal does. `image`, when not
    // null, is the block's read position, told by whoever knows it (the
    // position itself is only found through the block's data block).
    explicit InBlock(ACE_Message_Block *block, const char *image = nullptr);
    MonitorAction Action() const { return action_; }
    bool CarriesKey() const;
    // As FileMonitorMessage::KeyAfterPath, and where the key is found, the
    // path's units in the block (valid while the block is).
    bool KeyAfterPath(std::int64_t &key, PathUnits &path) const;
    std::wstring Path() const;

   private:
    const char *filename_;  // szFilename's bytes in the block
    MonitorAction action_;
  };

  // Whether the check messages of a record carry its key (behind the path,
  // or alone), so that the worker finds the record without a search.
  static bool KeyTravels(const std::wstring &path, bool travelsAsText);

  // A new block holding this message's image, ready to queue.
  ACE_Message_Block *ToBlock() const;
  // The same in a block from `pool` (kImageSize blocks).
  ACE_Message_Block *ToBlock(MessageBlockPool &pool) const;
};

}  // namespace WindowsAgentCommon

#endif  // VANTREL_MONITOR_FILEMONITORMESSAGE_H
