// Unicode conversions, error texts, the last error and time.
#include <Platform/Win32Api.h>

#include <ace/OS_NS_sys_time.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <utility>

using VantrelPlatform::FromUtf16;
using VantrelPlatform::FromUtf8;
using VantrelPlatform::ToUtf16;
using VantrelPlatform::ToUtf8;
using VantrelPlatform::Utf16String;
using VantrelPlatform::Utf16Unit;

TEST(PlatformText, Utf8AndUtf16RoundTrips) {
  for (const std::wstring &text : {std::wstring(L"plain é € \U0001F600 日本語"), std::wstring(L"a\0b", 3)}) {
    EXPECT_EQ(text, FromUtf8(ToUtf8(text)));
  }
  EXPECT_EQ("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", ToUtf8(L"é€\U0001F600"));
  EXPECT_EQ(L"\u0080\u07FF\u0800\uFFFF\U00010000\U0010FFFF",  // the edges of each length
            FromUtf8("\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"));
  EXPECT_EQ("", ToUtf8(static_cast<const wchar_t *>(nullptr)));
  // Pairs, at the edges of their ranges too, both ways; the last one is cut
  // by the length.
  const Utf16Unit units[] = {u'a', 0xD83D, 0xDE00, 0xE9, 0xD800, 0xDC00, 0xDBFF, 0xDFFF, 0xD83D, 0xDE00};
  const std::wstring wide = L"a\U0001F600\u00E9\U00010000\U0010FFFF";
  EXPECT_EQ(Utf16String(units, 8), ToUtf16(wide));
  EXPECT_EQ(wide + static_cast<wchar_t>(0xD83D), FromUtf16(units, 9));
  // A terminated fixed-size array may be passed with its full size.
  Utf16Unit message[260] = {u'/', u'l', u'o', u'g'};
  EXPECT_EQ(L"/log", FromUtf16(message, 260));
  EXPECT_EQ(L"", FromUtf16(nullptr, 5));
}

// Windows takes a full path of MAX_PATH characters or more only in its long
// form; Wine does not hold programs to the limit, so the form itself is
// checked here, on every system.
TEST(PlatformPaths, LongPathsTakeTheFormThatLiftsMaxPath) {
  using VantrelPlatform::LongPathForm;
  const std::wstring tail(VantrelPlatform::kLongPathFrom, L'x');
  const std::wstring shortPath = L"C:\\logs\\app.log";
  const std::vector<std::pair<std::wstring, std::wstring>> rows = {
      {L"C:\\" + tail, L"\\\\?\\C:\\" + tail},
      {L"d:\\" + tail, L"\\\\?\\d:\\" + tail},
      {L"\\\\server\\share\\" + tail, L"\\\\?\\UNC\\server\\share\\" + tail},
      {L"\\\\?\\C:\\" + tail, L"\\\\?\\C:\\" + tail},
      {L"\\\\?\\UNC\\server\\s\\" + tail, L"\\\\?\\UNC\\server\\s\\" + tail},
      {L"\\\\.\\pipe\\" + tail, L"\\\\.\\pipe\\" + tail},
      {L"logs\\" + tail, L"logs\\" + tail},
      {shortPath, shortPath},
      {L"\\\\server\\share\\a.log", L"\\\\server\\share\\a.log"},
      {std::wstring(L"C:\\") + tail.substr(4), std::wstring(L"C:\\") + tail.substr(4)},  // one short of the limit
      {std::wstring(L"C:\\") + tail.substr(3), std::wstring(L"\\\\?\\C:\\") + tail.substr(3)},
  };
  for (const auto &row : rows) EXPECT_EQ(row.second, LongPathForm(row.first)) << ToUtf8(row.first);
}

#if defined(_WIN32)

TEST(PlatformText, ErrorTextsComeFromTheSystemOnOneLine) {
  using VantrelPlatform::ErrorText;
  for (DWORD code : {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_NO_MORE_FILES}) {
    const std::string text = ErrorText(code);
    ASSERT_FALSE(text.empty()) << code;
    EXPECT_EQ(std::string::npos, text.find_first_of("\r\n")) << text;
    EXPECT_NE(' ', text.back()) << text;
    EXPECT_EQ(std::string::npos, text.find("Windows error")) << text;
  }
  EXPECT_EQ("Windows error 1234567", ErrorText(1234567));
}

#else  // What the POSIX layer itself does in place of the system.

