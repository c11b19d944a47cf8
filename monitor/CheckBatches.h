// Check messages taken off the queue several at a time. A worker takes a
// batch of messages under one lock of the queue (CheckQueue::TakeBatch),
// acts on the first and holds the rest (HeldMessages) until it comes to
// them, so that the queue's lock, contended by every worker, is taken once
// for several checks rather than once for each.
//
// A check can hang (a stat on a dead network share), and the messages that
// its worker holds must not hang with it: every sweep looks at what each
// worker holds (HeldMessagesRegistry::TakeBackStuck), and a worker that
// has not come to its next message since the sweep before loses what it
// holds to the head of the queue, where the other workers take it. A
// batch is never more than the worker's share of the queue, so that the
// workers that the sweep woke each find messages of their own.
//
// What the workers hold still counts as waiting: the sweep's room below the
// high-water mark, the backlog check's sample and the statistics' queued
// count add it to the queue's (HeldMessagesRegistry::Count).
//
// Threads: a worker's HeldMessages is used by its worker, which claims a
// message with one atomic operation on the holdings' state and takes its
// lock once a batch (Hold), and by the sweep's look, which takes the lock
// and takes back with one atomic operation on the same state: whichever
// comes first has the message. The registry's lock is taken by a worker when
// it starts and when it ends, and by the sweep, the backlog check and the
// statistics. Lock order: mtxMonitor, the registry's, a HeldMessages', the
// queue's own (which nothing here holds while it takes another).
//
// Lifetime: a worker's HeldMessages lives on its stack, in the registry
// from the worker's start to its end; the worker hands back or releases
// what it still holds before it leaves (Leave).
#ifndef VANTREL_MONITOR_CHECKBATCHES_H
#define VANTREL_MONITOR_CHECKBATCHES_H

#include "monitor/MessageBlockPool.h"
#include "monitor/ThreadAnnotations.h"

#include <ace/Message_Block.h>
#include <ace/Task.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

namespace WindowsAgentCommon {

// What the sweep knows of a check message's block when it queues it, and
// hands on with the block to the worker that takes it: the block, where its
// image begins, where the record that the check reads begins, the record's
// byte that the check's end writes (its queued mark), and where its path's
// characters lie. The last three are hints to fetch ahead, never read
// through: by the time a worker comes to the message the record may be
// gone (the sweep took the message back and another worker checked it, or
// a message without a key). Null where nothing is known.
struct QueuedBlock {
  ACE_Message_Block *block;
  const char *image;
  const void *record;
  const void *written;
  const void *path;
};

// The monitor's queue, with the operations that ACE's queue lacks.
//
// Beside its blocks, the queue keeps what the sweep told of the blocks it
// put (PutChain), in queue order, in an array used as a ring: the ring
// describes the last describedCount_ blocks of the queue. While it
// describes them all, a batch is cut off the head by its place in the ring,
// with no walk of the blocks (each block a miss, its address known only
// once the block before it has come, under the lock that every worker
// wants). Whatever else changes the queue keeps the ring honest through
// ACE's own virtual functions (below): blocks put at the head are not
// described and are walked when taken; a block put anywhere else, or taken
// from anywhere but the head or the tail, leaves the ring describing
// nothing; a described block taken from the head or the tail leaves the
// ring with it. The ring grows under the queue's lock, only when a chain
// does not fit (its size follows the queue's high-water mark, reached in
// the first sweeps).
class CheckQueue : public ACE_Message_Queue<ACE_MT_SYNCH> {
  typedef ACE_Message_Queue<ACE_MT_SYNCH> Base;

 public:
  // As dequeue_head with no time limit, but takes up to `most` blocks, and
  // no more than the queue's message count divided by `takers` (at least
  // one), into batch[0] on (room for `most`), in queue order, linked
  // through their `next`; their `prev` links are left as they were, for
  // the taker to clear. Returns how many it took, or -1 as dequeue_head
  // does (a deactivated queue).
  int TakeBatch(QueuedBlock *batch, std::size_t most, std::size_t takers) {
    std::size_t taken = 0;
    {
      ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, this->lock_, -1);
      if (this->state_ == ACE_Message_Queue_Base::DEACTIVATED) {
        errno = ESHUTDOWN;
        return -1;
      }
      if (this->wait_not_empty_cond(nullptr) == -1) {
        return -1;
      }
      const std::size_t share = std::max<std::size_t>(1, this->cur_count_ / std::max<std::size_t>(1, takers));
      taken = std::min({std::max<std::size_t>(1, most), share, this->cur_count_});
      if (taken == 0) {
        return 0;
      }
      if (describedCount_ == this->cur_count_) {
        TakeDescribed(batch, taken);
      } else {
        TakeWalking(batch, taken);
      }
      // As a block at a time would: below the low-water mark, whoever waits
      // for room is woken. Here all at once, and only when one waits.
      if (fullWaiters_ != 0 && this->cur_bytes_ <= this->low_water_mark_) {
        this->not_full_cond_.broadcast();
      }
    }
    // Nothing reaches the batch but the taker now.
    batch[taken - 1].block->next(nullptr);
    return static_cast<int>(taken);
  }

