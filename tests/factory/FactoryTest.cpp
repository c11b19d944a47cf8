// The factory service component, driven directly: known types and their
// exact names, the cache, settings selected by type, the service operations,
// Shutdown, and a monitor whose creation fails.
#include "factory/FileMonitorFactory.h"
#include "monitor/nofsredirect/FileMonitorNoFSRedirect.h"
#include "monitor/statonly/FileMonitorStatOnly.h"
#include "support/TestSupport.h"

#include <VantrelCommon/Exceptions.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <future>
#include <memory>
#include <set>
#include <string>
#include <vector>

using namespace WindowsAgentCommon;
using namespace VantrelTest;

namespace {

const std::string kNoFS = "FileMonitorNoFSRedirect";
const std::string kPoll = "FileMonitorNoNotifications";
const std::string kSingleton = "<Singleton>";

std::string Hex(const void *object) {
  char text[16];
  std::snprintf(text, sizeof(text), "x%04X",
                static_cast<unsigned int>(reinterpret_cast<std::uintptr_t>(object) & 0xFFFFFFFFu));
  return text;
}

ServiceConfig Config(std::multimap<std::string, std::string> settings = {}) {
  ServiceConfig config;
  config.ConfigText1 = "one";
  config.ConfigText2 = "two";
  config.ConfigText3 = "three";
  config.ConfigText4 = "four";
  config.ConfigText5 = "five";
  config.Settings = std::move(settings);
  return config;
}

std::shared_ptr<IFileMonitor> Get(IFileMonitorFactory &factory, const std::string &type,
                                  const std::string &instance = kSingleton) {
  std::shared_ptr<IFileMonitor> monitor;
  factory.GetFileMonitor(type, monitor, instance);
  return monitor;
}

class FactoryTest : public ::testing::Test {
 protected:
  void TearDown() override { factory.Shutdown(); }

