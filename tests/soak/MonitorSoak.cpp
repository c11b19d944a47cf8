// A bounded soak of both monitor kinds under churn: files grow, shrink, go
// and come back, directories gain and lose entries, registrations come and
// go from several threads, receivers look keys up and some are slow, and the
// pools grow and shrink with the backlog. One pair of monitors lives through
// the whole run; another pair is made and destroyed every round.
//
// At the end everything is destroyed and the process must be back where it
// started: the same threads, file descriptors and change-notification
// handles, and a resident set no more than kRssMarginKiB above the start.
// Both measurements follow a warm-up of the same shape, so that what the
// process builds once (allocator arenas for this many threads, the inotify
// instance, the log registry) is in both.
//
// Usage: monitor_soak [SECONDS]   (default 180). Exit status 0 when back at
// the start, 1 otherwise, 2 for a bad argument.
#include "monitor/nofsredirect/FileMonitorNoFSRedirect.h"
#include "monitor/statonly/FileMonitorStatOnly.h"

#include <Platform/TestHooks.h>
#include <Platform/Win32Api.h>
#include <VantrelCommon/Logger.h>

#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace WindowsAgentCommon;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// Here 180 s of this churn make about 1.3 million checks, 1.3 million reports
// and a few hundred thousand registrations and removals, and leave the
// resident set about 0.7 MiB above its start after malloc_trim (allocator
// fragmentation, and the log registry, which keeps one entry per log name
// for the life of the process). 4 MiB is well above that and well below
// what a leak of a few bytes per check or per registration would leave.
const long kRssMarginKiB = 4 * 1024;
const std::size_t kFiles = 16;
const std::size_t kDirs = 4;
const auto kRound = 10s;

std::atomic<unsigned long> gReports{0};
std::atomic<unsigned long> gUnknownKeys{0};
std::atomic<std::uint64_t> gChecks{0};

struct Usage {
  long rssKiB, threads, fds;
  std::size_t handles;
};

long StatusField(const std::string &name) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.compare(0, name.size() + 1, name + ":") == 0) return std::atol(line.c_str() + name.size() + 1);
  }
  return -1;
}

// Measures and prints what the process holds, as `what`.
Usage Measure(const char *what) {
  malloc_trim(0);
  const auto fds = std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator());
  const Usage usage = {StatusField("VmRSS"), StatusField("Threads"), static_cast<long>(fds),
                       VantrelPlatform::TestHooks::ChangeHandleCount()};
  std::printf("soak: %-5s RSS %ld KiB, %ld threads, %ld fds, %zu notification handles\n", what, usage.rssKiB,
              usage.threads, usage.fds, usage.handles);
  return usage;
}

// Counts reports and checks that every key names a path; one receiver in
// four is slow now and then, so that the backlog grows the pool.
struct SoakSink : IFileMonitorSink {
  SoakSink(IFileMonitor &owner, bool isSlow) : monitor(owner), slow(isSlow) {}
  void OnFileChanged(const std::int64_t &key, unsigned int) override {
    ++gReports;
    if (monitor.GetFilename(key).empty()) ++gUnknownKeys;
    if (slow && ++reports % 64 == 0) std::this_thread::sleep_for(30ms);
  }

  IFileMonitor &monitor;
  const bool slow;
  std::atomic<unsigned long> reports{0};
};

// One monitor with its receivers; destroyed, it has stopped.
struct Watched {
  explicit Watched(FileMonitorCore *made) : monitor(made) {
    monitor->Initialize({{"FileMonitor.ReaderThreadsMin", "2"},
                         {"FileMonitor.ReaderThreadsMax", "6"},
                         {"EventLogMonitor.ScheduleExpirySweepPeriodMillis", "10"},
                         {"FileMonitor.BacklogMonitor.BacklogCheckStartupDelaySec", "0"},
                         {"FileMonitor.BacklogMonitor.BacklogCheckIntervalMillis", "50"},
                         {"FileMonitor.BacklogMonitor.NumberOfDataPoints", "16"},
                         {"FileMonitor.BacklogMonitor.MinNumberOfDataPointsForCalc", "8"}});
    for (int i = 0; i < 4; ++i) sinks.push_back(std::make_unique<SoakSink>(*monitor, i == 0));
  }
  ~Watched() {
    monitor->Stop();
    gChecks += monitor->GetStatistics().checks;
    monitor.reset();  // before the receivers it may still name
  }
  std::unique_ptr<FileMonitorCore> monitor;
  std::vector<std::unique_ptr<SoakSink>> sinks;
};

