// Unicode conversions between wide strings (UTF-32 on POSIX), UTF-8 and
// UTF-16. Every function is pure and thread-safe and never ends a conversion
// early.
//
// A Linux name is a byte string that need not be UTF-8, so the conversions
// are lossless for every byte string (the "surrogate escape" of file names):
// FromUtf8 turns each byte that is not part of well-formed UTF-8 into the
// code point U+DC00 + byte (U+DC80..U+DCFF), and ToUtf8 turns those code
// points back into that byte. ToUtf8(FromUtf8(bytes)) == bytes for every
// string of bytes.
//
// Wide strings that no byte string produces still convert without failing:
// on the way to UTF-8 a surrogate outside U+DC80..U+DCFF and a value above
// U+10FFFF become U+FFFD. On the way to UTF-16 a surrogate code point stays
// the one unit it is (as a Windows wide string may hold it), a value above
// U+10FFFF becomes U+FFFD, and an unpaired surrogate unit read back stays
// that code point; only a high surrogate directly followed by a low one
// reads back as the pair's code point.
#include <Platform/Win32Api.h>

#include "Internal.h"

#include <climits>
#include <cstring>
#include <cwchar>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace VantrelPlatform {
namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr std::uint32_t kEscapeBase = 0xDC00;

bool IsSurrogate(std::uint32_t cp) { return cp >= 0xD800 && cp <= 0xDFFF; }
bool IsScalarValue(std::uint32_t cp) { return cp <= 0x10FFFF && !IsSurrogate(cp); }
bool IsEscapedByte(std::uint32_t cp) { return cp >= kEscapeBase + 0x80 && cp <= kEscapeBase + 0xFF; }

// Writes the UTF-8 of one wide character to `out` (room for 4 bytes) and
// returns its length.
std::size_t EncodeUtf8(std::uint32_t cp, char *out) {
  if (IsEscapedByte(cp)) {
    out[0] = static_cast<char>(cp - kEscapeBase);
    return 1;
  }
  if (!IsScalarValue(cp)) {
    cp = kReplacement;
  }
  if (cp < 0x80) {
    out[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = static_cast<char>(0xC0 | (cp >> 6));
    out[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (cp >> 12));
    out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (cp >> 18));
  out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (cp & 0x3F));
  return 4;
}

void AppendUtf8(std::string &out, std::uint32_t cp) {
  char bytes[4];
  out.append(bytes, EncodeUtf8(cp, bytes));
}

// Decodes the code point at s[i] and advances i past it. When the bytes at
// s[i] do not begin a well-formed sequence (overlong, surrogate, above
// U+10FFFF, cut short, a stray continuation byte), only the first byte is
// consumed and comes back escaped; decoding resumes at the byte after it.
char32_t DecodeUtf8(const unsigned char *s, std::size_t n, std::size_t &i) {
  const std::size_t start = i;
  const unsigned char lead = s[i++];
  if (lead < 0x80) {
    return lead;
  }
  int trailing = 0;
  char32_t cp = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    trailing = 1;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    trailing = 2;
    cp = lead & 0x0F;
    if (lead == 0xE0) {
      low = 0xA0;  // overlong
    } else if (lead == 0xED) {
      high = 0x9F;  // surrogates
    }
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    trailing = 3;
    cp = lead & 0x07;
    if (lead == 0xF0) {
      low = 0x90;  // overlong
    } else if (lead == 0xF4) {
      high = 0x8F;  // above U+10FFFF
    }
  } else {
    return kEscapeBase + lead;
  }
  for (int k = 0; k < trailing; ++k) {
    if (i >= n || s[i] < low || s[i] > high) {
      i = start + 1;
      return kEscapeBase + lead;
    }
    cp = (cp << 6) | (s[i++] & 0x3F);
    low = 0x80;
    high = 0xBF;
  }
  return cp;
}

// The code point at text[i] of `length` UTF-16 units, and i moved past it:
// a high surrogate directly followed by a low one is their pair's, any other
// unit its own.
char32_t NextOf(const char16_t *text, std::size_t length, std::size_t &i) {
  const char32_t unit = text[i++];
  if (unit >= 0xD800 && unit <= 0xDBFF && i < length && text[i] >= 0xDC00 && text[i] <= 0xDFFF) {
    return 0x10000 + ((unit - 0xD800) << 10) + (text[i++] - 0xDC00);
  }
  return unit;
}

