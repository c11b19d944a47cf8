// The agent's watch set by itself, over a monitor that only records the
// registrations: what a pattern finds, what a report means, a path let go of
// and found again.
#include "agent/WatchSet.h"

#include "monitor/statonly/FileMonitorStatOnly.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>


namespace {

using WindowsAgentCommon::IFileMonitorSink;
using namespace VantrelTest;

// Counts the receivers of each path and checks nothing (it is never
// initialised); called on the main thread only, where the watch set
// registers and removes.
struct RecordingMonitor : WindowsAgentCommon::FileMonitorStatOnly {
  void AddMonitor(const std::wstring &path, IFileMonitorSink *, unsigned int, const std::uint64_t &, bool) override {
    ++registered[Utf8(path)];
  }
  void RemoveMonitor(const std::wstring &path, IFileMonitorSink *) override { --registered[Utf8(path)]; }
  std::map<std::string, int> registered;
};

}  // namespace

// A file found after the start is announced as CREATED alone, once; let go
// of after its DELETED, its reports mean nothing and it is registered no
// more; made again, it is found, registered once and announced again. (The
// agent's process tests run it with its reports on the monitor's workers,
// under ThreadSanitizer too.)
TEST(WatchSet, AFileLetGoOfIsForgottenAndFoundAgainWhenItComesBack) {
  TempDir dir;
  RecordingMonitor monitor;
  VantrelAgent::WatchSet set(monitor, nullptr, 100, {});
  const std::string a = dir.Write("a.log", "");
  std::vector<std::string> notes;
  set.Start({VantrelAgent::WatchTarget{dir.Join("*.log"), true}}, notes);
  EXPECT_EQ(set.OnReport(a, 2, 0).flags, 0u) << "a file there from the start is not announced";

  const std::string b = dir.Write("b.log", "x");
  for (int round = 0; round < 2; ++round) {
    set.Relist(dir.Path());
    ASSERT_EQ(monitor.registered[b], 1) << round;
    auto verdict = set.OnReport(b, 3, kModified | kLarger);
    EXPECT_TRUE(verdict.print && verdict.flags == kCreated) << round;
    EXPECT_EQ(set.OnReport(b, 3, kModified | kLarger).flags, kModified | kLarger) << "announced once";

    RemovePath(b);
    verdict = set.OnReport(b, 3, kDeleted);
    ASSERT_TRUE(verdict.print && verdict.release);
    EXPECT_TRUE(set.Release(b).empty());
    EXPECT_EQ(monitor.registered[b], 0);
    verdict = set.OnReport(b, 3, kCreated);
    EXPECT_FALSE(verdict.print || verdict.release) << "a report after the release means nothing";
    WriteFile(b, "again");
  }
}

// A directory that a pattern passes through, let go of with what it held,
// takes what the set knew of it along: made again, it is listed again.
TEST(WatchSet, ADirectoryLetGoOfIsListedAgainWhenItComesBack) {
  TempDir dir;
  RecordingMonitor monitor;
  VantrelAgent::WatchSet set(monitor, nullptr, 100, {});
  std::vector<std::string> notes;
  set.Start({VantrelAgent::WatchTarget{dir.Join("*/*.log"), true}}, notes);
  const std::string sub = dir.Join("s"), file = dir.Join("s/a.log");
  for (int round = 0; round < 2; ++round) {
    MakeDir(sub);
    WriteFile(file, "x");
    set.Relist(dir.Path());
    ASSERT_EQ(monitor.registered[file], 1) << round;
    RemovePath(file);
    RemovePath(sub);
    set.Release(sub);
    EXPECT_EQ(monitor.registered[file], 0) << round;
  }
}

// The table's two parts, the reserved paths and the others, answer as one
// ordered table: an entry once, found only while it is in, walked in path
// order across both parts and only below the prefix, erased from either.
TEST(WatchSet, PathTableKeepsReservedAndOtherPathsAsOneOrderedTable) {
  VantrelAgent::PathTable<int> table;
  // Enough paths for several runs of paths kept by their difference.
  std::vector<std::string> many;
  for (int i = 0; i < 40; ++i) many.push_back("/d/c/" + std::to_string(1000 + i * 7) + (i % 3 ? "" : "/x"));
  std::vector<std::string_view> reserved(many.rbegin(), many.rend());
  reserved.insert(reserved.end(), {"/d/b", "/d/a/x", "/d/a", "/d/b"});
  table.Reserve(reserved);
  EXPECT_EQ(table.Find("/d/a"), nullptr) << "reserved, not yet in";
  for (int i = 0; i < 40; ++i) EXPECT_TRUE(table.Insert(many[i], i).second) << many[i];
  for (int i = 0; i < 40; ++i) EXPECT_EQ(*table.Find(many[i]), i) << many[i];
  EXPECT_EQ(table.SizeReserved(), 40u) << "each in its reserved slot";
  EXPECT_EQ(table.Find("/d/c/1001"), nullptr);
  std::vector<std::string> order;
  table.EraseIf("/d/c/", [&order](std::string_view path, int) { order.emplace_back(path); return true; });
  EXPECT_EQ(order, many) << "every one in order, and only those";
  for (const char *path : {"/d/a", "/d/a/y", "/d/ab", "/d/a/x", "/d/b"}) {
    EXPECT_TRUE(table.Insert(path, path[3] == 'a' ? 1 : 2).second) << path;
    EXPECT_FALSE(table.Insert(path, 3).second) << path;
  }
  EXPECT_EQ(table.Size(), 5u);
  EXPECT_EQ(table.SizeReserved(), 3u);
  std::string walked;
  table.EraseIf("/d/a/", [&walked](std::string_view path, int &entry) {
    walked += std::string(path) + "=" + std::to_string(entry) + " ";
    return path.back() == 'x';
  });
  EXPECT_EQ(walked, "/d/a/x=1 /d/a/y=1 ");
  table.Erase("/d/b");
  table.Erase("/d/ab");
  walked.clear();
  table.ForEach([&walked](std::string_view path, int) { walked += std::string(path) + " "; });
  EXPECT_EQ(walked, "/d/a /d/a/y ");
  EXPECT_EQ(table.Size(), 2u);
  EXPECT_EQ(table.Find("/d/a/x"), nullptr);
  EXPECT_TRUE(table.Insert("/d/a/x", 4).second) << "an erased reserved path comes back";
}
