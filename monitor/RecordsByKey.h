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
// stays valid. A slot is one word: its entry's address, or while it is free
// its lowest bit set, the next free slot's place and the generation of the
// key it hands out next. The key of an entry in use is the entry's own
// (KeyOf), which Add writes under the index's lock before the entry can be
// found.
#ifndef VANTREL_MONITOR_RECORDSBYKEY_H
#define VANTREL_MONITOR_RECORDSBYKEY_H

#include <atomic>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <stdexcept>

#include <VantrelCommon/SharedMutex.h>

namespace WindowsAgentCommon {

// KeyOf()(entry) is the place of the entry's key, an std::int64_t.
template <class Entry, class KeyOf>
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

  // A new key for `entry`, written into its KeyOf. Throws std::bad_alloc,
  // or std::length_error when 2^24 records live at once, and then changes
  // nothing.
  std::int64_t Add(Entry *entry) {
    std::unique_lock<SharedMutex> lock(mutex_);
    std::size_t index = freeHead_;
    std::uint64_t generation = 0;
    if (index != kNone) {
      const std::uintptr_t free = At(index).load(std::memory_order_relaxed);
      freeHead_ = NextFree(free);
      generation = GenerationOf(free);
    } else {
      if (used_ == kChunks * kSlots) {
        throw std::length_error("no key left for another watched path");
      }
      index = used_;
      if (chunks_[index / kSlots].load(std::memory_order_relaxed) == nullptr) {
        chunks_[index / kSlots].store(new Chunk(), std::memory_order_release);
      }
      ++used_;
    }
    const std::int64_t key = static_cast<std::int64_t>(generation * (kChunks * kSlots) + index + 1);
    KeyOf()(*entry) = key;
    At(index).store(reinterpret_cast<std::uintptr_t>(entry), std::memory_order_release);
    return key;
  }

  // Forgets the key's entry; the key finds nothing from now on. An unknown
  // key changes nothing.
  void Release(std::int64_t key) {
    std::unique_lock<SharedMutex> lock(mutex_);
    Slot *slot = Locate(key);
    if (slot == nullptr) {
      return;
    }
    const std::size_t index = static_cast<std::size_t>(key - 1) % (kChunks * kSlots);
    const std::uint64_t generation = static_cast<std::uint64_t>(key - 1) / (kChunks * kSlots);
    if (generation + 1 < kGenerations) {
      slot->store(FreeWord(freeHead_, generation + 1), std::memory_order_release);
      freeHead_ = index;
    } else {
      slot->store(FreeWord(kNone, generation), std::memory_order_release);  // all its generations had: not used again
    }
  }

  // Without a lock: only for a key whose entry cannot be released meanwhile.
  Entry *Find(std::int64_t key) const {
    const Slot *slot = Locate(key);
    return slot == nullptr ? nullptr : EntryOf(*slot, std::memory_order_relaxed);
  }

  // Calls read(entry) while the key's entry cannot be released, and returns
  // whether the key has one.
  template <class Reader>
  bool Read(std::int64_t key, Reader read) const {
    std::shared_lock<SharedMutex> lock(mutex_);
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
  static constexpr std::size_t kNone = kChunks * kSlots;  // no next free slot: fits 25 bits
  static constexpr std::uint64_t kGenerations = std::uint64_t(1) << 38;

  static_assert(alignof(Entry) >= 2, "an entry's address leaves the lowest bit for the free mark");
  static_assert(sizeof(std::uintptr_t) == 8, "a free slot's word holds 64 bits");
  // The entry's address; while the slot is free, FreeWord (written under
  // mutex_).
  typedef std::atomic<std::uintptr_t> Slot;
  // Bit 0 set; bits 1 to 25 the next free slot's place, or kNone; bits 26
  // to 63 the generation of the key that the slot hands out next.
  static constexpr std::uintptr_t FreeWord(std::size_t nextFree, std::uint64_t generation) {
    return std::uintptr_t(generation) << 26 | std::uintptr_t(nextFree) << 1 | 1;
  }
  static constexpr std::size_t NextFree(std::uintptr_t word) { return (word >> 1) & ((std::size_t(1) << 25) - 1); }
  static constexpr std::uint64_t GenerationOf(std::uintptr_t word) { return word >> 26; }
  static Entry *EntryOf(const Slot &slot, std::memory_order order) {
    const std::uintptr_t word = slot.load(order);
    return (word & 1) != 0 ? nullptr : reinterpret_cast<Entry *>(word);
  }
  struct Chunk {
    Chunk() {
      for (Slot &slot : slots) slot.store(FreeWord(kNone, 0), std::memory_order_relaxed);
    }
    Slot slots[kSlots];
  };

  Slot &At(std::size_t index) { return chunks_[index / kSlots].load(std::memory_order_relaxed)->slots[index % kSlots]; }

  // The slot whose entry has `key`, or null.
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
    Entry *entry = EntryOf(slot, std::memory_order_acquire);
    return entry != nullptr && KeyOf()(*entry) == key ? &slot : nullptr;
  }

  std::unique_ptr<std::atomic<Chunk *>[]> chunks_;
  mutable SharedMutex mutex_;
  std::size_t used_ = 0;         // slots ever taken; under mutex_
  std::size_t freeHead_ = kNone;  // under mutex_
};

}  // namespace WindowsAgentCommon

#endif  // VANTREL_MONITOR_RECORDSBYKEY_H
