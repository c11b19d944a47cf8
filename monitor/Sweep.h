// The sweep's state: the due index (the records with receivers, by due
// time), the buffers that every sweep reuses, the tick grid of the timed
// sweeps, whether the last sweep left due records behind for want of queue
// room, the rate limit of its queue-full warning, and the pool of check
// message blocks. The sweep itself (FileMonitorCore::CheckFilesLocked, in
// FileMonitorSweep.cpp) reads and moves records through it.
//
// The due index is a wheel of time buckets: a record sits in the bucket of
// its due time (kBucketMicros wide, kBuckets of them, so one turn of the
// wheel is about two minutes; a later due time shares a bucket with earlier
// ones and is passed over until its turn), linked into the bucket's list by
// the links in its own DueSlot. Placing a record is two pointer updates; a
// sweep walks the buckets from the lowest that may hold a due record to the
// one of its own time, and takes the records in them that are due, in
// bucket order (due order to within a bucket's width).
//
// Path order: the sweep queues its batch in path order, and places its
// records again in that order, each at the head of its bucket's list, so a
// list that only the one sweep filled runs in descending path order. A
// bucket keeps a mark that says so (the sweep that placed its head); a
// record placed by another sweep is compared once with the head, and one
// placed from anywhere else clears the mark. The walk tells the batch
// which of its records came from a list so marked, and the sort turns
// those round without a compare.
//
// Locks: the monitor holds its Sweep under mtxMonitor (GUARDED_BY), so every
// use of it takes or requires that lock, except for the two parts made for
// the workers, which take none: the deferral mark (atomic) and the block
// pool (MessageBlockPool.h).
//
// Lifetime: the index holds plain pointers to records owned by the
// monitor's table; a record leaves the index with its last receiver (Place
// takes it out), before it can leave the table, so an entry never dangles.
// The links are in the record, so placing it never allocates.
#ifndef VANTREL_MONITOR_SWEEP_H
#define VANTREL_MONITOR_SWEEP_H

#include "monitor/FileMonitorMessage.h"
#include "monitor/MessageBlockPool.h"
#include "monitor/VantrelMonitorExport.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

namespace WindowsAgentCommon {

struct VANTREL_MONITOR_API FileRecord;

class Sweep {
 public:
  static constexpr std::int64_t kBucketMicros = std::int64_t(1) << 15;  // 32.768 ms
  static constexpr std::size_t kBuckets = 4096;
  // Walks the records due at `now`, bucket by bucket. The caller may move
  // the record it was given (Place), and no other, before it asks for the
  // next; a record moved into a bucket that the walk has not reached yet is
  // met again there, so the walk still ends. When it ends (the cursor
  // goes), the sweep remembers the lowest bucket that still holds a due
  // record, which is where the next walk starts.
  class DueCursor {
   public:
    DueCursor(Sweep &sweep, std::int64_t now);
    ~DueCursor();
    DueCursor(const DueCursor &) = delete;
    DueCursor &operator=(const DueCursor &) = delete;
    // The next due record, or null.
    FileRecord *Next();
    // Adds the record given last to the sweep's batch (which the walk
    // started empty), noting where its bucket's records begin there.
    void Keep(FileRecord *record) {
      if (keptList_ != list_) {
        keptList_ = list_;
        sweep_.lists_.push_back({sweep_.batch_.size(), listInOrder_});
      }
      sweep_.batch_.push_back(record);
    }

   private:
    // Notes the record given last as left behind if it is still due.
    void NoteLeftBehind();
    // Starts on the list of bucket at_.
    void Enter();
    Sweep &sweep_;
    const std::int64_t now_;
    const std::int64_t last_;  // the bucket of now_
    std::int64_t at_;          // the bucket being walked
    std::size_t list_ = 0;     // the lists entered
    std::size_t keptList_ = 0;
    bool listInOrder_ = false;  // the list being walked ran in descending path order
    FileRecord *next_ = nullptr;
    FileRecord *given_ = nullptr;
    std::int64_t leftBehind_ = INT64_MAX;  // the lowest bucket of a due record passed over
    const FileRecord *oldest_ = nullptr;   // the given record with the earliest due time
    std::int64_t oldestAt_ = INT64_MAX;
    bool done_ = false;
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

