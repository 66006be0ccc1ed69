#pragma once
// The test's own clocks, in seconds: the wall clock (to compare with times the daemon or the
// server stored) and the monotonic one (to measure waits).

#include <time.h>

inline double realNow() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

inline double monotonicSeconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}