// A name that is not UTF-8 keeps every byte: each byte outside well-formed
// UTF-8 is a code point of its own (U+DC00 + byte) that converts back to it,
// also through UTF-16, where it is a unit of its own.
TEST(PlatformText, EveryByteStringComesBackFromItsWideForm) {
  // Bytes and their wide form.
  const std::pair<std::string, std::wstring> cases[] = {
      {"caf\xE9.log", L"caf\xDCE9.log"},                      // Latin-1
      {"a\xFF" "b", L"a\xDCFF" L"b"},
      {"\xE2\x82", L"\xDCE2\xDC82"},                          // cut short at the end
      {"\xE2\x82x", L"\xDCE2\xDC82x"},                        // cut short before ASCII
      {"\xC0\xAF", L"\xDCC0\xDCAF"},                          // overlong
      {"\xED\xA0\x80", L"\xDCED\xDCA0\xDC80"},                // an encoded surrogate
      {"\xED\xB3\xA9", L"\xDCED\xDCB3\xDCA9"},                // the encoded form of an escape
      {"\xF4\x90\x80\x80", L"\xDCF4\xDC90\xDC80\xDC80"},      // above U+10FFFF
      {"\x80\xBF\xC3\xA9", L"\xDC80\xDCBF\u00E9"},            // stray continuations, then é
      {"\x7F\xC2\x80", L"\x7F\u0080"},                          // the last ASCII and the first two-byte
  };
  for (const auto &c : cases) {
    EXPECT_EQ(FromUtf8(c.first), c.second) << c.first;
    EXPECT_EQ(ToUtf8(c.second), c.first) << c.first;
    const std::u16string units = ToUtf16(c.second);
    EXPECT_EQ(FromUtf16(units.data(), units.size()), c.second) << c.first;
  }
  // Any other byte string: the text_conversion fuzz target.
  // Wide values that no byte string gives: U+FFFD, never a crash.
  const std::wstring bad = {static_cast<wchar_t>(0xD800), static_cast<wchar_t>(0xDC7F),
                            static_cast<wchar_t>(0xDD00), static_cast<wchar_t>(0x110000), static_cast<wchar_t>(-1)};
  EXPECT_EQ(ToUtf8(bad), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(ToUtf16(std::wstring(1, static_cast<wchar_t>(0x110000))), u"\uFFFD");
  // Lone surrogates keep their unit in UTF-16.
  const char16_t lone[] = {0xD83D, u'a', 0xDE00};
  EXPECT_EQ(FromUtf16(lone, 3), (std::wstring{static_cast<wchar_t>(0xD83D), L'a', static_cast<wchar_t>(0xDE00)}));
}

// Paths are ASCII as a rule and go to UTF-8 many characters a step: one
// character of another kind, wherever it lies, is still encoded as itself.
TEST(PlatformText, OneCharacterBeyondAsciiIsEncodedWhereverItLies) {
  const std::uint32_t others[] = {0x7F, 0x80, 0xE9, 0x100, 0x20AC, 0xDC80, 0xD800, 0x1F600, 0x110000, 0xFFFFFFFF};
  for (std::size_t length : {1, 15, 16, 17, 31, 32, 33, 38}) {
    for (std::size_t at : {std::size_t{0}, length / 2, length - 1}) {
      for (std::uint32_t other : others) {
        std::wstring text(length, L'a');
        text[at] = static_cast<wchar_t>(other);
        const std::string expected = std::string(at, 'a') + ToUtf8(text.substr(at, 1)) + std::string(length - at - 1, 'a');
        EXPECT_EQ(ToUtf8(text), expected) << length << " " << at << " " << other;
      }
    }
  }
}

TEST(PlatformText, WideCharToMultiByteUsesWindowsBufferRules) {
  const wchar_t *text = L"é\U0001F600";  // 2 + 4 bytes
  const std::string utf8 = "\xC3\xA9\xF0\x9F\x98\x80";
  char buffer[8];
  // What a call returns, its last error, and the buffer (filled with 'z' before).
  const auto convert = [&](UINT page, const wchar_t *wide, int length, int size, LPBOOL used = nullptr) {
    std::fill(std::begin(buffer), std::end(buffer), 'z');
    const int n = WideCharToMultiByte(page, 0, wide, length, size > 0 ? buffer : nullptr, size, nullptr, used);
    return std::make_tuple(n, GetLastError(), std::string(buffer, sizeof buffer));
  };
  const auto result = [](int n, DWORD error, std::string bytes) { return std::make_tuple(n, error, bytes); };
  const std::string untouched(sizeof buffer, 'z');
  EXPECT_EQ(result(7, ERROR_SUCCESS, untouched), convert(CP_UTF8, text, -1, 0));
  EXPECT_EQ(result(6, ERROR_SUCCESS, untouched), convert(CP_UTF8, text, 2, 0));
  EXPECT_EQ(result(7, ERROR_SUCCESS, utf8 + '\0' + 'z'), convert(CP_UTF8, text, -1, 8));
  // No terminator for an explicit length.
  EXPECT_EQ(result(6, ERROR_SUCCESS, utf8 + "zz"), convert(CP_UTF8, text, 2, 8));
  // Too small a buffer; a code page other than UTF-8, a default character
  // asked for, no text, an empty one.
  EXPECT_EQ(result(0, ERROR_INSUFFICIENT_BUFFER, untouched), convert(CP_UTF8, text, -1, 6));
  BOOL usedDefault = FALSE;
  for (const auto &refused : {convert(1252, text, -1, 8), convert(CP_UTF8, text, -1, 8, &usedDefault),
                              convert(CP_UTF8, nullptr, -1, 8), convert(CP_UTF8, text, 0, 8)}) {
    EXPECT_EQ(result(0, ERROR_INVALID_PARAMETER, untouched), refused);
  }
}

// A code that no failure of this thread stood for reads as the errno it
// stands for; the few without one keep a text of their own.
TEST(PlatformErrors, TextsOfTheCodes) {
  using VantrelPlatform::ErrorText;
  const std::pair<DWORD, int> codes[] = {{ERROR_SUCCESS, 0},          {ERROR_FILE_NOT_FOUND, ENOENT},
                                         {ERROR_PATH_NOT_FOUND, ENOENT}, {ERROR_ACCESS_DENIED, EACCES},
                                         {ERROR_GEN_FAILURE, EIO},       {ERROR_FILENAME_EXCED_RANGE, ENAMETOOLONG},
                                         {ERROR_NOT_ENOUGH_QUOTA, ENOSPC}};
  for (const auto &code : codes) {
    SetLastError(code.first);
    EXPECT_EQ(std::strerror(code.second), ErrorText(code.first)) << code.first;
  }
  EXPECT_EQ("Unknown error 0x00001234", ErrorText(0x1234));
  for (DWORD code : {4u, 6u, 8u, 18u, 87u, 122u, 126u, 127u, 258u, 1921u, 0x80004005u}) {
    EXPECT_EQ(std::string::npos, ErrorText(code).find("Unknown")) << code;
  }
}

TEST(PlatformErrors, LastErrorIsPerThreadAndKeptByClosingCalls) {
  SetLastError(ERROR_NO_MORE_FILES);
  std::thread other([] {
    EXPECT_EQ(ERROR_SUCCESS, GetLastError());
    SetLastError(ERROR_ACCESS_DENIED);
  });
  other.join();
  EXPECT_EQ(ERROR_NO_MORE_FILES, GetLastError());

  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  Sleep(0);
  _time64(nullptr);
  EXPECT_EQ(ERROR_NO_MORE_FILES, GetLastError());

  EXPECT_EQ(nullptr, GetModuleHandleW(L"kernel32.dll"));
  EXPECT_EQ(ERROR_MOD_NOT_FOUND, GetLastError());
  EXPECT_EQ(nullptr, GetProcAddress(nullptr, "Wow64DisableWow64FsRedirection"));
  EXPECT_EQ(ERROR_PROC_NOT_FOUND, GetLastError());

  const auto start = std::chrono::steady_clock::now();
  Sleep(20);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20)) << "Sleep takes milliseconds";
}

