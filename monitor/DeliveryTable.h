// The calls to receivers under way in the process, one at most per thread,
// so that RemoveMonitor can wait for the calls to a receiver that began
// before it took the receiver off a path.
//
// Threads: a worker enters its call (Begin) under the monitor lock of the
// record's monitor, after it saw the receiver still registered, and ends it
// (End) with no lock held once the receiver has returned. Await runs on the
// thread of a removal, with no monitor lock held. The table's own mutex is
// taken after a monitor lock or alone, and never held while a receiver runs
// or while Await waits.
//
// A thread that is itself inside a call (a receiver that removes, on a
// worker of any monitor) never waits: the call it would wait for may be
// waiting for a lock that it holds.
#ifndef VANTREL_MONITOR_DELIVERYTABLE_H
#define VANTREL_MONITOR_DELIVERYTABLE_H

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace WindowsAgentCommon {

class DeliveryTable {
 public:
  DeliveryTable() = default;
  DeliveryTable(const DeliveryTable &) = delete;
  DeliveryTable &operator=(const DeliveryTable &) = delete;

  // The one table of the process. Never destroyed: a worker of a monitor
  // that outlives static destruction may still deliver. It holds no heap
  // memory: each call's entry is its thread's own.
  static DeliveryTable &Instance();

  // The serial that the next call to begin will carry. Taken under the same
  // monitor lock as Begin, so that a removal tells the calls that began
  // before it from those that cannot begin any more.
  std::uint64_t NextSerial() {
    std::lock_guard<std::mutex> lock(mutex_);
    return serial_;
  }

  // Enters the calling thread's call to `sink` for `record`.
  void Begin(const void *record, const void *sink) {
    Delivery &call = ThisThread();
    std::lock_guard<std::mutex> lock(mutex_);
    Unlink(call);  // a call begun inside another replaces it
    call.record = record;
    call.sink = sink;
    call.serial = serial_++;
    call.table = this;
    call.next = first_;
    call.previous = nullptr;
    if (first_ != nullptr) {
      first_->previous = &call;
    }
    first_ = &call;
  }

  // Ends the calling thread's call.
  void End() {
    Delivery &call = ThisThread();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      Unlink(call);
    }
    cv_.notify_all();
  }

  // Waits while another thread makes a call to `sink` for `record` that
  // began before `before`; returns at once when the calling thread is
  // inside a call itself.
  void Await(const void *record, const void *sink, std::uint64_t before) {
    const Delivery &own = ThisThread();
    std::unique_lock<std::mutex> lock(mutex_);
    if (own.table == this) {
      return;
    }
    cv_.wait(lock, [&] {
      for (const Delivery *d = first_; d != nullptr; d = d->next) {
        if (d->record == record && d->sink == sink && d->serial < before) {
          return false;
        }
      }
      return true;
    });
  }

 private:
  // A thread's call under way; linked into the table only between Begin
  // and End, which a call never outlives its thread across.
  struct Delivery {
    const void *record;
    const void *sink;
    std::uint64_t serial;
    const DeliveryTable *table;  // the table that lists it, else null
    Delivery *previous;
    Delivery *next;
  };
  void Unlink(Delivery &call) {
    if (call.table != this) {
      return;
    }
    (call.previous != nullptr ? call.previous->next : first_) = call.next;
    if (call.next != nullptr) {
      call.next->previous = call.previous;
    }
    call.table = nullptr;
  }
  static Delivery &ThisThread() {
    static thread_local Delivery call{};
    return call;
  }

  std::mutex mutex_;
  std::condition_variable cv_;
  std::uint64_t serial_ = 0;      // under mutex_
  Delivery *first_ = nullptr;     // under mutex_, as are the links
};

// Ends the table's entry of the calling thread's call however the call ends.
class DeliveryScope {
 public:
  explicit DeliveryScope(DeliveryTable &table) : table_(table) {}
  ~DeliveryScope() { table_.End(); }
  DeliveryScope(const DeliveryScope &) = delete;
  DeliveryScope &operator=(const DeliveryScope &) = delete;

 private:
  DeliveryTable &table_;
};

}  // namespace WindowsAgentCommon

#endif  // VANTREL_MONITOR_DELIVERYTABLE_H
