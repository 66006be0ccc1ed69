#pragma once
// A core's wait queue: a heap of services ordered by the time they are due, on the monotonic
// clock. Every operation takes mutex_queue for its whole duration. The core's timer
// thread sleeps in waitForDue until the earliest service is due; a push that brings an earlier
// due time wakes it.

#include <pthread.h>
#include <time.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "core/clock.h"
#include "service/service.h"

// One service of the heap: its due time, kept beside it so that ordering the heap reads only
// these small entries (16 bytes, four to a cache line), and the service itself, which stays
// where it is while the entries move. Due times count to the microsecond: a service is due at
// its time, not at the start of its second, so that an interval of 1.5 s is 1.5 s.
struct WaitEntry {
  int64_t due_us;
  std::unique_ptr<service> svc;
};

class WaitServiceQueue {
 public:
  WaitServiceQueue();
  virtual ~WaitServiceQueue();
  WaitServiceQueue(const WaitServiceQueue&) = delete;
  WaitServiceQueue& operator=(const WaitServiceQueue&) = delete;

  void push(const service& s);
  void push(service&& s);
  void push(std::unique_ptr<service> s);
  service front();  // the queue must not be empty
  service pop();    // the queue must not be empty
  bool empty();
  uint32_t size();
  // Hands every service due at or before now (monotonic) to out (a std::unique_ptr<service>&&),
  // in heap order, under one lock hold. Returns the number handed.
  template <typename Sink>
  int popDue(const timeval& now, Sink&& out);
  // Returns once the earliest service's due time has come (at once when it already has), a
  // push has brought an earlier one, wakeTimer was called, or max_ms milliseconds have passed,
  // whichever is first. One caller at a time (the timer thread); it looks at the queue again
  // afterwards, since a wake-up may be spurious.
  void waitForDue(long max_ms);
  // Ends a waitForDue in progress (for a stop).
  void wakeTimer();
  // Gives every service due before now a new due time between now and now + spread_ms, capped
  // by its own interval (and at least now): after the process was stopped for a while, the
  // overdue services run once each, spread out rather than in one burst. Returns how many.
  int spreadOverdue(const timeval& now, int64_t spread_ms);
  // Removes every service for which pred is true (taken out of the schedule).
  template <typename Pred>
  void removeIf(Pred pred);

 private:
  // Wakes the timer when a service due before its wake-up time has been pushed. Called with
  // mutex_queue held, after the push.
  void signalIfEarlier(int64_t due_us);

  // The heap is 4-ary, earliest first: half the levels of a binary heap, and the children of an
  // entry side by side. With 100,000 services, each pop of a binary heap missed the cache on
  // most of its 17 levels (plugins started in between evict it), and that cost grew with the
  // number of services loaded. Called with mutex_queue held.
  void siftUp(size_t i);
  void siftDown(size_t i);
  void makeHeap();
  std::unique_ptr<service> popFront();

  pthread_mutex_t mutex_queue;
  pthread_cond_t cond_due;             // the timer's sleep, on the monotonic clock
  std::vector<WaitEntry> vec_service;  // guarded by mutex_queue
  bool timer_waiting = false;          // guarded by mutex_queue
  timespec timer_wake{0, 0};           // guarded by mutex_queue: end of the timer's sleep
};

#include "sched/wait_service_queue_inl.h"
