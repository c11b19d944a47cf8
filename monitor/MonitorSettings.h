// The settings that a monitor reads in Initialize, one row each: the key,
// the type its value is read as, the default, and the values that make
// sense. Initialize reads every setting through this table and
// vantrel-agent's configuration reader checks a file against it, so a
// default or a limit is written here and nowhere else.
//
// Header-only: the agent reads it without linking the component.
#ifndef VANTREL_MONITOR_MONITORSETTINGS_H
#define VANTREL_MONITOR_MONITORSETTINGS_H

#include <VantrelCommon/EnvironmentBlockHelper.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <limits>
#include <sstream>
#include <string>
#include <type_traits>

namespace WindowsAgentCommon {

// How a value is read: the host reader's integer and float types, and a
// switch (true/false, yes/no, on/off, 1/0, in any case).
enum class SettingType { Short, UnsignedShort, Long, UnsignedInt, Double, Switch };

struct MonitorSetting {
  const char *name;     // the key, without the monitor type's prefix
  SettingType type;
  double defaultValue;  // a switch: 0 or 1
  double minimum;       // the smallest value that makes sense; the type's own range narrows it further
  double maximum;       // the largest
  const char *whyLow;   // why a value below the minimum makes no sense, or null
  const char *whyHigh;  // why a value above the maximum makes no sense, or null
};

inline constexpr double kUnbounded = std::numeric_limits<double>::infinity();

// Rows of kMonitorSettings, in the order Initialize reads them.
enum MonitorSettingId {
  kReaderThreadsMin,
  kReaderThreadsMax,
  kBacklogCheckIntervalMillis,
  kBacklogCheckStartupDelaySec,
  kNumberOfDataPoints,
  kMinDataPointsForCalc,
  kThreadsPerIncrement,
  kCheckPeriodMillis,
  kDispositionMinThreshold,
  kDispositionMaxThreshold,
  kReportReplacement,
  kFullCheckPeriodMillis,
  kCheckWhenNotified,
  kMonitorSettingCount
};

inline constexpr MonitorSetting kMonitorSettings[kMonitorSettingCount] = {
    {"FileMonitor.ReaderThreadsMin", SettingType::UnsignedShort, 5, 1, kUnbounded,
     "with no worker nothing is ever checked", nullptr},
    {"FileMonitor.ReaderThreadsMax", SettingType::UnsignedShort, 100, 0, kUnbounded, nullptr, nullptr},
    {"FileMonitor.BacklogMonitor.BacklogCheckIntervalMillis", SettingType::Double, 1000, 1, 86400000,
     "the backlog check needs time between two samples",
     "a backlog check less often than once a day never adapts the pool"},
    {"FileMonitor.BacklogMonitor.BacklogCheckStartupDelaySec", SettingType::Long, 120, 0, kUnbounded, nullptr,
     nullptr},
    {"FileMonitor.BacklogMonitor.NumberOfDataPoints", SettingType::UnsignedInt, 1024, 1, kUnbounded, nullptr,
     nullptr},
    // Negative: the pool never grows or shrinks.
    {"FileMonitor.BacklogMonitor.MinNumberOfDataPointsForCalc", SettingType::Long, 128, -kUnbounded, kUnbounded,
     nullptr, nullptr},
    {"FileMonitor.NumberOfBacklogThreadsPerIncrement", SettingType::UnsignedShort, 5, 0, kUnbounded, nullptr,
     nullptr},
    // A timer with a period of 0 fires once and never again.
    {"EventLogMonitor.ScheduleExpirySweepPeriodMillis", SettingType::UnsignedInt, 100, 1, 60000,
     "the sweep needs time between its rounds", "a sweep period above one minute delays every check and the shutdown"},
    {"FileMonitor.BacklogDispositionMinThreshold", SettingType::Short, -5, -kUnbounded, kUnbounded, nullptr, nullptr},
    {"FileMonitor.BacklogDispositionMaxThreshold", SettingType::Short, 5, -kUnbounded, kUnbounded, nullptr, nullptr},
    // Off: the checks report exactly the flags of size and write time.
    {"FileMonitor.ReportReplacement", SettingType::Switch, 0, 0, 1, nullptr, nullptr},
    // 0: the notification monitor reads every file at every check.
    {"FileMonitor.FullCheckPeriodMillis", SettingType::UnsignedInt, 60000, 0, kUnbounded, nullptr, nullptr},
    // Off: a notified path is checked at its interval like any other.
    {"FileMonitor.CheckWhenNotified", SettingType::Switch, 0, 0, 1, nullptr, nullptr},
};

// The C++ type that holds a setting of each type.
template <SettingType> struct SettingCppType;
template <> struct SettingCppType<SettingType::Short> { typedef short type; };
template <> struct SettingCppType<SettingType::UnsignedShort> { typedef unsigned short type; };
template <> struct SettingCppType<SettingType::Long> { typedef long type; };
template <> struct SettingCppType<SettingType::UnsignedInt> { typedef unsigned int type; };
template <> struct SettingCppType<SettingType::Double> { typedef double type; };
template <> struct SettingCppType<SettingType::Switch> { typedef bool type; };

template <MonitorSettingId id>
using SettingValue = typename SettingCppType<kMonitorSettings[id].type>::type;

template <MonitorSettingId id>
constexpr SettingValue<id> DefaultOf() {
  return static_cast<SettingValue<id>>(kMonitorSettings[id].defaultValue);
}

// A monitor's settings, each at its default until Initialize has read it.
// Initialize writes them once, before it starts the timers that lead to any
// check; from then on they are only read, by any thread, without a lock.
struct MonitorSettingValues {
  unsigned short usReaderThreadsMin = DefaultOf<kReaderThreadsMin>();
  unsigned short usReaderThreadsMax = DefaultOf<kReaderThreadsMax>();
  double dBacklogCheckIntervalMillis = DefaultOf<kBacklogCheckIntervalMillis>();
  long lBacklogCheckStartupDelaySec = DefaultOf<kBacklogCheckStartupDelaySec>();
  unsigned int numberOfDataPoints = DefaultOf<kNumberOfDataPoints>();
  long lMinDataPointsForCalc = DefaultOf<kMinDataPointsForCalc>();
  unsigned short usThreadsPerIncrement = DefaultOf<kThreadsPerIncrement>();
  unsigned int ulCheckPeriodMillis = DefaultOf<kCheckPeriodMillis>();
  short sDispositionMinThreshold = DefaultOf<kDispositionMinThreshold>();
  short sDispositionMaxThreshold = DefaultOf<kDispositionMaxThreshold>();
  bool reportReplacement = DefaultOf<kReportReplacement>();
  unsigned int fullCheckPeriodMillis = DefaultOf<kFullCheckPeriodMillis>();
  bool checkWhenNotified = DefaultOf<kCheckWhenNotified>();
};

// Reads `text` as the host's reader of the setting's type reads it (a
// switch: one of its words); false, and `value` untouched, when it cannot.
inline bool ParseSettingValue(const MonitorSetting &setting, const std::string &text, double &value) {
  const EnvironmentBlockHelper helper({{setting.name, text}});
  const auto integer = [&](auto read) {
    if (!helper.GetIntegerValue(setting.name, read, read)) return false;
    value = static_cast<double>(read);
    return true;
  };
  switch (setting.type) {
    case SettingType::Short: return integer(short{0});
    case SettingType::UnsignedShort: return integer(static_cast<unsigned short>(0));
    case SettingType::Long: return integer(0L);
    case SettingType::UnsignedInt: return integer(0U);
    case SettingType::Double: {
      double read = 0;
      if (!helper.GetFloatValue(setting.name, read, read)) return false;
      value = read;
      return true;
    }
    case SettingType::Switch: {
      std::string word = text;
      for (char &c : word) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      if (word == "true" || word == "yes" || word == "on" || word == "1") {
        value = 1;
      } else if (word == "false" || word == "no" || word == "off" || word == "0") {
        value = 0;
      } else {
        return false;
      }
      return true;
    }
  }
  return false;
}

inline bool WithinLimits(const MonitorSetting &setting, double value) {
  return value >= setting.minimum && value <= setting.maximum;
}

// A number as the settings write it ("1000", "-5", "500.5").
inline std::string SettingNumber(double value) {
  std::ostringstream text;
  text.precision(15);
  text << value;
  return text.str();
}

// The default as a value in a configuration file.
inline std::string DefaultText(const MonitorSetting &setting) {
  if (setting.type == SettingType::Switch) return setting.defaultValue != 0 ? "true" : "false";
  return SettingNumber(setting.defaultValue);
}

// What the setting accepts, as the end of "<key> must be ...": the type's
// own range narrowed by the setting's limits ("a whole number from 1 to
// 65535").
inline std::string AcceptedText(const MonitorSetting &setting) {
  double low = -kUnbounded;
  double high = kUnbounded;
  const char *kind = "a whole number";
  switch (setting.type) {
    case SettingType::Short: low = std::numeric_limits<short>::min(); high = std::numeric_limits<short>::max(); break;
    case SettingType::UnsignedShort: low = 0; high = std::numeric_limits<unsigned short>::max(); break;
    case SettingType::Long: break;
    case SettingType::UnsignedInt: low = 0; high = std::numeric_limits<unsigned int>::max(); break;
    case SettingType::Double: kind = "a number"; break;
    case SettingType::Switch: return "true or false (or yes/no, on/off, 1/0)";
  }
  low = std::max(low, setting.minimum);
  high = std::min(high, setting.maximum);
  std::string text = kind;
  if (low != -kUnbounded && high != kUnbounded) {
    text += " from " + SettingNumber(low) + " to " + SettingNumber(high);
  } else if (low != -kUnbounded) {
    text += " of at least " + SettingNumber(low);
  } else if (high != kUnbounded) {
    text += " of at most " + SettingNumber(high);
  }
  return text;
}

// Why `text` is refused, to follow the key: "must be a whole number from 1
// to 60000, not '0': the sweep needs time between its rounds". The reason
// of a limit is given for any number beyond it, also one beyond the type.
inline std::string RefusalText(const MonitorSetting &setting, const std::string &text) {
  std::string message = "must be " + AcceptedText(setting) + ", not '" + text + "'";
  if (setting.type == SettingType::Switch) return message;
  char *end = nullptr;
  const double written = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || *end != '\0') return message;
  if (written < setting.minimum && setting.whyLow != nullptr) message += std::string(": ") + setting.whyLow;
  if (written > setting.maximum && setting.whyHigh != nullptr) message += std::string(": ") + setting.whyHigh;
  return message;
}

