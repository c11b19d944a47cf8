// The factory service component, driven directly: known types and their
// exact names, the cache, settings selected by type, Shutdown, and a monitor
// whose creation fails.
#include "factory/FileMonitorFactory.h"
#include "monitor/nofsredirect/FileMonitorNoFSRedirect.h"
#include "monitor/statonly/FileMonitorStatOnly.h"
#include "support/TestSupport.h"

#include <VantrelCommon/Exceptions.h>

#include <set>

using namespace WindowsAgentCommon;
using namespace VantrelTest;

namespace {

const std::string kNoFS = "FileMonitorNoFSRedirect";
const std::string kPoll = "FileMonitorNoNotifications";

// The identity in a monitor's log name: the low 32 bits of its address.
std::string Hex(const void *object) {
  char text[16];
  const auto address = reinterpret_cast<std::uintptr_t>(object);
  std::snprintf(text, sizeof(text), "x%04X", static_cast<unsigned int>(address));
  return text;
}

std::shared_ptr<IFileMonitor> Get(IFileMonitorFactory &factory, const std::string &type,
                                  const std::string &instance = "<Singleton>") {
  std::shared_ptr<IFileMonitor> monitor;
  factory.GetFileMonitor(type, monitor, instance);
  return monitor;
}

std::set<std::string> Types(const IFileMonitorFactory &factory) {
  std::set<std::string> types{"left over"};
  factory.GetFileMonitorTypes(types);
  return types;
}

std::string LogName(const std::shared_ptr<IFileMonitor> &monitor) {
  return dynamic_cast<FileMonitorCore &>(*monitor).LogName();
}

// A factory whose monitors fail in Initialize while `failures` is above 0.
class FailingMonitor : public FileMonitorStatOnly {
 public:
  ~FailingMonitor() override { ++destroyed; }
  void Initialize(const Settings &) override {
    throw InitializationException("FailingMonitor", "FailingMonitor::Initialize", __LINE__, "no room");
  }

  static std::atomic<int> destroyed;
};
std::atomic<int> FailingMonitor::destroyed{0};

class FlakyFactory : public FileMonitorFactory {
 public:
  std::atomic<int> failures{0};

 protected:
  std::unique_ptr<FileMonitorCore> NewMonitor(const std::string &typeName) override {
    if (typeName == kPoll && failures.load() > 0) {
      --failures;
      return std::unique_ptr<FileMonitorCore>(new FailingMonitor());
    }
    return FileMonitorFactory::NewMonitor(typeName);
  }
};

// Floors of 2 and 3 show in the pool that the first registration starts; a
// setting without a type prefix, or with the class name, reaches nobody.
const std::multimap<std::string, std::string> kSettings = {
    {"FileMonitorNoNotifications.FileMonitor.ReaderThreadsMin", "2"},
    {"FileMonitorNoFSRedirect.FileMonitor.ReaderThreadsMin", "3"},
    {"FileMonitor.ReaderThreadsMin", "7"},
    {"FileMonitorStatOnly.FileMonitor.ReaderThreadsMin", "8"},
    {"FileMonitorNoNotifications.FileMonitor.ReaderThreadsMax", "4"},
    {"FileMonitorNoNotifications.EventLogMonitor.ScheduleExpirySweepPeriodMillis", "10"},
};

// The directory and the receiver outlive the factory's monitors.
class FactoryTest : public ::testing::Test {
 protected:
  void TearDown() override { factory.Shutdown(); }
  bool Init(const std::multimap<std::string, std::string> &settings = {}) {
    return factory.InitializeService(ServiceConfig{"", "", "", "", "", settings});
  }

