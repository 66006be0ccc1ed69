// The monotonic and wall clocks, and the watch of the wall clock's steps. No state but the
// watch's own; safe from any thread.

#include "core/clock.h"

#include <time.h>

int64_t monotonicMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

timeval monotonicNow() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return timeval{ts.tv_sec, static_cast<suseconds_t>(ts.tv_nsec / 1000)};
}

int64_t wallMs() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

timeval addMs(timeval t, int64_t ms) {
  int64_t usec = static_cast<int64_t>(t.tv_sec) * 1000000 + t.tv_usec + ms * 1000;
  int64_t sec = usec / 1000000;
  usec %= 1000000;
  if (usec < 0) {
    usec += 1000000;
    sec -= 1;
  }
  return timeval{static_cast<time_t>(sec), static_cast<suseconds_t>(usec)};
}

int64_t diffMs(const timeval& a, const timeval& b) {
  return (static_cast<int64_t>(a.tv_sec) - b.tv_sec) * 1000 +
         (static_cast<int64_t>(a.tv_usec) - b.tv_usec) / 1000;
}

ClockStepWatch::ClockStepWatch() : offset_ms_(wallMs() - monotonicMs()) {}

int64_t ClockStepWatch::step(int64_t threshold_ms) {
  const int64_t offset = wallMs() - monotonicMs();
  const int64_t moved = offset - offset_ms_;
  offset_ms_ = offset;
  return moved > threshold_ms || moved < -threshold_ms ? moved : 0;
}
