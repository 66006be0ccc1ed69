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
timespec asTimespec(int64_t us) {
  return timespec{static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000L};
}
bool before(const timespec& a, const timespec& b) {
  return a.tv_sec != b.tv_sec ? a.tv_sec < b.tv_sec : a.tv_nsec < b.tv_nsec;
}
constexpr size_t kArity = 4;
}  // namespace

void WaitServiceQueue::siftUp(size_t i) {
  WaitEntry e = std::move(vec_service[i]);
  while (i > 0) {
    const size_t parent = (i - 1) / kArity;
    if (vec_service[parent].due_us <= e.due_us) break;
    vec_service[i] = std::move(vec_service[parent]);
    i = parent;
  }
  vec_service[i] = std::move(e);
}

void WaitServiceQueue::siftDown(size_t i) {
  const size_t n = vec_service.size();
  WaitEntry e = std::move(vec_service[i]);
  for (;;) {
    const size_t first = i * kArity + 1;
    if (first >= n) break;
    const size_t last = std::min(first + kArity, n);
    size_t least = first;
    for (size_t c = first + 1; c < last; ++c)
      if (vec_service[c].due_us < vec_service[least].due_us) least = c;
    if (e.due_us <= vec_service[least].due_us) break;
    vec_service[i] = std::move(vec_service[least]);
    i = least;
  }
  vec_service[i] = std::move(e);
}

void WaitServiceQueue::makeHeap() {
  const size_t n = vec_service.size();
  if (n < 2) return;
  for (size_t i = (n - 2) / kArity + 1; i-- > 0;) siftDown(i);
}

std::unique_ptr<service> WaitServiceQueue::popFront() {
  std::unique_ptr<service> first = std::move(vec_service.front().svc);
  if (vec_service.size() > 1) {
    vec_service.front() = std::move(vec_service.back());
    vec_service.pop_back();
    siftDown(0);
  } else {
    vec_service.pop_back();
  }
  return first;
}

void WaitServiceQueue::push(const service& s) { push(service(s)); }

void WaitServiceQueue::push(service&& s) {
  // Allocated before the lock is taken.
  push(std::make_unique<service>(std::move(s)));
}

void WaitServiceQueue::push(std::unique_ptr<service> s) {
  const int64_t due = toMicros(s->next_exec_time);
  ScopedLock lock(&mutex_queue);
  vec_service.push_back(WaitEntry{due, std::move(s)});
  siftUp(vec_service.size() - 1);
  signalIfEarlier(due);
}

void WaitServiceQueue::signalIfEarlier(int64_t due) {
  if (timer_waiting && before(asTimespec(due), timer_wake)) pthread_cond_signal(&cond_due);
}

void WaitServiceQueue::waitForDue(long max_ms) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  timespec wake = addMilliseconds(now, max_ms);
  ScopedLock lock(&mutex_queue);
  if (!vec_service.empty()) {
    const timespec due = asTimespec(vec_service.front().due_us);
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
  const int64_t now_us = toMicros(now);
  for (WaitEntry& e : vec_service) {
    if (e.due_us >= now_us) continue;
    const int64_t window = std::min<int64_t>(spread_ms, e.svc->interval_exec_time);
    e.svc->next_exec_time = addMs(now, window > 1 ? static_cast<int64_t>(random() % window) : 0);
    e.due_us = toMicros(e.svc->next_exec_time);
    ++spread;
  }
  if (spread > 0) makeHeap();
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
    first = popFront();
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
