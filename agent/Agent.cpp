#include "agent/Agent.h"

#include "agent/ComponentHost.h"
#include "agent/Follower.h"
#include "agent/PathPattern.h"
#include "agent/ReportFormat.h"
#include "agent/SignalWatcher.h"
#include "factory/IFileMonitorFactory.h"
#include "monitor/IFileMonitor.h"
#include "monitor/IFileMonitorSink.h"

#include <Platform/Win32Api.h>
#include <VantrelCommon/Logger.h>
#include <VantrelCommon/MessageBlockUtil.h>
#include <VantrelCommon/SecurityManager.h>
#include <VantrelCommon/ServiceComponent.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <memory>
#include <thread>

#ifndef VANTREL_VERSION
#define VANTREL_VERSION "0.0.0"
#endif

namespace VantrelAgent {

using namespace WindowsAgentCommon;

namespace {

const char *const kInstanceName = "<Singleton>";
const char *const kAgentLogName = "vantrel-agent";
const std::chrono::seconds kReadyWait{10};

// One write per line, so that lines of different threads (and the log's
// records, which are written the same way) never interleave. False when the
// descriptor is closed or broken.
bool WriteLine(int fd, std::string line) {
  line += '\n';
  return VantrelPlatform::WriteFully(fd, line.data(), line.size());
}

void Say(const std::string &text) { WriteLine(STDERR_FILENO, "vantrel-agent: " + text); }

}  // namespace

// Prints the reports of the paths that were asked for on standard output,
// and hands the agent what discovery needs. Called on the monitor's worker
// threads, several at once. The monitor
// and the watch set outlive every call: the agent removes every
// registration and stops the monitor before either goes.
class ReportWriter final : public IFileMonitorSink {
 public:
  ReportWriter(IFileMonitor &monitor, std::string monitorType, const AgentOptions &options, Agent &agent)
      : rMonitor(monitor), strType(std::move(monitorType)), rOpts(options), rAgent(agent) {}

  void SetWatchSet(WatchSet *watchSet) { pWatchSet = watchSet; }
  // With --follow the reports of files go to the follower instead.
  void SetFollower(Follower *follower) { pFollower = follower; }

  void OnFileChanged(const std::int64_t &key, unsigned int flags) override {
    Report report;
    report.path = VantrelPlatform::ToUtf8(rMonitor.GetFilename(key));
    // Before the watch set counts the report: the follower has every first
    // report by the ready line. It leaves directories alone.
    if (pFollower != nullptr) pFollower->OnReport(report.path, flags);
    const WatchSet::Verdict verdict = pWatchSet->OnReport(report.path, key, flags);
    if (verdict.relist || verdict.release) rAgent.RequestDiscovery(report.path, verdict.release);
    if (!verdict.print) return;
    if (pFollower != nullptr) return;
    report.key = key;
    report.flags = verdict.flags;
    Print(report);
  }

  // Any thread; `report.path` and `report.key` filled in.
  void Print(Report report) {
    if (!Wanted(report.flags)) return;
    report.monitorType = strType;
    // The time is taken and the line built with the lock held, so that the
    // lines of several workers go out in the order of their times.
    std::lock_guard<std::mutex> lock(mtxOut);
    if (bClosed) return;
    report.when = std::chrono::system_clock::now();
    const std::string line = rOpts.json             ? FormatJson(report)
                             : rOpts.format.empty() ? FormatText(report)
                                                    : FormatTemplate(rOpts.format, report);
    if (!WriteLine(STDOUT_FILENO, line)) {
      bClosed = true;
      const int error = errno;
      if (error != EPIPE) {
        Say(std::string("cannot write to standard output: ") + std::strerror(error) + "; stopping");
        writeFailed = true;
      }
      rAgent.RequestStop();
      return;
    }
    ++rAgent.reportsPrinted;
  }

  std::atomic<bool> writeFailed{false};

 private:
  bool Wanted(unsigned int flags) const {
    if (flags == 0) return rOpts.idle && (!rOpts.eventsGiven || rOpts.eventIdle);
    return !rOpts.eventsGiven || (flags & rOpts.eventMask) != 0;
  }

  IFileMonitor &rMonitor;
  const std::string strType;
  const AgentOptions &rOpts;
  Agent &rAgent;
  WatchSet *pWatchSet = nullptr;  // set before the first registration
  Follower *pFollower = nullptr;
  std::mutex mtxOut;
  bool bClosed = false;
};

namespace {

// A registration in the host's service registry for as long as the object lives.
class ServiceRegistration {
 public:
  ServiceRegistration(std::string name, IServiceComponent *component) : strName(std::move(name)) {
    RegisterService(strName, component);
  }
  ~ServiceRegistration() { UnregisterService(strName); }
  ServiceRegistration(const ServiceRegistration &) = delete;
  ServiceRegistration &operator=(const ServiceRegistration &) = delete;

