#include <VantrelCommon/MessageBlockUtil.h>
#include <VantrelCommon/Text.h>

#include <Platform/Win32Api.h>

#include <cstdarg>
#include <new>

namespace WindowsAgentCommon {

// No locking strategy: a block belongs to one thread at a time, handed over
// through a queue.
void CreateDataMessageBlock(std::size_t size, ACE_Message_Block *&block) {
  ACE_Message_Block *created = new ACE_Message_Block(size);
  // ACE reports a failed data allocation by an empty block, not by throwing.
  if (size > 0 && (created->base() == nullptr || created->size() < size)) {
    created->release();
    throw std::bad_alloc();
  }
  block = created;
}

std::string Format(std::string &out, const char *format, ...) {
  va_list args;
  va_start(args, format);
  out = FormatV(format, args);
  va_end(args);
  return out;
}

std::string LastError(std::uint32_t code) { return VantrelPlatform::ErrorText(static_cast<DWORD>(code)); }

std::string GetLastErrorText(std::uint32_t code, std::string &out) { return out = LastError(code); }

}  // namespace WindowsAgentCommon
