#include <VantrelCommon/BacklogMonitor.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>

using namespace WindowsAgentCommon;

namespace {

// One sample a second, as the monitors take them: x in milliseconds since
// start-up (far from 0, as after a long uptime), y the queue's backlog.
void Feed(LinearRegressionAlgo &algo, int n, const std::function<double(int)> &y, double x0 = 5.0e8) {
  for (int i = 0; i < n; ++i) algo.AddSample(x0 + 1000.0 * i, y(i));
}

// The samples held, the disposition and the fit, as the monitors read them.
std::tuple<std::size_t, short, std::pair<double, double>> State(BacklogMonitor &monitor) {
  const short disposition = monitor.UpdateDisposition();
  return std::make_tuple(monitor.GetSampleCount(), disposition, monitor.Compute());
}

const auto kEmpty = std::make_tuple(std::size_t{0}, short{0}, std::make_pair(0.0, 0.0));

}  // namespace

// Dispositions of synthetic backlogs over a full ring.
TEST(BacklogMonitor, DispositionFollowsTheTrend) {
  std::mt19937 generator(20261205);
  std::normal_distribution<double> noise(0.0, 8.0);
  // Per case, its backlog by sample and the range its disposition must fall in.
  typedef std::tuple<const char *, std::function<double(int)>, short, short> Case;
  for (const auto &[name, backlog, low, high] : std::vector<Case>{
      {"steady growth", [](int i) { return 2.0 * i; }, 10, 10},
      {"noisy growth", [&](int i) { return std::max(0.0, 20.0 + 1.5 * i + noise(generator)); }, 5, 10},
      {"flat zero", [](int) { return 0.0; }, -10, -10},
      {"flat high", [](int) { return 40.0; }, 0, 0},
      {"slow rise on a standing queue", [](int i) { return 100.0 + 0.1 * i; }, 1, 1},
      {"shrinking", [](int i) { return 200.0 - 2.0 * i; }, -10, -10},
      {"about drained", [](int i) { return i % 10 == 0 ? 1.0 : 0.0; }, -10, -5}}) {
    BacklogMonitor monitor(100);
    Feed(monitor, 100, backlog);
    const short d = monitor.UpdateDisposition();
    EXPECT_TRUE(d >= low && d <= high) << name << ": " << d;
    EXPECT_EQ(d, monitor.GetDisposition()) << name;
  }
}

// Only the last samples of the ring count, and Clear starts afresh; a
// capacity of zero holds nothing.
TEST(BacklogMonitor, OnlyTheLastSamplesOfTheRingCountClearEmptiesItAndTheFitIsExact) {
  BacklogMonitor monitor(10);
  Feed(monitor, 100, [](int i) { return 5.0 * i; });
  Feed(monitor, 10, [](int) { return 7.0; }, 1.0e9);
  EXPECT_EQ(std::make_tuple(std::size_t{10}, short{0}, std::make_pair(0.0, 7.0)), State(monitor));
  monitor.Clear();
  EXPECT_EQ(kEmpty, State(monitor));
  monitor.AddSample(1.0, 4.0);  // fewer than two samples: no disposition
  EXPECT_EQ(std::make_tuple(std::size_t{1}, short{0}, std::make_pair(0.0, 4.0)), State(monitor));
  BacklogMonitor none(0);
  Feed(none, 10, [](int i) { return 1.0 * i; });
  EXPECT_EQ(kEmpty, State(none));

  // Far from the origin the fit is still exact; with all x equal there is no
  // slope, only the mean.
  LinearRegressionAlgo algo(64);
  for (int i = 0; i < 64; ++i) algo.AddSample(1.0e9 + i, 3.0 * i + 2.0);
  EXPECT_NEAR(3.0, algo.Compute().first, 1e-6);
  EXPECT_NEAR(2.0 - 3.0e9, algo.Compute().second, 1e-1);
  LinearRegressionAlgo same(8);
  same.AddSample(5.0, 1.0);
  same.AddSample(5.0, 3.0);
  EXPECT_EQ(std::make_pair(0.0, 2.0), same.Compute());
}
