#include <VantrelCommon/MessageBlockUtil.h>
#include <VantrelCommon/Text.h>

#include <gtest/gtest.h>

#include <clocale>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <string>

using namespace WindowsAgentCommon;

namespace {

// The engine through Format, which replaces what its output held.
template <class... Args>
std::string F(const char *format, Args... args) {
  std::string out = "old text";
  return Format(out, format, args...);
}

std::string Limited(std::size_t maxLength, const char *format, ...) {
  va_list args;
  va_start(args, format);
  std::string text;
  AppendFormatV(text, maxLength, format, args);
  va_end(args);
  return text;
}

const std::string kMarker = "...[truncated]";

}  // namespace

TEST(Format, SixtyFourBitConversions) {
  // Each conversion alone is compared with snprintf by the printf_engine fuzz target.
  // The next conversion reads its own argument: the 64-bit one took 8 bytes.
  EXPECT_EQ("handle 18446744073709551615 for tid 17 (x)",
            F("handle %I64u for tid %d (%s)", UINT64_MAX, 17, "x"));
  EXPECT_EQ("        42 -5 6 -7", F("%10I64u %I32d %Iu %qd", std::uint64_t{42}, -5, std::size_t{6}, -7LL));
  EXPECT_EQ("(null)", F(nullptr));
  // Only "64" and "32" whole make a size: %Iu and %Ix are followed by text here.
  EXPECT_EQ("74d ff2d <bad format>d", F("%Iu4d %Ix2d %I6ud", std::size_t{7}, std::size_t{255}));
  // Format replaces its output, and returns it.
  std::string out = "old text";
  EXPECT_EQ("key=9223372036854775807", Format(out, EngineFormat("%s=%I64u"), "key", std::uint64_t{9223372036854775807ULL}));
  EXPECT_EQ("key=9223372036854775807", out);
}

TEST(Format, WideStringsAreUtf8WhateverTheLocale) {
  std::setlocale(LC_ALL, "C");
  // "Grüße €" plus U+1D11E, outside the basic plane.
  const wchar_t *wide = L"Gr\u00FC\u00DFe \u20AC\U0001D11E";
  EXPECT_EQ("Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC\xF0\x9D\x84\x9E", F("%ls", wide));
  EXPECT_EQ("path=/var/log/\xC3\xA9.log size=5", F("path=%ls size=%d", L"/var/log/\u00E9.log", 5));
  // Precision counts bytes and never ends inside a character; width pads.
  EXPECT_EQ("[a\xC3\xA9|a|]", F("[%.3ls|%.2ls|%.0ls]", L"a\u00E9b", L"a\u00E9b", L"ab"));
  EXPECT_EQ("   ab|ab   |\xE2\x82\xAC!", F("%5ls|%-5ls|%lc!", L"ab", L"ab", static_cast<wint_t>(L'\u20AC')));
  // A lone surrogate is no character: it becomes U+FFFD, not a crash.
  const wchar_t lone[] = {L'a', static_cast<wchar_t>(0xD800), L'b', 0};
  EXPECT_EQ("a\xEF\xBF\xBD" "b", F("%ls", lone));
}

TEST(Format, MalformedConversionsAreMarkedAndSkipNoArgument) {
  EXPECT_EQ("a<bad format>b5c", F("a%yb%dc", 5));
  EXPECT_EQ("ends <bad format>", F("ends %"));
  EXPECT_EQ("<bad format>", F("%-08.3"));
  EXPECT_EQ("<bad format> <bad format> 9", F("%n %1$d %d", 9));
  EXPECT_EQ("<bad format> <bad format> <bad format>", F("%hs %Ld %lp"));
  EXPECT_EQ("<bad format>|<bad format>|<bad format>|", F("%ha|%hA|%Z|"));  // the letter goes with the marker
  EXPECT_EQ("<bad format>|<bad format>|2", F("%99999999999d|%1048577d|%d", 2));
  // The star arguments and value of an oversized conversion are consumed,
  // so the conversions after it stay in step.
  // INT_MIN has no positive width to flip it to.
  for (int width : {INT_MAX, INT_MIN}) EXPECT_EQ("<bad format>|2", F("%*d|%d", width, 1, 2)) << width;
  // A string's precision is only a limit.
  EXPECT_EQ("<bad format>|2|ab", F("%.*d|%d|%.*s", 1 << 21, 1, 2, 1 << 21, "ab"));
  EXPECT_EQ(std::size_t{1} << 20, F("%*d", 1 << 20, 1).size());
  EXPECT_EQ(std::size_t{1} << 20, F("%1048576d", 1).size());
  // A non-ASCII character after '%' is kept whole.
  EXPECT_EQ("<bad format>\xC3\xA9!", F("%\xC3\xA9!"));
  // A '%' that was meant literally reads no argument and keeps the text.
  EXPECT_EQ("100<bad format> sure, 50<bad format> complete", F("100% sure, 50% complete"));
  EXPECT_EQ("<bad format>|<bad format>", F("%#s|%0c"));
}

TEST(Format, LongOutputIsCutAtTheLimitWithAMarker) {
  const std::string alphabet = "0123456789abcdefghijklmnopqrstuvwxyz";
  EXPECT_EQ("012345" + kMarker, Limited(20, "%s", alphabet.c_str()));
  EXPECT_EQ(alphabet, Limited(alphabet.size(), "%s", alphabet.c_str()));  // exactly at the limit: whole
  // Exactly at the limit with more to come: still cut.
  EXPECT_EQ(alphabet.substr(0, 22) + kMarker, Limited(alphabet.size(), "%s%s", alphabet.c_str(), "+"));
  EXPECT_EQ(kMarker.substr(0, 5), Limited(5, "%s", alphabet.c_str()));
  // The cut never ends inside a UTF-8 sequence: "é" is two bytes.
  EXPECT_EQ("a" + kMarker, Limited(kMarker.size() + 2, "a\xC3\xA9zzzzzzzzzzzzzzzzzzzzzzzz"));
  EXPECT_EQ(kMarker, Limited(kMarker.size() + 2, "%s", std::string(20, '\x80').c_str()));  // no character starts
  // Formatting stops early for very long results, and what is added is bounded.
  const std::string big(1 << 20, 'x');
  EXPECT_EQ(std::string(100 - kMarker.size(), 'x') + kMarker,
            Limited(100, "%s%s%s", big.c_str(), big.c_str(), big.c_str()));
}
