// vantrel-agent's command line.
#ifndef VANTREL_AGENT_AGENTOPTIONS_H
#define VANTREL_AGENT_AGENTOPTIONS_H

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace VantrelAgent {


// Exit statuses of the agent.
const int kExitOk = 0;
const int kExitFailure = 1;  // the component could not be loaded or started
const int kExitUsage = 2;    // bad command line or configuration file

struct AgentOptions {
  std::vector<std::string> paths;  // none: the configuration's Watch entries, else the default
  std::string monitor = "notify";  // "notify" or "poll"
  bool monitorGiven = false;       // --monitor was on the command line
  unsigned int intervalMillis = 1000;
  bool idle = false;
  bool credentialsGiven = false;
  std::uint64_t credentials = 0;
  std::string configFile;
  std::string logLevel;  // empty: the configuration's, else the host's default
  std::string logFile;   // empty: the configuration's, else standard error
  bool json = false;
  std::string format;             // empty: the default line (ReportFormat.h)
  bool eventsGiven = false;       // --events: only reports with one of these
  unsigned int eventMask = 0;     //   flags,
  bool eventIdle = false;         //   or idle ones when IDLE is named
  std::vector<std::string> excludes;  // --exclude patterns, as given
  double durationSeconds = 0;  // 0: until a signal
  double statsSeconds = 0;     // 0: only on SIGUSR1
  std::string library;         // empty: found beside the executable
  bool follow = false;         // --follow: the files' new lines instead of reports (Follower.h)
  std::string stateFile;       //   --state
  bool fromStart = false;      //   --from-start
  unsigned int maxOpen = 64;   //   --max-open
};

// The monitor type name that --monitor selects: "notify" gives
// "FileMonitorNoFSRedirect", "poll" gives "FileMonitorNoNotifications".
std::string MonitorTypeName(const std::string &monitor);

struct ParseOutcome {
  bool run = false;  // false: exit at once with exitCode
  int exitCode = kExitOk;
};

// Parses argv into `options`. --help and --version write to `out` and ask
// for exit 0; a bad command line writes the reason to `err` and asks for
// exit kExitUsage.
ParseOutcome ParseCommandLine(int argc, const char *const *argv, AgentOptions &options, std::ostream &out,
                              std::ostream &err);

}  // namespace VantrelAgent

#endif  // VANTREL_AGENT_AGENTOPTIONS_H
