#include <VantrelCommon/ServiceComponent.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

using namespace WindowsAgentCommon;

namespace {

class TestService : public ServiceComponentBase<IServiceComponent> {
 public:
  std::string GetVersion() const override { return "1.0"; }
  void Shutdown() override { bInitialized = false; }
};

std::string Name(int t, int i) { return "Test.Concurrent." + std::to_string(t) + "." + std::to_string(i); }

}  // namespace

// Threads register, replace and unregister names at once: each name is
// found as last registered, and none is lost. The last loop unregisters the
// odd names a second time, which is harmless.
TEST(ServiceComponent, ConcurrentRegistrationFindsReplacesAndForgetsAndLosesNothing) {
  const int kThreads = 6;
  const int kNames = 200;
  std::vector<TestService> services(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kNames; ++i) {
        EXPECT_EQ(nullptr, _getService(Name(t, i)));
        RegisterService(Name(t, i), &services[(t + 1) % kThreads]);
        RegisterService(Name(t, i), &services[t]);
        EXPECT_EQ(&services[t], _getService(Name(t, i)));
        if (i % 2 == 1) UnregisterService(Name(t, i));
      }
    });
  }
  for (auto &th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kNames; ++i) {
      EXPECT_EQ(i % 2 == 0 ? &services[t] : nullptr, _getService(Name(t, i))) << Name(t, i);
      UnregisterService(Name(t, i));
    }
  }
}
