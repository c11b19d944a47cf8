// printf-style formatting shared by logging and Format().
//
// Conversions are those of the C library, plus:
//   %ls   a wide (wchar_t) string, written as UTF-8 whatever the locale;
//   %I64u / %I64d / %I64x  a 64-bit integer, on every system.
// A malformed conversion is written as "<bad format>" instead of being
// interpreted; formatting never crashes on a bad format string, but the
// arguments must still match the conversions that are well formed.
#ifndef VANTREL_COMMON_TEXT_H
#define VANTREL_COMMON_TEXT_H

#include <cstdarg>
#include <cstddef>
#include <string>

// Marks a printf-style function, so that the compiler checks each call whose
// format is a literal against its arguments. Not on Windows, where GCC checks
// formats as the Microsoft runtime reads them, which is not how we do.
#if defined(__GNUC__) && !defined(_WIN32)
#define VANTREL_PRINTF_LIKE(formatIndex, firstArgument) \
  __attribute__((format(printf, formatIndex, firstArgument)))
#else
#define VANTREL_PRINTF_LIKE(formatIndex, firstArgument)
#endif

namespace WindowsAgentCommon {

// A format with a conversion that printf does not have (%I64u): passed
// through here, the call is not checked against printf's conversions.
inline const char *EngineFormat(const char *format) { return format; }

// Appends the formatted text to `out`. At most `maxLength` bytes are added;
// a longer result is cut and ends with the marker "...[truncated]".
void AppendFormatV(std::string &out, std::size_t maxLength, const char *format, va_list args);

std::string FormatV(const char *format, va_list args);

}  // namespace WindowsAgentCommon

#endif  // VANTREL_COMMON_TEXT_H
