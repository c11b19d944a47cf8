// Text conversions: any bytes to the wide form and back are the same bytes;
// well-formed UTF-16 to UTF-8 and back is the same UTF-16 (a lone surrogate
// has no UTF-8 form: it is converted, not compared); the fixed-size writer
// of the control message agrees with the growing one and never writes past
// its room (AddressSanitizer).
#include "tests/fuzz/FuzzSupport.h"

#include <Platform/Win32Api.h>

#include <cstring>
#include <vector>

using namespace VantrelPlatform;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char *>(data), size);
  Expect(ToUtf8(FromUtf8(bytes)) == bytes, "bytes to wide and back", bytes, ToUtf8(FromUtf8(bytes)));

  // The input as UTF-16 code units, up to a NUL.
  Utf16String units(size / 2, 0);
  std::memcpy(&units[0], data, units.size() * sizeof(Utf16Unit));
  units.resize(std::char_traits<Utf16Unit>::length(units.c_str()));
  bool wellFormed = true;
  for (std::size_t i = 0; i < units.size(); ++i) {
    const bool high = units[i] >= 0xD800 && units[i] < 0xDC00, low = units[i] >= 0xDC00 && units[i] < 0xE000;
    if (high && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] < 0xE000) ++i;
    else if (high || low) wellFormed = false;
  }
  const std::wstring wide = FromUtf16(units.data(), units.size());
  const Utf16String back = ToUtf16(FromUtf8(ToUtf8(wide)));
  Expect(!wellFormed || back == units, "UTF-16 to UTF-8 and back", bytes, ToUtf8(FromUtf16(back.data(), back.size())));

  // Into a fixed array: the units and a terminator, or `capacity` when they do not fit.
  const Utf16String all = ToUtf16(wide);
  const std::size_t capacity = size == 0 ? 0 : data[0] % 64;
  std::vector<Utf16Unit> room(capacity);
  const std::size_t written = ToUtf16(wide, room.data(), capacity);
  Expect(all.size() < capacity ? written == all.size() && Utf16String(room.data(), written + 1) == all + Utf16Unit(0)
                               : written == capacity,
         "the fixed-size writer", bytes, std::to_string(written));
  return 0;
}
