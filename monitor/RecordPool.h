// Memory for the monitors' records and for the nodes of their tables:
// blocks of a few sizes cut from large chunks, with no allocator header in
// front of each and no rounding beyond 8 bytes. At hundreds of thousands of
// paths those headers and roundings were some 16 bytes a path.
//
// A freed block goes to the free list of its size and is handed out again,
// to any monitor of the process. The one pool (Shared) is never destroyed;
// its chunks go back to the system when the last monitor has gone (Holder),
// by when every block of theirs is back. Sizes above kLargest go to
// operator new.
//
// Threads: any. A record's last reference may go on a worker, so one mutex
// guards the lists; it is a leaf lock (nothing is called while it is held).
#ifndef VANTREL_MONITOR_RECORDPOOL_H
#define VANTREL_MONITOR_RECORDPOOL_H

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

namespace WindowsAgentCommon {

class RecordPool {
 public:
  static constexpr std::size_t kLargest = 512;

  RecordPool() = default;
  RecordPool(const RecordPool &) = delete;
  RecordPool &operator=(const RecordPool &) = delete;

  // Never destroyed, and not on the heap, as the delivery table.
  static RecordPool &Shared() {
    alignas(RecordPool) static unsigned char storage[sizeof(RecordPool)];
    static RecordPool *pool = new (&storage) RecordPool();
    return *pool;
  }

  // Keeps the shared pool's chunks while it lives: a monitor holds one,
  // made before its table and its records and gone after them.
  class Holder {
   public:
    Holder() { Shared().Hold(); }
    ~Holder() { Shared().Let(); }
    Holder(const Holder &) = delete;
    Holder &operator=(const Holder &) = delete;
  };

  // May throw std::bad_alloc.
  void *Allocate(std::size_t bytes) {
    const std::size_t size = Rounded(bytes);
    if (size > kLargest) {
      return ::operator new(bytes);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    FreeBlock *&free = free_[size / kAlign];
    if (free != nullptr) {
      FreeBlock *block = free;
      free = block->next;
      return block;
    }
    if (left_ < size) {
      chunks_.reserve(chunks_.size() + 1);
      chunks_.emplace_back(new Cell[kChunkBytes / kAlign]);
      cut_ = reinterpret_cast<char *>(chunks_.back().get());
      left_ = kChunkBytes;  // the end of the last chunk, if any, is not used
    }
    void *block = cut_;
    cut_ += size;
    left_ -= size;
    return block;
  }

  void Deallocate(void *block, std::size_t bytes) noexcept {
    const std::size_t size = Rounded(bytes);
    if (size > kLargest) {
      ::operator delete(block);
      return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    FreeBlock *freed = static_cast<FreeBlock *>(block);
    freed->next = free_[size / kAlign];
    free_[size / kAlign] = freed;
  }

 private:
  static constexpr std::size_t kAlign = 8;
  static constexpr std::size_t kChunkBytes = 64 * 1024;
  struct FreeBlock {
    FreeBlock *next;
  };
  struct alignas(kAlign) Cell {
    char bytes[kAlign];
  };
  static std::size_t Rounded(std::size_t bytes) {
    return bytes < kAlign ? kAlign : (bytes + kAlign - 1) / kAlign * kAlign;
  }

  void Hold() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++holders_;
  }
  // The last holder gives the chunks back; no block of them is in use.
  void Let() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (--holders_ != 0) {
      return;
    }
    std::vector<std::unique_ptr<Cell[]>>().swap(chunks_);
    std::fill(std::begin(free_), std::end(free_), nullptr);
    cut_ = nullptr;
    left_ = 0;
  }

  std::mutex mutex_;
  std::size_t holders_ = 0;
  FreeBlock *free_[kLargest / kAlign + 1] = {};
  std::vector<std::unique_ptr<Cell[]>> chunks_;
  char *cut_ = nullptr;
  std::size_t left_ = 0;
};

// A standard allocator on the shared RecordPool, for std::map and
// allocate_shared. It has no state, so a shared_ptr's block keeps no copy
// of it. Objects that need more than 8-byte alignment are not placed in it.
template <class T>
class RecordPoolAllocator {
 public:
  typedef T value_type;
  static_assert(alignof(T) <= 8, "the pool's blocks are 8-byte aligned");

  RecordPoolAllocator() noexcept = default;
  template <class U>
  RecordPoolAllocator(const RecordPoolAllocator<U> &) noexcept {}

  T *allocate(std::size_t n) { return static_cast<T *>(RecordPool::Shared().Allocate(n * sizeof(T))); }
  void deallocate(T *p, std::size_t n) noexcept { RecordPool::Shared().Deallocate(p, n * sizeof(T)); }

  template <class U>
  bool operator==(const RecordPoolAllocator<U> &) const noexcept {
    return true;
  }
  template <class U>
  bool operator!=(const RecordPoolAllocator<U> &) const noexcept {
    return false;
  }
};

}  // namespace WindowsAgentCommon

#endif  // VANTREL_MONITOR_RECORDPOOL_H
