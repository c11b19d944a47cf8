// vantrel-agent's configuration file and the settings it hands the
// component.
//
// The file holds "name = value" lines; blank lines and lines whose first
// non-blank character is '#' are ignored; names may repeat (the settings are
// a multimap, and a later value of a monitor setting overrides an earlier
// one). Names:
//   <Type>.<Key> = value    a monitor setting (kMonitorSettings) of one monitor
//                           type, "FileMonitorNoFSRedirect" or
//                           "FileMonitorNoNotifications"
//   Log.Level = debug|info|warn|error|off
//   Log.File = path
//   Credentials = HANDLE IDENTITY   IDENTITY is "UID:GID[:G1,G2,...]" or a user name;
//                                   on Windows "DOMAIN\user PASSWORD"
//   Watch = PATH [@HANDLE]      a path to watch, optionally as HANDLE
// Every bad line is reported as "file:line: reason"; a file with any bad
// line is refused as a whole.
#ifndef VANTREL_AGENT_AGENTCONFIG_H
#define VANTREL_AGENT_AGENTCONFIG_H

#include "monitor/MonitorSettings.h"

#include <VantrelCommon/Logger.h>
#include <VantrelCommon/SecurityManager.h>

#include <cstdint>
#include <istream>
#include <map>
#include <string>
#include <vector>

namespace VantrelAgent {

// The agent's default of a monitor setting, as text: the component's
// (kMonitorSettings), but where the agent needs another.
std::string AgentDefault(const WindowsAgentCommon::MonitorSetting &setting);

// The two monitor type names, which prefix the settings.
extern const char *const kMonitorTypes[2];

struct CredentialsEntry {
  std::uint64_t handle = 0;
  WindowsAgentCommon::PlatformCredentials credentials;
  int line = 0;
};

struct WatchEntry {
  std::string path;
  bool hasHandle = false;
  std::uint64_t handle = 0;
  int line = 0;
};

struct AgentConfig {
  std::string source;  // the file name, for messages
  // Monitor settings exactly as written ("FileMonitorNoNotifications.FileMonitor.ReaderThreadsMin").
  std::multimap<std::string, std::string> settings;
  bool hasLogLevel = false;
  WindowsAgentCommon::LogLevel logLevel = WindowsAgentCommon::LogLevel::Info;
  std::string logFile;
  int logFileLine = 0;  // the line that set logFile
  std::vector<CredentialsEntry> credentials;
  std::vector<WatchEntry> watches;

  // Whether `handle` is 0 (the process's own identity) or has an entry.
  bool KnowsHandle(std::uint64_t handle) const;
};

// Parses the text of a configuration file. `source` names it in messages.
// Returns true when every line is good; otherwise `errors` holds one
// "source:line: reason" per bad line and `config` must not be used.
bool ParseConfig(std::istream &in, const std::string &source, AgentConfig &config,
                 std::vector<std::string> &errors);
// Reads and parses the file at `path`; a file that cannot be read is one
// error. A relative Watch path is taken relative to the file's own folder.
bool LoadConfigFile(const std::string &path, AgentConfig &config, std::vector<std::string> &errors);

// The settings that the agent hands the component: every monitor key of both
// types with its default, then the configuration's monitor settings, which
// therefore win.
std::multimap<std::string, std::string> ComponentSettings(const AgentConfig &config);

}  // namespace VantrelAgent

#endif  // VANTREL_AGENT_AGENTCONFIG_H
