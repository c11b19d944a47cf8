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

namespace WindowsAgentCommon {

// Appends the formatted text to `out`. At most `maxLength` bytes are added;
// a longer result is cut and ends with the marker "...[truncated]".
void AppendFormatV(std::string &out, std::size_t maxLength, const char *format, va_list args);

std::string FormatV(const char *format, va_list args);

}  // namespace WindowsAgentCommon

#endif  // VANTREL_COMMON_TEXT_H
