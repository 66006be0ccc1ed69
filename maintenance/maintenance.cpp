// Maintenance windows per service. Written by the reload thread (add) and by the workers (add,
// clean); read by the workers on every run. mutex_maintenance guards both maps and is held for
// the whole of each operation; nothing is called out while it is held.
// Services are keyed by their id converted to a 32-bit signed integer; windows are compared in
// whole seconds and hold both their start and their end second.

#include "maintenance/maintenance.h"

#include "core/scoped_lock.h"

Maintenance maintenance;

namespace {

int32_t serviceKey(unsigned long service_id) { return static_cast<int32_t>(service_id); }

bool contains(const var_maintenance& w, time_t now) {
  return w.start.tv_sec <= now && now <= w.end.tv_sec;
}

}  // namespace

Maintenance::Maintenance() { pthread_mutex_init(&mutex_maintenance, nullptr); }

Maintenance::~Maintenance() { pthread_mutex_destroy(&mutex_maintenance); }

void Maintenance::add(int planned_id, unsigned long service_id, int type, timeval start,
                      timeval end, int during) {
  ScopedLock lock(&mutex_maintenance);
  const int32_t key = serviceKey(service_id);
  // A planned id is loaded once while it is known.
  if (!map_planned.emplace(planned_id, key).second) return;
  var_maintenance w;
  w.type = type;
  w.start = start;
  w.end = end;
  w.planned_id = planned_id;
  w.during = during;
  map_maintenance[key].push_back(w);
}

bool Maintenance::isPlannedIDPresent(int planned_id) {
  ScopedLock lock(&mutex_maintenance);
  return map_planned.count(planned_id) != 0;
}

bool Maintenance::isMaintenance(unsigned long service_id) {
  return isMaintenanceAt(service_id, time(nullptr));
}

bool Maintenance::isMaintenanceAt(unsigned long service_id, time_t now) {
  ScopedLock lock(&mutex_maintenance);
  auto it = map_maintenance.find(serviceKey(service_id));
  if (it == map_maintenance.end()) return false;
  for (const var_maintenance& w : it->second) {
    if (contains(w, now)) return true;
  }
  return false;
}

var_maintenance Maintenance::getMaintenanceInformation(unsigned long service_id) {
  return getMaintenanceInformationAt(service_id, time(nullptr));
}

var_maintenance Maintenance::getMaintenanceInformationAt(unsigned long service_id, time_t now) {
  ScopedLock lock(&mutex_maintenance);
  auto it = map_maintenance.find(serviceKey(service_id));
  if (it != map_maintenance.end()) {
    for (const var_maintenance& w : it->second) {
      if (contains(w, now)) return w;
    }
  }
  return var_maintenance{};  // type 0, every field 0
}

time_t Maintenance::firstFreeSecond(unsigned long service_id, time_t now) {
  ScopedLock lock(&mutex_maintenance);
  auto it = map_maintenance.find(serviceKey(service_id));
  if (it == map_maintenance.end()) return now;
  time_t t = now;
  for (bool moved = true; moved;) {
    moved = false;
    for (const var_maintenance& w : it->second) {
      if (contains(w, t)) {
        t = w.end.tv_sec + 1;
        moved = true;
      }
    }
  }
  return t;
}

void Maintenance::clean(unsigned long service_id) { cleanAt(service_id, time(nullptr)); }

// Once one window has ended, the service's whole list goes (later windows included); only the
// ended window's planned id is forgotten, so the others are not loaded again.
void Maintenance::cleanAt(unsigned long service_id, time_t now) {
  ScopedLock lock(&mutex_maintenance);
  auto it = map_maintenance.find(serviceKey(service_id));
  if (it == map_maintenance.end()) return;
  for (const var_maintenance& w : it->second) {
    if (w.end.tv_sec < now) {
      map_planned.erase(w.planned_id);
      map_maintenance.erase(it);
      return;
    }
  }
}

void Maintenance::clean(unsigned long service_id, int planned_id) {
  ScopedLock lock(&mutex_maintenance);
  auto it = map_maintenance.find(serviceKey(service_id));
  if (it == map_maintenance.end()) return;
  for (const var_maintenance& w : it->second) {
    if (w.planned_id == planned_id) {
      map_planned.erase(planned_id);
      map_maintenance.erase(it);
      return;
    }
  }
}
