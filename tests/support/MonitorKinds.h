// The two monitor kinds, for the suites that run once per kind.
#ifndef VANTREL_TESTS_MONITORKINDS_H
#define VANTREL_TESTS_MONITORKINDS_H

#include "monitor/nofsredirect/FileMonitorNoFSRedirect.h"
#include "monitor/statonly/FileMonitorStatOnly.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <memory>
#include <ostream>

namespace VantrelTest {

struct KindUnderTest {
  const char *name;
  std::unique_ptr<WindowsAgentCommon::FileMonitorCore> (*make)();
  const char *exitLine;  // a worker's last line
  bool notifications;
};

inline void PrintTo(const KindUnderTest &kind, std::ostream *os) { *os << kind.name; }

template <class Kind>
std::unique_ptr<WindowsAgentCommon::FileMonitorCore> Make() {
  return std::make_unique<Kind>();
}

inline ::testing::internal::ParamGenerator<KindUnderTest> BothMonitorKinds() {
  return ::testing::Values(
      KindUnderTest{"Polling", Make<WindowsAgentCommon::FileMonitorStatOnly>, "EXITED", false},
      KindUnderTest{"Notification", Make<WindowsAgentCommon::FileMonitorNoFSRedirect>, "EXITING", true});
}

inline std::string MonitorKindName(const ::testing::TestParamInfo<KindUnderTest> &info) { return info.param.name; }

// A log capture, a directory with a log file, a receiver for a path that
// never changes (its idle reports tell that the checks go on) and running
// monitors of the kind under test.
class KindTest : public ::testing::TestWithParam<KindUnderTest> {
 protected:
  // A pool floor of `threads` and a sweep every 10 ms, besides `settings`.
  std::unique_ptr<WindowsAgentCommon::FileMonitorCore> Start(unsigned int threads = 2,
                                                             WindowsAgentCommon::FileMonitorCore::Settings settings = {}) {
    const auto fast = FastSettings(threads);
    settings.insert(fast.begin(), fast.end());
    std::unique_ptr<WindowsAgentCommon::FileMonitorCore> monitor = GetParam().make();
    monitor->Initialize(settings);
    return monitor;
  }
  // As Start, with the clock's path registered.
  std::unique_ptr<WindowsAgentCommon::FileMonitorCore> StartWithClock(unsigned int threads) {
    std::unique_ptr<WindowsAgentCommon::FileMonitorCore> monitor = Start(threads);
    monitor->AddMonitor(dir.WJoin("clock"), &clock, 0, 0, true);
    return monitor;
  }

  LogCapture capture;
  TempDir dir;
  RecordingSink clock;
  // A log file for the cases that watch one.
  const std::string logFile = dir.Write("app.log", "start\n");
  const std::wstring logPath = Wide(logFile);
};

}  // namespace VantrelTest

#endif  // VANTREL_TESTS_MONITORKINDS_H
