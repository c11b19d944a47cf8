#include <VantrelCommon/StringRegistry.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace WindowsAgentCommon;

TEST(StringRegistry, KeysStartAtOneRepeatForTheSameStringAndUnknownOnesFindNothing) {
  StringRegistry registry;
  // Per registration, whether the string was new and its key; case matters.
  std::vector<std::pair<bool, std::int64_t>> keys;
  for (const wchar_t *text : {L"/var/log/a.log", L"/var/log/B.log", L"/var/log/a.log", L"/var/log/A.log", L""}) {
    std::int64_t key = 0;
    const bool added = registry.RegisterString(text, key);
    keys.emplace_back(added, key);
    std::wstring back = L"untouched";
    EXPECT_TRUE(registry.GetString(key, back) && back == text) << key;
  }
  EXPECT_EQ((std::vector<std::pair<bool, std::int64_t>>{{true, 1}, {true, 2}, {false, 1}, {true, 3}, {true, 4}}),
            keys);

  // An unknown key leaves the text alone.
  for (std::int64_t unknown : {std::int64_t{0}, std::int64_t{-1}, std::int64_t{5}, INT64_MAX, INT64_MIN}) {
    std::wstring text = L"untouched";
    EXPECT_TRUE(!registry.GetString(unknown, text) && text == L"untouched") << unknown;
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
      std::iota(order.begin(), order.end(), 0);
      std::shuffle(order.begin(), order.end(), std::mt19937(static_cast<unsigned>(t)));
      for (int i : order) {
        std::int64_t key = 0;
        registry.RegisterString(strings[i], key);
        seen[t][strings[i]] = key;
        std::wstring back;
        EXPECT_TRUE(registry.GetString(key, back) && back == strings[i]) << key;
      }
    });
  }
  for (auto &th : threads) th.join();
  EXPECT_EQ(static_cast<std::size_t>(kStrings), registry.Size());
  for (int t = 1; t < kThreads; ++t) EXPECT_TRUE(seen[0] == seen[t]) << "thread " << t << " learnt other keys";
  // The keys are 1 to kStrings, each given once: as many different keys as
  // strings, none outside that range.
  std::set<std::int64_t> keys;
  for (const auto &entry : seen[0]) keys.insert(entry.second);
  EXPECT_EQ(std::make_tuple(std::size_t{kStrings}, std::int64_t{1}, std::int64_t{kStrings}),
            std::make_tuple(keys.size(), *keys.begin(), *keys.rbegin()));
}
