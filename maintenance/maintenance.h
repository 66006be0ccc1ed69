#pragma once
// In-memory table of maintenance windows per service, filled by the reload thread and consulted
// by the workers on every run. One mutex guards both maps; every operation holds it throughout.

#include <pthread.h>
#include <sys/time.h>

#include <cstdint>
#include <ctime>
#include <list>
#include <map>

struct var_maintenance {
  int32_t type;  // 0 none, 1 NOEXEC, 2 EXEC, 3 FIRSTERROR
  timeval start;
  timeval end;  // the window holds every second from start to end, both included
  int32_t planned_id;
  int32_t during;  // minutes of the EXEC window a FIRSTERROR window opens
};

class Maintenance {
 public:
  Maintenance();
  ~Maintenance();
  Maintenance(const Maintenance&) = delete;
  Maintenance& operator=(const Maintenance&) = delete;

  void add(int planned_id, unsigned long service_id, int type, timeval start, timeval end,
           int during);
  bool isPlannedIDPresent(int planned_id);
  bool isMaintenance(unsigned long service_id);
  var_maintenance getMaintenanceInformation(unsigned long service_id);
  void clean(unsigned long service_id);
  void clean(unsigned long service_id, int planned_id);

  // The same operations with an explicit current second (the ones above use time(nullptr)).
  bool isMaintenanceAt(unsigned long service_id, time_t now);
  var_maintenance getMaintenanceInformationAt(unsigned long service_id, time_t now);
  void cleanAt(unsigned long service_id, time_t now);

  // The first second from now on that no window of the service contains (now itself when none
  // does): the windows that contain now, and those that follow on from them without a free
  // second between, are passed over.
  time_t firstFreeSecond(unsigned long service_id, time_t now);

 private:
  std::map<int32_t, std::list<var_maintenance>> map_maintenance;  // guarded by mutex_maintenance
  std::map<int32_t, int32_t> map_planned;                         // guarded by mutex_maintenance
  pthread_mutex_t mutex_maintenance;
};

extern Maintenance maintenance;
