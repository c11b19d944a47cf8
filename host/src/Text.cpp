// The printf engine behind logging and Format().
//
// The format is walked here, one conversion at a time, instead of being handed
// to vsnprintf whole: only that way can %ls be written as UTF-8 whatever the
// locale, %I64u be read as 64 bits on every system, a malformed conversion be
// replaced by a marker instead of reading an argument of the wrong type, and
// %n never be honoured. Each well-formed conversion is passed to snprintf on
// its own, with the argument already taken from the list with its real type.
#include <VantrelCommon/Text.h>

#include <Platform/Win32Api.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <type_traits>

namespace WindowsAgentCommon {

namespace {

// A wint_t argument arrives promoted to int where it is narrower (Windows).
typedef std::conditional<(sizeof(wint_t) < sizeof(int)), int, wint_t>::type PromotedWint;


const char kTruncatedMarker[] = "...[truncated]";
const char kBadFormat[] = "<bad format>";
const char kNull[] = "(null)";

// Widths and precisions beyond this are taken for a corrupt format rather
// than a request for megabytes of padding.
const long kMaxField = 1L << 20;

enum class Length { None, HH, H, L, LL, BigL, J, Z, T, I64, I32, I };

struct Conversion {
  std::string flags;
  bool widthStar = false;
  long width = -1;  // -1: none
  bool precisionStar = false;
  long precision = -1;  // resolved value; -1: none
  Length length = Length::None;
  char conversion = 0;
};

// Where the literal text resumes after a malformed conversion that starts
// at `p`: past everything that looks like part of it, and past its letter.
const char *SkipMalformed(const char *p) {
  while (*p != '\0' && std::strchr("-+ #0'123456789.*$hlLqjztI", *p) != nullptr) ++p;
  const unsigned char c = static_cast<unsigned char>(*p);
  if (c < 0x80u && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) ++p;
  return p;
}

// Parses the conversion that starts after the '%' at `p`. On success returns
// the position after it; on a malformed conversion returns null and leaves in
// `end` the position where copying the literal text resumes.
const char *ParseConversion(const char *p, Conversion &conv, const char *&end) {
  const char *const start = p;
  auto fail = [&]() -> const char * {
    end = SkipMalformed(start);
    return nullptr;
  };
  while (*p != '\0' && std::strchr("-+ #0'", *p) != nullptr) {
    conv.flags += *p++;
  }
  if (*p == '*') {
    conv.widthStar = true;
    ++p;
  } else if (*p >= '0' && *p <= '9') {
    long w = 0;
    while (*p >= '0' && *p <= '9') {
      w = w * 10 + (*p++ - '0');
      if (w > kMaxField) return fail();
    }
    // "%1$d": positional arguments cannot be consumed in order.
    if (*p == '$') return fail();
    conv.width = w;
  }
  if (*p == '.') {
    ++p;
    if (*p == '*') {
      conv.precisionStar = true;
      ++p;
    } else {
      long pr = 0;
      while (*p >= '0' && *p <= '9') {
        pr = pr * 10 + (*p++ - '0');
        if (pr > kMaxField) return fail();
      }
      conv.precision = pr;
    }
  }
  switch (*p) {
    case 'h':
      ++p;
      if (*p == 'h') {
        ++p;
        conv.length = Length::HH;
      } else {
        conv.length = Length::H;
      }
      break;
    case 'l':
      ++p;
      if (*p == 'l') {
        ++p;
        conv.length = Length::LL;
      } else {
        conv.length = Length::L;
      }
      break;
    case 'q':
      ++p;
      conv.length = Length::LL;
      break;
    case 'L':
      ++p;
      conv.length = Length::BigL;
      break;
    case 'j':
      ++p;
      conv.length = Length::J;
      break;
    case 'z':
      ++p;
      conv.length = Length::Z;
      break;
    case 't':
      ++p;
      conv.length = Length::T;
      break;
    case 'I':
      ++p;
      if (p[0] == '6' && p[1] == '4') {
        p += 2;
        conv.length = Length::I64;
      } else if (p[0] == '3' && p[1] == '2') {
        p += 2;
        conv.length = Length::I32;
      } else {
        conv.length = Length::I;
      }
      break;
    default:
      break;
  }
  const char c = *p;
  if (c == '\0') return fail();
  ++p;
  bool ok = false;
  switch (c) {
    case 'd':
    case 'i':
    case 'u':
    case 'o':
    case 'x':
    case 'X':
      ok = conv.length != Length::BigL;
      break;
    case 'f':
    case 'F':
    case 'e':
    case 'E':
    case 'g':
    case 'G':
    case 'a':
    case 'A':
      ok = conv.length == Length::None || conv.length == Length::L || conv.length == Length::BigL;
      break;
    case 'c':
    case 's':
      ok = conv.length == Length::None || conv.length == Length::L;
      break;
    case 'C':
    case 'S':
    case 'p':
      ok = conv.length == Length::None;
      break;
    default:
      ok = false;  // among them %n, which would write through an argument
      break;
  }
  if (!ok) return fail();
  // Only '-' means something before s, c and p. Refusing the other flags
  // matters most for text such as "100% sure" or "50% complete": a literal
  // '%' by mistake, which would otherwise read an argument never passed.
  // There the text after the '%' is kept.
  if (std::strchr("sScCp", c) != nullptr && conv.flags.find_first_not_of('-') != std::string::npos) {
    if (*start != ' ') return fail();
    end = start;
    return nullptr;
  }
  conv.conversion = c;
  return p;
}

// The conversion as snprintf is to see it: flags, resolved width and
// precision, the C length modifier of the value passed, the conversion.
std::string SnprintfSpec(const Conversion &conv, const char *length, char conversion) {
  std::string f = "%";
  f += conv.flags;
  if (conv.width >= 0) f += std::to_string(conv.width);
  if (conv.precision >= 0) {
    f += '.';
    f += std::to_string(conv.precision);
  }
  f += length;
  f += conversion;
  return f;
}

#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
#endif
template <class T>
void AppendOne(std::string &text, const std::string &format, T value) {
  char buffer[256];
  const int n = std::snprintf(buffer, sizeof buffer, format.c_str(), value);
  if (n < 0) {
    text += kBadFormat;
  } else if (static_cast<std::size_t>(n) < sizeof buffer) {
    text.append(buffer, static_cast<std::size_t>(n));
  } else {
    std::string big(static_cast<std::size_t>(n) + 1, '\0');
    std::snprintf(&big[0], big.size(), format.c_str(), value);
    big.resize(static_cast<std::size_t>(n));
    text += big;
  }
}
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

// Length of the longest prefix of `s` no longer than `limit` bytes that does
// not end inside a UTF-8 sequence.
std::size_t Utf8Prefix(const std::string &s, std::size_t limit) {
  if (limit >= s.size()) return s.size();
  std::size_t n = limit;
  while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0u) == 0x80u) --n;
  return n;
}

