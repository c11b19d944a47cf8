// The reference points of the per-check cost, run the way the agent is run:
// given a file of paths (one a line), it checks every path at an interval
// until SIGTERM or SIGINT, and writes "ready" on standard error once every
// path is set up, so that bench/cpu_per_check.py measures all programs alike.
//
//   vantrel_peer stat     FILE INTERVAL_MS   one stat per path and check
//   vantrel_peer statopen FILE INTERVAL_MS   stat, then open/fstat/close
//   vantrel_peer uvpoll   FILE INTERVAL_MS   libuv's uv_fs_poll (when built with libuv)
//
// At the end it writes one line to standard output: "checks N".
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#ifdef VANTREL_HAVE_LIBUV
#include <uv.h>
#endif

namespace {

volatile sig_atomic_t gStop = 0;

void OnSignal(int) { gStop = 1; }

std::vector<std::string> ReadPaths(const char *file) {
  std::vector<std::string> paths;
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty()) paths.push_back(line);
  }
  return paths;
}

std::int64_t NowNanos() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// One pass over every path per interval, on one thread: the least a poller
// can spend on these system calls.
std::uint64_t SyscallLoop(const std::vector<std::string> &paths, long intervalMs, bool withOpen) {
  std::uint64_t checks = 0;
  std::int64_t next = NowNanos();
  std::fprintf(stderr, "ready\n");
  while (!gStop) {
    for (const auto &p : paths) {
      struct stat st;
      if (::stat(p.c_str(), &st) == 0 && withOpen) {
        const int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        if (fd >= 0) {
          ::fstat(fd, &st);
          ::close(fd);
        }
      }
      ++checks;
    }
    next += static_cast<std::int64_t>(intervalMs) * 1000000;
    for (std::int64_t now = NowNanos(); now < next && !gStop; now = NowNanos()) {
      const std::int64_t wait = next - now;
      timespec ts{static_cast<time_t>(wait / 1000000000), static_cast<long>(wait % 1000000000)};
      nanosleep(&ts, nullptr);
    }
  }
  return checks;
}

#ifdef VANTREL_HAVE_LIBUV
void OnUvSignal(uv_signal_t *handle, int) { uv_stop(handle->loop); }

void OnPollChange(uv_fs_poll_t *, int, const uv_stat_t *, const uv_stat_t *) {}

std::uint64_t UvPoll(const std::vector<std::string> &paths, long intervalMs) {
  uv_loop_t *loop = uv_default_loop();
  std::vector<uv_fs_poll_t> polls(paths.size());
  for (std::size_t i = 0; i < paths.size(); ++i) {
    uv_fs_poll_init(loop, &polls[i]);
    uv_fs_poll_start(&polls[i], OnPollChange, paths[i].c_str(), static_cast<unsigned int>(intervalMs));
  }
  uv_signal_t term, intr;
  uv_signal_init(loop, &term);
  uv_signal_init(loop, &intr);
  uv_signal_start(&term, OnUvSignal, SIGTERM);
  uv_signal_start(&intr, OnUvSignal, SIGINT);
  const std::int64_t start = NowNanos();
  std::fprintf(stderr, "ready\n");
  uv_run(loop, UV_RUN_DEFAULT);
  const double seconds = static_cast<double>(NowNanos() - start) / 1e9;
  // uv_fs_poll calls back only on a change, so the checks are its schedule.
  return static_cast<std::uint64_t>(static_cast<double>(paths.size()) * seconds * 1000.0 /
                                    static_cast<double>(intervalMs));
}
#endif

}  // namespace

int main(int argc, char **argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s stat|statopen|uvpoll PATHS_FILE INTERVAL_MS\n", argv[0]);
    return 2;
  }
  const std::string mode = argv[1];
  const std::vector<std::string> paths = ReadPaths(argv[2]);
  const long intervalMs = std::strtol(argv[3], nullptr, 10);
  if (intervalMs <= 0) {
    std::fprintf(stderr, "INTERVAL_MS must be positive\n");
    return 2;
  }
  std::uint64_t checks = 0;
  if (mode == "stat" || mode == "statopen") {
    signal(SIGTERM, OnSignal);
    signal(SIGINT, OnSignal);
    checks = SyscallLoop(paths, intervalMs, mode == "statopen");
  } else if (mode == "uvpoll") {
#ifdef VANTREL_HAVE_LIBUV
    checks = UvPoll(paths, intervalMs);
#else
    std::fprintf(stderr, "built without libuv\n");
    return 2;
#endif
  } else {
    std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
    return 2;
  }
  std::printf("checks %llu\n", static_cast<unsigned long long>(checks));
  return 0;
}
