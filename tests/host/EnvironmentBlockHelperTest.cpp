#include <VantrelCommon/EnvironmentBlockHelper.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <type_traits>

using namespace WindowsAgentCommon;

namespace {

typedef EnvironmentBlockHelper::Settings Settings;

// What the getter for T answers for `name`: whether it gave a value, and what
// it left in its output.
template <class T>
std::pair<bool, T> Get(const EnvironmentBlockHelper &helper, const std::string &name, const T &fallback) {
  T out{};
  bool found = false;
  if constexpr (std::is_same<T, std::string>::value) found = helper.GetStringValue(name, out, fallback);
  else if constexpr (std::is_floating_point<T>::value) found = helper.GetFloatValue(name, out, fallback);
  else found = helper.GetIntegerValue(name, out, fallback);
  return {found, out};
}

// Whether any name matches `pattern`, and what the output then holds.
std::pair<bool, Settings> Matching(const EnvironmentBlockHelper &helper, const std::string &pattern,
                                   Settings out = {}) {
  const bool matched = helper.GetValuesForMatchingName(pattern, out);
  return {matched, out};
}

}  // namespace

// How a value reads as each type is compared with the C library's conversions
// by the settings_reader fuzz target.

// The last entry of a repeated name is the setting, even where an earlier
// one was valid and it is not; an absent name gives the default.
TEST(EnvironmentBlockHelper, LastEntryOfARepeatedNameCountsAndAbsentNamesGiveTheDefault) {
  const EnvironmentBlockHelper helper(Settings{{"n", "1"}, {"n", "2"}, {"s", "first"}, {"s", " last "},
                                               {"bad", "3"}, {"bad", "junk"}});
  EXPECT_EQ(std::make_pair(true, 2), Get(helper, "n", 0));
  EXPECT_EQ(std::make_pair(true, std::string(" last ")), Get(helper, "s", std::string()));  // as it stands
  EXPECT_EQ(std::make_pair(false, -1), Get(helper, "bad", -1));
  EXPECT_EQ(std::make_pair(false, short{5}), Get(helper, "FileMonitor.ReaderThreadsMin", short{5}));
  EXPECT_EQ(std::make_pair(false, 1000.0), Get(helper, "BacklogMonitor.BacklogCheckIntervalMillis", 1000.0));
  EXPECT_EQ(std::make_pair(false, std::string("fallback")), Get(helper, "x", std::string("fallback")));
}

TEST(EnvironmentBlockHelper, MatchingNamesAreRenamedByTheFirstGroup) {
  const EnvironmentBlockHelper helper(Settings{
      {"FileMonitorNoFSRedirect.FileMonitor.ReaderThreadsMin", "7"},
      {"FileMonitorNoFSRedirect.EventLogMonitor.ScheduleExpirySweepPeriodMillis", "50"},
      {"FileMonitorNoNotifications.FileMonitor.ReaderThreadsMin", "3"},
      {"XFileMonitorNoFSRedirect.FileMonitor.ReaderThreadsMax", "1"},
      {"FileMonitorNoFSRedirect.Repeated", "a"},
      {"FileMonitorNoFSRedirect.Repeated", "b"}});
  // The order of a repeated name is kept, so the last one still counts.
  EXPECT_EQ(std::make_pair(true, Settings{{"FileMonitor.ReaderThreadsMin", "7"},
                                          {"EventLogMonitor.ScheduleExpirySweepPeriodMillis", "50"},
                                          {"Repeated", "a"}, {"Repeated", "b"}}),
            Matching(helper, "FileMonitorNoFSRedirect\\.(.*?)"));
  // A group that takes no part in the match keeps the whole name, as no
  // group does; the match covers the whole name.
  EXPECT_EQ(std::make_pair(true, Settings{{"FileMonitorNoNotifications.FileMonitor.ReaderThreadsMin", "3"}}),
            Matching(helper, "(X)?FileMonitorNoNotifications\\..*"));
  EXPECT_EQ(std::make_pair(false, Settings{}), Matching(helper, "FileMonitor"));

  // An invalid pattern matches nothing and leaves the output alone.
  const Settings kept{{"kept", "x"}};
  EXPECT_NO_THROW(EXPECT_EQ(std::make_pair(false, kept), Matching(helper, "([", kept)));
  EXPECT_NO_THROW(EXPECT_EQ(std::make_pair(false, kept), Matching(helper, "a{2,1}", kept)));
}