  // Moves the record to its due time (nextCheck), or takes it out of the
  // index when it has no receivers. Allocates nothing, so it cannot fail.
  void Place(FileRecord &record);
  // The same, for the records of one sweep's batch, placed after
  // StartPathOrder in ascending path order, and due at `due` (nextCheck).
  void StartPathOrder() { order_ += 1; }
  void PlaceInPathOrder(FileRecord &record, std::int64_t due) { Link(record, due, order_); }
  // Whether the most overdue record that the last walk met was more than
  // its whole interval (and at least `period`) past due at `now`: the
  // workers are not keeping up. The walk starts at the lowest bucket that
  // may hold a due record, so that is the most overdue of all, to within a
  // bucket. Costs nothing: the walk kept it.
  bool FallingBehind(std::int64_t now, std::int64_t period) const {
    return oldestAt_ != INT64_MAX && now - oldestAt_ > std::max(oldestInterval_, period);
  }

  // Where the records of one list of the wheel begin in a walk's batch, and
  // whether that list ran in descending path order.
  struct List {
    std::size_t start;
    bool inOrder;
  };

  // Buffers that every sweep reuses. The batch is what the last walk kept.
  std::vector<FileRecord *> &Batch() { return batch_; }
  std::vector<std::uint64_t> &NotifiedKeys() { return notifiedKeys_; }
  // Sorts the last walk's batch by registered path.
  void SortBatchByPath();

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
  // A bucket's list, and its order mark: 0 when the list is not known to
  // run in descending path order; else the placing (order_, or kElsewhere)
  // of its head.
  struct Bucket {
    FileRecord *head = nullptr;
    std::uint64_t inOrder = 0;
  };
  static constexpr std::uint64_t kElsewhere = 1;
  static std::int64_t BucketOf(std::int64_t due) { return due < 0 ? 0 : due / kBucketMicros; }
  Bucket &At(std::int64_t bucket) { return buckets_[static_cast<std::size_t>(bucket) % kBuckets]; }
  // Place's work, for a record due at `due` placed by `placing`.
  void Link(FileRecord &record, std::int64_t due, std::uint64_t placing);
  void Unlink(FileRecord &record);

  std::unique_ptr<Bucket[]> buckets_{new Bucket[kBuckets]};
  // The sweeps' placings in path order, counted from kElsewhere on.
  std::uint64_t order_ = kElsewhere;
  // No bucket below this one holds a record that was due when the last walk
  // ended, or that was placed since.
  std::int64_t low_ = 0;
  // The earliest due time that the last walk met, and that record's
  // interval (microseconds); INT64_MAX when it met none.
  std::int64_t oldestAt_ = INT64_MAX;
  std::int64_t oldestInterval_ = 0;
  std::vector<FileRecord *> batch_;
  std::vector<List> lists_;
  std::vector<std::uint64_t> notifiedKeys_;
  std::vector<std::size_t> runs_;
  std::int64_t lastQueueFullWarning_ = 0;  // seconds since 1970
  std::int64_t origin_ = 0;                // monotonic microseconds of the first timed sweep
  std::atomic<bool> deferred_{false};
  MessageBlockPool blocks_;
};

// Sorts a sweep's batch of records by registered path, using `runs` as its
// buffer (FileMonitorSweep.cpp). `lists` says where the records of each
// list of the wheel begin (the first at 0) and which lists ran in
// descending path order; with none, the batch's order is not known.
void SortByPath(std::vector<FileRecord *> &batch, const std::vector<Sweep::List> &lists,
                std::vector<std::size_t> &runs);

}  // namespace WindowsAgentCommon

#endif  // VANTREL_MONITOR_SWEEP_H
