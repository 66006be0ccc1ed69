#pragma once
// Runs the alerting programs of writes that were kept and written later (journal replays), on
// threads of their own, so that a slow or hung alerting program holds up neither the next
// replay nor the stop more than a worker's own alert would: each program is bounded by the
// write's alert_timeout, and alerts run side by side, up to a number of threads.

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "sched/incidents.h"

class AlertRunner {
 public:
  // At most max_threads alerts run at once; more wait for a free thread.
  explicit AlertRunner(size_t max_threads = kDefaultThreads);
  ~AlertRunner();  // finish()
  AlertRunner(const AlertRunner&) = delete;
  AlertRunner& operator=(const AlertRunner&) = delete;

  // Starts the alerting programs of the written run w with ref (runAlert) and returns at once.
  void start(RunWrite w, std::string ref);
  // Waits until every alert started or waiting has run, then lets the threads go.
  void finish();
  // Alerting programs started.
  uint64_t started() const { return started_.load(std::memory_order_relaxed); }

  static constexpr size_t kDefaultThreads = 32;

 private:
  static void* loop(void* self);
  void run();

  const size_t max_threads_;
  pthread_mutex_t mutex_;
  pthread_cond_t cond_;                                // an alert waits, or finishing
  std::deque<std::pair<RunWrite, std::string>> queue;  // guarded by mutex_
  std::vector<pthread_t> threads;                      // guarded by mutex_
  size_t idle = 0;                                     // guarded by mutex_
  bool finishing = false;                              // guarded by mutex_
  std::atomic<uint64_t> started_{0};
};