 private:
  std::string strName;
};

}  // namespace

std::string DefaultWatchDirectory() {
#if defined(_WIN32)
  wchar_t windows[MAX_PATH];
  const UINT n = ::GetWindowsDirectoryW(windows, MAX_PATH);
  return (n > 0 && n < MAX_PATH ? VantrelPlatform::ToUtf8(std::wstring(windows, n)) : std::string("C:\\Windows")) +
         "\\Logs";
#else
  return "/var/log";
#endif
}

std::vector<std::string> DefaultWatchPaths(const std::string &directory) {
  std::vector<std::string> paths{directory};
  std::error_code ec;
  std::filesystem::directory_iterator it(std::filesystem::u8path(directory), ec);
  std::vector<std::string> files;
  for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    std::error_code statError;
    if (it->is_regular_file(statError)) {
      files.push_back(it->path().u8string());
    }
  }
  std::sort(files.begin(), files.end());
  paths.insert(paths.end(), files.begin(), files.end());
  return paths;
}

bool BuildWatchList(const AgentOptions &options, const AgentConfig &config, const std::string &defaultDirectory,
                    const std::string &cwd, std::vector<WatchTarget> &targets, std::vector<std::string> &notes,
                    std::string &error) {
  targets.clear();
  std::vector<std::string> defaults;
  std::vector<const std::string *> written;  // each mention as written, in order
  written.reserve(options.paths.size() + config.watches.size());
  for (const auto &path : options.paths) {
    if (path.empty()) {
      error = "an empty path cannot be watched";
      return false;
    }
    written.push_back(&path);
  }
  for (const auto &watch : config.watches) written.push_back(&watch.path);
  if (written.empty()) {
    defaults = DefaultWatchPaths(defaultDirectory);
    for (const auto &path : defaults) written.push_back(&path);
  }
  targets.reserve(written.size());
  for (std::size_t i = 0; i < written.size(); ++i) {
    WatchTarget target;
    target.path = NormalizePath(*written[i], cwd);
    target.pattern = IsPattern(target.path);
    const std::size_t fromConfig = i - options.paths.size();
    const bool configured = i >= options.paths.size() && fromConfig < config.watches.size();
    target.defaultCredentials = !configured || !config.watches[fromConfig].hasHandle;
    target.handle = configured ? config.watches[fromConfig].handle : 0;
    targets.push_back(std::move(target));
  }
  // The mentions in order of their paths' keys, the first mention of each
  // path first: every later one is a repeat. Sorted positions rather than a
  // map of the paths: a long list makes no node per path.
#if defined(_WIN32)
  std::vector<std::string> keys;
  keys.reserve(targets.size());
  for (const auto &target : targets) keys.push_back(PathKey(target.path));
  const auto key = [&keys](std::uint32_t i) -> const std::string & { return keys[i]; };
#else
  const auto key = [&targets](std::uint32_t i) -> const std::string & { return targets[i].path; };
#endif
  std::vector<std::uint32_t> order(targets.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = static_cast<std::uint32_t>(i);
  std::stable_sort(order.begin(), order.end(), [&key](std::uint32_t a, std::uint32_t b) { return key(a) < key(b); });
  std::vector<std::pair<std::uint32_t, std::uint32_t>> repeats;  // (repeat, first mention)
  for (std::size_t i = 1, first = 0; i < order.size(); ++i) {
    if (key(order[i]) == key(order[first])) {
      repeats.emplace_back(order[i], order[first]);
    } else {
      first = i;
    }
  }
  std::vector<std::uint32_t>().swap(order);
  std::sort(repeats.begin(), repeats.end());
  for (const auto &repeat : repeats) {
    const std::string &again = *written[repeat.first];
    const std::string &before = *written[repeat.second];
    notes.push_back(again == before ? again + " is given twice; it is watched once"
                                    : again + " is " + targets[repeat.first].path + ", already given as " + before +
                                          "; it is watched once");
  }
  if (!repeats.empty()) {
    std::size_t kept = 0, next = 0;
    for (std::size_t i = 0; i < targets.size(); ++i) {
      if (next < repeats.size() && repeats[next].first == i) {
        ++next;
        continue;
      }
      if (kept != i) targets[kept] = std::move(targets[i]);
      ++kept;
    }
    targets.resize(kept);
  }
  return true;
}

Agent::Agent(AgentOptions options, AgentConfig config) : opts(std::move(options)), cfg(std::move(config)) {}

void Agent::RequestStop(int sig) {
  std::lock_guard<std::mutex> lock(mtx);
  bStopRequested = true;
  if (iStopSignal == 0) iStopSignal = sig;
  cv.notify_all();
}

void Agent::RequestDiscovery(const std::string &path, bool release) {
  std::lock_guard<std::mutex> lock(mtx);
  queDiscovery.emplace_back(path, release);
  cv.notify_all();
}

void Agent::Discover(WatchSet &watchSet, ReportWriter &writer, std::unique_lock<std::mutex> &lock) {
  while (!queDiscovery.empty() && !bStopRequested) {
    const auto request = queDiscovery.front();
    queDiscovery.pop_front();
    lock.unlock();
    if (request.second) {
      for (const auto &gone : watchSet.Release(request.first)) {
        Report report;
        report.path = gone.path;
        report.key = gone.key;
        report.flags = IFileMonitorSink::FILE_MON_CHANGE_DELETED |
                       (gone.directory ? IFileMonitorSink::FILE_MON_CHANGE_TYPE_IS_DIRECTORY : 0u);
        writer.Print(report);
      }
    } else {
      watchSet.Relist(request.first);
    }
    lock.lock();
  }
}

void Agent::WaitUntilReady(WatchSet &watchSet, ReportWriter &writer) {
  const auto until = std::chrono::steady_clock::now() + kReadyWait;
  std::unique_lock<std::mutex> lock(mtx);
  while (!bStopRequested && !watchSet.AllSeen() && std::chrono::steady_clock::now() < until) {
    cv.wait_for(lock, std::chrono::milliseconds(20));
    Discover(watchSet, writer, lock);
  }
}

void Agent::RequestReopen() {
  std::lock_guard<std::mutex> lock(mtx);
  bReopenRequested = true;
  cv.notify_all();
}

void Agent::RequestStats() {
  std::lock_guard<std::mutex> lock(mtx);
  bStatsRequested = true;
  cv.notify_all();
}

bool Agent::SetUpLogging() {
  // Quiet unless asked: a log watcher's own log is for its problems.
  LogLevel level = cfg.hasLogLevel ? cfg.logLevel : LogLevel::Warn;
  if (!opts.logLevel.empty()) {
    ParseLogLevel(opts.logLevel, level);
  }
  LoggerFactory::SetLevel(level);
  strLogFile = !opts.logFile.empty() ? opts.logFile : cfg.logFile;
  if (!strLogFile.empty()) {
    std::string error;
    if (!LoggerFactory::SetLogFile(strLogFile, &error)) {
      // The configuration's Log.File: the line that set it.
      Say(opts.logFile.empty() ? cfg.source + ":" + std::to_string(cfg.logFileLine) + ": Log.File: " + error : error);
      return false;
    }
    LoggerFactory::EnableStderr(false);
  }
  return true;
}

void Agent::ReopenLog() {
  if (strLogFile.empty()) return;
  // The old file stays in use when the new one cannot be opened.
  std::string error;
  if (!LoggerFactory::SetLogFile(strLogFile, &error)) {
    Say(error + "; the log still goes to the file opened before");
    return;
  }
  LoggerFactory::GetLog(kAgentLogName).Info("Log file %s reopened", strLogFile.c_str());
}

std::set<std::uint64_t> Agent::WarnAboutCredentials(ISecurityManager &securityManager) const {
  std::set<std::uint64_t> refused;
  for (const auto &entry : cfg.credentials) {
    // A thread of its own, so that whatever the switch leaves behind dies
    // with it.
    int rc = 0;
    std::thread probe([&] {
      rc = securityManager.SwitchToCredentials(entry.handle);
      securityManager.RevertCredentials();
    });
    probe.join();
    if (rc == 0) continue;
    refused.insert(entry.handle);
    std::string reason;
#if defined(_WIN32)
    GetLastErrorText(static_cast<DWORD>(rc), reason);
#else
    if (rc == static_cast<int>(ERROR_ACCESS_DENIED)) {
      reason = "the agent lacks the privilege to change identity (it needs root, or CAP_SETUID and CAP_SETGID)";
    } else {
      reason = LastError(static_cast<DWORD>(rc));
    }
#endif
    Say("warning: " + cfg.source + ":" + std::to_string(entry.line) + ": Credentials " +
        std::to_string(entry.handle) + " cannot be switched to: " + reason + "; paths watched as " +
        std::to_string(entry.handle) + " are not checked");
  }
  return refused;
}

void Agent::PrintStats(IFileMonitor &monitor) {
  const FileMonitorStatistics stats = monitor.GetStatistics();
  const auto now = std::chrono::steady_clock::now();
  const double seconds = std::chrono::duration<double>(now - lastStats.when).count();
  char line[256];
  std::snprintf(line, sizeof(line),
                "stats: %zu paths, %zu threads, %zu queued, %llu checks and %llu reports in the last %.1f s",
                stats.paths, stats.threads, stats.queued,
                static_cast<unsigned long long>(stats.checks - lastStats.checks),
                static_cast<unsigned long long>(reportsPrinted.load() - lastStats.reports), seconds);
  WriteLine(STDERR_FILENO, line);
  lastStats.checks = stats.checks;
  lastStats.reports = reportsPrinted.load();
  lastStats.when = now;
}

void Agent::WaitForStop(IFileMonitor &monitor, WatchSet &watchSet, ReportWriter &writer) {
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  const auto never = Clock::time_point::max();
  const auto every = [](double seconds) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  };
  const auto deadline = opts.durationSeconds > 0 ? start + every(opts.durationSeconds) : never;
  auto nextStats = opts.statsSeconds > 0 ? start + every(opts.statsSeconds) : never;

  std::unique_lock<std::mutex> lock(mtx);
  while (!bStopRequested) {
    const auto wakeAt = std::min(deadline, nextStats);
    const auto requested = [this] {
      return bStopRequested || bStatsRequested || bReopenRequested || !queDiscovery.empty();
    };
    if (wakeAt == never) {
      cv.wait(lock, requested);
    } else {
      cv.wait_until(lock, wakeAt, requested);
    }
    Discover(watchSet, writer, lock);
    if (bReopenRequested) {
      bReopenRequested = false;
      lock.unlock();
      ReopenLog();
      lock.lock();
    }
    const auto now = Clock::now();
    const bool statsDue = bStatsRequested || now >= nextStats;
    bStatsRequested = false;
    if (statsDue) {
      lock.unlock();
      PrintStats(monitor);
      lock.lock();
      if (now >= nextStats) {
        nextStats = std::max(nextStats + every(opts.statsSeconds), now);
      }
    }
    if (now >= deadline) break;
  }
  if (iStopSignal != 0) {
    LoggerFactory::GetLog(kAgentLogName).Info("Stopping on %s", iStopSignal == SIGINT ? "SIGINT" : "SIGTERM");
  }
}