  // As enqueue_tail with a zero timeout (it never waits for room), for a
  // chain of `count` blocks linked both ways from `first` to `last`, each
  // of one data block with `blockBytes` of size and of length: the totals
  // that ACE's enqueue finds by walking every block are told, so the chain
  // goes on under one lock with one signal and no walk. `described`, when
  // not null, tells the chain's blocks in order (see QueuedBlock), and
  // TakeBatch hands that on. Without `wake` no waiting taker is signalled
  // (nor is the notification strategy told): for a taker that put the
  // chain on itself and takes it next. Returns the queue's message count,
  // or -1 when the queue is deactivated (ESHUTDOWN) or at its high-water
  // mark (EWOULDBLOCK); the caller then still owns the chain.
  int PutChain(ACE_Message_Block *first, ACE_Message_Block *last, std::size_t count, std::size_t blockBytes,
               const QueuedBlock *described = nullptr, bool wake = true) {
    ACE_Notification_Strategy *notifier = nullptr;
    int queued = 0;
    {
      ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, this->lock_, -1);
      if (this->state_ == ACE_Message_Queue_Base::DEACTIVATED) {
        errno = ESHUTDOWN;
        return -1;
      }
      if (this->is_full_i()) {
        errno = EWOULDBLOCK;
        return -1;
      }
      first->prev(this->tail_);
      if (this->tail_ == nullptr) {
        this->head_ = first;
      } else {
        this->tail_->next(first);
      }
      this->tail_ = last;
      Describe(described, count, blockBytes);
      this->cur_count_ += count;
      this->cur_bytes_ += count * blockBytes;
      this->cur_length_ += count * blockBytes;
      queued = static_cast<int>(this->cur_count_);
#if defined(ACE_HAS_MONITOR_POINTS) && (ACE_HAS_MONITOR_POINTS == 1)
      this->monitor_->receive(this->cur_length_);
#endif
      if (wake) {
        // The chain is the queue's now, whatever the signal says.
        this->signal_dequeue_waiters();
        notifier = this->notification_strategy_;
      }
    }
    if (notifier != nullptr) {
      notifier->notify();
    }
    return queued;
  }

  // Wakes one worker that waits for a message, if any waits: for messages
  // that wait while the workers that were woken for them are held up.
  void WakeOne() {
    ACE_GUARD(ACE_Thread_Mutex, guard, this->lock_);
    if (!this->is_empty_i()) {
      this->signal_dequeue_waiters();
    }
  }

  // Puts a chain that was taken off this queue back at its head, whatever
  // the water marks (it was in the queue a moment ago). -1 when the queue
  // is deactivated; the caller then still owns the chain.
  int PutBackAtHead(ACE_Message_Block *chain) {
    ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, this->lock_, -1);
    if (this->state_ == ACE_Message_Queue_Base::DEACTIVATED) {
      errno = ESHUTDOWN;
      return -1;
    }
    return this->enqueue_head_i(chain);
  }

 protected:
  // Counts those that wait for room (a put with no time limit, such as the
  // quit message's), so that TakeBatch wakes them only when there are any.
  // Under the queue's lock, as ACE calls it.
  int wait_not_full_cond(ACE_Time_Value *timeout) override {
    ++fullWaiters_;
    const int result = ACE_Message_Queue<ACE_MT_SYNCH>::wait_not_full_cond(timeout);
    --fullWaiters_;
    return result;
  }

  // ACE's own puts and takes, which keep the ring honest. Under the queue's
  // lock, as ACE calls them. A put at the head (enqueue_head_i, which the
  // others call for an empty queue) leaves the ring as it is: what it puts
  // lies in front of the described blocks.
  int enqueue_tail_i(ACE_Message_Block *item) override {
    Forget();
    return Base::enqueue_tail_i(item);
  }
  int enqueue_i(ACE_Message_Block *item) override {
    Forget();
    return Base::enqueue_i(item);
  }
  int enqueue_deadline_i(ACE_Message_Block *item) override {
    Forget();
    return Base::enqueue_deadline_i(item);
  }
  int dequeue_head_i(ACE_Message_Block *&item) override {
    const std::size_t before = this->cur_count_;
    const bool described = describedCount_ != 0 && describedCount_ == before;
    const int result = Base::dequeue_head_i(item);
    if (described && this->cur_count_ < before) {
      front_ = (front_ + 1) & (capacity_ - 1);
      --describedCount_;
    }
    return result;
  }
  int dequeue_tail_i(ACE_Message_Block *&item) override {
    const std::size_t before = this->cur_count_;
    const bool described = describedCount_ != 0;
    const int result = Base::dequeue_tail_i(item);
    if (described && this->cur_count_ < before) {
      --describedCount_;
    }
    return result;
  }
  int dequeue_prio_i(ACE_Message_Block *&item) override {
    Forget();
    return Base::dequeue_prio_i(item);
  }
  int dequeue_deadline_i(ACE_Message_Block *&item) override {
    Forget();
    return Base::dequeue_deadline_i(item);
  }
  int flush_i() override {
    Forget();
    return Base::flush_i();
  }

 private:
  // The first `count` blocks, all described: their entries are the batch,
  // and the block behind them is the ring's next entry.
  void TakeDescribed(QueuedBlock *batch, std::size_t count) {
    const std::size_t mask = capacity_ - 1;
    for (std::size_t i = 0; i < count; ++i) {
      batch[i] = ring_[(front_ + i) & mask];
    }
    front_ = (front_ + count) & mask;
    describedCount_ -= count;
    CutHead(describedCount_ == 0 ? nullptr : ring_[front_].block, count, count * describedBytes_,
            count * describedBytes_);
  }
  // The first `count` blocks, walked: those in front of the described ones
  // are told by their blocks alone.
  void TakeWalking(QueuedBlock *batch, std::size_t count) {
    std::size_t undescribed = this->cur_count_ - describedCount_;
    std::size_t bytes = 0, length = 0;
    ACE_Message_Block *block = this->head_;
    for (std::size_t i = 0; i < count; ++i) {
      for (const ACE_Message_Block *piece = block; piece != nullptr; piece = piece->cont()) {
        bytes += piece->size();
        length += piece->length();
      }
      if (undescribed != 0) {
        batch[i] = QueuedBlock{block, nullptr, nullptr, nullptr, nullptr};
        --undescribed;
      } else {
        batch[i] = ring_[front_];
        front_ = (front_ + 1) & (capacity_ - 1);
        --describedCount_;
      }
      block = block->next();
    }
    CutHead(block, count, bytes, length);
  }
  // The queue begins at `rest` after `count` blocks of these totals.
  void CutHead(ACE_Message_Block *rest, std::size_t count, std::size_t bytes, std::size_t length) {
    this->head_ = rest;
    if (rest == nullptr) {
      this->tail_ = nullptr;
    } else {
      rest->prev(nullptr);
    }
    this->cur_bytes_ -= bytes;
    this->cur_length_ -= length;
    this->cur_count_ -= count;
  }

  // Notes the chain of `count` blocks just put behind the others, as
  // `described` tells them; a chain told by nothing, of another block size
  // than the described ones, or that finds no room for its entries, leaves
  // the ring describing nothing.
  void Describe(const QueuedBlock *described, std::size_t count, std::size_t blockBytes) {
    if (described == nullptr || (describedCount_ != 0 && blockBytes != describedBytes_) ||
        !RoomFor(describedCount_ + count)) {
      Forget();
      return;
    }
    describedBytes_ = blockBytes;
    const std::size_t mask = capacity_ - 1;
    for (std::size_t i = 0; i < count; ++i) {
      ring_[(front_ + describedCount_ + i) & mask] = described[i];
    }
    describedCount_ += count;
  }
  bool RoomFor(std::size_t entries) {
    if (entries <= capacity_) {
      return true;
    }
    std::size_t capacity = std::max<std::size_t>(capacity_, 64);
    while (capacity < entries) {
      capacity *= 2;
    }
    QueuedBlock *ring = new (std::nothrow) QueuedBlock[capacity];
    if (ring == nullptr) {
      return false;
    }
    for (std::size_t i = 0; i < describedCount_; ++i) {
      ring[i] = ring_[(front_ + i) & (capacity_ - 1)];
    }
    ring_.reset(ring);
    capacity_ = capacity;
    front_ = 0;
    return true;
  }
  void Forget() { describedCount_ = 0; }

  std::size_t fullWaiters_ = 0;  // under the queue's lock
  // The ring and what it describes, under the queue's lock. Its capacity
  // is zero or a power of two.
  std::unique_ptr<QueuedBlock[]> ring_;
  std::size_t capacity_ = 0;
  std::size_t front_ = 0;
  std::size_t describedCount_ = 0;
  std::size_t describedBytes_ = 0;  // each described block's size and length
};

