// The records of a monitor by their keys: it hands out the keys, and the
// workers find a check message's record here in constant time and without
// the monitor lock, instead of searching the table by path under it.
//
// A key names a slot and the slot's generation: key = generation * 2^24 +
// slot + 1. The first record of a slot gets the slot's number plus one, so
// keys begin at 1. When a record leaves, its slot goes back to a free list
// with the next generation, so the slots in use never exceed the records
// that lived at one time, and a key that was released is never handed out
// again (not before a slot has been reused 2^39 times): a key kept by a
// receiver, or carried by a message, never names another path.
//
// Threads: Add and Release run under the monitor's table lock (mtxMonitor),
// and also take the index's own lock, exclusively. Read runs on any thread
// and takes the index's lock shared, so an entry cannot go while it is read.
// Find takes no lock at all and is only for a key whose record cannot leave
// meanwhile: the worker's look-up of a check message, whose record is not
// freed while the message is out (see FileRecord in FileMonitorCore.h).
// Chunks of slots are never freed before the index, so a slot's address
// stays valid. A slot is two words: its entry's address, or while it is free
// the next free slot's place marked by its lowest bit, and its key.
#ifndef VANTREL_MONITOR_RECORDSBYKEY_H
#define VANTREL_MONITOR_RECORDSBYKEY_H

#include <atomic>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <stdexcept>

namespace WindowsAgentCommon {

template <class Entry>
class RecordsByKey {
 public:
  RecordsByKey() : chunks_(new std::atomic<Chunk *>[kChunks]) {
    for (std::size_t i = 0; i < kChunks; ++i) {
      chunks_[i].store(nullptr, std::memory_order_relaxed);
    }
  }
  ~RecordsByKey() {
    for (std::size_t i = 0; i < kChunks; ++i) {
      delete chunks_[i].load(std::memory_order_relaxed);
    }
  }
  RecordsByKey(const RecordsByKey &) = delete;
  RecordsByKey &operator=(const RecordsByKey &) = delete;

  // A new key for `entry`. Throws std::bad_alloc, or std::length_error when
  // 2^24 records live at once, and then changes nothing.
  std::int64_t Add(const Entry *entry) {
    std::unique_lock<std::shared_mutex> lock(mutex_);
    std::size_t index = freeHead_;
    if (index != kNone) {
      freeHead_ = static_cast<std::size_t>(At(index).word.load(std::memory_order_relaxed) >> 1);
    } else {
      if (used_ == kChunks * kSlots) {
        throw std::length_error("no key left for another watched path");
      }
      index = used_;
      if (chunks_[index / kSlots].load(std::memory_order_relaxed) == nullptr) {
        chunks_[index / kSlots].store(new Chunk(), std::memory_order_release);
      }
      At(index).key.store(static_cast<std::int64_t>(index) + 1, std::memory_order_relaxed);
      ++used_;
    }
    Slot &slot = At(index);
    slot.word.store(reinterpret_cast<std::uintptr_t>(entry), std::memory_order_release);
    return slot.key.load(std::memory_order_relaxed);
  }

  // Forgets the key's entry; the key finds nothing from now on. An unknown
  // key changes nothing.
  void Release(std::int64_t key) {
    std::unique_lock<std::shared_mutex> lock(mutex_);
    Slot *slot = Locate(key);
    if (slot == nullptr || EntryOf(*slot, std::memory_order_relaxed) == nullptr) {
      return;  // a free slot answers to the key it hands out next
    }
    if (key < std::numeric_limits<std::int64_t>::max() - static_cast<std::int64_t>(kChunks * kSlots)) {
      slot->key.store(key + static_cast<std::int64_t>(kChunks * kSlots), std::memory_order_relaxed);
      slot->word.store(FreeWord(freeHead_), std::memory_order_release);
      freeHead_ = static_cast<std::size_t>(key - 1) % (kChunks * kSlots);
    } else {
      slot->word.store(FreeWord(kNone), std::memory_order_release);  // all its generations had: not used again
    }
  }

  // Without a lock: only for a key whose entry cannot be released meanwhile.
  const Entry *Find(std::int64_t key) const {
    const Slot *slot = Locate(key);
    return slot == nullptr ? nullptr : EntryOf(*slot, std::memory_order_acquire);
  }

  // Calls read(entry) while the key's entry cannot be released, and returns
  // whether the key has one.
  template <class Reader>
  bool Read(std::int64_t key, Reader read) const {
    std::shared_lock<std::shared_mutex> lock(mutex_);
    const Slot *slot = Locate(key);
    const Entry *entry = slot == nullptr ? nullptr : EntryOf(*slot, std::memory_order_acquire);
    if (entry == nullptr) {
      return false;
    }
    read(*entry);
    return true;
  }

 private:
  static constexpr std::size_t kChunkBits = 12;
  static constexpr std::size_t kSlots = std::size_t(1) << kChunkBits;
  static constexpr std::size_t kChunks = 4096;  // 2^24 slots
  static constexpr std::size_t kNone = ~std::size_t(0) >> 1;  // fits a free mark

  static_assert(alignof(Entry) >= 2, "an entry's address leaves the lowest bit for the free mark");
  struct Slot {
    // The entry's address; while the slot is free, FreeWord of the next free
    // slot's place (written under mutex_).
    std::atomic<std::uintptr_t> word{FreeWord(kNone)};
    // The key of the entry; while the slot is free, the key it hands out next.
    std::atomic<std::int64_t> key{0};
  };
  static constexpr std::uintptr_t FreeWord(std::size_t nextFree) { return std::uintptr_t(nextFree) << 1 | 1; }
  static const Entry *EntryOf(const Slot &slot, std::memory_order order) {
    const std::uintptr_t word = slot.word.load(order);
    return (word & 1) != 0 ? nullptr : reinterpret_cast<const Entry *>(word);
  }
  struct Chunk {
    Slot slots[kSlots];
  };

  Slot &At(std::size_t index) { return chunks_[index / kSlots].load(std::memory_order_relaxed)->slots[index % kSlots]; }

  // The slot whose current key is `key`, or null.
  Slot *Locate(std::int64_t key) const {
    if (key < 1) {
      return nullptr;
    }
    const auto index = static_cast<std::size_t>(static_cast<std::uint64_t>(key - 1) % (kChunks * kSlots));
    Chunk *chunk = chunks_[index / kSlots].load(std::memory_order_acquire);
    if (chunk == nullptr) {
      return nullptr;
    }
    Slot &slot = chunk->slots[index % kSlots];
    return slot.key.load(std::memory_order_relaxed) == key ? &slot : nullptr;
  }

  std::unique_ptr<std::atomic<Chunk *>[]> chunks_;
  mutable std::shared_mutex mutex_;
  std::size_t used_ = 0;         // slots ever taken; under mutex_
  std::size_t freeHead_ = kNone;  // under mutex_
};

}  // namespace WindowsAgentCommon

#endif  // VANTREL_MONITOR_RECORDSBYKEY_H
