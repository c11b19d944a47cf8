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
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace WindowsAgentCommon;
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
const int kSinksPerMonitor = 4;

struct Usage {
  long rssKiB = 0;
  long threads = 0;
  long fds = 0;
  std::size_t handles = 0;
};

long StatusField(const char *name) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const std::string prefix = std::string(name) + ":";
  while (std::getline(status, line)) {
    if (line.compare(0, prefix.size(), prefix) == 0) {
      return std::atol(line.c_str() + prefix.size());
    }
  }
  return -1;
}

Usage Measure() {
  malloc_trim(0);
  Usage usage;
  usage.rssKiB = StatusField("VmRSS");
  usage.threads = StatusField("Threads");
  for (const auto &entry : fs::directory_iterator("/proc/self/fd")) {
    (void)entry;
    ++usage.fds;
  }
  usage.handles = VantrelPlatform::TestHooks::ChangeHandleCount();
  return usage;
}

// Counts reports and checks that every key names a path; one in four is slow
// now and then, so that the backlog grows the pool.
class SoakSink : public IFileMonitorSink {
 public:
  SoakSink(IFileMonitor &owner, bool isSlow) : monitor(owner), slow(isSlow) {}
  void OnFileChanged(const std::int64_t &key, unsigned int) override {
    const unsigned long n = ++reports;
    if (monitor.GetFilename(key).empty()) {
      ++unknownKeys;
    }
    if (slow && n % 64 == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
  }
  IFileMonitor &monitor;
  const bool slow;
  std::atomic<unsigned long> reports{0};
  std::atomic<unsigned long> unknownKeys{0};
};

// One monitor with its receivers; destroyed, it has stopped.
struct Watched {
  explicit Watched(std::unique_ptr<FileMonitorCore> made) : monitor(std::move(made)) {
    monitor->Initialize({
        {"FileMonitor.ReaderThreadsMin", "2"},
        {"FileMonitor.ReaderThreadsMax", "6"},
        {"EventLogMonitor.ScheduleExpirySweepPeriodMillis", "10"},
        {"FileMonitor.BacklogMonitor.BacklogCheckStartupDelaySec", "0"},
        {"FileMonitor.BacklogMonitor.BacklogCheckIntervalMillis", "50"},
        {"FileMonitor.BacklogMonitor.NumberOfDataPoints", "16"},
        {"FileMonitor.BacklogMonitor.MinNumberOfDataPointsForCalc", "8"},
    });
    for (int i = 0; i < kSinksPerMonitor; ++i) {
      sinks.push_back(std::make_unique<SoakSink>(*monitor, i == 0));
    }
  }
  ~Watched() {
    monitor->Stop();
    monitor.reset();  // before the receivers it may still name
  }
  std::unique_ptr<FileMonitorCore> monitor;
  std::vector<std::unique_ptr<SoakSink>> sinks;
};

struct Totals {
  unsigned long reports = 0;
  unsigned long unknownKeys = 0;
  std::uint64_t checks = 0;
  void Add(const Watched &watched) {
    for (const auto &sink : watched.sinks) {
      reports += sink->reports.load();
      unknownKeys += sink->unknownKeys.load();
    }
    checks += watched.monitor->GetStatistics().checks;
  }
};

void Append(const std::string &path, std::size_t bytes) {
  std::ofstream(path, std::ios::app) << std::string(bytes, 'x');
}

// The files and directories of the churn, and what changes them: files
// grow, are emptied and go (and come back with the next growth);
// directories gain and lose entries.
struct Scene {
  explicit Scene(const std::string &root) {
    for (std::size_t i = 0; i < kFiles + kDirs; ++i) {
      paths.push_back(root + "/" + std::to_string(i));
      if (i < kFiles) {
        Append(paths.back(), 10);
      } else {
        fs::create_directory(paths.back());
      }
    }
  }
  void ChangeSomething(std::mt19937 &rng) {
    const std::size_t i = rng() % paths.size();
    std::error_code ignored;
    if (i >= kFiles) {
      const std::string entry = paths[i] + "/e" + std::to_string(rng() % 8);
      if (!fs::remove(entry, ignored)) {
        fs::create_directory(entry, ignored);
      }
    } else if (rng() % 8 == 0) {
      fs::remove(paths[i], ignored);
    } else if (rng() % 8 == 0) {
      fs::resize_file(paths[i], 0, ignored);
    } else {
      Append(paths[i], 1 + rng() % 200);
    }
  }
  std::vector<std::string> paths;
};

// Registers and removes receivers at random, from the calling thread.
void ChurnRegistrations(Watched &watched, const Scene &scene, std::mt19937 &rng) {
  const std::string &path = scene.paths[rng() % scene.paths.size()];
  SoakSink *sink = watched.sinks[rng() % watched.sinks.size()].get();
  const std::wstring wide = VantrelPlatform::FromUtf8(path);
  if (rng() % 3 == 0) {
    watched.monitor->RemoveMonitor(wide, sink);
  } else {
    watched.monitor->AddMonitor(wide, sink, static_cast<unsigned int>(rng() % 50), 0, rng() % 4 == 0);
  }
}

// Runs the churn against `long-lived` and a fresh pair every `roundSeconds`
// until `seconds` have passed.
Totals Churn(const std::string &root, std::vector<Watched *> longLived, int seconds, int roundSeconds) {
  Totals totals;
  Scene scene(root);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  for (unsigned round = 0; std::chrono::steady_clock::now() < end; ++round) {
    Watched polling(std::make_unique<FileMonitorStatOnly>());
    Watched notification(std::make_unique<FileMonitorNoFSRedirect>());
    std::vector<Watched *> all = longLived;
    all.push_back(&polling);
    all.push_back(&notification);
    const auto roundEnd = std::min(end, std::chrono::steady_clock::now() + std::chrono::seconds(roundSeconds));
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
      std::mt19937 rng(round);
      while (std::chrono::steady_clock::now() < roundEnd) {
        scene.ChangeSomething(rng);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    });
    for (unsigned t = 0; t < 2; ++t) {
      threads.emplace_back([&, t] {
        std::mt19937 rng(round * 7 + t + 1);
        while (std::chrono::steady_clock::now() < roundEnd) {
          ChurnRegistrations(*all[rng() % all.size()], scene, rng);
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
      });
    }
    for (std::thread &thread : threads) {
      thread.join();
    }
    totals.Add(polling);
    totals.Add(notification);
  }
  return totals;
}

void Print(const char *what, const Usage &usage) {
  std::printf("soak: %-5s RSS %ld KiB, %ld threads, %ld fds, %zu notification handles\n", what, usage.rssKiB,
              usage.threads, usage.fds, usage.handles);
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
  const int roundSeconds = 10;

  // The warm-up has the shape of the soak: a long-lived pair and rounds.
  {
    Watched polling(std::make_unique<FileMonitorStatOnly>());
    Watched notification(std::make_unique<FileMonitorNoFSRedirect>());
    fs::create_directory(root + "/warm");
    Churn(root + "/warm", {&polling, &notification}, 2 * roundSeconds, roundSeconds);
  }
  const Usage before = Measure();
  Print("start", before);

  Totals totals;
  {
    Watched polling(std::make_unique<FileMonitorStatOnly>());
    Watched notification(std::make_unique<FileMonitorNoFSRedirect>());
    fs::create_directory(root + "/soak");
    totals = Churn(root + "/soak", {&polling, &notification}, static_cast<int>(seconds), roundSeconds);
    totals.Add(polling);
    totals.Add(notification);
  }
  std::error_code ignored;
  fs::remove_all(root, ignored);

  Usage after = Measure();
  // Threads leave /proc a moment after they are joined.
  for (int i = 0; i < 100 && after.threads > before.threads; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    after = Measure();
  }
  Print("end", after);
  std::printf("soak: %ld s, %llu checks, %lu reports, %lu unknown keys\n", seconds,
              static_cast<unsigned long long>(totals.checks), totals.reports, totals.unknownKeys);

  bool ok = true;
  auto require = [&](bool holds, const char *what) {
    if (!holds) {
      std::printf("soak: FAILED: %s\n", what);
      ok = false;
    }
  };
  require(after.threads == before.threads, "the thread count is not back at its start");
  require(after.fds == before.fds, "the file descriptors are not back at their start");
  require(after.handles == before.handles, "notification handles are left over");
  require(after.rssKiB <= before.rssKiB + kRssMarginKiB, "the resident set grew beyond the margin");
  require(totals.reports > 0 && totals.checks > 0, "nothing was checked or reported");
  require(totals.unknownKeys == 0, "a receiver was given a key without a path");
  std::printf("soak: %s\n", ok ? "back at the start" : "NOT back at the start");
  return ok ? 0 : 1;
}