  LogCapture logs;
  FileMonitorFactory factory;
};

TEST_F(FactoryTest, ServiceOperationsBeforeAndAfterInitialisation) {
  EXPECT_EQ(IFileMonitorFactory::GetServiceName(), "FileMonitorFactory");
  EXPECT_EQ(factory.GetVersion(), "7.2.5");
  EXPECT_FALSE(factory.IsInitialized());
  EXPECT_TRUE(factory.IsEnabled());
  EXPECT_EQ(factory.GetConfigText1(), "");
  EXPECT_EQ(factory.GetConfigText5(), "");
  std::set<std::string> types{"left over"};
  factory.GetFileMonitorTypes(types);
  EXPECT_TRUE(types.empty());

  // Before InitializeService no type is known.
  for (const auto &type : {kNoFS, kPoll}) {
    EXPECT_FALSE(factory.HasFileMonitorType(type));
    EXPECT_THROW(Get(factory, type), ObjectDoesNotExistException) << type;
  }

  ASSERT_TRUE(factory.InitializeService(Config()));
  EXPECT_TRUE(factory.IsInitialized());
  EXPECT_TRUE(factory.IsEnabled());
  EXPECT_EQ(factory.GetConfigText1(), "one");
  EXPECT_EQ(factory.GetConfigText2(), "two");
  EXPECT_EQ(factory.GetConfigText3(), "three");
  EXPECT_EQ(factory.GetConfigText4(), "four");
  EXPECT_EQ(factory.GetConfigText5(), "five");

  types = {"left over", "FileMonitorStatOnly"};
  factory.GetFileMonitorTypes(types);
  EXPECT_EQ(types, (std::set<std::string>{kNoFS, kPoll}));
}

TEST_F(FactoryTest, InitializationCreatesOneSingletonOfEachTypeAndCachesIt) {
  ASSERT_TRUE(factory.InitializeService(Config()));
  EXPECT_EQ(logs.CountContaining("Created FileMonitor "), 2u);
  EXPECT_EQ(logs.CountContaining("Created FileMonitor FileMonitorNoFSRedirect::<Singleton>(x"), 1u);
  EXPECT_EQ(logs.CountContaining("Created FileMonitor FileMonitorNoNotifications::<Singleton>(x"), 1u);

  const auto noFS = Get(factory, kNoFS);
  const auto poll = Get(factory, kPoll);
  ASSERT_TRUE(noFS && poll);
  EXPECT_NE(noFS, poll);
  EXPECT_EQ(Get(factory, kNoFS), noFS);
  EXPECT_EQ(Get(factory, kPoll), poll);
  EXPECT_EQ(logs.CountContaining("Created FileMonitor "), 2u) << "the cached monitors are handed out again";

  // The second type name is not the class name of the monitor it yields.
  EXPECT_NE(dynamic_cast<FileMonitorNoFSRedirect *>(noFS.get()), nullptr);
  EXPECT_NE(dynamic_cast<FileMonitorStatOnly *>(poll.get()), nullptr);
  // The log line carries the identity that the monitor's own log name carries.
  const std::string pollLog = dynamic_cast<FileMonitorCore &>(*poll).LogName();
  EXPECT_EQ(pollLog, "Code.FileMonitorStatOnly." + Hex(poll.get()));
  EXPECT_TRUE(logs.WaitForText("Created FileMonitor FileMonitorNoNotifications::<Singleton>(" + Hex(poll.get()) + ")"));

  // A second InitializeService creates nothing.
  EXPECT_TRUE(factory.InitializeService(Config()));
  EXPECT_EQ(logs.CountContaining("Created FileMonitor "), 2u);
  EXPECT_EQ(Get(factory, kNoFS), noFS);
}

TEST_F(FactoryTest, AnotherInstanceNameGetsItsOwnCachedMonitor) {
  ASSERT_TRUE(factory.InitializeService(Config()));
  const auto singleton = Get(factory, kNoFS);
  const auto second = Get(factory, kNoFS, "reader-2");
  ASSERT_TRUE(second);
  EXPECT_NE(second, singleton);
  EXPECT_EQ(Get(factory, kNoFS, "reader-2"), second);
  EXPECT_EQ(logs.Count("Created FileMonitor FileMonitorNoFSRedirect::reader-2(" + Hex(second.get()) + ")"), 1u);
  // Instance names are as exact as type names.
  EXPECT_NE(Get(factory, kNoFS, "Reader-2"), second);
}

TEST_F(FactoryTest, TypeNamesAreExactAndUnknownOnesAreRefused) {
  ASSERT_TRUE(factory.InitializeService(Config()));
  const auto kept = Get(factory, kPoll);
  for (const std::string type : {"FileMonitorStatOnly", "filemonitornofsredirect", "FileMonitorNoFSRedirect ",
                                 "FileMonitorNoNotifications::<Singleton>", ""}) {
    EXPECT_FALSE(factory.HasFileMonitorType(type)) << type;
    std::shared_ptr<IFileMonitor> monitor = kept;
    try {
      factory.GetFileMonitor(type, monitor, kSingleton);
      ADD_FAILURE() << "no exception for '" << type << "'";
    } catch (const ObjectDoesNotExistException &e) {
      EXPECT_EQ(e.Message(), type);
      EXPECT_EQ(e.Function(), "WindowsAgentCommon::FileMonitorFactory::GetFileMonitor");
      EXPECT_EQ(e.Source(), "FileMonitorFactory");
    }
    EXPECT_EQ(monitor, kept) << "the caller's pointer is left alone";
  }
}

TEST_F(FactoryTest, SettingsReachOnlyTheMonitorOfTheirType) {
  // Floors of 2 and 3 show in the pool that the first registration starts;
  // a setting without a type prefix, or with the class name, reaches nobody.
  ASSERT_TRUE(factory.InitializeService(Config({
      {"FileMonitorNoNotifications.FileMonitor.ReaderThreadsMin", "2"},
      {"FileMonitorNoFSRedirect.FileMonitor.ReaderThreadsMin", "3"},
      {"FileMonitor.ReaderThreadsMin", "7"},
      {"FileMonitorStatOnly.FileMonitor.ReaderThreadsMin", "8"},
      {"FileMonitorNoNotifications.FileMonitor.ReaderThreadsMax", "4"},
  })));
  TempDir dir;
  RecordingSink sink;
  const auto poll = Get(factory, kPoll);
  const auto noFS = Get(factory, kNoFS);
  const auto other = Get(factory, kPoll, "defaults");  // settings apply to every instance of the type
  poll->AddMonitor(dir.WPath(), &sink, 1000, 0, false);
  noFS->AddMonitor(dir.WPath(), &sink, 1000, 0, false);
  other->AddMonitor(dir.WPath(), &sink, 1000, 0, false);
  EXPECT_TRUE(WaitUntil([&] { return poll->GetStatistics().threads == 2; }));
  EXPECT_TRUE(WaitUntil([&] { return noFS->GetStatistics().threads == 3; }));
  EXPECT_TRUE(WaitUntil([&] { return other->GetStatistics().threads == 2; }));
  poll->RemoveMonitor(dir.WPath(), &sink);
  noFS->RemoveMonitor(dir.WPath(), &sink);
  other->RemoveMonitor(dir.WPath(), &sink);
  factory.Shutdown();
}

TEST_F(FactoryTest, ShutdownBeforeInitialisationDoesNothing) {
  factory.Shutdown();
  EXPECT_FALSE(factory.IsInitialized());
  EXPECT_TRUE(logs.Texts().empty());
}

TEST_F(FactoryTest, ShutdownStopsEveryMonitorInKeyOrderAndForgetsThem) {
  ASSERT_TRUE(factory.InitializeService(Config()));
  // Created in an order that differs from the key order.
  const auto late = Get(factory, kPoll, "zz");
  const auto early = Get(factory, kNoFS, "aa");
  TempDir dir;
  RecordingSink sink;
  late->AddMonitor(dir.WPath(), &sink, 100, 0, false);
  ASSERT_TRUE(WaitUntil([&] { return late->GetStatistics().threads > 0; }));
  std::weak_ptr<IFileMonitor> watchSingleton = Get(factory, kPoll);
  const std::string noFSSingletonLog = dynamic_cast<FileMonitorCore &>(*Get(factory, kNoFS)).LogName();
  const std::string pollSingletonLog = dynamic_cast<FileMonitorCore &>(*Get(factory, kPoll)).LogName();
  logs.Sink().Clear();

  factory.Shutdown();
  EXPECT_FALSE(factory.IsInitialized());
  std::set<std::string> types{"x"};
  factory.GetFileMonitorTypes(types);
  EXPECT_TRUE(types.empty());
  EXPECT_THROW(Get(factory, kPoll), ObjectDoesNotExistException);

  // The monitors begin to stop in key order ('<' sorts before letters).
  const std::vector<std::string> keyOrder = {
      noFSSingletonLog,                                   // FileMonitorNoFSRedirect::<Singleton>
      dynamic_cast<FileMonitorCore &>(*early).LogName(),  // FileMonitorNoFSRedirect::aa
      pollSingletonLog,                                   // FileMonitorNoNotifications::<Singleton>
      dynamic_cast<FileMonitorCore &>(*late).LogName(),   // FileMonitorNoNotifications::zz
  };
  std::vector<std::string> stopOrder;
  std::vector<std::string> factoryLines;
  for (const auto &record : logs.Sink().Records()) {
    if (record.logName == "Code.FileMonitorFactory") factoryLines.push_back(record.text);
    if (record.text == "Stop requested") stopOrder.push_back(record.logName);
  }
  EXPECT_EQ(factoryLines, (std::vector<std::string>{"FileMonitorFactory shutting down....", "FileMonitorFactory shutdown"}));
  ASSERT_GE(stopOrder.size(), 4u);
  stopOrder.resize(4);  // the singletons' destructors stop them once more
  EXPECT_EQ(stopOrder, keyOrder);

  // The factory's references are gone; what a client holds is stopped but alive.
  EXPECT_TRUE(watchSingleton.expired());
  EXPECT_EQ(late->GetStatistics().threads, 0u);
  EXPECT_TRUE(late->IsMonitored(dir.WPath()));
  late->RemoveMonitor(dir.WPath(), &sink);
  EXPECT_EQ(early.use_count(), 1);

  // Shutdown again: nothing to do, nothing logged.
  logs.Sink().Clear();
  factory.Shutdown();
  EXPECT_TRUE(logs.Texts("Code.FileMonitorFactory").empty());

  // And a new InitializeService starts over with new monitors.
  ASSERT_TRUE(factory.InitializeService(Config()));
  EXPECT_EQ(logs.CountContaining("Created FileMonitor "), 2u);
  EXPECT_NE(Get(factory, kPoll, "zz"), late);
}

// A receiver may shut the factory down and let go of its monitor inside a
// report, on one of that monitor's own workers: the monitor is then stopped,
// joined and destroyed from outside its pool.
TEST_F(FactoryTest, TheLastReferenceToAMonitorMayGoInsideItsOwnReport) {
  ASSERT_TRUE(factory.InitializeService(Config({{kPoll + ".FileMonitor.ReaderThreadsMin", "2"},
                                                {kPoll + ".EventLogMonitor.ScheduleExpirySweepPeriodMillis", "10"}})));
  std::shared_ptr<IFileMonitor> monitor = Get(factory, kPoll);
  const std::string logName = dynamic_cast<FileMonitorCore &>(*monitor).LogName();
  TempDir dir;
  RecordingSink sink;
  std::atomic<bool> armed{false};
  sink.onReport = [&](const std::int64_t &, unsigned int) {
    if (armed.exchange(false)) {
      factory.Shutdown();
      monitor.reset();
    }
  };
  monitor->AddMonitor(dir.WPath(), &sink, 0, 0, true);
  armed = true;
  ASSERT_TRUE(logs.WaitForText("Stopped."));
  EXPECT_EQ(logs.Texts(logName).back(), "Stopped.");
  EXPECT_TRUE(WaitUntil([&] { return logs.Count("EXITED") == 2; }));
}

// A factory whose monitors fail in Initialize while `failures` is above 0.
class FailingMonitor : public FileMonitorStatOnly {
 public:
  explicit FailingMonitor(std::atomic<int> &destroyed) : rDestroyed(destroyed) {}
  ~FailingMonitor() override { ++rDestroyed; }
  void Initialize(const Settings &) override {
    throw InitializationException("FailingMonitor", "FailingMonitor::Initialize", __LINE__, "no room");
  }

