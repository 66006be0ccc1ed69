#pragma once
// Template member of WaitServiceQueue (included by wait_service_queue.h).

#include <algorithm>

#include "core/scoped_lock.h"

template <typename Sink>
int WaitServiceQueue::popDue(const timeval& now, Sink&& out) {
  int moved = 0;
  ScopedLock lock(&mutex_queue);
  while (!vec_service.empty() && !earlier(now, vec_service.front().due)) {
    std::pop_heap(vec_service.begin(), vec_service.end(), CompareService());
    out(std::move(*vec_service.back().svc));
    vec_service.pop_back();
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
  std::make_heap(vec_service.begin(), vec_service.end(), CompareService());
}
