#pragma once
// New definitions of running services, keyed by service id, waiting for the worker that next
// takes the service. Every operation takes mutex_map.

#include <pthread.h>

#include <map>

#include "service/service.h"

class UpdateServiceMap {
 public:
  UpdateServiceMap();
  virtual ~UpdateServiceMap();
  UpdateServiceMap(const UpdateServiceMap&) = delete;
  UpdateServiceMap& operator=(const UpdateServiceMap&) = delete;

  void addService(service s);  // replaces an existing entry for the same id
  bool find(unsigned long long id);
  // Copy of the entry, which is removed; a default service when absent.
  service getService(unsigned long long id);

 private:
  std::map<unsigned long long, service> map_service;  // guarded by mutex_map
  pthread_mutex_t mutex_map;
};

extern UpdateServiceMap serviceUpdate;