// The code point at text[i] of wide characters, and i moved past it.
char32_t NextOf(const wchar_t *text, std::size_t, std::size_t &i) { return static_cast<std::uint32_t>(text[i++]); }

#if defined(__SSE2__)
// Sixteen characters from `text` as bytes at `out`: a value below 0x80 comes
// through the saturating packs unchanged. Returns the OR of the characters,
// for the ASCII test.
__m128i PackSixteen(const wchar_t *text, char *out) {
  static_assert(sizeof(wchar_t) == 4, "four characters a vector");
  const auto *in = reinterpret_cast<const __m128i *>(text);
  const __m128i a = _mm_loadu_si128(in);
  const __m128i b = _mm_loadu_si128(in + 1);
  const __m128i c = _mm_loadu_si128(in + 2);
  const __m128i d = _mm_loadu_si128(in + 3);
  _mm_storeu_si128(reinterpret_cast<__m128i *>(out), _mm_packus_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, d)));
  return _mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d));
}

__m128i PackSixteen(const char16_t *text, char *out) {
  const auto *in = reinterpret_cast<const __m128i *>(text);
  const __m128i a = _mm_loadu_si128(in);
  const __m128i b = _mm_loadu_si128(in + 1);
  _mm_storeu_si128(reinterpret_cast<__m128i *>(out), _mm_packus_epi16(a, b));
  return _mm_or_si128(a, b);
}
#endif

// Writes the characters (wide or UTF-16) to `out`, one byte each, and says
// whether they are all ASCII; when not, `out` holds nothing of use. With
// SSE2 sixteen characters a step, the last step overlapping the one before,
// and one OR of them all tested at the end; else, and for what is shorter
// than one step, a character at a time.
template <class Char>
bool AsciiInto(const Char *text, std::size_t length, char *out) {
#if defined(__SSE2__)
  constexpr std::size_t kStep = 16;
  if (length >= kStep) {
    __m128i any = _mm_setzero_si128();
    for (std::size_t at = 0;; at += kStep) {
      if (at + kStep > length) {
        at = length - kStep;
      }
      any = _mm_or_si128(any, PackSixteen(text + at, out + at));
      if (at + kStep == length) {
        break;
      }
    }
    const __m128i above = _mm_and_si128(any, sizeof(Char) == 4 ? _mm_set1_epi32(~0x7F) : _mm_set1_epi16(~0x7F));
    return _mm_movemask_epi8(_mm_cmpeq_epi8(above, _mm_setzero_si128())) == 0xFFFF;
  }
#endif
  std::uint32_t any = 0;
  for (std::size_t i = 0; i < length; ++i) {
    const auto value = static_cast<std::uint32_t>(text[i]);
    any |= value;
    out[i] = static_cast<char>(value);
  }
  return any < 0x80;
}

// Utf8Into of wide characters or of UTF-16 units: ASCII as a rule, written
// as such in one pass, else encoded again a code point at a time.
template <class Char>
std::size_t Utf8IntoOf(const Char *text, std::size_t length, char *out, std::size_t capacity) {
  if (length < capacity && AsciiInto(text, length, out)) {
    out[length] = '\0';
    return length;
  }
  std::size_t used = 0;
  for (std::size_t i = 0; i < length;) {
    char bytes[4];
    const std::size_t n = EncodeUtf8(NextOf(text, length, i), bytes);
    if (capacity - used <= n) {
      return detail::kNoRoom;  // no room for these bytes and the terminator
    }
    std::memcpy(out + used, bytes, n);
    used += n;
  }
  if (used >= capacity) {
    return detail::kNoRoom;
  }
  out[used] = '\0';
  return used;
}

}  // namespace

namespace detail {

std::string Utf8Of(const wchar_t *text, std::size_t length) {
  // Paths are ASCII as a rule: written as such in one pass; else the ASCII
  // characters before the first other one are, and the rest is encoded one
  // by one.
  std::string out(length, '\0');
  if (AsciiInto(text, length, &out[0])) {
    return out;
  }
  std::size_t i = 0;
  while (i < length && static_cast<std::uint32_t>(text[i]) < 0x80) {
    out[i] = static_cast<char>(text[i]);
    ++i;
  }
  out.resize(i);
  for (; i < length; ++i) {
    AppendUtf8(out, static_cast<std::uint32_t>(text[i]));
  }
  return out;
}

std::size_t Utf8Into(const wchar_t *text, std::size_t length, char *out, std::size_t capacity) {
  return Utf8IntoOf(text, length, out, capacity);
}

std::size_t Utf8Into(const char16_t *text, std::size_t length, char *out, std::size_t capacity) {
  return Utf8IntoOf(text, length, out, capacity);
}

}  // namespace detail

