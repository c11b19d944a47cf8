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

namespace WindowsAgentCommon {

// The monitor's queue, with the two operations that ACE's queue lacks.
class CheckQueue : public ACE_Message_Queue<ACE_MT_SYNCH> {
 public:
  // As dequeue_head with no time limit, but takes up to `most` blocks, and
  // no more than the queue's message count divided by `takers` (at least
  // one), linked through their `next`. Returns how many it took, or -1 as
  // dequeue_head does (a deactivated queue).
  int TakeBatch(ACE_Message_Block *&first, std::size_t most, std::size_t takers) {
    first = nullptr;
    ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, this->lock_, -1);
    if (this->state_ == ACE_Message_Queue_Base::DEACTIVATED) {
      errno = ESHUTDOWN;
      return -1;
    }
    if (this->wait_not_empty_cond(nullptr) == -1) {
      return -1;
    }
    const std::size_t share = std::max<std::size_t>(1, this->cur_count_ / std::max<std::size_t>(1, takers));
    const std::size_t wanted = std::min(std::max<std::size_t>(1, most), share);
    // The batch is cut off the head as one piece: its blocks' sizes are
    // summed on the way, and the queue's counts and links change once.
    ACE_Message_Block *const head = this->head_;
    ACE_Message_Block *last = nullptr;
    ACE_Message_Block *rest = head;
    std::size_t bytes = 0, length = 0;
    int taken = 0;
    while (static_cast<std::size_t>(taken) < wanted && rest != nullptr) {
      for (const ACE_Message_Block *piece = rest; piece != nullptr; piece = piece->cont()) {
        bytes += piece->size();
        length += piece->length();
      }
      rest->prev(nullptr);
      last = rest;
      rest = rest->next();
      ++taken;
    }
    if (last == nullptr) {
      return 0;
    }
    last->next(nullptr);
    this->head_ = rest;
    if (rest == nullptr) {
      this->tail_ = nullptr;
    } else {
      rest->prev(nullptr);
    }
    this->cur_bytes_ -= bytes;
    this->cur_length_ -= length;
    this->cur_count_ -= static_cast<std::size_t>(taken);
    first = head;
    // As a block at a time would: below the low-water mark, whoever waits
    // for room is woken. Here all at once, and only when one waits.
    if (fullWaiters_ != 0 && this->cur_bytes_ <= this->low_water_mark_) {
      this->not_full_cond_.broadcast();
    }
    return taken;
  }

  // As enqueue_tail with a zero timeout (it never waits for room), for a
  // chain of `count` blocks linked both ways from `first` to `last`, each
  // of one data block with `blockBytes` of size and of length: the totals
  // that ACE's enqueue finds by walking every block are told, so the chain
  // goes on under one lock with one signal and no walk. Returns the
  // queue's message count, or -1 when the queue is deactivated (ESHUTDOWN)
  // or at its high-water mark (EWOULDBLOCK); the caller then still owns
  // the chain.
  int PutChain(ACE_Message_Block *first, ACE_Message_Block *last, std::size_t count, std::size_t blockBytes) {
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
      this->cur_count_ += count;
      this->cur_bytes_ += count * blockBytes;
      this->cur_length_ += count * blockBytes;
      // The chain is the queue's now, whatever the signal says.
      this->signal_dequeue_waiters();
      queued = static_cast<int>(this->cur_count_);
#if defined(ACE_HAS_MONITOR_POINTS) && (ACE_HAS_MONITOR_POINTS == 1)
      this->monitor_->receive(this->cur_length_);
#endif
      notifier = this->notification_strategy_;
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

 private:
  std::size_t fullWaiters_ = 0;  // under the queue's lock
};

// What one worker holds of the batch it took, in queue order.
class HeldMessages {
 public:
  HeldMessages() = default;
  HeldMessages(const HeldMessages &) = delete;
  HeldMessages &operator=(const HeldMessages &) = delete;

  // The most blocks held at once.
  static constexpr std::size_t kCapacity = 16;

  // The worker's: holds a chain of at most kCapacity blocks, linked through
  // their `next` (the rest of a batch after its first block), in place of
  // what it held before, which it has come to or lost.
  void Hold(ACE_Message_Block *chain) EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    std::uint64_t count = 0;
    for (ACE_Message_Block *block = chain; block != nullptr && count < kCapacity; block = block->next()) {
      held_[count].block = block;
      held_[count].image = block->rd_ptr();
      ++count;
    }
    const std::uint64_t generation = (state_.load(std::memory_order_relaxed) >> kGenerationShift) + 1;
    state_.store(generation << kGenerationShift | count << kCountShift, std::memory_order_relaxed);
    if (count != 0) {
      PrefetchImage(held_[0].image);
    }
  }
  // The worker's: the next held block, or null when it holds none (it had
  // none, or a sweep took them back). One atomic operation and no lock: the
  // block is the worker's when its claim comes before the sweep's.
  ACE_Message_Block *Next() {
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
    block->next(nullptr);
    if (at + 1 < CountOf(claimed)) {
      PrefetchImage(held_[at + 1].image);
    }
    return block;
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

  // The next message's bytes that its worker reads (the header, the path
  // and the key behind it) are fetched while the worker checks this one.
  static void PrefetchImage(const char *image) {
    for (int line = 0; line < 3; ++line) {
      PrefetchLine(image + 64 * line);
    }
  }

  std::atomic<std::uint64_t> state_{0};
  // Written by the worker in Hold, under the lock; read by the worker, and
  // by whoever takes back what is held, under the lock. A block's image is
  // noted while the block is surely the worker's: the worker never reads a
  // block that it has not claimed.
  struct Held {
    ACE_Message_Block *block;
    const char *image;
  };
  Held held_[kCapacity] = {};
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
