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
// the record, and RemoveMonitor returns only when every call to it for that
// record that had started has ended. Two exceptions keep this from ever
// deadlocking: the call on the thread of RemoveMonitor itself (a receiver
// removing itself from inside its own call), and a wait that would close a
// cycle of removals waiting on one another's deliveries (a receiver on
// worker A removing one that is being called on worker B, which removes the
// first): the removal that would close the cycle returns without waiting.
#include "monitor/FileMonitorCore.h"

#include "monitor/FileMonitorCoreInternal.h"

#include <condition_variable>
#include <iterator>
#include <mutex>
#include <thread>
#include <map>
#include <new>
#include <vector>

namespace WindowsAgentCommon {

using core::MonitorGuard;

namespace {

// The receiver calls under way in the process, one at most per thread, and
// the threads that wait in RemoveMonitor for one of them. Process-wide, so
// that a cycle of waits through receivers of different monitors is found too.
class DeliveryTable {
 public:
  struct Delivery {
    const FileRecord *record;
    const IFileMonitorSink *sink;
    std::uint64_t serial;
  };

  // Never destroyed: a worker of a monitor that outlives static destruction
  // may still deliver. It lives in static storage and its maps are
  // node-based, so while no call is under way it holds no heap memory and
  // unloading the library leaves nothing behind.
  static DeliveryTable &Instance() {
    alignas(DeliveryTable) static unsigned char storage[sizeof(DeliveryTable)];
    static DeliveryTable *table = new (storage) DeliveryTable();
    return *table;
  }

  // The serial of the next delivery to begin. Called under mtxMonitor, as
  // Begin is, so that a removal tells the calls that began before it from
  // those that cannot begin any more.
  std::uint64_t NextSerial() {
    std::lock_guard<std::mutex> lock(mtx);
    return serial;
  }

  void Begin(const FileRecord &record, const IFileMonitorSink *sink) {
    std::lock_guard<std::mutex> lock(mtx);
    deliveries[std::this_thread::get_id()] = Delivery{&record, sink, serial++};
  }

  void End() {
    {
      std::lock_guard<std::mutex> lock(mtx);
      deliveries.erase(std::this_thread::get_id());
    }
    cv.notify_all();
  }

  // Waits while another thread delivers to the sink for the record a call
  // that began before `before`, unless waiting would close a cycle.
  void Await(const FileRecord &record, const IFileMonitorSink *sink, std::uint64_t before) {
    const std::thread::id self = std::this_thread::get_id();
    std::unique_lock<std::mutex> lock(mtx);
    for (;;) {
      std::thread::id busy;
      bool found = false;
      for (const auto &entry : deliveries) {
        const Delivery &d = entry.second;
        if (entry.first != self && d.record == &record && d.sink == sink && d.serial < before) {
          busy = entry.first;
          found = true;
          break;
        }
      }
      if (!found || WaitsFor(busy, self)) {
        return;
      }
      waiting[self] = busy;
      cv.wait(lock);
      waiting.erase(self);
    }
  }

 private:
  // Whether `from` waits, directly or through others, for `target`. Under mtx.
  bool WaitsFor(std::thread::id from, std::thread::id target) const {
    for (std::size_t steps = 0; steps <= waiting.size(); ++steps) {
      if (from == target) {
        return true;
      }
      const auto next = waiting.find(from);
      if (next == waiting.end()) {
        return false;
      }
      from = next->second;
    }
    return false;
  }

  std::mutex mtx;
  std::condition_variable cv;
  std::uint64_t serial = 0;
  std::map<std::thread::id, Delivery> deliveries;
  std::map<std::thread::id, std::thread::id> waiting;
};

// Ends the table's entry of a call however the call ends.
class DeliveryScope {
 public:
  DeliveryScope() = default;
  ~DeliveryScope() { DeliveryTable::Instance().End(); }
  DeliveryScope(const DeliveryScope &) = delete;
  DeliveryScope &operator=(const DeliveryScope &) = delete;
};

}  // namespace

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
      table.Begin(record, first);
    }
  }
  if (first != nullptr) {
    DeliveryScope scope;
    log.Debug("File changed %d - %ls", flags, record.path.c_str());
    Deliver(record, *first, flags);
  } else if (none && !kind.reportsWithoutReceivers) {
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
      table.Begin(record, sink);
    }
    DeliveryScope scope;
    Deliver(record, *sink, flags);
  }
}

void FileMonitorCore::Deliver(FileRecord &record, IFileMonitorSink &sink, int flags) {
  try {
    ullReports.fetch_add(1, std::memory_order_relaxed);
    sink.OnFileChanged(record.key, static_cast<unsigned int>(flags));
  } catch (...) {
    // A receiver's failure is its own; the others still hear of the change.
  }
}

std::uint64_t FileMonitorCore::NextDeliverySerial() { return DeliveryTable::Instance().NextSerial(); }

void FileMonitorCore::AwaitDeliveries(const FileRecord &record, const IFileMonitorSink *sink,
                                      std::uint64_t before) {
  DeliveryTable::Instance().Await(record, sink, before);
}

}  // namespace WindowsAgentCommon
