// The sweep's state: the due index (the records with receivers, by due
// time), the buffers that every sweep reuses, the tick grid of the timed
// sweeps, whether the last sweep left due records behind for want of queue
// room, the rate limit of its queue-full warning, and the pool of check
// message blocks. The sweep itself (FileMonitorCore::CheckFilesLocked, in
// FileMonitorSweep.cpp) reads and moves records through it.
//
// Locks: the monitor holds its Sweep under mtxMonitor (GUARDED_BY), so every
// use of it takes or requires that lock, except for the two parts made for
// the workers, which take none: the deferral mark (atomic) and the block
// pool (MessageBlockPool.h).
//
// Lifetime: the index holds plain pointers to records owned by the
// monitor's table; a record leaves the index with its last receiver (Place
// parks it), before it can leave the table, so an entry never dangles. Each
// record carries its own index node (FileRecord: dueEntry, parkedNode,
// inDueIndex), so that placing it never allocates.
#ifndef VANTREL_MONITOR_SWEEP_H
#define VANTREL_MONITOR_SWEEP_H

#include "monitor/FileMonitorMessage.h"
#include "monitor/MessageBlockPool.h"
#include "monitor/VantrelMonitorExport.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <vector>

namespace WindowsAgentCommon {

struct VANTREL_MONITOR_API FileRecord;

class Sweep {
 public:
  typedef std::multimap<std::int64_t, FileRecord *> DueIndex;

  // Walks the records due at a time in order of their due time. A record
  // that the caller moves in the index (Place) meanwhile is not met again
  // while it is no longer due.
  class DueCursor {
   public:
    DueCursor(DueIndex::iterator at, DueIndex::iterator end, std::int64_t now) : at_(at), end_(end), now_(now) {}
    // The next due record, or null.
    FileRecord *Next() {
      if (at_ == end_ || at_->first > now_) {
        return nullptr;
      }
      FileRecord *record = at_->second;
      ++at_;
      return record;
    }

   private:
    DueIndex::iterator at_;
    const DueIndex::iterator end_;
    const std::int64_t now_;
  };

  // Keeps up to `keptBlocks` check blocks for reuse: as many as the queue
  // holds is enough for every check that a sweep has out at once.
  explicit Sweep(std::size_t keptBlocks) : blocks_(FileMonitorMessage::kImageSize, keptBlocks) {}
  Sweep(const Sweep &) = delete;
  Sweep &operator=(const Sweep &) = delete;

  // The timed sweeps' ticks are `origin` plus whole periods (monotonic
  // microseconds).
  void Start(std::int64_t origin) { origin_ = origin; }
  // The tick that a sweep at `now` belongs to: the latest at or before it.
  std::int64_t TickAt(std::int64_t now, std::int64_t period) const {
    return period > 0 && now >= origin_ ? now - (now - origin_) % period : now;
  }

  // Moves the record to its due time (nextCheck), or parks it when it has
  // no receivers. Allocates nothing, so it cannot fail halfway.
  void Place(FileRecord &record);
  DueCursor DueAt(std::int64_t now) { return DueCursor(index_.begin(), index_.end(), now); }
  // Whether the most overdue record is more than its whole interval (and
  // at least `period`) past due at `now`: the workers are not keeping up.
  bool FallingBehind(std::int64_t now, std::int64_t period) const;

  // Buffers that every sweep reuses.
  std::vector<FileRecord *> &Batch() { return batch_; }
  std::vector<std::uint64_t> &NotifiedKeys() { return notifiedKeys_; }

  // The queue-full warning at most once a minute: true, and the time
  // (seconds since 1970) noted, when it may be given now.
  bool QueueFullWarningDue(std::int64_t seconds);

  // Whether the last sweep left due records behind for want of queue room.
  // Safe without the monitor lock.
  void SetDeferred(bool deferred) { deferred_.store(deferred, std::memory_order_release); }
  bool Deferred() const { return deferred_.load(std::memory_order_acquire); }
  // Clears the mark; true for the one caller that found it set.
  bool TakeDeferred() { return deferred_.exchange(false); }

  // The check messages' blocks. Safe without the monitor lock.
  MessageBlockPool &Blocks() { return blocks_; }

 private:
  DueIndex index_;
  std::vector<FileRecord *> batch_;
  std::vector<std::uint64_t> notifiedKeys_;
  std::int64_t lastQueueFullWarning_ = 0;  // seconds since 1970
  std::int64_t origin_ = 0;                // monotonic microseconds of the first timed sweep
  std::atomic<bool> deferred_{false};
  MessageBlockPool blocks_;
};

}  // namespace WindowsAgentCommon

#endif  // VANTREL_MONITOR_SWEEP_H
