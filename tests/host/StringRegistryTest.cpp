#include <VantrelCommon/StringRegistry.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace WindowsAgentCommon;

TEST(StringRegistry, KeysStartAtOneRepeatForTheSameStringAndUnknownOnesFindNothing) {
  StringRegistry registry;
  std::int64_t a = 0;
  std::int64_t b = 0;
  std::int64_t again = 0;
  EXPECT_TRUE(registry.RegisterString(L"/var/log/a.log", a));
  EXPECT_TRUE(registry.RegisterString(L"/var/log/B.log", b));
  EXPECT_FALSE(registry.RegisterString(L"/var/log/a.log", again));
  EXPECT_EQ(1, a);
  EXPECT_EQ(2, b);
  EXPECT_EQ(a, again);
  std::int64_t upper = 0;
  registry.RegisterString(L"/var/log/A.log", upper);  // case matters
  EXPECT_EQ(3, upper);
  std::int64_t empty = 0;
  registry.RegisterString(L"", empty);
  EXPECT_EQ(4, empty);
  EXPECT_EQ(4u, registry.Size());

  std::wstring text;
  EXPECT_TRUE(registry.GetString(b, text));
  EXPECT_EQ(L"/var/log/B.log", text);
  EXPECT_TRUE(registry.GetString(empty, text));
  EXPECT_EQ(L"", text);

  // An unknown key leaves the text alone.
  for (std::int64_t unknown : {std::int64_t{0}, std::int64_t{-1}, std::int64_t{5}, INT64_MAX, INT64_MIN}) {
    text = L"untouched";
    EXPECT_FALSE(registry.GetString(unknown, text)) << unknown;
    EXPECT_EQ(L"untouched", text);
  }
}

// Several threads register the same strings in different orders while others
// read: every string gets exactly one key, and every thread learns the same one.
TEST(StringRegistry, ConcurrentRegistrationAgreesOnKeys) {
  StringRegistry registry;
  const int kStrings = 1000;
  std::vector<std::wstring> strings;
  for (int i = 0; i < kStrings; ++i) strings.push_back(L"/srv/logs/\u00E9t\u00E9/" + std::to_wstring(i) + L".log");
  const int kThreads = 4;
  std::vector<std::map<std::wstring, std::int64_t>> seen(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::vector<int> order(kStrings);
      for (int i = 0; i < kStrings; ++i) order[i] = i;
      std::shuffle(order.begin(), order.end(), std::mt19937(static_cast<unsigned>(t)));
      for (int i : order) {
        std::int64_t key = 0;
        registry.RegisterString(strings[i], key);
        seen[t][strings[i]] = key;
        std::wstring back;
        EXPECT_TRUE(registry.GetString(key, back));
        EXPECT_EQ(strings[i], back);
      }
    });
  }
  for (auto &th : threads) th.join();
  EXPECT_EQ(static_cast<std::size_t>(kStrings), registry.Size());
  std::vector<bool> used(kStrings + 1, false);
  for (const auto &s : strings) {
    const std::int64_t key = seen[0][s];
    for (int t = 1; t < kThreads; ++t) EXPECT_EQ(key, seen[t][s]);
    ASSERT_GE(key, 1);
    ASSERT_LE(key, kStrings);
    EXPECT_FALSE(used[key]) << "two strings share key " << key;
    used[key] = true;
  }
}
