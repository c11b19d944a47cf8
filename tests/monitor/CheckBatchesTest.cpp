// The worker's batches (CheckBatches.h) on their own, with real threads, and
// the sweep's sort of its batch by path.
#include "monitor/CheckBatches.h"
#include "monitor/FileMonitorCore.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <iterator>
#include <random>
#include <set>
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

// Whatever mix of puts and takes a queue sees, TakeBatch hands out its
// blocks in queue order, each with what the sweep told of it (or nothing,
// for a block that the sweep did not describe), and leaves its counts as
// ACE keeps them: the queue is checked against a plain list of numbers
// after every step, and emptied in batches at the end of every case.
TEST(CheckBatches, BatchesComeInQueueOrderWithWhatTheSweepToldOfThem) {
  // Chain n: the sweep's described chain; Bare n: a chain told nothing of;
  // Tail/Prio/Head n: ACE's puts one by one (Head puts in front, so the
  // last put comes first, and its blocks have the highest priority; Prio's
  // come by priority behind them); Back n: a batch of n taken and put back at the
  // head; Take n k: a batch of at most n for k takers; PopHead, PopTail:
  // ACE's takes; Flush.
  enum Op { kChain, kBare, kTail, kPrio, kHead, kBack, kTake, kPopHead, kPopTail, kFlush };
  struct Step {
    Op op;
    std::size_t n = 0;
    std::size_t takers = 1;
  };
  const std::vector<std::vector<Step>> cases = {
      {{kChain, 5}, {kTake, 2, 1}, {kChain, 3}, {kTake, 16, 2}, {kTake, 16, 1}},
      {{kChain, 3}, {kHead, 2}, {kTake, 3, 1}, {kChain, 2}, {kTake, 1, 1}},
      {{kChain, 4}, {kTail, 1}, {kChain, 2}, {kTake, 6, 1}, {kChain, 2}},
      {{kChain, 4}, {kPrio, 1}, {kChain, 2}, {kPopHead}, {kTake, 16, 1}},
      {{kHead, 1}, {kChain, 3}, {kPrio, 1}, {kTake, 2, 1}, {kChain, 2}, {kTake, 3, 1}},
      {{kChain, 6}, {kBack, 4}, {kTake, 2, 1}, {kChain, 1}, {kTake, 3, 1}},
      {{kChain, 3}, {kFlush}, {kChain, 2}, {kTake, 16, 1}, {kChain, 70}, {kChain, 70}},
      {{kChain, 3}, {kPopHead}, {kPopTail}, {kChain, 2}, {kPopTail}, {kTake, 2, 1}},
      {{kChain, 2}, {kBare, 2}, {kChain, 2}, {kTake, 3, 1}},
      // The ring wraps around its end, then grows while it does.
      {{kChain, 60}, {kTake, 16, 1}, {kTake, 16, 1}, {kChain, 30}, {kTake, 16, 1}, {kChain, 60}, {kTake, 16, 1}},
  };
  const std::size_t kBytes = sizeof(int);
  static int records[1000];
  for (std::size_t c = 0; c < cases.size(); ++c) {
    SCOPED_TRACE(c);
    CheckQueue queue;
    queue.high_water_mark(std::size_t(1) << 30);
    std::deque<int> model;
    std::vector<bool> described(std::size(records), false);
    std::set<int> urgent;  // put by Head, above the others' priority
    int next = 0;
    ACE_Time_Value noWait(ACE_Time_Value::zero);
    // A batch's blocks and entries against the model's front.
    auto take = [&](std::size_t most, std::size_t takers) {
      std::vector<QueuedBlock> batch(most);
      const int n = queue.TakeBatch(batch.data(), most, takers);
      const std::size_t share = std::max<std::size_t>(1, model.size() / takers);
      EXPECT_EQ(n, static_cast<int>(std::min({most, share, model.size()})));
      ACE_Message_Block *chain = n > 0 ? batch[0].block : nullptr;
      for (int i = 0; i < n; ++i) {
        const QueuedBlock &entry = batch[static_cast<std::size_t>(i)];
        const int number = NumberOf(entry.block);
        EXPECT_EQ(number, model.front());
        EXPECT_EQ(entry.block->next(), i + 1 < n ? batch[static_cast<std::size_t>(i) + 1].block : nullptr);
        const bool told = described[static_cast<std::size_t>(number)];
        EXPECT_EQ(entry.image, told ? entry.block->rd_ptr() : nullptr) << number;
        EXPECT_EQ(entry.record, told ? &records[number] : nullptr) << number;
        model.pop_front();
      }
      return chain;
    };
    auto chainOf = [&](std::size_t n, bool tell) {
      ACE_Message_Block *first = nullptr, *last = nullptr;
      std::vector<QueuedBlock> told;
      for (std::size_t i = 0; i < n; ++i, ++next) {
        ACE_Message_Block *block = Numbered(next);
        first == nullptr ? void(first = block) : (last->next(block), block->prev(last));
        last = block;
        told.push_back({block, block->rd_ptr(), &records[next], nullptr, nullptr});
        model.push_back(next);
      }
      for (int k : model) described[static_cast<std::size_t>(k)] = tell && (described[static_cast<std::size_t>(k)] || k >= next - static_cast<int>(n));
      ASSERT_EQ(queue.PutChain(first, last, n, kBytes, tell ? told.data() : nullptr), static_cast<int>(model.size()));
    };
    for (const Step &step : cases[c]) {
      ACE_Message_Block *block = nullptr;
      switch (step.op) {
        case kChain:
        case kBare:
          chainOf(step.n, step.op == kChain);
          break;
        case kTail:
        case kPrio:
        case kHead:
          for (std::size_t i = 0; i < step.n; ++i, ++next) {
            ACE_Message_Block *put = Numbered(next);
            put->msg_priority(step.op == kHead ? 2 : step.op == kPrio ? 1 : 0);
            step.op == kTail   ? queue.enqueue_tail(put, &noWait)
            : step.op == kPrio ? queue.enqueue_prio(put, &noWait)
                               : queue.enqueue_head(put, &noWait);
            // By priority: behind the last of Head's blocks, else first.
            auto behind = std::find_if(model.rbegin(), model.rend(), [&](int k) { return urgent.count(k) != 0; });
            step.op == kHead   ? model.push_front(next)
            : step.op == kPrio ? void(model.insert(behind.base(), next))
                               : model.push_back(next);
            if (step.op == kHead) urgent.insert(next);
          }
          // A put behind the described blocks leaves none described.
          for (int n : model) described[static_cast<std::size_t>(n)] = described[static_cast<std::size_t>(n)] && step.op == kHead;
          break;
        case kBack: {
          const std::deque<int> before = model;
          ASSERT_EQ(queue.PutBackAtHead(take(step.n, 1)), static_cast<int>(before.size()));
          for (std::size_t i = step.n; i-- > 0;) {
            described[static_cast<std::size_t>(before[i])] = false;
            model.push_front(before[i]);
          }
          break;
        }
        case kTake:
          Drain(take(step.n, step.takers));
          break;
        case kPopHead:
        case kPopTail:
          ASSERT_GE(step.op == kPopHead ? queue.dequeue_head(block, &noWait) : queue.dequeue_tail(block, &noWait), 0);
          EXPECT_EQ(NumberOf(block), step.op == kPopHead ? model.front() : model.back());
          step.op == kPopHead ? model.pop_front() : model.pop_back();
          Drain(block);
          break;
        case kFlush:
          queue.flush();
          model.clear();
          break;
      }
      ASSERT_EQ(queue.message_count(), model.size());
      ASSERT_EQ(queue.message_bytes(), model.size() * kBytes);
      ASSERT_EQ(queue.message_length(), model.size() * kBytes);
    }
    for (int i = 0; i < 100 && !model.empty(); ++i) Drain(take(17, 1));
    EXPECT_TRUE(model.empty());
    EXPECT_EQ(queue.message_count(), 0u);
  }
}

