// The settings reader: any text as a value of every number type, against
// strtoll, strtoull and strtod after the same trimming; and as the value of
// each monitor setting in a configuration line, accepted exactly when its
// type reads it within the setting's limits (switches: true/false, yes/no,
// on/off, 1/0 in any case), and the backlog window larger than the samples
// that a decision needs.
#include "tests/fuzz/FuzzSupport.h"

#include "agent/AgentConfig.h"

#include <VantrelCommon/EnvironmentBlockHelper.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>
#include <sstream>

namespace {

std::string Trimmed(const std::string &text) {
  const auto first = text.find_first_not_of(" \t\r\n\f\v");
  return first == std::string::npos ? "" : text.substr(first, text.find_last_not_of(" \t\r\n\f\v") - first + 1);
}

// Decimal, with a sign ('-' only for a signed type), within the type's range.
template <class T>
bool Integer(const std::string &text, T &out) {
  const std::string t = Trimmed(text);
  const std::size_t digits = t.empty() || (t[0] != '+' && t[0] != '-') ? 0 : 1;
  if (t.find('\0') != std::string::npos || digits == t.size() || t.find_first_not_of("0123456789", digits) != std::string::npos ||
      (t[0] == '-' && !std::numeric_limits<T>::is_signed)) {
    return false;
  }
  errno = 0;
  if constexpr (std::numeric_limits<T>::is_signed) {
    const long long v = std::strtoll(t.c_str(), nullptr, 10);
    out = static_cast<T>(v);
    return errno != ERANGE && v >= std::numeric_limits<T>::min() && v <= std::numeric_limits<T>::max();
  } else {
    const unsigned long long u = std::strtoull(t.c_str(), nullptr, 10);
    out = static_cast<T>(u);
    return errno != ERANGE && u <= std::numeric_limits<T>::max();
  }
}

// Decimal notation only (no hexadecimal, infinity or NaN), finite, and not so
// small that it reads as 0.
bool Float(const std::string &text, double &out) {
  const std::string t = Trimmed(text);
  if (t.empty() || t.find_first_not_of("+-.0123456789eE") != std::string::npos ||
      (t[0] == '+' && (t.size() == 1 || !(t[1] == '.' || std::isdigit(static_cast<unsigned char>(t[1])))))) {
    return false;
  }
  char *end = nullptr;
  errno = 0;
  out = std::strtod(t.c_str(), &end);
  return end == t.c_str() + t.size() && std::isfinite(out) && !(errno == ERANGE && out == 0);
}

template <class T>
bool Check(const WindowsAgentCommon::EnvironmentBlockHelper &helper, const std::string &value, double &number) {
  T got = 0, want = 0;
  const bool read = helper.GetIntegerValue("k", got, T(42)), expected = Integer(value, want);
  Expect(read == expected && got == (expected ? want : T(42)), "an integer reads as strtoll/strtoull", value,
         std::to_string(read) + " " + std::to_string(got));
  number = static_cast<double>(want);
  return expected;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size == 0) return 0;
  const std::string value(reinterpret_cast<const char *>(data) + 1, size - 1);
  const WindowsAgentCommon::EnvironmentBlockHelper helper({{"k", "ignored"}, {"k", value}});
  // Per value type of a monitor setting: whether the value reads, as what.
  double numbers[6] = {};
  bool valid[6] = {Check<short>(helper, value, numbers[0]), Check<unsigned short>(helper, value, numbers[1]),
                   Check<long>(helper, value, numbers[2]), Check<unsigned int>(helper, value, numbers[3]), false,
                   false};
  Check<int>(helper, value, numbers[5]);
  Check<unsigned long>(helper, value, numbers[5]);
  double got = 0;
  const bool read = helper.GetFloatValue("k", got, 0.5);
  valid[4] = Float(value, numbers[4]);
  Expect(read == valid[4] && (valid[4] ? std::memcmp(&got, &numbers[4], sizeof got) == 0 : got == 0.5),
         "a float reads as strtod reads it", value, std::to_string(read) + " " + std::to_string(got));
  std::string word = Trimmed(value);
  for (char &c : word) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  valid[5] = word == "true" || word == "yes" || word == "on" || word == "1" || word == "false" || word == "no" ||
             word == "off" || word == "0";
  numbers[5] = word == "true" || word == "yes" || word == "on" || word == "1";

  // One line of a configuration file: a value without a line break, and
  // none that a quote opens (the file strips quotes around a value).
  if (value.find_first_of("\r\n") != std::string::npos || (!word.empty() && (word[0] == '"' || word[0] == '\''))) return 0;
  const auto &key = WindowsAgentCommon::kMonitorSettings[data[0] % std::size(WindowsAgentCommon::kMonitorSettings)];
  std::istringstream file(std::string(VantrelAgent::kMonitorTypes[data[0] / 11 % 2]) + "." + key.name + " = " + value);
  VantrelAgent::AgentConfig config;
  std::vector<std::string> errors;
  const bool accepted = VantrelAgent::ParseConfig(file, "f", config, errors);
  const auto type = static_cast<int>(key.type);
  bool expected = !word.empty() && valid[type] && numbers[type] >= key.minimum && numbers[type] <= key.maximum;
  // The backlog window must hold more samples than a decision needs (unless
  // a negative minimum turns decisions off); the other of the pair keeps its
  // default.
  const std::string name = key.name;
  const std::string points = "FileMonitor.BacklogMonitor.NumberOfDataPoints";
  const std::string minimum = "FileMonitor.BacklogMonitor.MinNumberOfDataPointsForCalc";
  // A pair refused as a whole is read first: the setting is kept, the file refused.
  const bool kept = expected;
  if (expected && (name == points || name == minimum)) {
    const auto defaultOf = [](const std::string &wanted) {
      for (const auto &k : WindowsAgentCommon::kMonitorSettings) {
        if (wanted == k.name) return k.defaultValue;
      }
      return 0.0;
    };
    const double n = name == points ? numbers[type] : defaultOf(points);
    const double m = name == minimum ? numbers[type] : defaultOf(minimum);
    expected = m < 0 || n > m;
  }
  Expect(accepted == expected && config.settings.size() == (kept ? 1u : 0u),
         "a setting is accepted when its type reads it within its limits", file.str(), errors.empty() ? "" : errors[0]);
  return 0;
}
