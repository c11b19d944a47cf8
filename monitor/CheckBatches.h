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
// Threads: a worker's HeldMessages is used by its worker, once a message,
// and by the sweep's look, under its own lock, which is thus uncontended
// but for a moment a sweep. The registry's lock is taken by a worker when
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
    ACE_Message_Block *last = nullptr;
    int taken = 0;
    while (static_cast<std::size_t>(taken) < wanted && !this->is_empty_i()) {
      ACE_Message_Block *block = nullptr;
      if (this->dequeue_head_i(block) < 0) {
        break;
      }
      if (last == nullptr) {
        first = block;
      } else {
        last->next(block);
      }
      last = block;
      ++taken;
    }
    return taken;
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
};

// What one worker holds of the batch it took, in queue order.
class HeldMessages {
 public:
  HeldMessages() = default;
  HeldMessages(const HeldMessages &) = delete;
  HeldMessages &operator=(const HeldMessages &) = delete;

  // The worker's: holds a chain (of `count` blocks) after its first block
  // was taken out of it. Holds nothing before.
  void Hold(ACE_Message_Block *chain, std::size_t count) EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    chain_ = chain;
    count_.store(chain == nullptr ? 0 : count, std::memory_order_relaxed);
    ++progress_;
    if (chain != nullptr) {
      PrefetchMessage(*chain);
    }
  }
  // The worker's: the next held block, or null when it holds none (it had
  // none, or a sweep took them back).
  ACE_Message_Block *Next() EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    ++progress_;
    ACE_Message_Block *block = chain_;
    if (block != nullptr) {
      chain_ = block->next();
      block->next(nullptr);
      count_.store(count_.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
      if (chain_ != nullptr) {
        PrefetchMessage(*chain_);
      }
    }
    return block;
  }
  // Any thread: everything held, as a chain; the worker holds nothing after.
  ACE_Message_Block *TakeAll() EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    return TakeAllLocked();
  }
  // The sweep's: everything held, when the worker has not come to another
  // message since the last call; else null.
  ACE_Message_Block *TakeAllIfStuck() EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    const bool stuck = progress_ == seenProgress_;
    seenProgress_ = progress_;
    return stuck ? TakeAllLocked() : nullptr;
  }
  std::size_t Count() const { return count_.load(std::memory_order_relaxed); }

 private:
  friend class HeldMessagesRegistry;
  ACE_Message_Block *TakeAllLocked() REQUIRES(mutex_) {
    ACE_Message_Block *chain = chain_;
    chain_ = nullptr;
    count_.store(0, std::memory_order_relaxed);
    return chain;
  }

  Mutex mutex_;
  // The next message's bytes that its worker reads (the header, the path
  // and the key behind it) are fetched while the worker checks this one.
  // The block's header is the worker's already: it took it off the queue.
  static void PrefetchMessage(const ACE_Message_Block &block) {
    const char *image = block.rd_ptr();
    for (int line = 0; line < 3; ++line) {
      PrefetchLine(image + 64 * line);
    }
  }

  ACE_Message_Block *chain_ GUARDED_BY(mutex_) = nullptr;
  std::atomic<std::size_t> count_{0};
  // Bumped by the worker at every message; the sweep's view of it at its
  // last look.
  std::uint64_t progress_ GUARDED_BY(mutex_) = 0;
  std::uint64_t seenProgress_ GUARDED_BY(mutex_) = ~std::uint64_t{0};
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