// What a worker holds comes to it in order with its image; a sweep takes
// back only what a worker that made no progress holds; a closed queue
// frees its takers.
TEST(CheckBatches, HeldMessagesComeInOrderUnlessTakenBack) {
  CheckQueue queue;
  for (int i = 0; i < 3; ++i) queue.enqueue_tail(Numbered(i));
  QueuedBlock batch[16];
  ASSERT_EQ(queue.TakeBatch(batch, 16, 1), 3);
  HeldMessages held;
  held.Hold(batch, 3);
  const char *image = nullptr;
  ACE_Message_Block *first = held.Next(image);
  EXPECT_EQ(NumberOf(first), 0);
  EXPECT_EQ(first->next(), nullptr);
  EXPECT_EQ(image, nullptr) << "a block put by enqueue_tail is told by nothing";
  Drain(first);
  EXPECT_EQ(held.TakeAllIfStuck(), nullptr) << "it came to a message since it was last looked at";
  EXPECT_EQ(held.Count(), 2u);
  EXPECT_EQ(Drain(held.TakeAllIfStuck()), (std::vector<int>{1, 2}));
  EXPECT_EQ(held.Next(image), nullptr);

  auto result = std::make_shared<std::atomic<int>>(0);
  std::future<void> waiting = InBackground([&queue, result] {
    QueuedBlock none[16];
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

// Workers that hold what they took while a sweep puts described chains on
// and takes back the holdings of the stalled ones, over and over: every
// message is taken exactly once, with its own image.
TEST(CheckBatches, EveryMessageIsTakenOnceWhileHoldingsAreTakenBack) {
  const int kMessages = 20000;
  CheckQueue queue;
  queue.high_water_mark(std::size_t(1) << 30);
  HeldMessagesRegistry registry;
  std::vector<std::atomic<int>> seen(kMessages);
  std::atomic<int> taken{0}, wrongImages{0};
  auto worker = [&] {
    HeldMessages held;
    registry.Join(held);
    QueuedBlock batch[17];
    for (int i = 0; i < 4 * kMessages; ++i) {
      const char *image = nullptr;
      ACE_Message_Block *block = held.Next(image);
      if (block == nullptr) {
        const int n = queue.TakeBatch(batch, 17, registry.Members());
        if (n < 0) break;
        if (n == 0) continue;
        block = batch[0].block;
        image = batch[0].image;
        block->next(nullptr);
        held.Hold(batch + 1, static_cast<std::size_t>(n) - 1);
      }
      if (image != nullptr && image != block->rd_ptr()) ++wrongImages;
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
  // Chains of 50 as the sweep puts them; now and then a block by ACE's put.
  for (int i = 0, chains = 0; i < kMessages; ++chains) {
    if (chains % 20 == 0) queue.enqueue_tail(Numbered(i++));
    std::vector<QueuedBlock> told;
    for (int end = std::min(kMessages, i + 50); i < end; ++i) {
      ACE_Message_Block *block = Numbered(i);
      if (!told.empty()) {
        told.back().block->next(block);
        block->prev(told.back().block);
      }
      told.push_back({block, block->rd_ptr(), nullptr, nullptr, nullptr});
    }
    ASSERT_GT(queue.PutChain(told.front().block, told.back().block, told.size(), sizeof(int), told.data()), 0);
  }
  ASSERT_TRUE(WaitUntil([&] { return taken.load() >= kMessages; }));
  ASSERT_TRUE(Finished(sweep));
  queue.deactivate();
  for (auto &done : workers) ASSERT_TRUE(Finished(done));
  EXPECT_EQ(taken.load(), kMessages);
  EXPECT_EQ(wrongImages.load(), 0);
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
