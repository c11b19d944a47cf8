// Delivery to receivers: FireFileChange.
//
// Threads: runs on the worker that made the check, with no lock held while a
// receiver is called. A receiver may call back into the monitor (AddMonitor,
// RemoveMonitor, GetFilename, even Stop) from OnFileChanged.
//
// Locks: mtxMonitor only while the record's receiver set is copied.
//
// Lifetime: delivery runs from the copy, so a receiver removed while the copy
// is being delivered may still hear this one report.
#include "monitor/FileMonitorCore.h"

#include "monitor/FileMonitorCoreInternal.h"

#include <vector>

namespace WindowsAgentCommon {

using core::MonitorGuard;

void FileMonitorCore::FireFileChange(FileRecord &record, int flags) {
  std::vector<IFileMonitorSink *> sinks;
  {
    MonitorGuard guard(mtxMonitor);
    sinks.assign(record.sinks.begin(), record.sinks.end());
  }
  if (sinks.empty() && !kind.reportsWithoutReceivers) {
    return;
  }
  log.Debug("File changed %d - %ls", flags, record.path.c_str());
  for (IFileMonitorSink *sink : sinks) {
    if (sink == nullptr) {
      continue;
    }
    try {
      ullReports.fetch_add(1, std::memory_order_relaxed);
      sink->OnFileChanged(record.key, static_cast<unsigned int>(flags));
    } catch (...) {
      // A receiver's failure is its own; the others still hear of the change.
    }
  }
}

}  // namespace WindowsAgentCommon
