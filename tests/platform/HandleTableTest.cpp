// The platform layer's table of handles by itself, shared by threads that
// open and close handles at once: a closed handle stays closed, no handle is
// handed out twice, and another kind's handle finds nothing.
#include "platform/posix/Internal.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

using VantrelPlatform::detail::HandleKind;

TEST(HandleTable, ClosedHandlesStayClosedAndNoHandleIsHandedOutTwice) {
  VantrelPlatform::detail::HandleTable<int> table(HandleKind::Change), otherKind(HandleKind::File);
  std::vector<std::vector<HANDLE>> kept(4), closed(4);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&table, &kept, &closed, t] {
      for (int i = 0; i < 2000; ++i) {
        const HANDLE handle = table.Insert(t);
        int out = -1;
        (i % 2 == 0 && table.Remove(handle, out) && out == t ? closed : kept)[t].push_back(handle);
      }
    });
  }
  for (auto &thread : threads) thread.join();
  std::set<HANDLE> distinct;
  int out = -1;
  for (int t = 0; t < 4; ++t) {
    EXPECT_EQ(kept[t].size(), 1000u) << "a handle closed by its owner was someone else's";
    for (HANDLE handle : kept[t]) EXPECT_TRUE(distinct.insert(handle).second && table.Lookup(handle, out) && out == t);
    for (HANDLE handle : closed[t]) EXPECT_FALSE(table.Lookup(handle, out) || table.Remove(handle, out)) << handle;
  }
  EXPECT_FALSE(table.Lookup(nullptr, out) || table.Lookup(INVALID_HANDLE_VALUE, out));
  for (int i = 0; i < 8; ++i) EXPECT_FALSE(table.Lookup(otherKind.Insert(i), out)) << "serial " << i + 1;
}
