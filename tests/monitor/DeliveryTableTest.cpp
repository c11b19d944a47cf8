// The table of calls to receivers by itself: a removal waits for exactly the
// calls to its receiver for its path that began before it, and never on a
// thread that is inside a call itself.
#include "monitor/DeliveryTable.h"
#include "support/TestSupport.h"

using namespace VantrelTest;

TEST(DeliveryTable, ARemovalWaitsOnlyForEarlierCallsToItsReceiverForItsPathAndNeverInsideACall) {
  const int records[2] = {}, sinks[2] = {};
  // The record and the receiver removed; whether the call began before the
  // removal, whether the removal is made inside a call, whether it waits.
  const int cases[][5] = {{0, 0, 1, 0, 1}, {1, 0, 1, 0, 0}, {0, 1, 1, 0, 0}, {0, 0, 0, 0, 0}, {0, 0, 1, 1, 0}};
  for (const auto &c : cases) {
    SCOPED_TRACE(&c - cases);
    WindowsAgentCommon::DeliveryTable table;
    const std::uint64_t early = table.NextSerial();
    Gate gate(Gate::kClosed);
    bool endedAll = false;
    std::thread call([&] {  // a call to sinks[0] for records[0]
      table.Begin(&records[0], &sinks[0]);
      gate.Pass();
      table.End();
      // Every call has ended (the later one first): nothing is waited for.
      endedAll = ReturnsWithin([&] { table.Await(&records[0], &sinks[0], table.NextSerial()); });
    });
    EXPECT_TRUE(gate.WaitHeld());
    const std::uint64_t before = c[2] ? table.NextSerial() : early;
    std::future<void> removal = InBackground([&] {
      if (c[3]) table.Begin(&records[1], &sinks[1]);
      table.Await(&records[c[0]], &sinks[c[1]], before);
      if (c[3]) table.End();  // the later call ends first
    });
    EXPECT_EQ(Finished(removal, c[4] ? 200ms : 10s), !c[4]);
    gate.Open();
    call.join();
    EXPECT_TRUE(Finished(removal) && endedAll);
  }
}
