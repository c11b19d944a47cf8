// The check messages' blocks, kept for reuse: the sweep takes a block here
// rather than allocating one for every check, and the worker that took a
// check message gives its block back when the check has ended. A block
// costs three allocations (the block, its data block and the buffer), so at
// thousands of checks a second this takes the allocator out of the loop.
//
// Threads: Take and Settle run only on the sweep, under the monitor lock,
// so there is one taker at a time; Give runs on any worker, with no lock.
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
  void Give(ACE_Message_Block *block) noexcept {
    if (!Reusable(*block)) {
      block->release();
      return;
    }
    if (kept_.fetch_add(1, std::memory_order_relaxed) >= capacity_) {
      kept_.fetch_sub(1, std::memory_order_relaxed);
      block->release();
      return;
    }
    ACE_Message_Block *head = head_.load(std::memory_order_relaxed);
    do {
      block->next(head);
    } while (!head_.compare_exchange_weak(head, block, std::memory_order_release, std::memory_order_relaxed));
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