#endif

TEST(PlatformTime, FileTimeConversions) {
  using VantrelPlatform::TimeValueFromFileTime;
  const auto fileTime = [](std::uint64_t ticks) {
    return FILETIME{static_cast<DWORD>(ticks & 0xFFFFFFFFu), static_cast<DWORD>(ticks >> 32)};
  };
  constexpr std::uint64_t kEpoch = 116444736000000000ULL;
  EXPECT_EQ(ACE_Time_Value(0, 0), TimeValueFromFileTime(fileTime(kEpoch)));
  EXPECT_EQ(ACE_Time_Value(1700000000, 123456), TimeValueFromFileTime(fileTime(kEpoch + 17000000001234567ULL)));
#if !defined(_WIN32)
  // Before 1970 and beyond the range: the POSIX layer's own conversion (ACE's
  // on Windows takes system times only).
  EXPECT_EQ(ACE_Time_Value(-1, -500000), TimeValueFromFileTime(fileTime(kEpoch - 15000000)));
  EXPECT_EQ(ACE_Time_Value(-11644473600LL, 0), TimeValueFromFileTime(fileTime(0)));
  EXPECT_GT(TimeValueFromFileTime(fileTime(~0ULL)).sec(), 0);
#endif

  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const ACE_Time_Value clock = ACE_OS::gettimeofday();
  EXPECT_LT(std::abs(static_cast<long long>((clock - TimeValueFromFileTime(now)).msec())), 5000);
  EXPECT_LT(std::abs(static_cast<long long>((VantrelPlatform::SystemTimeNow() - clock).msec())), 5000);
  __int64 stored = 0;
  const __int64 seconds = _time64(&stored);
  EXPECT_EQ(seconds, stored);
  EXPECT_LT(std::abs(seconds - static_cast<__int64>(clock.sec())), 5);
}
