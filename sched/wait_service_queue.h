#pragma once
// A core's wait queue: a binary heap of services ordered by the whole second they are due.
// Every operation takes mutex_queue for its whole duration. The core's timer thread sleeps in
// waitForDue until the earliest service is due; a push that brings an earlier due second wakes
// it.

#include <pthread.h>
#include <time.h>

#include <cstdint>
#include <vector>

#include "service/service.h"

// True when a is due in a later whole second than b (heap order: earliest second first).
struct CompareService {
  bool operator()(const service& a, const service& b) const {
    return a.next_exec_time.tv_sec > b.next_exec_time.tv_sec;
  }
};

class WaitServiceQueue {
 public:
  WaitServiceQueue();
  virtual ~WaitServiceQueue();
  WaitServiceQueue(const WaitServiceQueue&) = delete;
  WaitServiceQueue& operator=(const WaitServiceQueue&) = delete;

  void push(const service& s);
  void push(service&& s);
  service front();  // the queue must not be empty
  service pop();    // the queue must not be empty
  bool empty();
  uint32_t size();
  // Moves every service due at or before second now into out, in heap order, under one lock
  // hold. Returns the number moved.
  template <typename Sink>
  int popDue(time_t now, Sink&& out);
  // Returns once the earliest service's due second has come (at once when it already has), a
  // push has brought an earlier one, wakeTimer was called, or max_ms milliseconds have passed,
  // whichever is first. One caller at a time (the timer thread); it looks at the queue again
  // afterwards, since a wake-up may be spurious.
  void waitForDue(long max_ms);
  // Ends a waitForDue in progress (for a stop).
  void wakeTimer();

 private:
  // Wakes the timer when a service due before its wake-up time has been pushed. Called with
  // mutex_queue held, after the push.
  void signalIfEarlier(time_t due);

  pthread_mutex_t mutex_queue;
  pthread_cond_t cond_due;           // the timer's sleep; default clock: the wall clock
  std::vector<service> vec_service;  // guarded by mutex_queue
  bool timer_waiting = false;        // guarded by mutex_queue
  timespec timer_wake{0, 0};         // guarded by mutex_queue: end of the timer's sleep
};

#include "sched/wait_service_queue_inl.h"
