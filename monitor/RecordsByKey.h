// The records of a monitor by their registry key, for the workers: a check
// message carries its record's key, and the worker finds the record here in
// constant time and without the monitor lock, instead of searching the table
// by path under it.
//
// Threads: Publish runs under mtxMonitor (registration); Find runs on any
// thread without a lock. A slot is written once, before anyone can look for
// its key, and never changed; chunks are never freed before the index, and
// the index lives as long as the records' table, so a pointer read from a
// slot stays valid.
#ifndef VANTREL_MONITOR_RECORDSBYKEY_H
#define VANTREL_MONITOR_RECORDSBYKEY_H

#include <atomic>
#include <cstdint>
#include <memory>

namespace WindowsAgentCommon {

template <class Entry>
class RecordsByKey {
 public:
  RecordsByKey() : chunks(new std::atomic<Chunk *>[kChunks]) {
    for (std::size_t i = 0; i < kChunks; ++i) {
      chunks[i].store(nullptr, std::memory_order_relaxed);
    }
  }
  ~RecordsByKey() {
    for (std::size_t i = 0; i < kChunks; ++i) {
      delete chunks[i].load(std::memory_order_relaxed);
    }
  }
  RecordsByKey(const RecordsByKey &) = delete;
  RecordsByKey &operator=(const RecordsByKey &) = delete;

  // Keys outside the index's range are not kept; Find then says no, and the
  // caller searches the table instead. May throw std::bad_alloc.
  void Publish(std::int64_t key, const Entry *entry) {
    std::size_t chunk, slot;
    if (!Locate(key, chunk, slot)) {
      return;
    }
    Chunk *c = chunks[chunk].load(std::memory_order_relaxed);
    if (c == nullptr) {
      c = new Chunk();
      chunks[chunk].store(c, std::memory_order_release);
    }
    if (c->slots[slot].load(std::memory_order_relaxed) == nullptr) {
      c->slots[slot].store(entry, std::memory_order_release);
    }
  }

  const Entry *Find(std::int64_t key) const {
    std::size_t chunk, slot;
    if (!Locate(key, chunk, slot)) {
      return nullptr;
    }
    const Chunk *c = chunks[chunk].load(std::memory_order_acquire);
    return c == nullptr ? nullptr : c->slots[slot].load(std::memory_order_acquire);
  }

 private:
  static constexpr std::size_t kChunkBits = 12;
  static constexpr std::size_t kSlots = std::size_t(1) << kChunkBits;
  static constexpr std::size_t kChunks = 4096;  // 16M keys; later ones are searched for

  struct Chunk {
    Chunk() {
      for (auto &s : slots) {
        s.store(nullptr, std::memory_order_relaxed);
      }
    }
    std::atomic<const Entry *> slots[kSlots];
  };

  static bool Locate(std::int64_t key, std::size_t &chunk, std::size_t &slot) {
    if (key < 1) {
      return false;
    }
    const auto index = static_cast<std::uint64_t>(key - 1);
    chunk = static_cast<std::size_t>(index >> kChunkBits);
    slot = static_cast<std::size_t>(index & (kSlots - 1));
    return chunk < kChunks;
  }

  std::unique_ptr<std::atomic<Chunk *>[]> chunks;
};

}  // namespace WindowsAgentCommon

#endif  // VANTREL_MONITOR_RECORDSBYKEY_H