int Agent::Run() {
  if (!SetUpLogging()) return kExitUsage;
  if (opts.credentialsGiven && !cfg.KnowsHandle(opts.credentials)) {
    Say("--credentials " + std::to_string(opts.credentials) +
        " has no Credentials entry in the configuration file");
    return kExitUsage;
  }
  std::vector<WatchTarget> targets;
  std::vector<std::string> notes;
  std::string error;
  if (!BuildWatchList(opts, cfg, DefaultWatchDirectory(), CurrentDirectory(), targets, notes, error)) {
    Say(error);
    return kExitUsage;
  }
  for (const auto &note : notes) Say(note);
  notes.clear();
  if (opts.monitor == "notify") {
    for (const auto &target : targets) {
      const std::string why = WhyNotificationsCannotWatch(target.path);
      if (why.empty()) continue;
      if (opts.monitorGiven) {
        Say(why + ", which the notification monitor cannot watch; --monitor poll can");
        return kExitUsage;
      }
      Say(why + ", which the notification monitor cannot watch: every path is watched with polling");
      opts.monitor = "poll";
      break;
    }
  }
  // The watch list holds the configuration's Watch entries from here on.
  std::vector<WatchEntry>().swap(cfg.watches);
  const std::string monitorType = MonitorTypeName(opts.monitor);
  std::string library = opts.library;
  if (library.empty() && !FindLibrary(library, error)) {
    Say(error);
    return kExitFailure;
  }

  // The security manager first: the monitors' workers find it through the
  // registry when they start, and hold on to it until they end.
  PlatformSecurityManager securityManager;
  for (const auto &entry : cfg.credentials) {
    securityManager.SetCredentials(entry.handle, entry.credentials);
  }
  securityManager.InitializeService(ServiceConfig{ISecurityManager::GetServiceName(), "", "", cfg.source,
                                                  "credentials table of vantrel-agent", {}});
  ServiceRegistration securityRegistration(ISecurityManager::GetServiceName(), &securityManager);
  std::set<std::uint64_t> refusedHandles = WarnAboutCredentials(securityManager);
  if (opts.credentialsGiven && refusedHandles.count(opts.credentials) != 0) {
    // By value: the agent does not link the library that holds the member.
    refusedHandles.insert(std::uint64_t{IFileMonitor::kDefaultCredentials});
  }

  std::unique_ptr<Follower> follower;  // outlives the writer, which calls it
  if (opts.follow) {
    follower = MakeFollower(FollowOptions{opts.stateFile, opts.fromStart, opts.maxOpen, opts.json, opts.format},
                            [this] { RequestStop(); }, error);
    if (!follower) {
      Say(error);
      return kExitUsage;
    }
  }

  SignalWatcher signals([this](int sig) { RequestStop(sig); }, [this] { RequestStats(); },
                        [this] { RequestReopen(); });

  // Declared in the order in which they must outlive one another: the writer
  // outlives the component (a check in flight may still report while the
  // monitor stops), and every monitor reference goes before the library.
  std::unique_ptr<ReportWriter> writer;
  ComponentHost host;
  if (!host.Load(library, IFileMonitorFactory::GetServiceName(), error)) {
    Say(error);
    return kExitFailure;
  }
  ServiceConfig serviceConfig;
  serviceConfig.ConfigText1 = IFileMonitorFactory::GetServiceName();
  serviceConfig.ConfigText2 = library;
  serviceConfig.ConfigText3 = VANTREL_MONITOR_ENTRY_POINT;
  serviceConfig.ConfigText4 = cfg.source;
  serviceConfig.ConfigText5 = std::string("vantrel-agent ") + VANTREL_VERSION;
  serviceConfig.Settings = ComponentSettings(cfg);
  if (opts.follow) {
    // The follower knows a copytruncate copy by its original's first bytes,
    // and so must hear of the truncation before the copy's first report:
    // checks at each path's interval keep that order, checks brought
    // forward by notifications do not. A setting in the file still holds.
    for (const char *type : kMonitorTypes) {
      const std::string name = std::string(type) + ".FileMonitor.CheckWhenNotified";
      if (cfg.settings.count(name) == 0) serviceConfig.Settings.find(name)->second = "false";
    }
  }
  if (!host.Initialize(serviceConfig, error)) {
    Say("the component failed to start: " + error);
    return kExitFailure;
  }

  std::shared_ptr<IFileMonitor> monitor;
  std::unique_ptr<WatchSet> watchSet;
  int status = kExitOk;
  try {
    // As a log reader would: find the factory by its name. The agent does
    // not link the library, so it has no run-time type of the interface to
    // check against; the registry entry is the one it made itself.
    IServiceComponent *service = _getService(IFileMonitorFactory::GetServiceName());
    auto *factory = static_cast<IFileMonitorFactory *>(service);
    if (factory == nullptr) {
      throw std::runtime_error("the factory is not in the service registry");
    }
    factory->GetFileMonitor(monitorType, monitor, kInstanceName);

    writer.reset(new ReportWriter(*monitor, monitorType, opts, *this));
    writer->SetFollower(follower.get());
    if (opts.credentialsGiven) {
      monitor->SetDefaultCredentials(opts.credentials);
    }
    watchSet.reset(
        new WatchSet(*monitor, writer.get(), opts.intervalMillis, opts.excludes, refusedHandles, Say));
    writer->SetWatchSet(watchSet.get());
    // --idle shows every idle report; --follow reads a file at every report
    // of it, which makes its reads independent of what a check can tell.
    watchSet->ReportEveryCheck(opts.idle || opts.follow);
    watchSet->Start(std::move(targets), notes);
    for (const auto &note : notes) Say(note);
    if (watchSet->Registered() == 0) {
      // As inotifywait does: a run that can never report is a usage error.
      Say("nothing is left to watch: --exclude leaves out every path given");
      status = kExitUsage;
    } else {
      WaitUntilReady(*watchSet, *writer);
      if (follower) follower->Ready();
      WriteLine(STDERR_FILENO, "watching " + std::to_string(watchSet->Asked()) + " paths with " + monitorType +
                                   " every " + std::to_string(opts.intervalMillis) + " ms" + watchSet->Followed());
      lastStats.when = std::chrono::steady_clock::now();
      WaitForStop(*monitor, *watchSet, *writer);
      if (writer->writeFailed) status = kExitFailure;
    }
  } catch (const std::exception &e) {
    Say(std::string("cannot watch: ") + e.what());
    status = kExitFailure;
  }

  // Shut-down, in order: every registration, then the component
  // (unregister, Shutdown, destroy, unload); the writer, the watch set and
  // the security manager go after it.
  if (watchSet) watchSet->RemoveAll();
  if (follower) {
    follower->Stop();
    if (follower->WriteFailed()) status = kExitFailure;
  }
  monitor.reset();
  host.Unload();
  return status;
}

}  // namespace VantrelAgent
