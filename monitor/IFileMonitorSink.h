// The receiver of a monitor's reports.
#ifndef VANTREL_MONITOR_IFILEMONITORSINK_H
#define VANTREL_MONITOR_IFILEMONITORSINK_H

#include "monitor/VantrelMonitorExport.h"

#include <cstdint>

namespace WindowsAgentCommon {

// A monitor calls OnFileChanged on one of its worker threads, synchronously
// inside the check of the path, with no monitor lock held and the thread
// still switched to the path's credentials (what the receiver opens, it
// opens as the check did). Reports for
// different paths may arrive on different threads at once. A monitor never
// owns, copies or deletes a receiver: remove it from every path (RemoveMonitor)
// before destroying it.
struct VANTREL_MONITOR_API IFileMonitorSink {
  // Change flags, a 32-bit set. FILE_MON_CHANGE_TYPE_IS_DIRECTORY is a
  // qualifier that never comes alone; FILE_MON_CHANGE_SIZE_REVERTED comes only
  // with FILE_MON_CHANGE_SIZE_SMALLER, and only from the polling monitor.
  // FILE_MON_CHANGE_REPLACED comes only from a monitor set to report
  // replacement ("FileMonitor.ReportReplacement"): the path now names another
  // file than the one accepted last, and a reader starts again at offset 0.
  // It comes together with the flags that size and write time give.
  enum FileChangeFlags : unsigned int {
    FILE_MON_CHANGE_CREATED = 0x0001,
    FILE_MON_CHANGE_MODIFICATION_TIME = 0x0002,
    FILE_MON_CHANGE_SIZE_SMALLER = 0x0004,
    FILE_MON_CHANGE_SIZE_LARGER = 0x0008,
    FILE_MON_CHANGE_DELETED = 0x0010,
    FILE_MON_CHANGE_SIZE_REVERTED = 0x0020,
    FILE_MON_CHANGE_REPLACED = 0x0040,
    FILE_MON_CHANGE_TYPE_IS_DIRECTORY = 0x8000,
  };

  // `key` refers to the monitor's own copy of the path key; copy it to keep
  // it. Flags 0 reach only receivers of a path registered with wantIdle.
  virtual void OnFileChanged(const std::int64_t &key, unsigned int flags) = 0;
};

}  // namespace WindowsAgentCommon

#endif  // VANTREL_MONITOR_IFILEMONITORSINK_H
