// The worker's batches (CheckBatches.h) on their own, with real threads, and
// the sweep's sort of its batch by path.
#include "monitor/CheckBatches.h"
#include "monitor/FileMonitorCore.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <thread>

using namespace WindowsAgentCommon;
using namespace VantrelTest;

namespace {

ACE_Message_Block *Numbered(int n) {
  auto *block = new ACE_Message_Block(sizeof(int));
  block->copy(reinterpret_cast<const char *>(&n), sizeof(n));
  return block;
}

int NumberOf(const ACE_Message_Block *block) {
  int n = -1;
  std::memcpy(&n, block->rd_ptr(), sizeof(n));
  return n;
}

// The numbers of a chain, which is released.
std::vector<int> Drain(ACE_Message_Block *chain) {
  std::vector<int> numbers;
  for (int i = 0; chain != nullptr && i < 100000; ++i) {
    ACE_Message_Block *next = chain->next();
    numbers.push_back(NumberOf(chain));
    chain->next(nullptr);
    chain->release();
    chain = next;
  }
  return numbers;
}

RecordingSink sink;

// A record with a receiver, so that the wheel keeps it.
struct PathRecord : FileRecord {
  explicit PathRecord(const std::wstring &path) : FileRecord(path, path, ACE_Time_Value(1), 0, false) {
    sinks.insert(&sink);
  }
};

}  // namespace

