// Message blocks, formatting and error texts.
#ifndef VANTREL_COMMON_MESSAGEBLOCKUTIL_H
#define VANTREL_COMMON_MESSAGEBLOCKUTIL_H

#include <VantrelCommon/Exceptions.h>
#include <VantrelCommon/Text.h>

#include <ace/Message_Block.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>

namespace WindowsAgentCommon {

// A new, empty data block with room for `size` bytes; never null (allocation
// failure throws std::bad_alloc). The caller owns it until it is queued.
void CreateDataMessageBlock(std::size_t size, ACE_Message_Block *&block);

// Copies sizeof(T) bytes from the block's read position into `out` and
// advances the read position; returns the number of bytes read. A null block
// or one with fewer readable bytes throws UnmarshalMemoryException.
template <class T>
int Unmarshal(ACE_Message_Block *block, T &out) {
  static_assert(std::is_trivially_copyable<T>::value, "Unmarshal copies bytes");
  if (block == nullptr || block->length() < sizeof(T)) {
    throw UnmarshalMemoryException("VantrelCommon/MessageBlockUtil", "WindowsAgentCommon::Unmarshal", __LINE__);
  }
  std::memcpy(static_cast<void *>(&out), block->rd_ptr(), sizeof(T));
  block->rd_ptr(sizeof(T));
  return static_cast<int>(sizeof(T));
}

// Formats into `out` (replacing what it held) and returns the text. The
// conversions are those of Text.h (%ls wide strings as UTF-8, %I64u).
std::string Format(std::string &out, const char *format, ...) VANTREL_PRINTF_LIKE(2, 3);

// The text of a Windows error code: the system's own message ("Access is
// denied."; strerror's text on POSIX). The one error-text function above
// the platform layer.
std::string LastError(std::uint32_t code);
// The same text, also written into `out`; the form some readers expect.
std::string GetLastErrorText(std::uint32_t code, std::string &out);

}  // namespace WindowsAgentCommon

#endif  // VANTREL_COMMON_MESSAGEBLOCKUTIL_H
