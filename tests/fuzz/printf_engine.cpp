// The host's printf engine against snprintf: one conversion (every flag,
// width, precision, length and conversion that both know) in literal text;
// %I64, %I32 and %I against their standard equivalents. Where the engine
// differs on purpose (README, "Fuzzing"), its own result is checked or the
// case is not compared.
#include "tests/fuzz/FuzzSupport.h"

#include <VantrelCommon/MessageBlockUtil.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <climits>
#include <cstring>
#include <cwchar>

#pragma clang diagnostic ignored "-Wformat-nonliteral"
#pragma clang diagnostic ignored "-Wformat-security"

namespace {

const int kMaxField = 1 << 20;  // the engine's limit on widths and precisions
std::string ours, theirs;       // the format for the engine and for snprintf
bool tooWide, compare;

template <class... A>
void Run(A... args) {
  std::string got;
  WindowsAgentCommon::Format(got, ours.c_str(), args...);
  if (tooWide) return Expect(got.find("<bad format>") != std::string::npos, "an oversized field is refused", ours, got);
  const int n = compare ? std::snprintf(nullptr, 0, theirs.c_str(), args...) : -1;
  if (n < 0) return;
  std::string want(static_cast<std::size_t>(n) + 1, '\0');
  std::snprintf(&want[0], want.size(), theirs.c_str(), args...);
  want.resize(static_cast<std::size_t>(n));
  Expect(got == want, "engine and snprintf agree", ours + " | " + theirs, got + " | " + want);
}

// Small mostly; the limit itself is rare (a megabyte of padding), and never
// what an exhausted input reads (0). A '*' argument may be negative.
int Field(FuzzedDataProvider &in, bool star) {
  const int pick = in.ConsumeIntegralInRange(0, 63);
  const int f = pick == 61 ? kMaxField : pick == 62 ? kMaxField + 1 : pick == 63 ? in.ConsumeIntegral<int>() & INT_MAX
                                                                                 : in.ConsumeIntegralInRange(0, 300);
  return star && in.ConsumeBool() ? -f : f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const char conversion = "diouxXfFeEgGaAcsCSp"[in.ConsumeIntegralInRange(0, 18)];
  const bool integer = std::strchr("diouxX", conversion) != nullptr, text = std::strchr("csCSp", conversion);
  // Length modifiers as written for the engine, and for snprintf with a
  // signed and with an unsigned conversion.
  static const char *const kLengths[][3] = {{"", "", ""},     {"hh", "hh", "hh"}, {"h", "h", "h"},   {"l", "l", "l"},
                                            {"ll", "ll", "ll"}, {"q", "ll", "ll"}, {"j", "j", "j"},  {"z", "z", "z"},
                                            {"t", "t", "t"},  {"I64", "ll", "ll"}, {"I32", "", ""}, {"I", "t", "z"},
                                            {"L", "L", "L"}};
  const int pick = in.ConsumeIntegralInRange(0, 12);
  const int li = integer ? pick % 12 : conversion == 'c' || conversion == 's' ? pick % 2 * 3  // "" or "l"
                 : text ? 0 : (pick % 3 == 0 ? 0 : pick % 3 == 1 ? 3 : 12);                     // "", "l", "L"
  const char *const *length = kLengths[li];
  // Only '-' is taken before a text conversion (README); a width written
  // with a leading 0 is the flag '0'.
  std::string directive;
  const auto flags = in.ConsumeIntegral<std::uint8_t>();
  for (int i = 0; i < 6; ++i) {
    if ((flags & (1 << i)) != 0 && (!text || i == 0)) directive += "-+ #0'"[i];
  }
  int star[2], stars = 0, precision = -1;
  const int widthMode = in.ConsumeIntegralInRange(0, 2), precisionMode = in.ConsumeIntegralInRange(0, 3);
  tooWide = false;
  if (widthMode == 1) {
    const int w = Field(in, false);
    if (w != 0 || !text) directive += std::to_string(w);
    tooWide = w > kMaxField;
  } else if (widthMode == 2) {
    star[stars] = Field(in, true);
    tooWide = star[stars] > kMaxField || star[stars] < -kMaxField;
    directive += '*', ++stars;
  }
  if (precisionMode == 1) {
    directive += '.', precision = 0;
  } else if (precisionMode == 2) {
    directive += '.' + std::to_string(precision = Field(in, false));
  } else if (precisionMode == 3) {
    star[stars] = Field(in, true);
    precision = std::max(star[stars++], -1);
    directive += ".*";
  }
  // Refused, but for a string's precision from '*': how much of it is read.
  tooWide = tooWide || (precision > kMaxField && (precisionMode == 2 || (conversion != 's' && conversion != 'S')));
  std::string around[2];
  for (auto &literal : around) {
    for (char c : in.ConsumeRandomLengthString(12)) literal += c == '%' ? "%%" : c == '\0' ? "" : std::string(1, c);
  }
  ours = around[0] + "%" + directive + length[0] + conversion + around[1];
  theirs = around[0] + "%" + directive + length[conversion == 'd' || conversion == 'i' ? 1 : 2] + conversion + around[1];
  compare = true;

  const auto bits = in.ConsumeIntegral<std::uint64_t>();
  const std::string bytes = in.ConsumeRemainingBytesAsString();
  auto withStars = [&](auto value) {
    stars == 2 ? Run(star[0], star[1], value) : stars == 1 ? Run(star[0], value) : Run(value);
  };
  const std::string l = length[0];
  double d;
  std::memcpy(&d, &bits, sizeof d);
  std::wstring w;  // wide text: two bytes a character
  for (std::size_t i = 0; i + 1 < bytes.size() && w.size() < 40; i += 2) {
    w += static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]) | static_cast<unsigned char>(bytes[i + 1]) << 8);
  }
  w = w.c_str();
  if (integer && (l.empty() || l == "hh" || l == "h" || l == "I32")) {
    withStars(static_cast<int>(bits));  // also what an unsigned conversion reads
  } else if (integer) {
    withStars(static_cast<long long>(bits));  // every 64-bit type, on LP64
  } else if (!text) {
    l == "L" ? withStars(static_cast<long double>(d)) : withStars(d);
  } else if (conversion == 'p') {
    compare = precision < 0;  // the engine writes a pointer without a precision
    withStars(reinterpret_cast<void *>(static_cast<std::uintptr_t>(bits)));
  } else if (conversion == 's' && l.empty()) {
    // The engine never ends a string inside a UTF-8 character; a null
    // string is "(null)" cut to the precision, where glibc writes nothing
    // below 6 (README).
    const std::string s(bytes.c_str());
    const auto cut = static_cast<std::size_t>(precision);
    compare = !(precision >= 0 && cut < s.size() && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80);
    if ((bits & 0xF) != 0) return withStars(s.c_str()), 0;
    compare = compare && (precision < 0 || precision >= 6);
    withStars(static_cast<const char *>(nullptr));
  } else if (conversion == 'c' && l.empty()) {
    withStars(static_cast<int>(bits));
  } else {
    // The engine writes wide text as UTF-8 whatever the locale, snprintf only
    // ASCII in the C locale: beyond it there is nothing to compare with.
    const wchar_t ch = w.empty() ? static_cast<wchar_t>(bits & 0x7F) : w[0];
    // (glibc also allocates the whole precision for wide text.)
    const bool one = conversion == 'c' || conversion == 'C';
    compare = precision <= 4096;
    for (wchar_t c : one ? std::wstring(1, ch) : w) compare = compare && static_cast<unsigned>(c) < 0x80;
    one ? withStars(static_cast<wint_t>(ch)) : withStars(w.c_str());
  }
  return 0;
}