// A string already in UTF-8, with printf's width (bytes, padded with blanks)
// and precision (most bytes written, never half a character).
void AppendPadded(std::string &text, const Conversion &conv, std::string value) {
  if (conv.precision >= 0) value.resize(Utf8Prefix(value, static_cast<std::size_t>(conv.precision)));
  const std::size_t width = conv.width > 0 ? static_cast<std::size_t>(conv.width) : 0;
  const bool left = conv.flags.find('-') != std::string::npos;
  if (!left && value.size() < width) text.append(width - value.size(), ' ');
  text += value;
  if (left && value.size() < width) text.append(width - value.size(), ' ');
}

void AppendSigned(std::string &text, const Conversion &conv, va_list &args) {
  long long v = 0;
  switch (conv.length) {
    case Length::HH: v = static_cast<signed char>(va_arg(args, int)); break;
    case Length::H: v = static_cast<short>(va_arg(args, int)); break;
    case Length::None: v = va_arg(args, int); break;
    case Length::L: v = va_arg(args, long); break;
    case Length::LL: v = va_arg(args, long long); break;
    case Length::J: v = static_cast<long long>(va_arg(args, std::intmax_t)); break;
    case Length::Z: v = static_cast<long long>(va_arg(args, std::make_signed<std::size_t>::type)); break;
    case Length::T: v = static_cast<long long>(va_arg(args, std::ptrdiff_t)); break;
    case Length::I64: v = static_cast<long long>(va_arg(args, std::int64_t)); break;
    case Length::I32: v = va_arg(args, std::int32_t); break;
    case Length::I: v = static_cast<long long>(va_arg(args, std::ptrdiff_t)); break;
    case Length::BigL: break;
  }
  AppendOne(text, SnprintfSpec(conv, "ll", conv.conversion), v);
}

void AppendUnsigned(std::string &text, const Conversion &conv, va_list &args) {
  unsigned long long v = 0;
  switch (conv.length) {
    case Length::HH: v = static_cast<unsigned char>(va_arg(args, unsigned int)); break;
    case Length::H: v = static_cast<unsigned short>(va_arg(args, unsigned int)); break;
    case Length::None: v = va_arg(args, unsigned int); break;
    case Length::L: v = va_arg(args, unsigned long); break;
    case Length::LL: v = va_arg(args, unsigned long long); break;
    case Length::J: v = static_cast<unsigned long long>(va_arg(args, std::uintmax_t)); break;
    case Length::Z: v = va_arg(args, std::size_t); break;
    case Length::T: v = static_cast<unsigned long long>(va_arg(args, std::ptrdiff_t)); break;
    case Length::I64: v = static_cast<unsigned long long>(va_arg(args, std::uint64_t)); break;
    case Length::I32: v = va_arg(args, std::uint32_t); break;
    case Length::I: v = va_arg(args, std::size_t); break;
    case Length::BigL: break;
  }
  AppendOne(text, SnprintfSpec(conv, "ll", conv.conversion), v);
}

