// The check messages' blocks, kept for reuse: the sweep takes a block here
// rather than allocating one for every check, and the worker that took a
// check message gives its block back when the check has ended. A block
// costs three allocations (the block, its data block and the buffer), so at
// thousands of checks a second this takes the allocator out of the loop.
//
// Threads: Take and Settle run only on the sweep, under the monitor lock,
// so there is one taker at a time; Give and GiveAll run on any worker (a
// worker gives back a batch's blocks at once).
// The kept blocks are an array of the blocks and their buffers' addresses:
// a giver appends to the givers' array under a lock of its own (a leaf, once
// a batch), and the taker swaps that array for its
// own, empty one under the same lock, then takes entry after entry from its
// own with no lock and no atomic operation. The entries name blocks that a
// worker wrote on another core, so every one is a miss; from an array the
// taker fetches the header and the buffer of a block several takes ahead,
// where a linked list would have to read each block before it knew the
// next. The count of kept blocks, which bounds what Give keeps, learns of
// the taker's takes when the taker settles (once a chain, before it is
// queued, so before any of its blocks can come back).
//
// Lifetime: the pool owns the blocks it keeps and releases them when it goes;
// blocks out on the queue belong to the queue, and a block that is not given
// back (a flush, a block that cannot be reused) is released as any other.
#ifndef VANTREL_MONITOR_MESSAGEBLOCKPOOL_H
#define VANTREL_MONITOR_MESSAGEBLOCKPOOL_H

#include "monitor/ThreadAnnotations.h"

#include <VantrelCommon/MessageBlockUtil.h>

#include <ace/Message_Block.h>

#include <atomic>
#include <cstddef>
#include <memory>
#include <utility>

namespace WindowsAgentCommon {

// Asks for the cache line at `address` ahead of its use; a hint only.
inline void PrefetchLine(const void *address) {
#if defined(__GNUC__)
  __builtin_prefetch(address);
#else
  (void)address;
#endif
}

// The same with the intent to write the line: the other cores' copies go
// now, not when the write comes. (x86 processors that lack the instruction
// take it as a no-op.)
inline void PrefetchLineForWrite(const void *address) {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
  __asm__ volatile("prefetchw %0" : : "m"(*static_cast<const char *>(address)));
#elif defined(__GNUC__)
  __builtin_prefetch(address, 1);
#else
  (void)address;
#endif
}

class MessageBlockPool {
 public:
  // Keeps at most `capacity` blocks of `blockSize` bytes.
  MessageBlockPool(std::size_t blockSize, std::size_t capacity)
      : blockSize_(blockSize), capacity_(capacity), given_(new Entry[capacity]), own_(new Entry[capacity]) {}
  ~MessageBlockPool() {
    MutexLock lock(mutex_);
    ReleaseAll(given_.get(), givenCount_);
    ReleaseAll(own_.get(), ownCount_);
  }
  MessageBlockPool(const MessageBlockPool &) = delete;
  MessageBlockPool &operator=(const MessageBlockPool &) = delete;

  // An empty block with room for blockSize bytes: a kept one, else a new one
  // (CreateDataMessageBlock, which throws std::bad_alloc). One taker at a
  // time. `buffer` is where the block's bytes begin (its write position),
  // known without a read of its data block.
  ACE_Message_Block *Take(char *&buffer) {
    if (ownCount_ == 0) {
      Refill();
    }
    if (ownCount_ == 0) {
      ACE_Message_Block *block = nullptr;
      CreateDataMessageBlock(blockSize_, block);
      buffer = block->wr_ptr();
      return block;
    }
    const Entry kept = own_[--ownCount_];
    if (ownCount_ >= kAhead) {
      Prefetch(own_[ownCount_ - kAhead]);
    }
    ++taken_;
    kept.block->reset();
    buffer = kept.buffer;
    return kept.block;
  }
  ACE_Message_Block *Take() {
    char *buffer = nullptr;
    return Take(buffer);
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
  // one update of the count and one lock for all that are kept: a worker
  // gives back its batch's blocks at once, the last of the chain to be
  // taken first.
  void GiveAll(ACE_Message_Block *chain, std::size_t count) noexcept EXCLUDES(mutex_) {
    const std::size_t before = kept_.fetch_add(count, std::memory_order_relaxed);
    const std::size_t room = before >= capacity_ ? 0 : capacity_ - before;
    // One walk, under the lock. A block that is not kept goes at once: a
    // duplicate released before its original leaves that one reusable.
    std::size_t kept = 0;
    {
      MutexLock lock(mutex_);
      while (chain != nullptr) {
        ACE_Message_Block *block = chain;
        chain = block->next();
        block->next(nullptr);
        if (kept == room || !Reusable(*block)) {
          block->release();
          continue;
        }
        // The count's room is the arrays' room: every entry is counted.
        given_[givenCount_++] = Entry{block, block->base()};
        ++kept;
      }
    }
    if (kept < count) {
      kept_.fetch_sub(count - kept, std::memory_order_relaxed);
    }
  }

  // The blocks kept now (for tests and statistics; on the taker's thread,
  // exact when no thread gives).
  std::size_t Kept() const { return kept_.load(std::memory_order_relaxed) - taken_; }

 private:
  struct Entry {
    ACE_Message_Block *block;
    char *buffer;  // the block's base
  };
  // How many takes ahead the taker fetches a block's header and buffer.
  static constexpr std::size_t kAhead = 8;

  // The givers' array becomes the taker's (which is empty).
  void Refill() EXCLUDES(mutex_) {
    {
      MutexLock lock(mutex_);
      std::swap(given_, own_);
      ownCount_ = givenCount_;
      givenCount_ = 0;
    }
    for (std::size_t ahead = 1; ahead <= kAhead && ahead <= ownCount_; ++ahead) {
      Prefetch(own_[ownCount_ - ahead]);
    }
  }

  // What a take writes: the block's read and write positions and links,
  // within the header's first 64 bytes, and the first 128 bytes of its
  // buffer, where the message's header and a path of up to 50 characters
  // go. Each on the line or lines that hold it.
  static void Prefetch(const Entry &entry) {
    const char *header = reinterpret_cast<const char *>(entry.block);
    PrefetchLineForWrite(header);
    PrefetchLineForWrite(header + 63);
    PrefetchLineForWrite(entry.buffer);
    PrefetchLineForWrite(entry.buffer + 64);
    PrefetchLineForWrite(entry.buffer + 127);
  }

  static void ReleaseAll(const Entry *kept, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      kept[i].block->release();
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
  // Kept blocks: in the givers' array, in the taker's, and (until the taker
  // settles) the taken_ blocks taken from the taker's.
  std::atomic<std::size_t> kept_{0};
  Mutex mutex_;
  std::unique_ptr<Entry[]> given_ GUARDED_BY(mutex_);
  std::size_t givenCount_ GUARDED_BY(mutex_) = 0;
  std::unique_ptr<Entry[]> own_;  // the taker's
  std::size_t ownCount_ = 0;     // the taker's
  std::size_t taken_ = 0;        // the taker's
};

}  // namespace WindowsAgentCommon

#endif  // VANTREL_MONITOR_MESSAGEBLOCKPOOL_H
