// A scratch directory, a probe that drives one monitor's checks and sweeps on
// the calling thread, and the benchmark body of one check.
#ifndef VANTREL_BENCH_BENCHSUPPORT_H
#define VANTREL_BENCH_BENCHSUPPORT_H

#include "monitor/IFileMonitorSink.h"

#include <Platform/Win32Api.h>
#include <VantrelCommon/Logger.h>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace VantrelBench {

class ScratchDir {
 public:
  ScratchDir() {
    char pattern[] = "/tmp/vantrel-bench-XXXXXX";
    const char *made = mkdtemp(pattern);
    path = made != nullptr ? made : "/tmp";
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  std::string File(const std::string &name, std::size_t bytes) const {
    const std::string full = path + "/" + name;
    std::ofstream(full) << std::string(bytes, 'x');
    return full;
  }
  std::string Dir(const std::string &name, int entries) const {
    const std::string full = path + "/" + name;
    std::filesystem::create_directory(full);
    for (int i = 0; i < entries; ++i) {
      std::ofstream(full + "/entry" + std::to_string(i)) << "x";
    }
    return full;
  }
  std::string path;
};

// Checks a record on the calling thread, as a worker would; no threads, no
// timers (the pool floor is 0, and the monitor only counts as running so
// that it accepts the registration). Monitor is a concrete monitor kind.
template <class Monitor>
class CheckProbe : public Monitor {
 public:
  explicit CheckProbe(bool reportReplacement = false) {
    this->usReaderThreadsMin = 0;
    this->bInitialized = true;
    this->reportReplacement = reportReplacement;
  }
  int Check(const std::wstring &path) {
    auto &record = *this->mapFiles.at(path);
    if (!this->HasAcceptedState(record)) {
      this->InitialScan(record);
    }
    return this->CheckFile(record, this->log, {});
  }
  void Sweep() { this->CheckFiles(); }
  // Makes the swept records due again: empties the queue and clears their
  // queued marks.
  void Rearm() {
    this->msg_queue()->flush();
    for (auto &entry : this->mapFiles) {
      entry.second->queued.Unqueue();
    }
  }
};

class NullSink : public WindowsAgentCommon::IFileMonitorSink {
 public:
  void OnFileChanged(const std::int64_t &, unsigned int) override {}
};

// The cost of one check of `path` (a file or a directory) by a Monitor,
// with replacement reporting off (the default) or on.
template <class Monitor>
void CheckOnePath(benchmark::State &state, const std::string &path, bool reportReplacement = false) {
  WindowsAgentCommon::LoggerFactory::SetLevel(WindowsAgentCommon::LogLevel::Info);
  const std::wstring wide = VantrelPlatform::FromUtf8(path);
  NullSink sink;
  CheckProbe<Monitor> probe(reportReplacement);
  probe.AddMonitor(wide, &sink, 1000, 0, false);
  for (auto _ : state) {
    benchmark::DoNotOptimize(probe.Check(wide));
  }
}

}  // namespace VantrelBench

#endif  // VANTREL_BENCH_BENCHSUPPORT_H