// What one worker holds of the batch it took, in queue order.
class HeldMessages {
 public:
  HeldMessages() = default;
  HeldMessages(const HeldMessages &) = delete;
  HeldMessages &operator=(const HeldMessages &) = delete;

  // The most blocks held at once.
  static constexpr std::size_t kCapacity = 16;

  // The worker's: holds `count` blocks (at most kCapacity) as TakeBatch
  // told them, linked through their `next` (the rest of a batch after its
  // first block), in place of what it held before, which it has come to or
  // lost.
  void Hold(const QueuedBlock *batch, std::size_t count) EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    count = std::min(count, kCapacity);
    std::copy(batch, batch + count, held_);
    const std::uint64_t generation = (state_.load(std::memory_order_relaxed) >> kGenerationShift) + 1;
    state_.store(generation << kGenerationShift | std::uint64_t{count} << kCountShift, std::memory_order_relaxed);
    if (count != 0) {
      Prefetch(held_[0]);
    }
  }
  // The worker's: the next held block, unlinked, or null when it holds none
  // (it had none, or a sweep took them back); `image` is where its image
  // begins, null when unknown. One atomic operation and no lock: the block
  // is the worker's when its claim comes before the sweep's.
  ACE_Message_Block *Next(const char *&image) {
    const std::uint64_t state = state_.load(std::memory_order_relaxed);
    if (IndexOf(state) >= CountOf(state)) {
      return nullptr;
    }
    const std::uint64_t claimed = state_.fetch_add(1, std::memory_order_relaxed);
    if ((claimed & kTakenBack) != 0) {
      return nullptr;
    }
    const std::size_t at = IndexOf(claimed);
    ACE_Message_Block *block = held_[at].block;
    Claimed(block);
    image = held_[at].image;
    if (at + 1 < CountOf(claimed)) {
      Prefetch(held_[at + 1]);
    }
    return block;
  }

  // A block that its worker has come to: unlinked, and its data block,
  // which only the block's return to the pool reads (a batch's at once),
  // fetched while the check runs.
  static void Claimed(ACE_Message_Block *block) {
    block->next(nullptr);
    block->prev(nullptr);
    PrefetchLine(block->data_block());
  }

  // What a worker reads of a message that it comes to next, fetched while
  // it checks the one before, each line at once rather than one after the
  // other: the block's header, with the intent to write it (its links and
  // read position), on the one or two lines that hold its first 64 bytes;
  // the image's header, path and the key behind it; the record's line that
  // the check's end writes, with the intent to write it (the sweep wrote it
  // last, on another core), and the other lines that a check reads; the
  // first characters of the record's path.
  static void Prefetch(const QueuedBlock &next) {
    const char *header = reinterpret_cast<const char *>(next.block);
    PrefetchLineForWrite(header);
    PrefetchLineForWrite(header + 63);
    if (next.image != nullptr) {
      for (int line = 0; line < 3; ++line) {
        PrefetchLine(next.image + 64 * line);
      }
    }
    if (next.written != nullptr) {
      PrefetchLineForWrite(next.written);
    }
    if (next.record != nullptr) {
      const char *record = static_cast<const char *>(next.record);
      for (std::size_t at = kRecordFrom; at < kRecordTo; at += 64) {
        PrefetchLine(record + at);
      }
      PrefetchLine(record + kRecordTo - 1);
    }
    if (next.path != nullptr) {
      PrefetchLine(next.path);
    }
  }
  // Any thread: everything held, as a chain; the worker holds nothing after.
  ACE_Message_Block *TakeAll() EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    return Unclaimed(state_.fetch_or(kTakenBack, std::memory_order_relaxed));
  }
  // The sweep's: everything held, when the worker has not come to another
  // message (nor taken another batch) since the last call; else null.
  ACE_Message_Block *TakeAllIfStuck() EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    std::uint64_t state = state_.load(std::memory_order_relaxed);
    const bool stuck = state == seen_;
    seen_ = state;
    if (!stuck || Unclaimed(state) == nullptr) {
      return nullptr;
    }
    // The worker may come to its next message at this very moment: then
    // that message and those behind it stay its own.
    if (!state_.compare_exchange_strong(state, state | kTakenBack, std::memory_order_relaxed)) {
      seen_ = state;
      return nullptr;
    }
    return Unclaimed(state);
  }
  std::size_t Count() const {
    const std::uint64_t state = state_.load(std::memory_order_relaxed);
    return (state & kTakenBack) != 0 ? 0 : CountOf(state) - IndexOf(state);
  }

 private:
  friend class HeldMessagesRegistry;

  // The state in one word, so that the worker's claim of its next message
  // and the sweep's taking back are decided by one atomic operation each:
  // the next message's place, how many are held, whether the sweep took
  // them back, and a generation that each Hold starts (for the sweep's
  // look at progress).
  static constexpr std::uint64_t kIndexMask = 0xFFFF;
  static constexpr unsigned kCountShift = 16;
  static constexpr std::uint64_t kTakenBack = std::uint64_t{1} << 32;
  static constexpr unsigned kGenerationShift = 33;
  static std::size_t IndexOf(std::uint64_t state) { return static_cast<std::size_t>(state & kIndexMask); }
  static std::size_t CountOf(std::uint64_t state) {
    return static_cast<std::size_t>(state >> kCountShift & kIndexMask);
  }
  // The held blocks not yet claimed in `state` (the sweep's or TakeAll's
  // once it set kTakenBack on it): still linked as the batch came.
  ACE_Message_Block *Unclaimed(std::uint64_t state) const {
    return (state & kTakenBack) != 0 || IndexOf(state) >= CountOf(state) ? nullptr : held_[IndexOf(state)].block;
  }

  // The bytes of a record that a check reads: the shared record's check
  // fields, which end it, and a kind's first fields behind them
  // (FileRecord).
  static constexpr std::size_t kRecordFrom = 136;
  static constexpr std::size_t kRecordTo = 200;

  std::atomic<std::uint64_t> state_{0};
  // Written by the worker in Hold, under the lock; read by the worker, and
  // by whoever takes back what is held, under the lock. The worker never
  // reads a block that it has not claimed: what it fetches ahead is told
  // by the entries.
  QueuedBlock held_[kCapacity] = {};
  Mutex mutex_;
  // The sweep's view of the state at its last look.
  std::uint64_t seen_ GUARDED_BY(mutex_) = ~std::uint64_t{0};
  // The registry's links, under its lock.
  HeldMessages *previous_ = nullptr;
  HeldMessages *next_ = nullptr;
};

