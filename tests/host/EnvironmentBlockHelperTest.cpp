#include <VantrelCommon/EnvironmentBlockHelper.h>

#include <gtest/gtest.h>

#include <climits>
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

// Reads `text` as a T under the name "k"; a refused text leaves the default 99.
template <class T>
void ExpectRead(const std::string &text, bool accepted, T value = static_cast<T>(99)) {
  const EnvironmentBlockHelper helper(Settings{{"k", text}});
  EXPECT_EQ(std::make_pair(accepted, value), Get(helper, "k", static_cast<T>(99))) << '"' << text << '"';
}

// Whether any name matches `pattern`, and what the output then holds.
std::pair<bool, Settings> Matching(const EnvironmentBlockHelper &helper, const std::string &pattern,
                                   Settings out = {}) {
  const bool matched = helper.GetValuesForMatchingName(pattern, out);
  return {matched, out};
}

}  // namespace

// One parser serves every integer type; the standard library's conversion
// checks the range, so one edge of a signed and of an unsigned type shows
// that each reads as its own type.
TEST(EnvironmentBlockHelper, NumberTextMustBeOneNumberOfTheType) {
  ExpectRead<short>("-32768", true, SHRT_MIN);
  ExpectRead<short>("32768", false);
  ExpectRead<unsigned short>("65535", true, USHRT_MAX);
  ExpectRead<unsigned short>("-1", false);
  ExpectRead<unsigned long>("-0", false);
  ExpectRead<int>("\t+42\r\n", true, 42);
  for (const char *zero : {"+0", "-0"}) ExpectRead<int>(zero, true, 0);
  ExpectRead<unsigned short>("007", true, 7);
  for (const char *junk : {"12abc", "   ", "1 2", "+", "+-5", "0x10", "1.5"}) {
    ExpectRead<int>(junk, false);
    ExpectRead<unsigned int>(junk, false);
  }

  // A floating-point text must be one finite number.
  for (const auto &[text, value] : std::map<std::string, double>{
           {" -2.25 ", -2.25}, {"1e3", 1000.0}, {".5", 0.5}, {"+9", 9.0}, {"+0.5", 0.5}, {"+.5", 0.5}}) {
    ExpectRead<double>(text, true, value);
  }
  for (const char *junk : {"1.5x", " ", "nan", "inf", "1e999", "0x1p3", "--1", "+-1"}) {
    ExpectRead<double>(junk, false);
  }
}

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
