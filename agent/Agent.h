// The running agent: what to watch, the receiver that prints reports, and
// the whole life of one run from loading the component to unloading it.
#ifndef VANTREL_AGENT_AGENT_H
#define VANTREL_AGENT_AGENT_H

#include "agent/AgentConfig.h"
#include "agent/AgentOptions.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace WindowsAgentCommon {
class IFileMonitor;
class ISecurityManager;
}

namespace VantrelAgent {

struct WatchTarget {
  std::string path;
  bool defaultCredentials = true;  // the monitor's default (--credentials, else 0)
  std::uint64_t handle = 0;        // when not the default
};

// "/var/log" and every regular file directly in it (symbolic links to
// regular files included), sorted; just `directory` when it cannot be listed.
std::vector<std::string> DefaultWatchPaths(const std::string &directory);

// The command line's paths, then the configuration's Watch entries; the
// default watch when there are neither. A path listed twice is watched once,
// with the credentials of its first mention. False with a reason for an
// empty path.
bool BuildWatchList(const AgentOptions &options, const AgentConfig &config, const std::string &defaultDirectory,
                    std::vector<WatchTarget> &targets, std::string &error);

class Agent {
 public:
  Agent(AgentOptions options, AgentConfig config);

  // Sets up logging, loads and starts the component, watches, waits for a
  // signal or the end of --duration, and takes everything down again in
  // order. Returns the exit status.
  int Run();

  // Safe from any thread; they only record the request, so that the signal
  // thread never waits for the log or the monitor. `sig` is the signal that
  // asked, 0 for none.
  void RequestStop(int sig = 0);
  void RequestStats();
  void RequestReopen();

 private:
  bool SetUpLogging();
  // SIGHUP: opens the log file again under its name (after logrotate moved
  // it). Runs on the main thread.
  void ReopenLog();
  // One warning for every Credentials entry that this process cannot switch
  // to, before any path is watched with it.
  void WarnAboutCredentials(WindowsAgentCommon::ISecurityManager &securityManager) const;
  // Returns once a stop is requested or --duration has passed; writes the
  // statistics lines meanwhile.
  void WaitForStop(WindowsAgentCommon::IFileMonitor &monitor);
  void PrintStats(WindowsAgentCommon::IFileMonitor &monitor);

  AgentOptions opts;
  AgentConfig cfg;
  std::string strLogFile;  // set before the signal thread starts, read-only after

  std::mutex mtx;  // guards the requests
  std::condition_variable cv;
  bool bStopRequested = false;
  bool bStatsRequested = false;
  bool bReopenRequested = false;
  int iStopSignal = 0;

  // The statistics of the last line; the main thread's.
  struct Counters {
    std::uint64_t checks = 0;
    std::uint64_t reports = 0;
    std::chrono::steady_clock::time_point when;
  } lastStats;
};

}  // namespace VantrelAgent

#endif  // VANTREL_AGENT_AGENT_H
