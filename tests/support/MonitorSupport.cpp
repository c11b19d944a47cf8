// Helpers that reach into a monitor. Kept apart from TestSupport.cpp so that
// suites which never touch a monitor do not link against its type
// information (the sanitizer builds' vptr checks refer to it).
#include "support/TestSupport.h"

#include <cstdio>
#include <cstdlib>

namespace VantrelTest {

void StopWithin(WindowsAgentCommon::IFileMonitor &monitor, std::chrono::milliseconds deadline) {
  std::future<void> stopped = InBackground([&monitor] { monitor.Stop(); });
  if (!Finished(stopped, deadline)) {
    std::fprintf(stderr, "Stop did not return within %lld ms\n", static_cast<long long>(deadline.count()));
    std::abort();
  }
}

}  // namespace VantrelTest
