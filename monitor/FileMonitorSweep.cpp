// The sweep and its due index: which records are due, and their check
// messages on the queue.
//
// Threads: CheckFilesLocked runs on the scheduler's thread every sweep period
// (the timer job holds mtxMonitor), and through CheckFiles on any thread.
// Reindex runs under mtxMonitor on whatever thread changed a record's
// receivers or due time.
//
// Clock: due times and the sweep's ticks are on the monotonic clock, so a
// time of day set back or forward neither stops the checks nor bunches them;
// the time of day is only for what is compared with file times or reported.
//
// Locks: mtxMonitor guards the sweep's state (Sweep.h) and each record's
// due-index entry; under it the sweep takes the workers' holdings' locks to
// take back what a stuck worker holds (CheckBatches.h). A record's queued
// mark is atomic: the sweep sets it, the checking worker clears it. Nothing
// here waits for queue room, so the timer thread never blocks on the
// workers while it holds mtxMonitor.
//
// Lifetime: the due index holds plain pointers to records owned by the
// table; a record leaves the index with its last receiver, before it can
// leave the table, so an entry never dangles. A queued message names its
// record by path or key, never by pointer: the worker looks the record up
// again, and the record stays in the table until that check has ended
// (FileRecord).
#include "monitor/FileMonitorCore.h"

#include "monitor/FileMonitorCoreInternal.h"

#include <Platform/Win32Api.h>
#include <VantrelCommon/MessageBlockUtil.h>

#include <algorithm>
#include <cstdint>

