#pragma once
// A histogram of durations that any thread adds to without a lock: fixed upper bounds, one
// atomic counter per bucket and an atomic sum. A reader takes a snapshot; its buckets are read
// one after the other, so an add made meanwhile may show in the count and not yet in a bucket:
// good enough for monitoring, and nothing on the adding side ever waits.

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

class Histogram {
 public:
  // bounds: upper bounds of the buckets, in seconds, increasing; a last bucket holds the rest.
  explicit Histogram(std::vector<double> bounds);
  Histogram(const Histogram&) = delete;
  Histogram& operator=(const Histogram&) = delete;

  void observe(double seconds);

  struct Snapshot {
    std::vector<double> bounds;
    std::vector<uint64_t> cumulative;  // per bound: observations at or below it
    uint64_t count = 0;                // every observation (the +Inf bucket)
    double sum = 0;                    // seconds
  };
  Snapshot snapshot() const;

 private:
  const std::vector<double> bounds_;
  std::unique_ptr<std::atomic<uint64_t>[]> buckets_;  // bounds_.size() + 1
  std::atomic<uint64_t> sum_us_{0};
};