void AppendWideChar(std::string &text, const Conversion &conv, wint_t c) {
  const wchar_t wide[2] = {static_cast<wchar_t>(c), L'\0'};
  Conversion noPrecision = conv;
  noPrecision.precision = -1;
  AppendPadded(text, noPrecision, VantrelPlatform::ToUtf8(std::wstring(wide, 1)));
}

void AppendValue(std::string &text, Conversion &conv, va_list &args);

// Takes the conversion's '*' arguments and its value from the list.
void AppendConversion(std::string &text, Conversion conv, va_list &args) {
  if (conv.widthStar) {
    const int w = va_arg(args, int);
    if (w < 0) {
      conv.flags += '-';
      conv.width = w == INT_MIN ? kMaxField + 1 : -static_cast<long>(w);
    } else {
      conv.width = w;
    }
  }
  if (conv.precisionStar) {
    const int pr = va_arg(args, int);
    conv.precision = pr < 0 ? -1 : pr;
  }
  const bool stringLike = conv.conversion == 's' || conv.conversion == 'S';
  if (conv.width > kMaxField || (!stringLike && conv.precision > kMaxField)) {
    // Refuse the text but still take the value, so that the conversions after
    // this one read their own arguments.
    std::string discarded;
    conv.width = -1;
    conv.precision = -1;
    AppendValue(discarded, conv, args);
    text += kBadFormat;
    return;
  }
  AppendValue(text, conv, args);
}

void AppendValue(std::string &text, Conversion &conv, va_list &args) {
  switch (conv.conversion) {
    case 'd':
    case 'i':
      AppendSigned(text, conv, args);
      break;
    case 'u':
    case 'o':
    case 'x':
    case 'X':
      AppendUnsigned(text, conv, args);
      break;
    case 'f':
    case 'F':
    case 'e':
    case 'E':
    case 'g':
    case 'G':
    case 'a':
    case 'A':
      if (conv.length == Length::BigL) {
        AppendOne(text, SnprintfSpec(conv, "L", conv.conversion), va_arg(args, long double));
      } else {
        AppendOne(text, SnprintfSpec(conv, "", conv.conversion), va_arg(args, double));
      }
      break;
    case 'c':
      if (conv.length == Length::L) {
        AppendWideChar(text, conv, static_cast<wint_t>(va_arg(args, PromotedWint)));
      } else {
        conv.precision = -1;
        AppendOne(text, SnprintfSpec(conv, "", 'c'), va_arg(args, int));
      }
      break;
    case 'C':
      AppendWideChar(text, conv, static_cast<wint_t>(va_arg(args, PromotedWint)));
      break;
    case 's':
      if (conv.length == Length::L) {
        const wchar_t *w = va_arg(args, const wchar_t *);
        AppendPadded(text, conv, w != nullptr ? VantrelPlatform::ToUtf8(w) : std::string(kNull));
      } else {
        const char *s = va_arg(args, const char *);
        if (s == nullptr) s = kNull;
        std::string value;
        if (conv.precision >= 0) {
          value.assign(s, strnlen(s, static_cast<std::size_t>(conv.precision)));
        } else {
          value.assign(s);
        }
        AppendPadded(text, conv, std::move(value));
      }
      break;
    case 'S': {
      const wchar_t *w = va_arg(args, const wchar_t *);
      AppendPadded(text, conv, w != nullptr ? VantrelPlatform::ToUtf8(w) : std::string(kNull));
      break;
    }
    case 'p':
      conv.precision = -1;
      AppendOne(text, SnprintfSpec(conv, "", 'p'), va_arg(args, void *));
      break;
    default:
      text += kBadFormat;
      break;
  }
}

}  // namespace

void AppendFormatV(std::string &out, std::size_t maxLength, const char *format, va_list args) {
  std::string text;
  if (format == nullptr) {
    text = kNull;
  } else {
    va_list ap;
    va_copy(ap, args);
    const char *p = format;
    // Stop once the text is over the limit: what follows would be cut anyway.
    while (*p != '\0' && text.size() <= maxLength) {
      const char *percent = std::strchr(p, '%');
      if (percent == nullptr) {
        text.append(p);
        break;
      }
      text.append(p, static_cast<std::size_t>(percent - p));
      p = percent + 1;
      if (*p == '%') {
        text += '%';
        ++p;
        continue;
      }
      Conversion conv;
      const char *end = nullptr;
      const char *next = ParseConversion(p, conv, end);
      if (next == nullptr) {
        text += kBadFormat;
        p = end;
        continue;
      }
      AppendConversion(text, conv, ap);
      p = next;
    }
    va_end(ap);
  }
  if (text.size() > maxLength) {
    const std::size_t markerLength = sizeof kTruncatedMarker - 1;
    if (maxLength <= markerLength) {
      text.assign(kTruncatedMarker, maxLength);
    } else {
      text.resize(Utf8Prefix(text, maxLength - markerLength));
      text += kTruncatedMarker;
    }
  }
  out += text;
}

std::string FormatV(const char *format, va_list args) {
  std::string out;
  AppendFormatV(out, std::string::npos, format, args);
  return out;
}

}  // namespace WindowsAgentCommon