std::string ToUtf8(const std::wstring &text) { return detail::Utf8Of(text.data(), text.size()); }

std::string ToUtf8(const wchar_t *text) {
  return text == nullptr ? std::string() : detail::Utf8Of(text, std::wcslen(text));
}

std::wstring FromUtf8(const std::string &text) {
  std::wstring out;
  out.reserve(text.size());
  const auto *bytes = reinterpret_cast<const unsigned char *>(text.data());
  std::size_t i = 0;
  while (i < text.size()) {
    out.push_back(static_cast<wchar_t>(DecodeUtf8(bytes, text.size(), i)));
  }
  return out;
}

std::u16string ToUtf16(const std::wstring &text) {
  std::u16string out;
  out.reserve(text.size());
  for (const wchar_t wc : text) {
    std::uint32_t cp = static_cast<std::uint32_t>(wc);
    if (cp > 0x10FFFF) {
      cp = kReplacement;
    }
    if (cp < 0x10000) {
      out.push_back(static_cast<char16_t>(cp));
    } else {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    }
  }
  return out;
}

std::size_t ToUtf16(const std::wstring &text, char16_t *out, std::size_t capacity) {
  const wchar_t *in = text.data();
  const std::size_t size = text.size();
  std::size_t i = 0;
  std::size_t n = 0;
  // Code points below the surrogates are one unit each: the usual path needs
  // neither the scalar test nor a room test per unit.
  if (size < capacity) {
    while (i < size && static_cast<std::uint32_t>(in[i]) < 0xD800) {
      out[i] = static_cast<char16_t>(in[i]);
      ++i;
    }
    n = i;
  }
  for (; i < size; ++i) {
    std::uint32_t cp = static_cast<std::uint32_t>(in[i]);
    if (cp > 0x10FFFF) {
      cp = kReplacement;
    }
    const std::size_t units = cp < 0x10000 ? 1 : 2;
    if (n + units >= capacity) {
      return capacity;
    }
    if (units == 1) {
      out[n++] = static_cast<char16_t>(cp);
    } else {
      cp -= 0x10000;
      out[n++] = static_cast<char16_t>(0xD800 + (cp >> 10));
      out[n++] = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    }
  }
  if (n >= capacity) {
    return capacity;
  }
  out[n] = 0;
  return n;
}

std::wstring FromUtf16(const char16_t *text, std::size_t length) {
  std::wstring out;
  if (text == nullptr) {
    return out;
  }
  std::size_t end = 0;
  while (end < length && text[end] != 0) {
    ++end;
  }
  out.reserve(end);
  for (std::size_t i = 0; i < end;) {
    out.push_back(static_cast<wchar_t>(NextOf(text, end, i)));
  }
  return out;
}

}  // namespace VantrelPlatform

using VantrelPlatform::detail::SetError;

int WideCharToMultiByte(UINT CodePage, DWORD /*dwFlags*/, const wchar_t *lpWideCharStr, int cchWideChar,
                        LPSTR lpMultiByteStr, int cbMultiByte, LPCCH lpDefaultChar, LPBOOL lpUsedDefaultChar) {
  // UTF-8 has no default character: Windows refuses one for this code page.
  if (CodePage != CP_UTF8 || lpWideCharStr == nullptr || cchWideChar == 0 || cchWideChar < -1 ||
      cbMultiByte < 0 || (cbMultiByte > 0 && lpMultiByteStr == nullptr) || lpDefaultChar != nullptr ||
      lpUsedDefaultChar != nullptr) {
    SetError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const std::size_t length =
      cchWideChar == -1 ? std::wcslen(lpWideCharStr) + 1 : static_cast<std::size_t>(cchWideChar);
  std::string utf8;
  try {
    utf8 = VantrelPlatform::detail::Utf8Of(lpWideCharStr, length);
  } catch (const std::bad_alloc &) {
    SetError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  if (utf8.size() > static_cast<std::size_t>(INT_MAX)) {
    SetError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const int needed = static_cast<int>(utf8.size());
  if (cbMultiByte == 0) {
    SetError(ERROR_SUCCESS);
    return needed;
  }
  if (cbMultiByte < needed) {
    SetError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(lpMultiByteStr, utf8.data(), utf8.size());
  SetError(ERROR_SUCCESS);
  return needed;
}