// A batch is at most the taker's share of the queue, in queue order; what
// goes back goes to the head, in its order; a closed queue frees its takers.
TEST(CheckBatches, ABatchIsTheTakersShareAndGoesBackInOrder) {
  CheckQueue queue;
  for (int i = 0; i < 10; ++i) queue.enqueue_tail(Numbered(i));
  ACE_Message_Block *chain = nullptr;
  EXPECT_EQ(queue.TakeBatch(chain, 16, 3), 3);
  EXPECT_EQ(Drain(chain), (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(queue.TakeBatch(chain, 2, 1), 2);
  ASSERT_EQ(queue.PutBackAtHead(chain), 7);
  EXPECT_EQ(queue.TakeBatch(chain, 16, 0), 7);
  EXPECT_EQ(Drain(chain), (std::vector<int>{3, 4, 5, 6, 7, 8, 9}));

  HeldMessages held;
  queue.enqueue_tail(Numbered(10));
  ASSERT_EQ(queue.TakeBatch(chain, 16, 1), 1);
  held.Hold(chain);
  EXPECT_EQ(held.TakeAllIfStuck(), nullptr) << "it came to a message since it was last looked at";
  EXPECT_EQ(held.Count(), 1u);
  EXPECT_EQ(Drain(held.TakeAllIfStuck()), std::vector<int>{10});
  EXPECT_EQ(held.Next(), nullptr);

  auto result = std::make_shared<std::atomic<int>>(0);
  std::future<void> waiting = InBackground([&queue, result] {
    ACE_Message_Block *none = nullptr;
    result->store(queue.TakeBatch(none, 16, 1));
  });
  queue.deactivate();
  ASSERT_TRUE(Finished(waiting));
  EXPECT_EQ(result->load(), -1);
}

// A chain put on with its totals told counts as ACE's own enqueue counts it
// (which the dequeue undoes), is linked both ways behind what was there, and
// finds no room at the high-water mark or in a deactivated queue.
TEST(CheckBatches, AChainPutOnWithItsTotalsCountsAsACEsEnqueue) {
  CheckQueue told, walked;
  for (CheckQueue *queue : {&told, &walked}) {
    queue->high_water_mark(4 * sizeof(int));
    queue->enqueue_tail(Numbered(0));
  }
  auto chain = [](ACE_Message_Block *&last) {
    ACE_Message_Block *first = Numbered(1);
    last = first;
    for (int n : {2, 3}) {
      ACE_Message_Block *block = Numbered(n);
      last->next(block);
      block->prev(last);
      last = block;
    }
    return first;
  };
  ACE_Message_Block *last = nullptr;
  walked.enqueue_tail(chain(last));
  ACE_Message_Block *first = chain(last);
  ASSERT_EQ(told.PutChain(first, last, 3, sizeof(int)), 4);
  EXPECT_EQ(told.message_count(), walked.message_count());
  EXPECT_EQ(told.message_bytes(), walked.message_bytes());
  EXPECT_EQ(told.message_length(), walked.message_length());

  ACE_Message_Block *extra = Numbered(4);
  errno = 0;
  EXPECT_EQ(told.PutChain(extra, extra, 1, sizeof(int)), -1) << "at the high-water mark";
  EXPECT_EQ(errno, EWOULDBLOCK);
  std::vector<int> fromTail;
  ACE_Time_Value noWait(ACE_Time_Value::zero);
  for (ACE_Message_Block *block = nullptr; fromTail.size() < 5 && told.dequeue_tail(block, &noWait) >= 0;) {
    fromTail.push_back(Drain(block).front());
  }
  EXPECT_EQ(fromTail, (std::vector<int>{3, 2, 1, 0}));
  EXPECT_EQ(told.message_bytes(), 0u);
  EXPECT_EQ(told.message_count(), 0u);
  told.deactivate();
  errno = 0;
  EXPECT_EQ(told.PutChain(extra, extra, 1, sizeof(int)), -1);
  EXPECT_EQ(errno, ESHUTDOWN);
  Drain(extra);
}

// Workers that hold what they took while a sweep takes back the holdings of
// the stalled ones, over and over: every message is taken exactly once.
TEST(CheckBatches, EveryMessageIsTakenOnceWhileHoldingsAreTakenBack) {
  const int kMessages = 20000;
  CheckQueue queue;
  queue.high_water_mark(std::size_t(1) << 30);
  HeldMessagesRegistry registry;
  std::vector<std::atomic<int>> seen(kMessages);
  std::atomic<int> taken{0};
  auto worker = [&] {
    HeldMessages held;
    registry.Join(held);
    for (int i = 0; i < 4 * kMessages; ++i) {
      ACE_Message_Block *block = held.Next();
      if (block == nullptr) {
        const int n = queue.TakeBatch(block, 16, registry.Members());
        if (n < 0) break;
        ACE_Message_Block *rest = block->next();
        block->next(nullptr);
        held.Hold(rest);
      }
      for (int n : Drain(block)) seen[static_cast<std::size_t>(n)]++;
      if (++taken % 97 == 0) std::this_thread::yield();  // a stall now and then
    }
    ACE_Message_Block *left = registry.Leave(held);
    if (left != nullptr && queue.PutBackAtHead(left) < 0) Drain(left);
  };
  std::vector<std::future<void>> workers;
  for (int i = 0; i < 3; ++i) workers.push_back(InBackground(worker));
  std::future<void> sweep = InBackground([&] {
    for (int i = 0; i < 100000 && taken.load() < kMessages; ++i) {
      registry.TakeBackStuck([&queue](ACE_Message_Block *chain) { queue.PutBackAtHead(chain); });
    }
  });
  for (int i = 0; i < kMessages; ++i) queue.enqueue_tail(Numbered(i));
  ASSERT_TRUE(WaitUntil([&] { return taken.load() >= kMessages; }));
  ASSERT_TRUE(Finished(sweep));
  queue.deactivate();
  for (auto &done : workers) ASSERT_TRUE(Finished(done));
  EXPECT_EQ(taken.load(), kMessages);
  EXPECT_EQ(std::count_if(seen.begin(), seen.end(), [](const std::atomic<int> &n) { return n.load() != 1; }), 0);
}

// The sweep's batch comes in runs of descending paths; any shape of runs
// comes out in path order.
TEST(CheckBatches, TheSweepsBatchIsSortedByPathWhateverItsRuns) {
  std::vector<std::unique_ptr<PathRecord>> records;
  for (int i = 0; i < 300; ++i) records.push_back(std::make_unique<PathRecord>(L"/p/" + std::to_wstring(1000 + i)));
  std::mt19937 random(7);
  std::vector<std::size_t> runs;
  const std::vector<Sweep::List> noLists;
  for (std::size_t runLength : {300, 1, 2, 50, 100, 150, 7}) {
    SCOPED_TRACE(runLength);
    std::vector<FileRecord *> batch;
    for (auto &record : records) batch.push_back(record.get());
    std::shuffle(batch.begin(), batch.end(), random);
    // Descending runs of runLength, the last one ascending.
    for (std::size_t at = 0; at < batch.size(); at += runLength) {
      const auto end = batch.begin() + static_cast<std::ptrdiff_t>(std::min(batch.size(), at + runLength));
      const bool last = end == batch.end();
      std::sort(batch.begin() + static_cast<std::ptrdiff_t>(at), end, [last](FileRecord *a, FileRecord *b) {
        return last ? a->paths.registered < b->paths.registered : b->paths.registered < a->paths.registered;
      });
    }
    SortByPath(batch, noLists, runs);
    for (std::size_t i = 0; i < batch.size(); ++i) ASSERT_EQ(batch[i], records[i].get()) << i;
  }
  std::vector<FileRecord *> none;
  SortByPath(none, noLists, runs);
  EXPECT_TRUE(none.empty());
}

// However the wheel got its records, what a walk keeps comes out in path
// order: placed from elsewhere in any order; by a sweep in path order with
// others placed among them; by two sweeps into one list, one after the
// other in path order or interleaved; over several lists, with records of a
// later turn of the wheel in them.
TEST(CheckBatches, AWalksBatchComesOutInPathOrderHoweverTheWheelGotItsRecords) {
  enum By { kElsewhere, kNewSweep, kSameSweep };
  struct Placing {
    std::vector<int> records;
    By by;
    std::int64_t due;
  };
  const std::int64_t s = 1000000, turn = Sweep::kBucketMicros * static_cast<std::int64_t>(Sweep::kBuckets);
  auto ints = [](int from, int to, int step) {
    std::vector<int> v;
    for (int i = from; i < to; i += step) v.push_back(i);
    return v;
  };
  std::mt19937 random(11);
  std::vector<int> shuffled = ints(0, 200, 1), oddsShuffled = ints(1, 200, 2);
  std::shuffle(shuffled.begin(), shuffled.end(), random);
  std::shuffle(oddsShuffled.begin(), oddsShuffled.end(), random);
  std::vector<std::vector<Placing>> cases = {
      {{shuffled, kElsewhere, s}},
      {{ints(0, 100, 2), kNewSweep, s}, {{151, 1, 99}, kElsewhere, s}, {ints(100, 200, 2), kSameSweep, s}},
      {{ints(0, 100, 1), kNewSweep, s}, {ints(100, 200, 1), kNewSweep, s}},
      {{ints(0, 200, 2), kNewSweep, s}, {ints(1, 200, 2), kNewSweep, s}},
      {{ints(0, 20, 2), kNewSweep, s + turn}, {ints(20, 200, 2), kSameSweep, s}, {oddsShuffled, kElsewhere, 2 * s},
       {ints(1, 200, 4), kNewSweep, 3 * s}},
      {},  // twenty lists in order, more than are merged
  };
  for (int b = 0; b < 20; ++b) cases.back().push_back({ints(b, 200, 20), kNewSweep, s + b * Sweep::kBucketMicros});
  for (std::size_t c = 0; c < cases.size(); ++c) {
    SCOPED_TRACE(c);
    std::vector<std::unique_ptr<PathRecord>> records;
    for (int i = 0; i < 200; ++i) records.push_back(std::make_unique<PathRecord>(L"/q/" + std::to_wstring(1000 + i)));
    std::vector<std::int64_t> dueAt(records.size(), INT64_MAX);
    Sweep sweep(4);
    for (const Placing &placing : cases[c]) {
      if (placing.by == kNewSweep) sweep.StartPathOrder();
      for (int i : placing.records) {
        PathRecord &record = *records[static_cast<std::size_t>(i)];
        record.nextCheck.set(static_cast<time_t>(placing.due / s), static_cast<suseconds_t>(placing.due % s));
        placing.by == kElsewhere ? sweep.Place(record) : sweep.PlaceInPathOrder(record, placing.due);
        dueAt[static_cast<std::size_t>(i)] = placing.due;
      }
    }
    const std::int64_t now = 3 * s + 1;
    std::vector<FileRecord *> expected;
    for (std::size_t i = 0; i < records.size(); ++i) {
      if (dueAt[i] <= now) expected.push_back(records[i].get());
    }
    {
      Sweep::DueCursor due(sweep, now);
      for (FileRecord *record = due.Next(); record != nullptr; record = due.Next()) due.Keep(record);
    }
    sweep.SortBatchByPath();
    EXPECT_EQ(sweep.Batch(), expected);
  }
}