namespace WindowsAgentCommon {

using core::Microseconds;
using core::MonitorGuard;

void Sweep::Unlink(FileRecord &record) {
  FileRecord::DueSlot &slot = record.due;
  if (slot.previous != nullptr) {
    slot.previous->due.next = slot.next;
  } else {
    At(BucketOf(slot.at)).head = slot.next;
  }
  if (slot.next != nullptr) {
    slot.next->due.previous = slot.previous;
  }
  slot.previous = slot.next = nullptr;
  record.inDueIndex = false;
}

// A list runs in descending path order while each record placed at its head
// comes after the head in path order. The records that one sweep places in
// ascending path order come after each other, so the compare is needed only
// when the head was placed otherwise; a record placed from anywhere else
// takes the list out of order without one. Taking a record out of a list
// keeps its order.
void Sweep::Link(FileRecord &record, std::int64_t due, std::uint64_t placing) {
  if (record.inDueIndex) {
    Unlink(record);
  }
  if (record.sinks.empty()) {
    return;
  }
  FileRecord::DueSlot &slot = record.due;
  slot.at = due;
  const std::int64_t bucket = BucketOf(due);
  Bucket &list = At(bucket);
  FileRecord *head = list.head;
  slot.next = head;
  if (head == nullptr) {
    list.inOrder = placing;
  } else {
    head->due.previous = &record;
    if (placing == kElsewhere) {
      list.inOrder = 0;
    } else if (list.inOrder != placing && list.inOrder != 0) {
      list.inOrder = head->paths.registered < record.paths.registered ? placing : 0;
    }
  }
  list.head = &record;
  record.inDueIndex = true;
  low_ = std::min(low_, bucket);
}

void Sweep::Place(FileRecord &record) { Link(record, Microseconds(record.nextCheck), kElsewhere); }

void FileMonitorCore::Reindex(FileRecord &record) { sweep_.Place(record); }

Sweep::DueCursor::DueCursor(Sweep &sweep, std::int64_t now)
    : sweep_(sweep), now_(now), last_(BucketOf(now)) {
  sweep.batch_.clear();
  sweep.lists_.clear();
  // One turn of the wheel at most: a bucket further back shares its place
  // with one of the turn walked here.
  at_ = std::max(sweep.low_, last_ - static_cast<std::int64_t>(kBuckets) + 1);
  done_ = at_ > last_;  // a clock that went back
  if (!done_) {
    Enter();
  }
  // Records placed during the walk lower this again where they must.
  sweep.low_ = INT64_MAX;
}

// A record placed at the head of this list while it is walked is not met,
// and one taken out of it leaves the rest in order: what the walk meets of
// the list runs in the order that the list ran in when the walk entered it.
void Sweep::DueCursor::Enter() {
  const Bucket &list = sweep_.At(at_);
  next_ = list.head;
  listInOrder_ = list.inOrder != 0;
  ++list_;
}

Sweep::DueCursor::~DueCursor() {
  NoteLeftBehind();
  sweep_.low_ = std::min({sweep_.low_, leftBehind_, done_ ? last_ : at_});
  sweep_.oldestAt_ = oldestAt_;
  sweep_.oldestInterval_ = oldest_ == nullptr ? 0 : Microseconds(oldest_->checkInterval);
}

void Sweep::DueCursor::NoteLeftBehind() {
  if (given_ != nullptr && given_->inDueIndex && given_->due.at <= now_) {
    leftBehind_ = std::min(leftBehind_, BucketOf(given_->due.at));
  }
  given_ = nullptr;
}

FileRecord *Sweep::DueCursor::Next() {
  NoteLeftBehind();
  while (!done_) {
    if (next_ == nullptr) {
      if (at_ >= last_) {
        done_ = true;
        break;
      }
      ++at_;
      Enter();
      continue;
    }
    FileRecord *record = next_;
    next_ = record->due.next;
    if (next_ != nullptr) {
      // What the next step reads, and what the sweep writes of a due record
      // (its queued mark), are fetched while it looks at this one. A list
      // that one sweep filled holds records registered one after another,
      // which lie in memory at about one distance apart: the record four
      // steps on is fetched at a guess, by the last step's distance. Only a
      // hint: a wrong guess fetches a line for nothing, and nothing reads it.
      PrefetchLineForWrite(&next_->due.next);
      PrefetchLineForWrite(&next_->queued);
      const auto address = [](const void *at) { return reinterpret_cast<std::uintptr_t>(at); };
      const std::uintptr_t ahead = 4 * (address(next_) - address(record));
      PrefetchLineForWrite(reinterpret_cast<const void *>(address(&next_->due.next) + ahead));
      PrefetchLineForWrite(reinterpret_cast<const void *>(address(&next_->queued) + ahead));
    }
    if (record->due.at <= now_) {
      if (record->due.at < oldestAt_) {
        oldestAt_ = record->due.at;
        oldest_ = record;
      }
      given_ = record;
      return record;
    }
  }
  return nullptr;
}

bool Sweep::QueueFullWarningDue(std::int64_t seconds) {
  if (!core::WarningDue(seconds, lastQueueFullWarning_)) {
    return false;
  }
  lastQueueFullWarning_ = seconds;
  return true;
}

namespace {

// How many records ahead the sweep fetches what it reads and writes of a
// queued record.
constexpr std::size_t kRecordsAhead = 8;

// Fetches the lines of a queued record that the sweep reads for its message
// (path, key, flags) and writes when it places the record again (due time,
// links, marks): every line from its path to its queued mark, asked for at
// most 64 bytes apart.
void PrefetchQueued(const std::vector<FileRecord *> &batch, std::size_t at) {
  if (at < batch.size()) {
    const FileRecord &record = *batch[at];
    PrefetchLineForWrite(&record.paths);
    PrefetchLineForWrite(&record.checkInterval);
    PrefetchLineForWrite(&record.due);
    PrefetchLineForWrite(&record.queued);
  }
}

// The first time at or after `now` on the grid of `interval` through
// `regular`; INT64_MAX when `regular` is.
std::int64_t OnGrid(std::int64_t regular, std::int64_t interval, std::int64_t now) {
  if (regular >= now || regular == INT64_MAX) {
    return regular;
  }
  return interval <= 0 ? now : regular + (now - regular + interval - 1) / interval * interval;
}

// Truncating division gives the seconds and microseconds the same sign, which
// is ACE's normal form: the value is set as set() and normalize() would leave
// it, without the call.
void SetMicroseconds(ACE_Time_Value &time, std::int64_t microseconds) {
  time.sec(static_cast<time_t>(microseconds / 1000000));
  time.usec(static_cast<suseconds_t>(microseconds % 1000000));
}

}  // namespace

// The records that a sweep takes come out of the wheel as a few runs in
// descending path order: a bucket holds what an earlier sweep placed there
// in ascending order, the last placed first. Each run is turned round and
// the runs are merged, a few compares a record where a sort of the whole
// batch takes about log2(n); a batch of many short runs is sorted whole.
// The records of a list known to run in descending order are one run
// without a compare; the runs of the others are found by comparing.
void SortByPath(std::vector<FileRecord *> &batch, const std::vector<Sweep::List> &lists,
                std::vector<std::size_t> &runs) {
  const auto less = [](const FileRecord *a, const FileRecord *b) {
    return a->paths.registered < b->paths.registered;
  };
  const std::size_t n = batch.size();
  const auto at = [&batch](std::size_t i) { return batch.begin() + static_cast<std::ptrdiff_t>(i); };
  const std::size_t kMostRuns = 16;
  runs.clear();
  for (std::size_t list = 0, start = 0; start < n && runs.size() <= kMostRuns; ++list) {
    const std::size_t last = list + 1 < lists.size() ? lists[list + 1].start : n;
    if (list < lists.size() && lists[list].inOrder) {
      std::reverse(at(start), at(last));
      runs.push_back(start);
      start = last;
      continue;
    }
    for (std::size_t end = start; start < last && runs.size() <= kMostRuns; start = end) {
      end = start + 1;
      if (end < last && less(batch[end], batch[start])) {
        while (end < last && less(batch[end], batch[end - 1])) {
          ++end;
        }
        std::reverse(at(start), at(end));
      } else {
        while (end < last && !less(batch[end], batch[end - 1])) {
          ++end;
        }
      }
      runs.push_back(start);
    }
  }
  if (runs.size() > kMostRuns) {
    std::sort(batch.begin(), batch.end(), less);
    return;
  }
  // Adjacent runs merged pairwise, until one is left.
  runs.push_back(n);
  while (runs.size() > 2) {
    std::size_t kept = 0;
    std::size_t i = 0;
    for (; i + 2 < runs.size(); i += 2) {
      std::inplace_merge(at(runs[i]), at(runs[i + 1]), at(runs[i + 2]), less);
      runs[kept++] = runs[i];
    }
    if (i + 1 < runs.size()) {
      runs[kept++] = runs[i];
    }
    runs[kept++] = n;
    runs.resize(kept);
  }
}

void Sweep::SortBatchByPath() { SortByPath(batch_, lists_, runs_); }

// A record whose change was notified is not spared at its next check. With
// CheckWhenNotified that check is now, unless it is due sooner anyway, and a
// record is queued at most once a sweep: the sweep that queues it moves its
// due time an interval on, and one that finds it still queued leaves it due
// for the next. Without, a record that a sweep put off to its full check is
// due again at its interval. When notifications were lost, every record is
// treated as notified.
void FileMonitorCore::BringNotifiedForward(std::int64_t now) {
  // The notification came after the last sweep read the queue: a grid time
  // that fell since then is still owed its check, as a polled record would
  // have had it at this sweep.
  const std::int64_t previousSweep = now - static_cast<std::int64_t>(ulCheckPeriodMillis) * 1000;
  std::vector<std::uint64_t> &notifiedKeys = sweep_.NotifiedKeys();
  std::vector<FileRecord *> &sweepBatch = sweep_.Batch();
  notifiedKeys.clear();
  const bool lost = TakeNotifiedKeys(notifiedKeys);
  sweepBatch.clear();
  if (lost) {
    for (auto &entry : mapFiles) {
      sweepBatch.push_back(entry.second.get());
    }
  }
  for (const std::uint64_t key : notifiedKeys) {
    // Keys are released under mtxMonitor, and never handed out again.
    if (FileRecord *record = registry.Find(static_cast<std::int64_t>(key))) {
      sweepBatch.push_back(record);
    }
  }
  const bool sooner = ChecksWhenNotified();
  for (FileRecord *record : sweepBatch) {
    record->dueNotified = true;
    if (!record->inDueIndex) {
      continue;
    }
    const std::int64_t due =
        sooner ? now : OnGrid(record->due.regularDue, Microseconds(record->checkInterval), previousSweep);
    if (record->due.at <= due) {
      continue;
    }
    SetMicroseconds(record->nextCheck, due);
    Reindex(*record);
  }
}

void FileMonitorCore::PutOff(FileRecord &record, std::int64_t regular, std::int64_t fullCheck) {
  record.due.regularDue = regular;
  SetMicroseconds(record.nextCheck, std::max(regular, OnGrid(regular, Microseconds(record.checkInterval), fullCheck)));
  Reindex(record);
}

// Takes the due records in order of their due time (to within a bucket of
// the due index), as many as the queue has room for, and queues them in
// table key order. Work is in proportion to the
// records that are due, never to the size of the table, and nothing here
// waits for queue room: what does not fit stays due for a later sweep, which
// a worker starts as soon as the queue has drained to its refill mark.
//
// Messages go on the queue in chains, one queue lock and at most one wake-up
// per chain: a worker that wakes takes its share of what is there, a batch
// under one lock at a time, without another signal. Workers that check side
// by side cost more CPU a check than one that checks alone (they share the
// cores, the caches and the queue's lock, and each wakes and sleeps), so
// a tick's sweep wakes one worker, which goes on until the queue is empty.
// A refill wakes nobody: the worker that runs it takes what it put on. Only
// when messages from before still wait at a tick are the workers woken for
// them held up (a slow check or receiver, or more checks than one worker
// does in a sweep period): then the sweep makes one chain per worker, as
// many wake-ups as there are workers, and with nothing to queue it wakes
// one worker all the same; what a stuck worker holds comes back to the
// queue (TakeBackStuck). A sweep of a thousand checks takes the queue lock
// a few times, not a thousand. Each record's next due time counts from the
// tick that this sweep belongs to (the timer's start plus a whole number of
// periods, at or before the sweep's clock reading), so a record comes up
// again at the first tick at or after one interval, and not one tick later
// whenever the timer fires a little later than it did the time before.
void FileMonitorCore::CheckFilesLocked(SweepStart start) {
  const std::int64_t now = Microseconds(VantrelPlatform::MonotonicNow());
  const std::int64_t period = static_cast<std::int64_t>(ulCheckPeriodMillis) * 1000;
  const std::int64_t tick = sweep_.TickAt(now, period);
  // A worker stuck in a check gives back what it held, for the others.
  if (!pool_.Closed()) {
    held_.TakeBackStuck([this](ACE_Message_Block *chain) { PutBack(chain); });
  }
  ACE_Message_Queue<ACE_MT_SYNCH> *queue = msg_queue();
  // Messages still waiting from before, at a tick: the workers woken for
  // them are held up (or too few). A refill's worker left them there.
  const bool refill = start == SweepStart::kRefill;
  const bool behind = !refill && !queue->is_empty();
  const std::size_t bytes = queue->message_bytes() + held_.Count() * FileMonitorMessage::kImageSize;
  const std::size_t highWater = queue->high_water_mark();
  std::size_t room =
      bytes >= highWater ? 0 : (highWater - bytes + FileMonitorMessage::kImageSize - 1) / FileMonitorMessage::kImageSize;

  BringNotifiedForward(now);
  std::vector<FileRecord *> &sweepBatch = sweep_.Batch();
  bool deferred = false;
  std::uint64_t spared = 0;
  {
    Sweep::DueCursor due(sweep_, now);
    for (FileRecord *record = due.Next(); record != nullptr; record = due.Next()) {
      if (sweepBatch.size() == room) {
        deferred = true;
        break;
      }
      // A record whose check still waits or runs is not queued now; it stays
      // due and is looked at again next sweep.
      if (!record->queued.TryQueue()) {
        continue;
      }
      // A check that its notification spares, and that no receiver wants to
      // hear of, costs no message: the record is put off to its full check,
      // or to a notification about it.
      std::int64_t fullCheck = 0;
      if (!record->wantIdle && !record->dueNotified && SparesCheck(*record, now, fullCheck)) {
        PutOff(*record, tick + Microseconds(record->checkInterval), fullCheck);
        record->queued.Unqueue();
        ++spared;
        continue;
      }
      due.Keep(record);
    }
  }
  counters_.CountChecks(spared);
  sweep_.SortBatchByPath();

  // Records of the batch from `first` on were marked but not queued: they
  // stay due for a later sweep.
  auto unmark = [&sweepBatch](std::size_t first) {
    for (std::size_t j = first; j < sweepBatch.size(); ++j) {
      sweepBatch[j]->queued.Unqueue();
    }
  };
  const std::size_t chains = behind ? std::max<std::size_t>(1, static_cast<std::size_t>(thr_count())) : 1;
  const std::size_t chainLength = (sweepBatch.size() + chains - 1) / chains;
  if (behind && sweepBatch.empty()) {
    queue_.WakeOne();
  }
  // The queued records go back into the wheel in path order.
  sweep_.StartPathOrder();
  std::size_t i = 0;
  while (i < sweepBatch.size()) {
    const std::size_t end = std::min(sweepBatch.size(), i + chainLength);
    // Linked both ways, as the queue keeps its blocks.
    ACE_Message_Block *chain = nullptr;
    ACE_Message_Block *last = nullptr;
    // What the worker that takes each message will read, told with it.
    sweepChain_.clear();
    try {
      sweepChain_.reserve(end - i);
      for (std::size_t j = i; j < end; ++j) {
        PrefetchQueued(sweepBatch, j + kRecordsAhead);
        FileRecord &record = *sweepBatch[j];
        const auto action = record.wantIdle ? FileMonitorMessage::MONITOR_ACTION_CHECK_AND_REPORT
                                            : FileMonitorMessage::MONITOR_ACTION_CHECK;
        const char *image = nullptr;
        ACE_Message_Block *block = FileMonitorMessage::RecordBlock(
            record.paths.registered, record.key, record.travelsAsText, action, sweep_.Blocks(), &image);
        sweepChain_.push_back(QueuedBlock{block, image, &record, &record.queued, record.path.data()});
        if (last == nullptr) {
          chain = block;
        } else {
          last->next(block);
          block->prev(last);
        }
        last = block;
      }
    } catch (...) {
      sweep_.Blocks().Settle();
      ReleaseChain(chain);
      unmark(i);
      throw;
    }
    sweep_.Blocks().Settle();
    if (!PutChainWithoutWaiting(chain, last, end - i, sweepChain_.data(), !refill)) {
      // The room was taken after all (a worker handed a quit message on).
      unmark(i);
      deferred = true;
      break;
    }
    for (; i < end; ++i) {
      PrefetchQueued(sweepBatch, i + kRecordsAhead);
      FileRecord &record = *sweepBatch[i];
      const std::int64_t next = tick + Microseconds(record.checkInterval);
      SetMicroseconds(record.nextCheck, next);
      record.due.regularDue = INT64_MAX;
      record.dueNotified = false;
      sweep_.PlaceInPathOrder(record, next);
    }
  }

  sweep_.SetDeferred(deferred);
  // A wave of due records larger than the queue is flow control, not a
  // fault: the rest waits for the next sweep and is checked a little late.
  // The warning comes once the most overdue record is more than its whole
  // interval (at least one sweep period) past due, that is when the
  // workers cannot keep up and checks are being missed.
  if (deferred && sweep_.FallingBehind(now, period)) {
    if (sweep_.QueueFullWarningDue(_time64(nullptr))) {
      log.Warn("The check queue is full (%d messages waiting); due checks are deferred to later sweeps.",
               static_cast<int>(MessagesWaiting()));
    }
  }
}

// Called by a worker after it took a batch off the queue: when the last
// sweep left due records behind for want of room, and the queue has drained
// to its refill mark, the next sweep comes now rather than at the next tick,
// so that the checks a monitor does per second are bounded by the CPU and
// not by the queue's size times the sweep rate.
void FileMonitorCore::SweepIfDrained() {
  Sweep &unlocked = SweepUnlocked();
  if (!unlocked.Deferred()) {
    return;
  }
  if (msg_queue()->message_bytes() > msg_queue()->high_water_mark() / 2) {
    return;
  }
  if (unlocked.TakeDeferred()) {
    RunJob(TIMER_JOB_CHECK_FILES, SweepStart::kRefill);
  }
}

void FileMonitorCore::PutBack(ACE_Message_Block *chain) {
  if (pool_.Closed() || queue_.PutBackAtHead(chain) < 0) {
    ReleaseChain(chain);
  }
}

void FileMonitorCore::ReleaseChain(ACE_Message_Block *chain) {
  while (chain != nullptr) {
    ACE_Message_Block *next = chain->next();
    chain->next(nullptr);
    chain->release();
    chain = next;
  }
}

bool FileMonitorCore::PutChainWithoutWaiting(ACE_Message_Block *first, ACE_Message_Block *last,
                                             std::size_t count, const QueuedBlock *described, bool wake) {
  if (queue_.PutChain(first, last, count, FileMonitorMessage::kImageSize, described, wake) < 0) {
    ReleaseChain(first);
    return false;
  }
  return true;
}

void FileMonitorCore::PutWithoutWaiting(ACE_Message_Block *block) {
  ACE_Time_Value noWait(ACE_Time_Value::zero);
  if (putq(block, &noWait) < 0) {
    block->release();
  }
}

}  // namespace WindowsAgentCommon
