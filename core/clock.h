#pragma once
// The daemon's two clocks. Everything that waits or schedules counts on the monotonic clock
// (CLOCK_MONOTONIC): a step of the wall clock, back or forward, by any amount, changes neither
// when a service runs next nor how long a wait lasts. CLOCK_MONOTONIC rather than CLOCK_BOOTTIME:
// condition variables can wait on the former only, and after a suspend the services simply go
// on from where they were. The wall clock is read only for what is a calendar time: log dates,
// maintenance windows, and the instants written to the database (which the server's own now()
// gives).

#include <sys/time.h>

#include <cstdint>

// Milliseconds on the monotonic clock.
int64_t monotonicMs();
// The monotonic clock as a timeval (the due times of services).
timeval monotonicNow();
// Milliseconds of the wall clock since the epoch.
int64_t wallMs();

// t plus milliseconds (may be negative).
timeval addMs(timeval t, int64_t ms);
// a - b in milliseconds.
int64_t diffMs(const timeval& a, const timeval& b);
// t in microseconds.
inline int64_t toMicros(const timeval& t) {
  return static_cast<int64_t>(t.tv_sec) * 1000000 + t.tv_usec;
}
// a earlier than b.
inline bool earlier(const timeval& a, const timeval& b) {
  return a.tv_sec != b.tv_sec ? a.tv_sec < b.tv_sec : a.tv_usec < b.tv_usec;
}

// Sees the wall clock step against the monotonic one. Not thread-safe: one owner (the monitor).
class ClockStepWatch {
 public:
  ClockStepWatch();
  // The step of the wall clock since the last call, in milliseconds, when it exceeds
  // threshold_ms either way (forward positive); 0 otherwise.
  int64_t step(int64_t threshold_ms);

 private:
  int64_t offset_ms_;  // wall minus monotonic at the last call
};
