#include "agent/AgentConfig.h"

#include "agent/PathPattern.h"

#include <VantrelCommon/EnvironmentBlockHelper.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>
#include <utility>

namespace VantrelAgent {

using WindowsAgentCommon::BacklogWindowHoldsDecision;
using WindowsAgentCommon::kMonitorSettings;
using WindowsAgentCommon::MonitorSetting;
using WindowsAgentCommon::ParseSettingValue;
using WindowsAgentCommon::RefusalText;
using WindowsAgentCommon::SettingNumber;
using WindowsAgentCommon::WithinLimits;

namespace {

// Where the agent's default differs from the component's, and why.
const struct {
  WindowsAgentCommon::MonitorSettingId id;
  const char *value;
} kAgentDefaults[] = {
    // A reader that follows a file must know when another file took its
    // name; the component keeps the plain flags of size and write time.
    {WindowsAgentCommon::kReportReplacement, "true"},
    // Reports within a sweep of a notified change: what a tailer wants.
    {WindowsAgentCommon::kCheckWhenNotified, "true"},
};

}  // namespace

std::string AgentDefault(const MonitorSetting &setting) {
  for (const auto &own : kAgentDefaults) {
    if (&kMonitorSettings[own.id] == &setting) return own.value;
  }
  return DefaultText(setting);
}

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

// Strips the quotes around a value ("..." or '...'); false with a reason
// when a quote is opened and never closed. Nothing inside is escaped.
bool Unquote(std::string &value, std::string &reason) {
  if (value.empty() || (value[0] != '"' && value[0] != '\'')) return true;
  if (value.size() < 2 || value.back() != value[0]) {
    reason = std::string("the quote ") + value[0] + " that opens " + value + " is not closed at its end";
    return false;
  }
  value = value.substr(1, value.size() - 2);
  return true;
}

double AgentDefaultNumber(const MonitorSetting &setting) {
  double value = 0;
  ParseSettingValue(setting, AgentDefault(setting), value);
  return value;
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
    std::string value = Trim(line.substr(eq + 1));
    if (name.empty()) {
      Fail("a setting name is missing before '='");
      return;
    }
    if (value.empty()) {
      Fail("'" + name + "' has no value");
      return;
    }
    if (name == "Watch") {
      Watch(value);
      return;
    }
    std::string reason;
    if (!Unquote(value, reason)) {
      Fail(name + ": " + reason);
      return;
    }
    if (name == "Log.Level") {
      LogLevel(value);
    } else if (name == "Log.File") {
      cfg.logFile = value;
      cfg.logFileLine = lineNo;
    } else if (name == "Credentials") {
      Credentials(value);
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
    // The backlog window must hold more samples than a decision needs.
    const WindowsAgentCommon::MonitorSetting &pointsRow = kMonitorSettings[WindowsAgentCommon::kNumberOfDataPoints];
    const WindowsAgentCommon::MonitorSetting &minimumRow = kMonitorSettings[WindowsAgentCommon::kMinDataPointsForCalc];
    for (const char *type : kMonitorTypes) {
      const auto points = accepted.find(std::string(type) + "." + pointsRow.name);
      const auto minimum = accepted.find(std::string(type) + "." + minimumRow.name);
      if (points == accepted.end() && minimum == accepted.end()) continue;
      // The other of the pair is the default that the agent hands on.
      const double n = points != accepted.end() ? points->second.second : AgentDefaultNumber(pointsRow);
      const double m = minimum != accepted.end() ? minimum->second.second : AgentDefaultNumber(minimumRow);
      if (!BacklogWindowHoldsDecision(n, m)) {
        lineNo = std::max(points != accepted.end() ? points->second.first : 0,
                          minimum != accepted.end() ? minimum->second.first : 0);
        Fail(std::string(type) + "." + pointsRow.name + " (" + SettingNumber(n) +
             ") must be above " + type + "." + minimumRow.name + " (" + SettingNumber(m) +
             "): the worker pool would never grow or shrink");
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

  // "PATH" or "PATH @HANDLE": a last word that begins with '@' is the
  // handle. The path may be quoted.
  void Watch(const std::string &value) {
    WatchEntry entry;
    entry.line = lineNo;
    entry.path = value;
    std::string reason;
    const auto blank = value.find_last_of(" \t");
    if (blank != std::string::npos && value[blank + 1] == '@') {
      if (!ParseHandle(value.substr(blank + 2), entry.handle, reason)) {
        Fail(reason);
        return;
      }
      entry.path = Trim(value.substr(0, blank));
      entry.hasHandle = true;
    }
    if (!Unquote(entry.path, reason)) {
      Fail("Watch: " + reason);
      return;
    }
    if (entry.path.empty()) {
      Fail("Watch has an empty path");
      return;
    }
    cfg.watches.push_back(std::move(entry));
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
    for (const WindowsAgentCommon::MonitorSetting &setting : kMonitorSettings) {
      if (keyName != setting.name) continue;
      double number = 0;
      if (ParseSettingValue(setting, value, number) &&
          WithinLimits(setting, number)) {
        cfg.settings.emplace(name, value);
        accepted[name] = {lineNo, number};
      } else {
        Fail(name + " " + RefusalText(setting, value));
      }
      return;
    }
    Fail("unknown monitor setting '" + keyName + "' for " + type);
  }

  const std::string strSource;
  AgentConfig &cfg;
  std::vector<std::string> &errs;
  int lineNo = 0;
  std::map<std::string, std::pair<int, double>> accepted;  // monitor setting: its last line and value
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
  // Relative to the file's folder, not to wherever the agent was started
  // (a service starts in /).
  const std::string folder = ParentPath(NormalizePath(path, CurrentDirectory()));
  for (auto &watch : config.watches) watch.path = NormalizePath(watch.path, folder);
  if (in.bad()) {
    errors.push_back(path + ": cannot read the configuration file: " + std::strerror(errno));
    return false;
  }
  return parsed;
}

std::multimap<std::string, std::string> ComponentSettings(const AgentConfig &config) {
  std::multimap<std::string, std::string> settings;
  for (const char *type : kMonitorTypes) {
    for (const MonitorSetting &setting : kMonitorSettings) {
      settings.emplace(std::string(type) + "." + setting.name, AgentDefault(setting));
    }
  }
  for (const auto &entry : config.settings) {
    settings.emplace(entry);
  }
  return settings;
}

}  // namespace VantrelAgent