// Files grow, are emptied and go (and come back with the next growth);
// directories gain and lose entries.
void ChangeSomething(const std::vector<std::string> &paths, std::mt19937 &rng) {
  const std::size_t i = rng() % paths.size();
  std::error_code ignored;
  if (i >= kFiles) {
    const std::string entry = paths[i] + "/e" + std::to_string(rng() % 8);
    if (!fs::remove(entry, ignored)) fs::create_directory(entry, ignored);
  } else if (rng() % 8 == 0) {
    fs::remove(paths[i], ignored);
  } else if (rng() % 8 == 0) {
    fs::resize_file(paths[i], 0, ignored);
  } else {
    std::ofstream(paths[i], std::ios::app) << std::string(1 + rng() % 200, 'x');
  }
}

void ChurnRegistrations(Watched &watched, const std::vector<std::string> &paths, std::mt19937 &rng) {
  const std::wstring path = VantrelPlatform::FromUtf8(paths[rng() % paths.size()]);
  SoakSink *sink = watched.sinks[rng() % watched.sinks.size()].get();
  if (rng() % 3 == 0) {
    watched.monitor->RemoveMonitor(path, sink);
  } else {
    watched.monitor->AddMonitor(path, sink, static_cast<unsigned int>(rng() % 50), 0, rng() % 4 == 0);
  }
}

// Runs the churn under `root` against a long-lived pair and a fresh pair
// each round until `duration` has passed: one thread changes the files, two
// register and remove receivers at random.
void Churn(const std::string &root, std::chrono::seconds duration) {
  // The directories make `root` too; the files come with their first growth.
  std::vector<std::string> paths;
  for (std::size_t i = 0; i < kFiles + kDirs; ++i) {
    paths.push_back(root + "/" + std::to_string(i));
    if (i >= kFiles) fs::create_directories(paths.back());
  }
  Watched longLived[] = {Watched(new FileMonitorStatOnly), Watched(new FileMonitorNoFSRedirect)};
  const auto end = std::chrono::steady_clock::now() + duration;
  for (unsigned round = 0; std::chrono::steady_clock::now() < end; ++round) {
    Watched fresh[] = {Watched(new FileMonitorStatOnly), Watched(new FileMonitorNoFSRedirect)};
    Watched *all[] = {&longLived[0], &longLived[1], &fresh[0], &fresh[1]};
    const auto roundEnd = std::min(end, std::chrono::steady_clock::now() + kRound);
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < 3; ++t) {
      threads.emplace_back([&, t] {
        std::mt19937 rng(round * 7 + t);
        while (std::chrono::steady_clock::now() < roundEnd) {
          if (t == 0) {
            ChangeSomething(paths, rng);
          } else {
            ChurnRegistrations(*all[rng() % 4], paths, rng);
          }
          std::this_thread::sleep_for(t == 0 ? 2ms : 1ms);
        }
      });
    }
    for (std::thread &thread : threads) thread.join();
  }
}

}  // namespace

int main(int argc, char **argv) {
  char *rest = nullptr;
  const long seconds = argc > 1 ? std::strtol(argv[1], &rest, 10) : 180;
  if (argc > 2 || (rest != nullptr && *rest != 0) || seconds < 10) {
    std::fprintf(stderr, "usage: monitor_soak [SECONDS >= 10]\n");
    return 2;
  }
  LoggerFactory::SetLevel(LogLevel::Error);
  char pattern[] = "/tmp/vantrel-soak-XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string root = pattern;
  Churn(root + "/warm", 2 * kRound);  // the shape of the soak: a long-lived pair and rounds
  gReports = gUnknownKeys = gChecks = 0;
  const Usage before = Measure("start");
  Churn(root + "/soak", std::chrono::seconds(seconds));
  std::error_code ignored;
  fs::remove_all(root, ignored);

  // Threads leave /proc a moment after they are joined.
  for (int i = 0; i < 100 && StatusField("Threads") > before.threads; ++i) std::this_thread::sleep_for(100ms);
  const Usage after = Measure("end");
  std::printf("soak: %ld s, %llu checks, %lu reports, %lu unknown keys\n", seconds,
              static_cast<unsigned long long>(gChecks.load()), gReports.load(), gUnknownKeys.load());
  bool ok = true;
  auto require = [&](bool holds, const char *what) {
    if (!holds) std::printf("soak: FAILED: %s\n", what);
    ok = ok && holds;
  };
  require(after.threads == before.threads, "the thread count is not back at its start");
  require(after.fds == before.fds, "the file descriptors are not back at their start");
  require(after.handles == before.handles, "notification handles are left over");
  require(after.rssKiB <= before.rssKiB + kRssMarginKiB, "the resident set grew beyond the margin");
  require(gReports > 0 && gChecks > 0, "nothing was checked or reported");
  require(gUnknownKeys == 0, "a receiver was given a key without a path");
  std::printf("soak: %s\n", ok ? "back at the start" : "NOT back at the start");
  return ok ? 0 : 1;
}
