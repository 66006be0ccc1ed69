// Lock-free duration histograms; see the header.

#include "core/histogram.h"

#include <cmath>

Histogram::Histogram(std::vector<double> bounds)
    : bounds_(std::move(bounds)), buckets_(new std::atomic<uint64_t>[bounds_.size() + 1]) {
  for (size_t i = 0; i <= bounds_.size(); ++i) buckets_[i].store(0, std::memory_order_relaxed);
}

void Histogram::observe(double seconds) {
  if (!(seconds >= 0)) seconds = 0;  // also NaN
  size_t i = 0;
  while (i < bounds_.size() && seconds > bounds_[i]) ++i;
  buckets_[i].fetch_add(1, std::memory_order_relaxed);
  sum_us_.fetch_add(static_cast<uint64_t>(std::llround(seconds * 1e6)), std::memory_order_relaxed);
}

Histogram::Snapshot Histogram::snapshot() const {
  Snapshot s;
  s.bounds = bounds_;
  uint64_t running = 0;
  for (size_t i = 0; i < bounds_.size(); ++i) {
    running += buckets_[i].load(std::memory_order_relaxed);
    s.cumulative.push_back(running);
  }
  s.count = running + buckets_[bounds_.size()].load(std::memory_order_relaxed);
  s.sum = static_cast<double>(sum_us_.load(std::memory_order_relaxed)) / 1e6;
  return s;
}
