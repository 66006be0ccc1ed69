// New definitions of running services, written by the update loader (reload thread) and taken
// by the worker that next handles the service. Every operation holds mutex_map throughout and
// takes no other lock.

#include "sched/update_service_map.h"

#include "core/scoped_lock.h"

UpdateServiceMap serviceUpdate;

UpdateServiceMap::UpdateServiceMap() { pthread_mutex_init(&mutex_map, nullptr); }

UpdateServiceMap::~UpdateServiceMap() { pthread_mutex_destroy(&mutex_map); }

void UpdateServiceMap::addService(service s) {
  const unsigned long long id = s.service_id;
  ScopedLock lock(&mutex_map);
  map_service.insert_or_assign(id, std::move(s));
}

bool UpdateServiceMap::find(unsigned long long id) {
  ScopedLock lock(&mutex_map);
  return map_service.count(id) != 0;
}

service UpdateServiceMap::getService(unsigned long long id) {
  ScopedLock lock(&mutex_map);
  auto it = map_service.find(id);
  if (it == map_service.end()) return service();
  service found = std::move(it->second);
  map_service.erase(it);
  return found;
}
