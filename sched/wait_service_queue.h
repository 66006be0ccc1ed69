#pragma once
// A core's wait queue: a binary heap of services ordered by the whole second they are due.
// Every operation takes mutex_queue for its whole duration.

#include <pthread.h>

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
  service front();  // the queue must not be empty
  service pop();    // the queue must not be empty
  bool empty();
  uint32_t size();
  // Moves every service due at or before second now into out, in heap order, under one lock
  // hold. Returns the number moved.
  template <typename Sink>
  int popDue(time_t now, Sink&& out);

 private:
  pthread_mutex_t mutex_queue;
  std::vector<service> vec_service;  // guarded by mutex_queue
};

#include "sched/wait_service_queue_inl.h"
