// GCC 12 reports a false "may be used uninitialized" inside <regex> (in the
// std::function of its automaton) when it is built with the sanitizers.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <VantrelCommon/EnvironmentBlockHelper.h>

#include <charconv>
#include <cmath>
#include <limits>
#include <regex>
#include <system_error>

namespace WindowsAgentCommon {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }

// The value without the blanks around it, as [first, last).
void Trim(const std::string &text, const char *&first, const char *&last) {
  first = text.data();
  last = text.data() + text.size();
  while (first < last && IsBlank(*first)) ++first;
  while (last > first && IsBlank(last[-1])) --last;
}

// A whole decimal number of type T, nothing before or after it but blanks.
// A '+' sign is accepted; a '-' only where T is signed.
template <class T>
bool ParseInteger(const std::string &text, T &out) {
  const char *first;
  const char *last;
  Trim(text, first, last);
  if (first < last && *first == '+' && last - first > 1 && first[1] >= '0' && first[1] <= '9') ++first;
  if (first == last) return false;
  T value{};
  const auto result = std::from_chars(first, last, value, 10);
  if (result.ec != std::errc() || result.ptr != last) return false;
  out = value;
  return true;
}

}  // namespace

EnvironmentBlockHelper::EnvironmentBlockHelper(const Settings &settings) : settings(settings) {}

const std::string *EnvironmentBlockHelper::Find(const std::string &name) const {
  const auto range = settings.equal_range(name);
  if (range.first == range.second) return nullptr;
  // Entries of one name keep their insertion order: the last one counts.
  auto last = range.second;
  --last;
  return &last->second;
}

#define VANTREL_INTEGER_READ(Type)                                                                           \
  bool EnvironmentBlockHelper::GetIntegerValue(const std::string &name, Type &out, Type defaultValue) const { \
    out = defaultValue;                                                                                      \
    const std::string *value = Find(name);                                                                   \
    return value != nullptr && ParseInteger<Type>(*value, out);                                              \
  }

VANTREL_INTEGER_READ(short)
VANTREL_INTEGER_READ(unsigned short)
VANTREL_INTEGER_READ(unsigned int)
VANTREL_INTEGER_READ(int)
VANTREL_INTEGER_READ(long)
VANTREL_INTEGER_READ(unsigned long)

#undef VANTREL_INTEGER_READ

bool EnvironmentBlockHelper::GetFloatValue(const std::string &name, double &out, double defaultValue) const {
  out = defaultValue;
  const std::string *text = Find(name);
  if (text == nullptr) return false;
  const char *first;
  const char *last;
  Trim(*text, first, last);
  if (first < last && *first == '+' && last - first > 1 && (first[1] == '.' || (first[1] >= '0' && first[1] <= '9'))) {
    ++first;
  }
  if (first == last) return false;
  double value = 0;
  const auto result = std::from_chars(first, last, value, std::chars_format::general);
  // "inf" and "nan" parse, but are no setting anybody means.
  if (result.ec != std::errc() || result.ptr != last || !std::isfinite(value)) return false;
  out = value;
  return true;
}

bool EnvironmentBlockHelper::GetStringValue(const std::string &name, std::string &out,
                                            const std::string &defaultValue) const {
  const std::string *value = Find(name);
  out = value != nullptr ? *value : defaultValue;
  return value != nullptr;
}

bool EnvironmentBlockHelper::GetValuesForMatchingName(const std::string &pattern, Settings &out) const {
  std::regex re;
  try {
    re.assign(pattern, std::regex::ECMAScript);
  } catch (const std::regex_error &) {
    return false;
  }
  bool matched = false;
  for (const auto &entry : settings) {
    std::smatch m;
    try {
      if (!std::regex_match(entry.first, m, re)) continue;
    } catch (const std::regex_error &) {
      continue;  // too complex for this name: treated as no match
    }
    const bool useGroup = m.size() > 1 && m[1].matched;
    out.emplace(useGroup ? m[1].str() : entry.first, entry.second);
    matched = true;
  }
  return matched;
}

}  // namespace WindowsAgentCommon