// A window of backlog samples no larger than the samples that a decision
// needs never yields a decision: the pool would never grow or shrink. A
// negative minimum turns decisions off on purpose.
inline bool BacklogWindowHoldsDecision(double numberOfDataPoints, double minDataPointsForCalc) {
  return minDataPointsForCalc < 0 || numberOfDataPoints > minDataPointsForCalc;
}

// Reads the setting `id` from `config` into `out`. Absent, empty, or a
// number its type's reader cannot read (which the host's reader leaves at
// its default without a word): the default, and true. Read but beyond the
// setting's limits, or a switch's unknown word: the default, and false with
// `written` holding the value as given, for the caller's warning.
template <MonitorSettingId id, class T>
bool ReadMonitorSetting(const EnvironmentBlockHelper &config, T &out, std::string &written) {
  static_assert(std::is_same<T, SettingValue<id>>::value, "a setting is read into the type of its row");
  const MonitorSetting &setting = kMonitorSettings[id];
  out = DefaultOf<id>();
  if (!config.GetStringValue(setting.name, written, std::string()) || written.empty()) return true;
  double value = 0;
  if (!ParseSettingValue(setting, written, value)) return setting.type != SettingType::Switch;
  if (!WithinLimits(setting, value)) return false;
  out = static_cast<T>(value);
  return true;
}

}  // namespace WindowsAgentCommon

#endif  // VANTREL_MONITOR_MONITORSETTINGS_H
