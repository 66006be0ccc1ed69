#pragma once
// Ids of scheduled services to take out of the schedule, each held once. The reload thread
// marks them (through scheduledServices, so only scheduled ids are marked); the worker that
// next takes such a service drops it. Every operation takes mutex_list.

#include <pthread.h>

#include <unordered_set>

class DeleteList {
 public:
  DeleteList();
  virtual ~DeleteList();
  DeleteList(const DeleteList&) = delete;
  DeleteList& operator=(const DeleteList&) = delete;

  void push(unsigned long long id);  // an id already held stays once
  bool find(unsigned long long id);
  bool erase(unsigned long long id);  // true when the id was held
  size_t size();

 private:
  std::unordered_set<unsigned long long> list_id;  // guarded by mutex_list
  pthread_mutex_t mutex_list;
};

extern DeleteList serviceDeleteList;
