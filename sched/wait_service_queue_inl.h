#pragma once
// Template member of WaitServiceQueue (included by wait_service_queue.h).

#include <algorithm>

#include "core/scoped_lock.h"

template <typename Sink>
int WaitServiceQueue::popDue(const timeval& now, Sink&& out) {
  int moved = 0;
  ScopedLock lock(&mutex_queue);
  const int64_t now_us = toMicros(now);
  while (!vec_service.empty() && vec_service.front().due_us <= now_us) {
    out(popFront());
    ++moved;
  }
  return moved;
}

template <typename Pred>
void WaitServiceQueue::removeIf(Pred pred) {
  ScopedLock lock(&mutex_queue);
  const auto end = std::remove_if(vec_service.begin(), vec_service.end(),
                                  [&](const WaitEntry& e) { return pred(*e.svc); });
  if (end == vec_service.end()) return;
  vec_service.erase(end, vec_service.end());
  makeHeap();
}
