// The backlog trend estimator that the monitors use to size their pools.
//
// LinearRegressionAlgo keeps a ring of the last N (x, y) samples and fits a
// least-squares line through them. BacklogMonitor turns the fit into a
// disposition, a short in [-10, 10]:
//
//   rise  = slope * (x of the newest sample - x of the oldest sample),
//           the change of the backlog that the line predicts across the ring;
//   scale = max(1, mean of y);
//   d     = round(10 * rise / scale), clamped to [-10, 10];
//   if every y is 0, d = -10 (nothing waits at all);
//   if the line's value at the newest x is below 1, d = min(d, -5) (the
//   queue is drained, or about to be);
//   with fewer than two samples, d = 0.
//
// So a steadily growing backlog gives a high disposition, a flat zero or a
// shrinking backlog a low one, and a flat, non-zero backlog (workers that keep
// pace with a standing queue) a disposition near 0, which asks for neither
// more nor fewer threads. The result depends only on the samples held.
//
// Not thread-safe: the monitors use it under their monitor lock.
#ifndef VANTREL_COMMON_BACKLOGMONITOR_H
#define VANTREL_COMMON_BACKLOGMONITOR_H

#include <cstddef>
#include <utility>
#include <vector>

namespace WindowsAgentCommon {

class LinearRegressionAlgo {
 public:
  // A capacity of 0 holds no samples.
  explicit LinearRegressionAlgo(unsigned int numberOfDataPoints);
  virtual ~LinearRegressionAlgo();

  virtual void Clear();
  // Adds a sample, dropping the oldest one when the ring is full.
  virtual void AddSample(double x, double y);
  virtual std::size_t GetSampleCount() const;
  // (slope, intercept) of the least-squares line; (0, mean y) when all x are
  // equal, (0, 0) without samples.
  virtual std::pair<double, double> Compute() const;

 protected:
  // Samples from oldest to newest.
  std::vector<std::pair<double, double>> Samples() const;

 private:
  std::vector<std::pair<double, double>> ring;
  std::size_t capacity;
  std::size_t next;
  std::size_t count;
};

class BacklogMonitor : public LinearRegressionAlgo {
 public:
  static const short kDispositionLimit = 10;

  explicit BacklogMonitor(unsigned int numberOfDataPoints);
  ~BacklogMonitor() override;

  virtual short UpdateDisposition();
  short GetDisposition() const { return sDisposition; }

 private:
  short sDisposition;
};

}  // namespace WindowsAgentCommon

#endif  // VANTREL_COMMON_BACKLOGMONITOR_H
