// A core's wait queue. Pushed by the loader (main, then the reload thread) and by the core's
// workers; read and popped only by the core's timer thread. Every operation holds mutex_queue
// for its whole duration and takes no other lock. front() and pop() on an empty queue throw
// EmptyQueueException rather than read past the end (callers check empty() first).

#include "sched/wait_service_queue.h"

#include <algorithm>

#include "core/scoped_lock.h"
#include "sched/execute_queue.h"

WaitServiceQueue::WaitServiceQueue() { pthread_mutex_init(&mutex_queue, nullptr); }

WaitServiceQueue::~WaitServiceQueue() { pthread_mutex_destroy(&mutex_queue); }

void WaitServiceQueue::push(const service& s) {
  ScopedLock lock(&mutex_queue);
  vec_service.push_back(s);
  std::push_heap(vec_service.begin(), vec_service.end(), CompareService());
}

service WaitServiceQueue::front() {
  ScopedLock lock(&mutex_queue);
  if (vec_service.empty()) throw EmptyQueueException("queue is empty");
  return vec_service.front();
}

service WaitServiceQueue::pop() {
  ScopedLock lock(&mutex_queue);
  if (vec_service.empty()) throw EmptyQueueException("queue is empty");
  std::pop_heap(vec_service.begin(), vec_service.end(), CompareService());
  service first = std::move(vec_service.back());
  vec_service.pop_back();
  return first;
}

bool WaitServiceQueue::empty() {
  ScopedLock lock(&mutex_queue);
  return vec_service.empty();
}

uint32_t WaitServiceQueue::size() {
  ScopedLock lock(&mutex_queue);
  return static_cast<uint32_t>(vec_service.size());
}
