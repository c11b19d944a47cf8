// A record's receiver set by itself: each receiver once, in ascending address
// order, through one receiver, several, a null one and one at an odd address
// (which cannot be kept in place), and back to none.
#include "monitor/FileMonitorCore.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>
#include <vector>

TEST(SinkSet, EachReceiverOnceInAddressOrder) {
  typedef std::vector<WindowsAgentCommon::IFileMonitorSink *> Sinks;
  const Sinks all = {nullptr, reinterpret_cast<WindowsAgentCommon::IFileMonitorSink *>(0x100),
                     reinterpret_cast<WindowsAgentCommon::IFileMonitorSink *>(0x200),
                     reinterpret_cast<WindowsAgentCommon::IFileMonitorSink *>(0x301)};
  const auto none = all[0], a = all[1], b = all[2], odd = all[3];
  const std::vector<std::tuple<decltype(a), bool, Sinks>> steps = {
      {b, true, {b}},     {b, true, {b}},    {a, true, {a, b}}, {b, false, {a}}, {b, false, {a}},
      {none, true, {none, a}}, {a, false, {none}}, {none, false, {}}, {a, true, {a}}, {a, false, {}},
      {none, true, {none}}, {none, false, {}}, {odd, true, {odd}}, {a, true, {a, odd}}, {odd, false, {a}},
      {a, false, {}}};
  WindowsAgentCommon::SinkSet set;
  for (const auto &[sink, add, after] : steps) {
    add ? set.insert(sink) : set.erase(sink);
    EXPECT_EQ(Sinks(set.begin(), set.end()), after);
    for (const auto each : all) EXPECT_EQ(set.count(each), std::size_t(std::count(after.begin(), after.end(), each)));
  }
}
