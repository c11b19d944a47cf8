#include <VantrelCommon/EnvironmentBlockHelper.h>

#include <gtest/gtest.h>

#include <climits>
#include <string>

using namespace WindowsAgentCommon;

namespace {

typedef EnvironmentBlockHelper::Settings Settings;

// Reads `text` as a T under the name "k"; returns whether it was accepted and
// leaves the value (or the default 99) in `out`.
template <class T>
bool Read(const std::string &text, T &out) {
  const EnvironmentBlockHelper helper(Settings{{"k", text}});
  return helper.GetIntegerValue("k", out, static_cast<T>(99));
}

template <class T>
void ExpectAccepted(const std::string &text, T expected) {
  T out = 0;
  EXPECT_TRUE(Read<T>(text, out)) << '"' << text << '"';
  EXPECT_EQ(expected, out) << '"' << text << '"';
}

template <class T>
void ExpectRejected(const std::string &text) {
  T out = 0;
  EXPECT_FALSE(Read<T>(text, out)) << '"' << text << '"';
  EXPECT_EQ(static_cast<T>(99), out) << '"' << text << '"';
}

}  // namespace

// One parser serves every integer type; the standard library's conversion
// checks the range, so one edge of a signed and of an unsigned type shows
// that each reads as its own type.
TEST(EnvironmentBlockHelper, IntegerTextMustBeOneWholeNumberOfTheType) {
  ExpectAccepted<short>("-32768", SHRT_MIN);
  ExpectRejected<short>("32768");
  ExpectAccepted<unsigned short>("65535", USHRT_MAX);
  ExpectRejected<unsigned short>("-1");
  ExpectRejected<unsigned long>("-0");
  ExpectAccepted<int>("\t+42\r\n", 42);
  ExpectAccepted<int>("+0", 0);
  ExpectAccepted<int>("-0", 0);
  ExpectAccepted<unsigned short>("007", 7);
  for (const char *junk : {"12abc", "   ", "1 2", "+", "+-5", "0x10", "1.5"}) {
    ExpectRejected<int>(junk);
    ExpectRejected<unsigned int>(junk);
  }
}

// The last entry of a repeated name is the setting, even where an earlier
// one was valid and it is not; an absent name gives the default.
TEST(EnvironmentBlockHelper, LastEntryOfARepeatedNameCountsAndAbsentNamesGiveTheDefault) {
  const EnvironmentBlockHelper helper(Settings{{"n", "1"}, {"n", "2"}, {"s", "first"}, {"s", " last "},
                                               {"bad", "3"}, {"bad", "junk"}});
  int n = 0;
  EXPECT_TRUE(helper.GetIntegerValue("n", n, 0));
  EXPECT_EQ(2, n);
  std::string s;
  EXPECT_TRUE(helper.GetStringValue("s", s, ""));
  EXPECT_EQ(" last ", s);  // strings are given as they are
  EXPECT_FALSE(helper.GetIntegerValue("bad", n, -1));
  EXPECT_EQ(-1, n);
  unsigned short us = 0;
  EXPECT_FALSE(helper.GetIntegerValue("FileMonitor.ReaderThreadsMin", us, static_cast<unsigned short>(5)));
  EXPECT_EQ(5, us);
  double d = 0;
  EXPECT_FALSE(helper.GetFloatValue("FileMonitor.BacklogMonitor.BacklogCheckIntervalMillis", d, 1000.0));
  EXPECT_EQ(1000.0, d);
  EXPECT_FALSE(helper.GetStringValue("x", s, "fallback"));
  EXPECT_EQ("fallback", s);
}

TEST(EnvironmentBlockHelper, FloatValues) {
  const struct {
    const char *text;
    double value;
  } accepted[] = {{" -2.25 ", -2.25}, {"1e3", 1000.0}, {".5", 0.5}, {"+9", 9.0}, {"+.5", 0.5}};
  for (const auto &a : accepted) {
    const EnvironmentBlockHelper helper(Settings{{"k", a.text}});
    double d = 0;
    EXPECT_TRUE(helper.GetFloatValue("k", d, 7.0)) << a.text;
    EXPECT_DOUBLE_EQ(a.value, d) << a.text;
  }
  for (const char *junk : {"1.5x", " ", "nan", "inf", "1e999", "0x1p3", "--1", "+-1"}) {
    const EnvironmentBlockHelper helper(Settings{{"k", junk}});
    double d = 0;
    EXPECT_FALSE(helper.GetFloatValue("k", d, 7.0)) << junk;
    EXPECT_EQ(7.0, d) << junk;
  }
}

TEST(EnvironmentBlockHelper, MatchingNamesAreRenamedByTheFirstGroup) {
  Settings settings;
  settings.emplace("FileMonitorNoFSRedirect.FileMonitor.ReaderThreadsMin", "7");
  settings.emplace("FileMonitorNoFSRedirect.EventLogMonitor.ScheduleExpirySweepPeriodMillis", "50");
  settings.emplace("FileMonitorNoNotifications.FileMonitor.ReaderThreadsMin", "3");
  settings.emplace("XFileMonitorNoFSRedirect.FileMonitor.ReaderThreadsMax", "1");
  settings.emplace("FileMonitorNoFSRedirect.Repeated", "a");
  settings.emplace("FileMonitorNoFSRedirect.Repeated", "b");
  const EnvironmentBlockHelper helper(settings);

  Settings out;
  EXPECT_TRUE(helper.GetValuesForMatchingName("FileMonitorNoFSRedirect\\.(.*?)", out));
  EXPECT_EQ(4u, out.size());
  EXPECT_EQ("7", out.find("FileMonitor.ReaderThreadsMin")->second);
  EXPECT_EQ("50", out.find("EventLogMonitor.ScheduleExpirySweepPeriodMillis")->second);
  // Order of a repeated name is kept, so the last one still counts.
  const EnvironmentBlockHelper selected(out);
  std::string repeated;
  selected.GetStringValue("Repeated", repeated, "");
  EXPECT_EQ("b", repeated);

  // A group that takes no part in the match keeps the whole name, as no
  // group does; the match covers the whole name.
  Settings whole;
  EXPECT_TRUE(helper.GetValuesForMatchingName("(X)?FileMonitorNoNotifications\\..*", whole));
  ASSERT_EQ(1u, whole.size());
  EXPECT_EQ("FileMonitorNoNotifications.FileMonitor.ReaderThreadsMin", whole.begin()->first);
  Settings none;
  EXPECT_FALSE(helper.GetValuesForMatchingName("FileMonitor", none));
  EXPECT_TRUE(none.empty());

  // An invalid pattern matches nothing and leaves the output alone.
  Settings kept{{"kept", "x"}};
  EXPECT_NO_THROW(EXPECT_FALSE(helper.GetValuesForMatchingName("([", kept)));
  EXPECT_NO_THROW(EXPECT_FALSE(helper.GetValuesForMatchingName("a{2,1}", kept)));
  EXPECT_EQ((Settings{{"kept", "x"}}), kept);
}
