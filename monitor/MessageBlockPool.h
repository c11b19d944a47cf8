// The check messages' blocks, kept for reuse: the sweep takes a block here
// rather than allocating one for every check, and the worker that took a
// check message gives its block back when the check has ended. A block
// costs three allocations (the block, its data block and the buffer), so at
// thousands of checks a second this takes the allocator out of the loop.
//
// Threads: Take and Settle run only on the sweep, under the monitor lock,
// so there is one taker at a time; Give and GiveAll run on any worker, with
// no lock (a worker gives back a batch's blocks at once).
// The kept blocks form a stack through their `next` links (a block out of
// every queue has no other use for it): Give pushes with a compare-and-swap.
// The taker takes the whole stack at once into a list of its own when that
// list is empty, and then takes block after block from it with no atomic
// operation at all: the workers' pushes and the sweep's takes meet on the
// stack's head once a sweep rather than once a check. The count of kept
// blocks, which bounds what Give keeps, learns of the taker's takes when the
// taker settles (once a chain, before it is queued, so before any of its
// blocks can come back).
//
// Lifetime: the pool owns the blocks it keeps and releases them when it goes;
// blocks out on the queue belong to the queue, and a block that is not given
// back (a flush, a block that cannot be reused) is released as any other.
#ifndef VANTREL_MONITOR_MESSAGEBLOCKPOOL_H
#define VANTREL_MONITOR_MESSAGEBLOCKPOOL_H

#include <VantrelCommon/MessageBlockUtil.h>

#include <ace/Message_Block.h>

#include <atomic>
#include <cstddef>

namespace WindowsAgentCommon {

// Asks for the cache line at `address` ahead of its use; a hint only.
inline void PrefetchLine(const void *address) {
#if defined(__GNUC__)
  __builtin_prefetch(address);
#else
  (void)address;
#endif
}

class MessageBlockPool {
 public:
  // Keeps at most `capacity` blocks of `blockSize` bytes.
  MessageBlockPool(std::size_t blockSize, std::size_t capacity) : blockSize_(blockSize), capacity_(capacity) {}
  ~MessageBlockPool() {
    ReleaseList(head_.exchange(nullptr));
    ReleaseList(own_);
  }
  MessageBlockPool(const MessageBlockPool &) = delete;
  MessageBlockPool &operator=(const MessageBlockPool &) = delete;

  // An empty block with room for blockSize bytes: a kept one, else a new one
  // (CreateDataMessageBlock, which throws std::bad_alloc). One taker at a time.
  ACE_Message_Block *Take() {
    if (own_ == nullptr) {
      own_ = head_.exchange(nullptr, std::memory_order_acquire);
    }
    ACE_Message_Block *block = own_;
    if (block == nullptr) {
      CreateDataMessageBlock(blockSize_, block);
      return block;
    }
    own_ = block->next();
    if (own_ != nullptr) {
      // The next take reads the next block's header and writes its data:
      // both are fetched now, while this block is being written.
      PrefetchLine(own_->next());
      PrefetchLine(own_->data_block());
    }
    ++taken_;
    block->next(nullptr);
    block->reset();
    return block;
  }
  // Tells the count of kept blocks what the taker took since it last
  // settled. The taker settles before it lets any block it took go.
  void Settle() {
    if (taken_ != 0) {
      kept_.fetch_sub(taken_, std::memory_order_relaxed);
      taken_ = 0;
    }
  }

  // Keeps the block when it is one that Take could have made, held by
  // nobody else, and there is room; else releases it. Never throws.
  void Give(ACE_Message_Block *block) noexcept { GiveAll(block, 1); }

  // The same for a chain of `count` blocks linked through their `next`, with
  // one update of the count and one push for all that are kept: a worker
  // gives back its batch's blocks at once.
  void GiveAll(ACE_Message_Block *chain, std::size_t count) noexcept {
    const std::size_t before = kept_.fetch_add(count, std::memory_order_relaxed);
    const std::size_t room = before >= capacity_ ? 0 : capacity_ - before;
    ACE_Message_Block *first = nullptr, *last = nullptr;
    std::size_t kept = 0;
    while (chain != nullptr) {
      ACE_Message_Block *block = chain;
      chain = block->next();
      block->next(nullptr);
      if (kept == room || !Reusable(*block)) {
        block->release();
        continue;
      }
      block->next(first);
      first = block;
      last = last == nullptr ? block : last;
      ++kept;
    }
    if (kept < count) {
      kept_.fetch_sub(count - kept, std::memory_order_relaxed);
    }
    if (first == nullptr) {
      return;
    }
    ACE_Message_Block *head = head_.load(std::memory_order_relaxed);
    do {
      last->next(head);
    } while (!head_.compare_exchange_weak(head, first, std::memory_order_release, std::memory_order_relaxed));
  }

  // The blocks kept now (for tests and statistics; on the taker's thread,
  // exact when no thread gives).
  std::size_t Kept() const { return kept_.load(std::memory_order_relaxed) - taken_; }

 private:
  static void ReleaseList(ACE_Message_Block *block) {
    while (block != nullptr) {
      ACE_Message_Block *next = block->next();
      block->next(nullptr);
      block->release();
      block = next;
    }
  }

  // A plain data block of exactly our size whose buffer and header the
  // library may free, not shared with a duplicate, and linked to nothing.
  bool Reusable(const ACE_Message_Block &block) const {
    return block.size() == blockSize_ && block.msg_type() == ACE_Message_Block::MB_DATA &&
           block.reference_count() == 1 && block.cont() == nullptr && block.next() == nullptr &&
           block.prev() == nullptr && (block.flags() & ACE_Message_Block::DONT_DELETE) == 0 &&
           (block.self_flags() & ACE_Message_Block::DONT_DELETE) == 0;
  }

  const std::size_t blockSize_;
  const std::size_t capacity_;
  std::atomic<ACE_Message_Block *> head_{nullptr};
  // Kept blocks: on the stack, in the taker's list, and (until the taker
  // settles) the taken_ blocks taken from that list.
  std::atomic<std::size_t> kept_{0};
  ACE_Message_Block *own_ = nullptr;  // the taker's list
  std::size_t taken_ = 0;             // the taker's

};

}  // namespace WindowsAgentCommon

#endif  // VANTREL_MONITOR_MESSAGEBLOCKPOOL_H
