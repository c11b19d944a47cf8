#include "agent/AgentConfig.h"

#include <VantrelCommon/EnvironmentBlockHelper.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>

namespace VantrelAgent {

using WindowsAgentCommon::EnvironmentBlockHelper;

namespace {

const double kNoLimit = std::numeric_limits<double>::infinity();

}  // namespace

const MonitorKey kMonitorKeys[11] = {
    {"FileMonitor.ReaderThreadsMin", ValueType::UnsignedShort, "5", 1, kNoLimit,
     "with no worker nothing is ever checked"},
    {"FileMonitor.ReaderThreadsMax", ValueType::UnsignedShort, "100", 0, kNoLimit, nullptr},
    {"FileMonitor.BacklogMonitor.BacklogCheckIntervalMillis", ValueType::Double, "1000", 1, 86400000, nullptr},
    {"FileMonitor.BacklogMonitor.BacklogCheckStartupDelaySec", ValueType::Long, "120", 0, kNoLimit, nullptr},
    {"FileMonitor.BacklogMonitor.NumberOfDataPoints", ValueType::UnsignedInt, "1024", 1, kNoLimit, nullptr},
    {"FileMonitor.BacklogMonitor.MinNumberOfDataPointsForCalc", ValueType::Long, "128", -kNoLimit, kNoLimit,
     nullptr},
    {"FileMonitor.NumberOfBacklogThreadsPerIncrement", ValueType::UnsignedShort, "5", 0, kNoLimit, nullptr},
    {"EventLogMonitor.ScheduleExpirySweepPeriodMillis", ValueType::UnsignedInt, "100", 1, 60000,
     "a sweep period above one minute delays every check and the shutdown"},
    {"FileMonitor.BacklogDispositionMinThreshold", ValueType::Short, "-5", -kNoLimit, kNoLimit, nullptr},
    {"FileMonitor.BacklogDispositionMaxThreshold", ValueType::Short, "5", -kNoLimit, kNoLimit, nullptr},
    // Off in the component; a tailer needs it, so the agent turns it on.
    {"FileMonitor.ReportReplacement", ValueType::Switch, "true", 0, 1, nullptr},
};

const char *const kMonitorTypes[2] = {"FileMonitorNoFSRedirect", "FileMonitorNoNotifications"};

bool AgentConfig::KnowsHandle(std::uint64_t handle) const {
  if (handle == 0) return true;
  for (const auto &entry : credentials) {
    if (entry.handle == handle) return true;
  }
  return false;
}

namespace {

std::string Trim(const std::string &text) {
  const char *blanks = " \t\r\n\f\v";
  const auto first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return std::string();
  const auto last = text.find_last_not_of(blanks);
  return text.substr(first, last - first + 1);
}

const char *TypeText(ValueType type) {
  switch (type) {
    case ValueType::Short: return "a whole number from -32768 to 32767";
    case ValueType::UnsignedShort: return "a whole number from 0 to 65535";
    case ValueType::Long: return "a whole number";
    case ValueType::UnsignedInt: return "a whole number from 0 to 4294967295";
    case ValueType::Double: return "a number";
    case ValueType::Switch: return "true or false (or yes/no, on/off, 1/0)";
  }
  return "a number";
}

// Reads the value the way the monitor will (the host's EnvironmentBlockHelper),
// so that what the agent accepts is exactly what the monitor understands.
bool ReadNumber(const MonitorKey &key, const std::string &value, double &number) {
  EnvironmentBlockHelper helper({{key.name, value}});
  switch (key.type) {
    case ValueType::Short: {
      short v = 0;
      if (!helper.GetIntegerValue(key.name, v, v)) return false;
      number = v;
      return true;
    }
    case ValueType::UnsignedShort: {
      unsigned short v = 0;
      if (!helper.GetIntegerValue(key.name, v, v)) return false;
      number = v;
      return true;
    }
    case ValueType::Long: {
      long v = 0;
      if (!helper.GetIntegerValue(key.name, v, v)) return false;
      number = static_cast<double>(v);
      return true;
    }
    case ValueType::UnsignedInt: {
      unsigned int v = 0;
      if (!helper.GetIntegerValue(key.name, v, v)) return false;
      number = v;
      return true;
    }
    case ValueType::Double: {
      double v = 0;
      if (!helper.GetFloatValue(key.name, v, v)) return false;
      number = v;
      return true;
    }
    case ValueType::Switch: {
      std::string v;
      helper.GetStringValue(key.name, v, v);
      for (char &c : v) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      if (v == "true" || v == "yes" || v == "on" || v == "1") {
        number = 1;
      } else if (v == "false" || v == "no" || v == "off" || v == "0") {
        number = 0;
      } else {
        return false;
      }
      return true;
    }
  }
  return false;
}

// A credentials handle: a decimal number that is neither 0 (the process
// itself) nor all ones (the monitor's default).
bool ParseHandle(const std::string &text, std::uint64_t &handle, std::string &reason) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
    reason = "a credentials handle is a decimal number, not '" + text + "'";
    return false;
  }
  errno = 0;
  const unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
  if (errno == ERANGE) {
    reason = "credentials handle " + text + " is out of range";
    return false;
  }
  handle = static_cast<std::uint64_t>(value);
  return true;
}

