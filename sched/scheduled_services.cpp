// The set of scheduled service ids. Written by the loaders (main at start, then the reload
// thread) and by the workers that drop a service; see the header for the lock order.

#include "sched/scheduled_services.h"

#include "core/scoped_lock.h"
#include "sched/delete_list.h"
#include "sched/execute_queue.h"
#include "sched/info_thread.h"
#include "sched/update_service_map.h"
#include "sched/wait_service_queue.h"

// Only the addresses of the other two are taken here: the order in which the process-wide
// objects are constructed does not matter.
ScheduledServiceSet scheduledServices(serviceUpdate, serviceDeleteList);

ScheduledServiceSet::ScheduledServiceSet(UpdateServiceMap& updates, DeleteList& deletions)
    : updates(updates), deletions(deletions) {
  pthread_mutex_init(&mutex_set, nullptr);
}

ScheduledServiceSet::~ScheduledServiceSet() { pthread_mutex_destroy(&mutex_set); }

bool ScheduledServiceSet::schedule(service s, const std::function<void(service&)>& place) {
  ScopedLock lock(&mutex_set);
  if (ids.count(s.service_id) != 0) {
    updates.addService(std::move(s));
    return false;
  }
  placeNew(std::move(s), place);
  return true;
}

bool ScheduledServiceSet::scheduleIfAbsent(service s, const std::function<void(service&)>& place) {
  ScopedLock lock(&mutex_set);
  if (ids.count(s.service_id) != 0) return false;
  placeNew(std::move(s), place);
  return true;
}

void ScheduledServiceSet::placeNew(service s, const std::function<void(service&)>& place) {
  ids.insert(s.service_id);
  try {
    place(s);
  } catch (...) {
    ids.erase(s.service_id);
    throw;
  }
}

size_t ScheduledServiceSet::dropQueued(const std::vector<infoThread*>& cores,
                                       const std::function<bool(unsigned long long)>& gone) {
  ScopedLock lock(&mutex_set);
  std::vector<unsigned long long> dropped;
  auto match = [&](const service& x) {
    if (!gone(x.service_id)) return false;
    dropped.push_back(x.service_id);
    return true;
  };
  for (infoThread* core : cores) {
    core->wait_queue->removeIf(match);
    core->execute_queue->removeIf([&](const std::unique_ptr<service>& x) { return match(*x); });
  }
  for (unsigned long long id : dropped) {
    ids.erase(id);
    deletions.erase(id);
    if (updates.find(id)) updates.getService(id);
  }
  return dropped.size();
}

bool ScheduledServiceSet::markForDeletion(unsigned long long id) {
  ScopedLock lock(&mutex_set);
  if (ids.count(id) == 0) return false;
  deletions.push(id);
  return true;
}

void ScheduledServiceSet::unschedule(unsigned long long id) {
  ScopedLock lock(&mutex_set);
  ids.erase(id);
  deletions.erase(id);
  if (updates.find(id)) updates.getService(id);
}

bool ScheduledServiceSet::contains(unsigned long long id) {
  ScopedLock lock(&mutex_set);
  return ids.count(id) != 0;
}

size_t ScheduledServiceSet::size() {
  ScopedLock lock(&mutex_set);
  return ids.size();
}

void ScheduledServiceSet::clear() {
  ScopedLock lock(&mutex_set);
  ids.clear();
}
