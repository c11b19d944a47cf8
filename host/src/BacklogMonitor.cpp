#include <VantrelCommon/BacklogMonitor.h>

#include <algorithm>
#include <cmath>

namespace WindowsAgentCommon {

namespace {

// Least-squares fit about the means. The monitors' x values are milliseconds
// since start-up, large beside their spread; centring keeps the sums exact
// enough where the textbook sums of x and x*x would cancel.
struct Fit {
  double meanX = 0;
  double meanY = 0;
  double slope = 0;
};

Fit FitLine(const std::vector<std::pair<double, double>> &samples) {
  Fit fit;
  if (samples.empty()) return fit;
  const double n = static_cast<double>(samples.size());
  for (const auto &s : samples) {
    fit.meanX += s.first;
    fit.meanY += s.second;
  }
  fit.meanX /= n;
  fit.meanY /= n;
  double sxx = 0;
  double sxy = 0;
  for (const auto &s : samples) {
    const double dx = s.first - fit.meanX;
    sxx += dx * dx;
    sxy += dx * (s.second - fit.meanY);
  }
  fit.slope = sxx > 0 ? sxy / sxx : 0;
  return fit;
}

}  // namespace

LinearRegressionAlgo::LinearRegressionAlgo(unsigned int numberOfDataPoints)
    : ring(numberOfDataPoints), capacity(numberOfDataPoints), next(0), count(0) {}

LinearRegressionAlgo::~LinearRegressionAlgo() = default;

void LinearRegressionAlgo::Clear() {
  next = 0;
  count = 0;
}

void LinearRegressionAlgo::AddSample(double x, double y) {
  if (capacity == 0) return;
  ring[next] = std::make_pair(x, y);
  next = (next + 1) % capacity;
  if (count < capacity) ++count;
}

std::size_t LinearRegressionAlgo::GetSampleCount() const { return count; }

std::pair<double, double> LinearRegressionAlgo::Compute() const {
  const auto samples = Samples();
  if (samples.empty()) return std::make_pair(0.0, 0.0);
  const Fit fit = FitLine(samples);
  return std::make_pair(fit.slope, fit.meanY - fit.slope * fit.meanX);
}

std::vector<std::pair<double, double>> LinearRegressionAlgo::Samples() const {
  std::vector<std::pair<double, double>> samples;
  samples.reserve(count);
  const std::size_t oldest = (next + capacity - count) % (capacity == 0 ? 1 : capacity);
  for (std::size_t i = 0; i < count; ++i) samples.push_back(ring[(oldest + i) % capacity]);
  return samples;
}

BacklogMonitor::BacklogMonitor(unsigned int numberOfDataPoints)
    : LinearRegressionAlgo(numberOfDataPoints), sDisposition(0) {}

BacklogMonitor::~BacklogMonitor() = default;

short BacklogMonitor::UpdateDisposition() {
  const auto samples = Samples();
  if (samples.size() < 2) {
    sDisposition = 0;
    return sDisposition;
  }
  const Fit fit = FitLine(samples);
  const double oldestX = samples.front().first;
  const double newestX = samples.back().first;
  const double rise = fit.slope * (newestX - oldestX);
  const double scale = std::max(1.0, fit.meanY);
  const double ratio = 10.0 * rise / scale;

  double d;
  if (std::isnan(ratio)) {
    d = 0;  // samples that are not numbers say nothing about the trend
  } else {
    d = std::min<double>(kDispositionLimit, std::max<double>(-kDispositionLimit, std::round(ratio)));
  }
  const bool allZero =
      std::all_of(samples.begin(), samples.end(), [](const std::pair<double, double> &s) { return s.second == 0; });
  if (allZero) d = -kDispositionLimit;
  const double newestFitted = fit.meanY + fit.slope * (newestX - fit.meanX);
  if (newestFitted < 1) d = std::min(d, -5.0);

  sDisposition = static_cast<short>(d);
  return sDisposition;
}

}  // namespace WindowsAgentCommon