 private:
  std::atomic<int> &rDestroyed;
};

class FlakyFactory : public FileMonitorFactory {
 public:
  std::atomic<int> failures{0};
  std::atomic<int> destroyed{0};

 protected:
  std::unique_ptr<FileMonitorCore> NewMonitor(const std::string &typeName) override {
    if (typeName == "FileMonitorNoNotifications" && failures.load() > 0) {
      --failures;
      return std::unique_ptr<FileMonitorCore>(new FailingMonitor(destroyed));
    }
    return FileMonitorFactory::NewMonitor(typeName);
  }
};

TEST(FactoryFailureTest, AMonitorThatFailsIsDestroyedNotCachedAndTheLockIsFree) {
  LogCapture logs;
  FlakyFactory factory;
  factory.failures = 1;
  EXPECT_THROW(factory.InitializeService(Config()), InitializationException);
  EXPECT_FALSE(factory.IsInitialized());
  EXPECT_EQ(factory.destroyed.load(), 1);

  // The host may try again; this time it works.
  ASSERT_TRUE(factory.InitializeService(Config()));
  EXPECT_TRUE(factory.IsInitialized());
  const auto singleton = Get(factory, "FileMonitorNoNotifications");
  ASSERT_TRUE(singleton);

  factory.failures = 1;
  std::shared_ptr<IFileMonitor> monitor = singleton;
  EXPECT_THROW(factory.GetFileMonitor("FileMonitorNoNotifications", monitor, "broken"), InitializationException);
  EXPECT_EQ(monitor, singleton) << "the caller's pointer is left alone";
  EXPECT_EQ(factory.destroyed.load(), 2);
  EXPECT_EQ(logs.CountContaining("::broken"), 0u);

  // Another thread gets through, so the failing call let go of the lock.
  auto other = std::async(std::launch::async, [&] {
    std::shared_ptr<IFileMonitor> result;
    factory.GetFileMonitor("FileMonitorNoFSRedirect", result, "from another thread");
    return result;
  });
  ASSERT_EQ(other.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_TRUE(other.get());

  // Nothing was cached under the failed key: the next request creates it.
  const auto retried = Get(factory, "FileMonitorNoNotifications", "broken");
  ASSERT_TRUE(retried);
  EXPECT_NE(dynamic_cast<FileMonitorStatOnly *>(retried.get()), nullptr);
  EXPECT_EQ(logs.Count("Created FileMonitor FileMonitorNoNotifications::broken(" + Hex(retried.get()) + ")"), 1u);
  factory.Shutdown();
}

}  // namespace