// Every worker's HeldMessages.
class HeldMessagesRegistry {
 public:
  HeldMessagesRegistry() = default;
  HeldMessagesRegistry(const HeldMessagesRegistry &) = delete;
  HeldMessagesRegistry &operator=(const HeldMessagesRegistry &) = delete;

  void Join(HeldMessages &held) EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    held.previous_ = nullptr;
    held.next_ = first_;
    if (first_ != nullptr) {
      first_->previous_ = &held;
    }
    first_ = &held;
    members_.fetch_add(1, std::memory_order_relaxed);
  }
  // Takes the worker out; returns what it still held, as a chain.
  ACE_Message_Block *Leave(HeldMessages &held) EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    (held.previous_ != nullptr ? held.previous_->next_ : first_) = held.next_;
    if (held.next_ != nullptr) {
      held.next_->previous_ = held.previous_;
    }
    held.previous_ = held.next_ = nullptr;
    members_.fetch_sub(1, std::memory_order_relaxed);
    return held.TakeAll();
  }
  // The workers that hold messages or may (a hint for the batch's size).
  std::size_t Members() const { return members_.load(std::memory_order_relaxed); }
  // The messages that all workers hold.
  std::size_t Count() EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    std::size_t count = 0;
    for (const HeldMessages *held = first_; held != nullptr; held = held->next_) {
      count += held->Count();
    }
    return count;
  }
  // Hands `putBack` what each worker that made no progress since the last
  // call holds (see TakeAllIfStuck), one chain at a time.
  template <class PutBack>
  void TakeBackStuck(PutBack putBack) EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    for (HeldMessages *held = first_; held != nullptr; held = held->next_) {
      if (ACE_Message_Block *chain = held->TakeAllIfStuck()) {
        putBack(chain);
      }
    }
  }

 private:
  Mutex mutex_;
  HeldMessages *first_ GUARDED_BY(mutex_) = nullptr;
  std::atomic<std::size_t> members_{0};
};

}  // namespace WindowsAgentCommon

#endif  // VANTREL_MONITOR_CHECKBATCHES_H
