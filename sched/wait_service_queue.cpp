// A core's wait queue. Pushed by the loader (main, then the reload thread) and by the core's
// workers; read and popped only by the core's timer thread. Every operation holds mutex_queue
// for its whole duration and takes no other lock. front() and pop() on an empty queue throw
// EmptyQueueException rather than read past the end (callers check empty() first).
//
// The timer sleeps on cond_due, under mutex_queue, until the due time of the heap's front or its
// own limit, both on the monotonic clock (a step of the wall clock moves neither). A push
// signals it only when the new service is due before that deadline, so a busy queue costs no
// extra wake-ups.

#include "sched/wait_service_queue.h"

#include <algorithm>
#include <random>

#include "core/scoped_lock.h"
#include "core/settings.h"
#include "sched/execute_queue.h"

WaitServiceQueue::WaitServiceQueue() {
  pthread_mutex_init(&mutex_queue, nullptr);
  initMonotonicCond(&cond_due);
}

WaitServiceQueue::~WaitServiceQueue() {
  pthread_cond_destroy(&cond_due);
  pthread_mutex_destroy(&mutex_queue);
}

namespace {
timespec asTimespec(const timeval& t) { return timespec{t.tv_sec, t.tv_usec * 1000L}; }
bool before(const timespec& a, const timespec& b) {
  return a.tv_sec != b.tv_sec ? a.tv_sec < b.tv_sec : a.tv_nsec < b.tv_nsec;
}
}  // namespace

void WaitServiceQueue::push(const service& s) { push(service(s)); }

void WaitServiceQueue::push(service&& s) {
  // Allocated before the lock is taken.
  WaitEntry e{s.next_exec_time, std::make_unique<service>(std::move(s))};
  const timeval due = e.due;
  ScopedLock lock(&mutex_queue);
  vec_service.push_back(std::move(e));
  std::push_heap(vec_service.begin(), vec_service.end(), CompareService());
  signalIfEarlier(due);
}

void WaitServiceQueue::signalIfEarlier(const timeval& due) {
  if (timer_waiting && before(asTimespec(due), timer_wake)) pthread_cond_signal(&cond_due);
}

void WaitServiceQueue::waitForDue(long max_ms) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  timespec wake = addMilliseconds(now, max_ms);
  ScopedLock lock(&mutex_queue);
  if (!vec_service.empty()) {
    const timespec due = asTimespec(vec_service.front().due);
    if (!before(now, due)) return;
    if (before(due, wake)) wake = due;
  }
  timer_waiting = true;
  timer_wake = wake;
  pthread_cond_timedwait(&cond_due, &mutex_queue, &wake);
  timer_waiting = false;
}

int WaitServiceQueue::spreadOverdue(const timeval& now, int64_t spread_ms) {
  thread_local std::minstd_rand random(static_cast<unsigned>(monotonicMs()));
  int spread = 0;
  ScopedLock lock(&mutex_queue);
  for (WaitEntry& e : vec_service) {
    if (!earlier(e.due, now)) continue;
    const int64_t window = std::min<int64_t>(spread_ms, e.svc->interval_exec_time);
    e.due = e.svc->next_exec_time =
        addMs(now, window > 1 ? static_cast<int64_t>(random() % window) : 0);
    ++spread;
  }
  if (spread > 0) std::make_heap(vec_service.begin(), vec_service.end(), CompareService());
  return spread;
}

void WaitServiceQueue::wakeTimer() {
  ScopedLock lock(&mutex_queue);
  pthread_cond_broadcast(&cond_due);
}

service WaitServiceQueue::front() {
  ScopedLock lock(&mutex_queue);
  if (vec_service.empty()) throw EmptyQueueException("queue is empty");
  return *vec_service.front().svc;
}

service WaitServiceQueue::pop() {
  std::unique_ptr<service> first;
  {
    ScopedLock lock(&mutex_queue);
    if (vec_service.empty()) throw EmptyQueueException("queue is empty");
    std::pop_heap(vec_service.begin(), vec_service.end(), CompareService());
    first = std::move(vec_service.back().svc);
    vec_service.pop_back();
  }
  return std::move(*first);
}

bool WaitServiceQueue::empty() {
  ScopedLock lock(&mutex_queue);
  return vec_service.empty();
}

uint32_t WaitServiceQueue::size() {
  ScopedLock lock(&mutex_queue);
  return static_cast<uint32_t>(vec_service.size());
}