class LineParser {
 public:
  LineParser(const std::string &source, AgentConfig &config, std::vector<std::string> &errors)
      : strSource(source), cfg(config), errs(errors) {}

  void Line(int number, const std::string &raw) {
    lineNo = number;
    const std::string line = Trim(raw);
    if (line.empty() || line[0] == '#') return;
    const auto eq = line.find('=');
    if (eq == std::string::npos) {
      Fail("expected 'name = value', found '" + line + "'");
      return;
    }
    const std::string name = Trim(line.substr(0, eq));
    const std::string value = Trim(line.substr(eq + 1));
    if (name.empty()) {
      Fail("a setting name is missing before '='");
      return;
    }
    if (value.empty()) {
      Fail("'" + name + "' has no value");
      return;
    }
    if (name == "Log.Level") {
      LogLevel(value);
    } else if (name == "Log.File") {
      cfg.logFile = value;
    } else if (name == "Credentials") {
      Credentials(value);
    } else if (name == "Watch") {
      Watch(value);
    } else {
      MonitorSetting(name, value);
    }
  }

  // Checks that need the whole file: every handle a Watch names is defined.
  void Finish() {
    for (const auto &watch : cfg.watches) {
      if (watch.hasHandle && !cfg.KnowsHandle(watch.handle)) {
        lineNo = watch.line;
        Fail("credentials handle " + std::to_string(watch.handle) + " has no Credentials entry");
      }
    }
  }

 private:
  void Fail(const std::string &reason) { errs.push_back(strSource + ":" + std::to_string(lineNo) + ": " + reason); }

  void LogLevel(const std::string &value) {
    WindowsAgentCommon::LogLevel level;
    if (!WindowsAgentCommon::ParseLogLevel(value, level)) {
      Fail("Log.Level must be debug, info, warn, error or off, not '" + value + "'");
      return;
    }
    cfg.hasLogLevel = true;
    cfg.logLevel = level;
  }

  void Credentials(const std::string &value) {
    const auto blank = value.find_first_of(" \t");
    if (blank == std::string::npos) {
      Fail("Credentials takes a handle and an identity ('7 1000:1000' or '7 username')");
      return;
    }
    CredentialsEntry entry;
    entry.line = lineNo;
    std::string reason;
    if (!ParseHandle(value.substr(0, blank), entry.handle, reason)) {
      Fail(reason);
      return;
    }
    if (entry.handle == 0 || entry.handle == ~std::uint64_t(0)) {
      Fail("credentials handle " + value.substr(0, blank) +
           " is reserved (0 is the agent's own identity, all ones the monitor's default)");
      return;
    }
    for (const auto &other : cfg.credentials) {
      if (other.handle == entry.handle) {
        Fail("credentials handle " + std::to_string(entry.handle) + " is already defined on line " +
             std::to_string(other.line));
        return;
      }
    }
    const std::string identity = Trim(value.substr(blank));
    if (!WindowsAgentCommon::PlatformSecurityManager::ParseCredentials(identity, entry.credentials, reason)) {
      Fail("credentials '" + identity + "': " + reason);
      return;
    }
    cfg.credentials.push_back(entry);
  }

