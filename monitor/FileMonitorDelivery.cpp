// Delivery to receivers: FireFileChange, and the wait of RemoveMonitor for a
// delivery that is under way.
//
// Threads: FireFileChange runs on the worker that made the check, with no
// lock held while a receiver is called. A receiver may call back into the
// monitor (AddMonitor, RemoveMonitor, GetFilename, even Stop) from
// OnFileChanged. AwaitDeliveries runs on whatever thread calls RemoveMonitor.
//
// Locks: mtxMonitor while the record's receiver set is copied, and again for
// each receiver while the worker makes sure that it is still registered and
// enters its call in the process-wide table of deliveries under way, whose
// own mutex is taken only after mtxMonitor or alone, and never held while a
// receiver runs or while RemoveMonitor waits.
//
// Lifetime: no call to a receiver starts once RemoveMonitor has taken it off
// the record. A RemoveMonitor made on a thread outside every monitor's pool
// returns only when every call to that receiver for that record that had
// started has ended. One made inside a report (on a worker of any monitor)
// never waits for a call under way on another thread: that call may wait for
// something the caller holds (the receiver's own mutex, most often), and
// waiting for it would lose both workers for ever.
#include "monitor/FileMonitorCore.h"

#include "monitor/DeliveryTable.h"
#include "monitor/FileMonitorCoreInternal.h"

#include <iterator>
#include <new>
#include <vector>

namespace WindowsAgentCommon {

using core::MonitorGuard;

// In static storage, and each call's entry its thread's own: the table holds
// no heap memory, and unloading the library leaves nothing behind.
DeliveryTable &DeliveryTable::Instance() {
  alignas(DeliveryTable) static unsigned char storage[sizeof(DeliveryTable)];
  static DeliveryTable *table = new (storage) DeliveryTable();
  return *table;
}

void FileMonitorCore::FireFileChange(FileRecord &record, int flags) {
  DeliveryTable &table = DeliveryTable::Instance();
  // The first receiver's call is entered in the table under the same hold of
  // mtxMonitor as the copy of the set is taken, and the copy holds only the
  // others: the usual path with one receiver takes the lock once and
  // allocates nothing.
  IFileMonitorSink *first = nullptr;
  std::vector<IFileMonitorSink *> others;
  bool none = false;
  {
    MonitorGuard guard(mtxMonitor);
    none = record.sinks.empty();
    auto it = record.sinks.begin();
    while (it != record.sinks.end() && *it == nullptr) {
      ++it;
    }
    if (it != record.sinks.end()) {
      others.assign(std::next(it), record.sinks.end());
      first = *it;
      table.Begin(&record, first);
    }
  }
  if (first != nullptr) {
    DeliveryScope scope(table);
    log.Debug("File changed %d - %ls", flags, record.path.c_str());
    Deliver(record, *first, flags);
  } else if (none && !kind_.reportsWithoutReceivers) {
    return;
  } else {
    log.Debug("File changed %d - %ls", flags, record.path.c_str());
  }
  for (IFileMonitorSink *sink : others) {
    {
      MonitorGuard guard(mtxMonitor);
      if (record.sinks.count(sink) == 0) {
        continue;  // removed since the copy was taken
      }
      table.Begin(&record, sink);
    }
    DeliveryScope scope(table);
    Deliver(record, *sink, flags);
  }
}

void FileMonitorCore::Deliver(FileRecord &record, IFileMonitorSink &sink, int flags) {
  counters_.CountReport();
  try {
    sink.OnFileChanged(record.key, static_cast<unsigned int>(flags));
  } catch (...) {
    // A receiver's failure is its own and is not logged; the others still
    // hear of the change, and the statistics count it.
    counters_.CountReceiverFailure();
  }
}

std::uint64_t FileMonitorCore::NextDeliverySerial() { return DeliveryTable::Instance().NextSerial(); }

void FileMonitorCore::AwaitDeliveries(const FileRecord &record, const IFileMonitorSink *sink,
                                      std::uint64_t before) {
  DeliveryTable::Instance().Await(&record, sink, before);
}

}  // namespace WindowsAgentCommon