  LogCapture logs;
  TempDir dir;
  RecordingSink sink;
  FlakyFactory factory;
};

TEST_F(FactoryTest, InitialisationMakesTheTypesAndOneCachedMonitorPerTypeAndInstance) {
  factory.Shutdown();  // before initialisation: nothing to do, nothing logged
  EXPECT_TRUE(logs.Texts().empty() && Types(factory).empty());
  EXPECT_THROW(Get(factory, kPoll), ObjectDoesNotExistException);

  ASSERT_TRUE(Init(kSettings));
  EXPECT_TRUE(factory.IsInitialized());
  EXPECT_EQ(Types(factory), (std::set<std::string>{kNoFS, kPoll}));
  const auto noFS = Get(factory, kNoFS);
  const auto poll = Get(factory, kPoll);
  // The second type name is not the class name of the monitor it yields; the
  // log line carries the identity that the monitor's own log name carries.
  EXPECT_NE(dynamic_cast<FileMonitorNoFSRedirect *>(noFS.get()), nullptr);
  EXPECT_NE(dynamic_cast<FileMonitorStatOnly *>(poll.get()), nullptr);
  EXPECT_EQ(LogName(poll), "Code.FileMonitorStatOnly." + Hex(poll.get()));
  EXPECT_EQ(logs.Count("Created FileMonitor FileMonitorNoNotifications::<Singleton>(" + Hex(poll.get()) + ")"), 1u);
  EXPECT_EQ(logs.Count("Created FileMonitor FileMonitorNoFSRedirect::<Singleton>(" + Hex(noFS.get()) + ")"), 1u);

  // Another instance name gets its own monitor, as exactly named as the types.
  const auto second = Get(factory, kNoFS, "reader-2");
  EXPECT_NE(second, noFS);
  EXPECT_EQ(Get(factory, kNoFS, "reader-2"), second);
  EXPECT_NE(Get(factory, kNoFS, "Reader-2"), second);
  EXPECT_TRUE(Init(kSettings));  // a second time creates nothing
  EXPECT_EQ(Get(factory, kNoFS), noFS);
  EXPECT_EQ(Get(factory, kPoll), poll);
  EXPECT_EQ(logs.CountContaining("Created FileMonitor "), 4u);

  for (const std::string type : {"FileMonitorStatOnly", "filemonitornofsredirect", "FileMonitorNoFSRedirect ",
                                 "FileMonitorNoNotifications::<Singleton>", ""}) {
    EXPECT_FALSE(factory.HasFileMonitorType(type)) << type;
    std::shared_ptr<IFileMonitor> monitor = poll;
    try {
      factory.GetFileMonitor(type, monitor, "<Singleton>");
      ADD_FAILURE() << "no exception for '" << type << "'";
    } catch (const ObjectDoesNotExistException &e) {
      EXPECT_EQ(e.Message(), type);
      EXPECT_EQ(e.Function(), "WindowsAgentCommon::FileMonitorFactory::GetFileMonitor");
    }
    EXPECT_EQ(monitor, poll) << "the caller's pointer is left alone";
  }

  // The settings of a type reach every instance of it, and no other.
  const std::pair<std::shared_ptr<IFileMonitor>, unsigned int> expected[] = {
      {poll, 2}, {noFS, 3}, {second, 3}, {Get(factory, kPoll, "defaults"), 2}};
  for (const auto &e : expected) e.first->AddMonitor(dir.WPath(), &sink, 1000, 0, false);
  for (const auto &e : expected) {
    EXPECT_TRUE(WaitUntil([&] { return e.first->GetStatistics().threads == e.second; })) << LogName(e.first);
    e.first->RemoveMonitor(dir.WPath(), &sink);
  }
}

// After a shutdown the factory starts over; a start, or a request, whose
// monitor fails creates nothing, caches nothing and leaves the lock free.
TEST_F(FactoryTest, ShutdownStopsEveryMonitorInKeyOrderAndAFailedStartCanBeRetried) {
  ASSERT_TRUE(Init());
  // Created in an order that differs from the key order ('<' sorts before letters).
  const auto late = Get(factory, kPoll, "zz");
  const auto early = Get(factory, kNoFS, "aa");
  const std::vector<std::string> keyOrder = {LogName(Get(factory, kNoFS)), LogName(early),
                                             LogName(Get(factory, kPoll)), LogName(late)};
  late->AddMonitor(dir.WPath(), &sink, 100, 0, false);
  ASSERT_TRUE(WaitUntil([&] { return late->GetStatistics().threads > 0; }));
  std::weak_ptr<IFileMonitor> singleton = Get(factory, kPoll);
  logs.Sink().Clear();

  factory.Shutdown();
  EXPECT_FALSE(factory.IsInitialized());
  EXPECT_TRUE(Types(factory).empty());
  EXPECT_THROW(Get(factory, kPoll), ObjectDoesNotExistException);
  std::vector<std::string> stopOrder;
  for (const auto &record : logs.Sink().Records()) {
    if (record.text == "Stop requested") stopOrder.push_back(record.logName);
  }
  EXPECT_EQ(logs.Texts("Code.FileMonitorFactory"),
            (std::vector<std::string>{"FileMonitorFactory shutting down....", "FileMonitorFactory shutdown"}));
  ASSERT_GE(stopOrder.size(), 4u);
  stopOrder.resize(4);  // the singletons' destructors stop them once more
  EXPECT_EQ(stopOrder, keyOrder);

  // The factory's references are gone; what a client holds is stopped but alive.
  EXPECT_TRUE(singleton.expired());
  EXPECT_EQ(late->GetStatistics().threads, 0u);
  EXPECT_TRUE(late->IsMonitored(dir.WPath()));
  late->RemoveMonitor(dir.WPath(), &sink);
  EXPECT_EQ(early.use_count(), 1);

  // Shutdown again logs nothing.
  logs.Sink().Clear();
  factory.Shutdown();
  EXPECT_TRUE(logs.Texts("Code.FileMonitorFactory").empty());
  FailingMonitor::destroyed = 0;
  factory.failures = 1;
  EXPECT_THROW(Init(), InitializationException);
  EXPECT_FALSE(factory.IsInitialized());
  EXPECT_EQ(FailingMonitor::destroyed.load(), 1);

  // The host may try again; this time it works, and starts over.
  ASSERT_TRUE(Init());
  EXPECT_EQ(logs.CountContaining("Created FileMonitor "), 2u);
  EXPECT_NE(Get(factory, kPoll, "zz"), late);
  const auto poll = Get(factory, kPoll);
  factory.failures = 1;
  std::shared_ptr<IFileMonitor> monitor = poll;
  EXPECT_THROW(factory.GetFileMonitor(kPoll, monitor, "broken"), InitializationException);
  EXPECT_EQ(monitor, poll) << "the caller's pointer is left alone";
  EXPECT_EQ(FailingMonitor::destroyed.load(), 2);
  EXPECT_EQ(logs.CountContaining("::broken"), 0u);

  // Another thread gets through, so the failing call let go of the lock.
  EXPECT_TRUE(ReturnsWithin([&] { EXPECT_TRUE(Get(factory, kNoFS, "from another thread")); }));

  // Nothing was cached under the failed key: the next request creates it.
  const auto retried = Get(factory, kPoll, "broken");
  EXPECT_EQ(logs.Count("Created FileMonitor FileMonitorNoNotifications::broken(" + Hex(retried.get()) + ")"), 1u);
}

// A receiver may shut the factory down and let go of its monitor inside a
// report, on one of that monitor's own workers: the monitor is then stopped,
// joined and destroyed from outside its pool.
TEST_F(FactoryTest, TheLastReferenceToAMonitorMayGoInsideItsOwnReport) {
  ASSERT_TRUE(Init(kSettings));  // two workers for the monitor of the second type
  std::shared_ptr<IFileMonitor> monitor = Get(factory, kPoll);
  const std::string logName = LogName(monitor);
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

}  // namespace