  // "PATH" or "PATH @HANDLE": a last word that begins with '@' is the handle.
  void Watch(const std::string &value) {
    WatchEntry entry;
    entry.line = lineNo;
    entry.path = value;
    const auto blank = value.find_last_of(" \t");
    if (blank != std::string::npos && value[blank + 1] == '@') {
      std::string reason;
      if (!ParseHandle(value.substr(blank + 2), entry.handle, reason)) {
        Fail(reason);
        return;
      }
      entry.path = Trim(value.substr(0, blank));
      entry.hasHandle = true;
    }
    cfg.watches.push_back(entry);
  }

  void MonitorSetting(const std::string &name, const std::string &value) {
    const auto dot = name.find('.');
    const std::string type = dot == std::string::npos ? std::string() : name.substr(0, dot);
    const std::string keyName = dot == std::string::npos ? std::string() : name.substr(dot + 1);
    if (type != kMonitorTypes[0] && type != kMonitorTypes[1]) {
      Fail("unknown setting '" + name + "' (expected Log.Level, Log.File, Credentials, Watch, or " +
           kMonitorTypes[0] + "." + "<key> or " + kMonitorTypes[1] + ".<key>)");
      return;
    }
    for (const auto &key : kMonitorKeys) {
      if (keyName != key.name) continue;
      double number = 0;
      if (!ReadNumber(key, value, number)) {
        Fail(name + " must be " + TypeText(key.type) + ", not '" + value + "'");
      } else if (number < key.minimum || number > key.maximum) {
        std::ostringstream limits;
        limits << name << " must be at least " << key.minimum;
        if (key.maximum != kNoLimit) limits << " and at most " << key.maximum;
        limits << ", not " << value;
        if (key.why != nullptr) limits << ": " << key.why;
        Fail(limits.str());
      } else {
        cfg.settings.emplace(name, value);
      }
      return;
    }
    Fail("unknown monitor setting '" + keyName + "' for " + type);
  }

  const std::string strSource;
  AgentConfig &cfg;
  std::vector<std::string> &errs;
  int lineNo = 0;
};

}  // namespace

bool ParseConfig(std::istream &in, const std::string &source, AgentConfig &config,
                 std::vector<std::string> &errors) {
  const std::size_t errorsBefore = errors.size();
  config.source = source;
  LineParser parser(source, config, errors);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    // Windows editors may begin a UTF-8 file with a byte order mark.
    if (number == 0 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
    parser.Line(++number, line);
  }
  parser.Finish();
  return errors.size() == errorsBefore;
}

bool LoadConfigFile(const std::string &path, AgentConfig &config, std::vector<std::string> &errors) {
  // The name is UTF-8 on every system (on Windows, UTF-16 for the call).
  const std::filesystem::path file = std::filesystem::u8path(path);
  std::ifstream in(file);
  if (!in) {
    errors.push_back(path + ": cannot read the configuration file: " + std::strerror(errno));
    return false;
  }
  std::error_code ec;
  if (std::filesystem::is_directory(file, ec)) {
    errors.push_back(path + ": cannot read the configuration file: it is a directory");
    return false;
  }
  const bool parsed = ParseConfig(in, path, config, errors);
  if (in.bad()) {
    errors.push_back(path + ": cannot read the configuration file: " + std::strerror(errno));
    return false;
  }
  return parsed;
}

std::multimap<std::string, std::string> ComponentSettings(const AgentConfig &config) {
  std::multimap<std::string, std::string> settings;
  for (const char *type : kMonitorTypes) {
    for (const auto &key : kMonitorKeys) {
      settings.emplace(std::string(type) + "." + key.name, key.defaultValue);
    }
  }
  for (const auto &entry : config.settings) {
    settings.emplace(entry);
  }
  return settings;
}

}  // namespace VantrelAgent
