// A core's wait queue. Pushed by the loader (main, then the reload thread) and by the core's
// workers; read and popped only by the core's timer thread. Every operation holds mutex_queue
// for its whole duration and takes no other lock. front() and pop() on an empty queue throw
// EmptyQueueException rather than read past the end (callers check empty() first).
//
// The timer sleeps on cond_due, under mutex_queue, until the due second of the heap's front
// (a wall-clock deadline, as due times are wall-clock seconds) or its own limit. A push
// signals it only when the new service is due before that deadline, so a busy queue costs no
// extra wake-ups.

#include "sched/wait_service_queue.h"

#include <algorithm>

#include "core/scoped_lock.h"
#include "core/settings.h"
#include "sched/execute_queue.h"

WaitServiceQueue::WaitServiceQueue() {
  pthread_mutex_init(&mutex_queue, nullptr);
  pthread_cond_init(&cond_due, nullptr);
}

WaitServiceQueue::~WaitServiceQueue() {
  pthread_cond_destroy(&cond_due);
  pthread_mutex_destroy(&mutex_queue);
}

void WaitServiceQueue::push(const service& s) {
  ScopedLock lock(&mutex_queue);
  vec_service.push_back(s);
  std::push_heap(vec_service.begin(), vec_service.end(), CompareService());
  signalIfEarlier(s.next_exec_time.tv_sec);
}

void WaitServiceQueue::push(service&& s) {
  const time_t due = s.next_exec_time.tv_sec;
  ScopedLock lock(&mutex_queue);
  vec_service.push_back(std::move(s));
  std::push_heap(vec_service.begin(), vec_service.end(), CompareService());
  signalIfEarlier(due);
}

void WaitServiceQueue::signalIfEarlier(time_t due) {
  // Due in second d means due from d.000: before the wake-up unless d.000 is at or after it.
  if (timer_waiting && due < timer_wake.tv_sec + (timer_wake.tv_nsec > 0 ? 1 : 0))
    pthread_cond_signal(&cond_due);
}

void WaitServiceQueue::waitForDue(long max_ms) {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  timespec wake = addMilliseconds(now, max_ms);
  ScopedLock lock(&mutex_queue);
  if (!vec_service.empty()) {
    const time_t due = vec_service.front().next_exec_time.tv_sec;
    if (due <= now.tv_sec) return;
    if (due < wake.tv_sec || (due == wake.tv_sec && wake.tv_nsec > 0)) wake = timespec{due, 0};
  }
  timer_waiting = true;
  timer_wake = wake;
  pthread_cond_timedwait(&cond_due, &mutex_queue, &wake);
  timer_waiting = false;
}

void WaitServiceQueue::wakeTimer() {
  ScopedLock lock(&mutex_queue);
  pthread_cond_broadcast(&cond_due);
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
