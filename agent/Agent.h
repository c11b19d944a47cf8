// The running agent: what to watch, the receiver that prints reports, and
// the whole life of one run from loading the component to unloading it.
#ifndef VANTREL_AGENT_AGENT_H
#define VANTREL_AGENT_AGENT_H

#include "agent/AgentConfig.h"
#include "agent/AgentOptions.h"
#include "agent/WatchSet.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace WindowsAgentCommon {
class IFileMonitor;
class ISecurityManager;
}

namespace VantrelAgent {

class ReportWriter;

// The system's log directory: /var/log, or the Logs folder of the Windows
// directory.
std::string DefaultWatchDirectory();

// `directory` and every regular file directly in it (symbolic links to
// regular files included), sorted; just `directory` when it cannot be listed.
std::vector<std::string> DefaultWatchPaths(const std::string &directory);

// The command line's paths, then the configuration's Watch entries; the
// default watch when there are neither. Every path is made absolute against
// `cwd` and tidied by text (PathPattern.h), so that "./w5", "w5/" and
// "/abs/w5" are one path: watched once, with the credentials of its first
// mention, and the repeat gets one line in `notes`. False with a reason for
// an empty path.
bool BuildWatchList(const AgentOptions &options, const AgentConfig &config, const std::string &defaultDirectory,
                    const std::string &cwd, std::vector<WatchTarget> &targets, std::vector<std::string> &notes,
                    std::string &error);

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
  // From a report: list a pattern's directory again, or let go of a path
  // that a pattern found and that is gone. Done on the main thread.
  void RequestDiscovery(const std::string &path, bool release);

 private:
  bool SetUpLogging();
  // The discovery requests that have come, on the main thread.
  void Discover(WatchSet &watchSet, ReportWriter &writer, std::unique_lock<std::mutex> &lock);
  // Returns once every path has had its first check (so that the ready line
  // is true: what changes after it is reported), a stop is requested, or
  // kReadyWait has passed (a path whose check keeps failing never has one).
  // Paths watched with credentials that cannot be switched to are not waited
  // for: their checks are refused.
  void WaitUntilReady(WatchSet &watchSet, ReportWriter &writer);
  // SIGHUP: opens the log file again under its name (after logrotate moved
  // it). Runs on the main thread.
  void ReopenLog();
  // One warning for every Credentials entry that this process cannot switch
  // to, before any path is watched with it. Returns their handles.
  std::set<std::uint64_t> WarnAboutCredentials(WindowsAgentCommon::ISecurityManager &securityManager) const;
  // Returns once a stop is requested or --duration has passed; writes the
  // statistics lines meanwhile.
  void WaitForStop(WindowsAgentCommon::IFileMonitor &monitor, WatchSet &watchSet, ReportWriter &writer);
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
  std::deque<std::pair<std::string, bool>> queDiscovery;  // path, release

  // The statistics of the last line; the main thread's.
  struct Counters {
    std::uint64_t checks = 0;
    std::uint64_t reports = 0;
    std::chrono::steady_clock::time_point when;
  } lastStats;
  std::atomic<std::uint64_t> reportsPrinted{0};
  friend class ReportWriter;
};

}  // namespace VantrelAgent

#endif  // VANTREL_AGENT_AGENT_H
