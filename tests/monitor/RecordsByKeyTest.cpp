// The record index by itself: a released key finds nothing, for ever, and its
// slot comes back once under another key, whatever keys are released again
// or before they were handed out.
#include "monitor/RecordPool.h"
#include "monitor/RecordsByKey.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <limits>
#include <vector>

namespace {

// An entry that keeps its key, as a record does.
struct Entry {
  int value;
  mutable std::int64_t key;
};
struct KeyOf {
  std::int64_t &operator()(const Entry &entry) const { return entry.key; }
};

}  // namespace

TEST(RecordsByKey, AReleasedKeyFindsNothingAndItsSlotComesBackOnceUnderAnotherKey) {
  WindowsAgentCommon::RecordsByKey<Entry, KeyOf> index;
  Entry entries[4] = {{10, 0}, {11, 0}, {12, 0}, {13, 0}};
  const std::int64_t first = index.Add(&entries[0]), second = index.Add(&entries[1]);
  for (std::int64_t key : {first, first, first + (std::int64_t{1} << 24)}) index.Release(key);
  const std::int64_t reused = index.Add(&entries[2]), fresh = index.Add(&entries[3]);
  EXPECT_TRUE(first == 1 && reused != first && fresh != reused && fresh != second);
  EXPECT_EQ(entries[1].key, second);
  for (const auto &[key, entry] : std::vector<std::pair<std::int64_t, Entry *>>{
           {first, nullptr}, {second, &entries[1]}, {reused, &entries[2]}, {fresh, &entries[3]},
           {0, nullptr}, {-1, nullptr}, {std::numeric_limits<std::int64_t>::max(), nullptr}}) {
    int seen = 0;
    EXPECT_EQ(index.Read(key, [&](const Entry &e) { seen = e.value; }), entry != nullptr) << key;
    EXPECT_EQ(std::make_pair(index.Find(key), seen), std::make_pair(entry, entry ? entry->value : 0)) << key;
  }
  index.Release(fresh);  // a free slot's next key names nothing before it is handed out
  const std::int64_t next = fresh + (std::int64_t{1} << 24);
  EXPECT_TRUE(index.Find(next) == nullptr && !index.Read(next, [](const Entry &) {}) && index.Add(&entries[0]) == next);
}

// The records' memory: a freed block comes back for its own size only, and
// no two blocks in use overlap, whatever their sizes (large ones included).
TEST(RecordPool, AFreedBlockComesBackForItsOwnSizeOnlyAndBlocksNeverOverlap) {
  WindowsAgentCommon::RecordPool pool;
  std::vector<std::pair<char *, std::size_t>> live;
  const std::size_t sizes[] = {1, 56, 216, 224, 512, 600};
  for (int round = 0; round < 300; ++round) {  // past one chunk of every size
    for (const std::size_t size : sizes) live.emplace_back(static_cast<char *>(pool.Allocate(size)), size);
  }
  for (std::size_t i = 0; i < std::size(sizes); ++i) {
    const auto freed = live[std::size(sizes) + i];  // the second round's
    pool.Deallocate(freed.first, freed.second);
    live[std::size(sizes) + i] = {static_cast<char *>(pool.Allocate(freed.second)), freed.second};
    EXPECT_TRUE(freed.second > WindowsAgentCommon::RecordPool::kLargest || live[std::size(sizes) + i] == freed) << i;
  }
  for (std::size_t i = 0; i < live.size(); ++i) std::memset(live[i].first, static_cast<int>(i % 251), live[i].second);
  for (std::size_t i = 0; i < live.size(); ++i) {
    EXPECT_EQ(std::count(live[i].first, live[i].first + live[i].second, static_cast<char>(i % 251)),
              static_cast<std::ptrdiff_t>(live[i].second)) << i;
    pool.Deallocate(live[i].first, live[i].second);
  }
}
