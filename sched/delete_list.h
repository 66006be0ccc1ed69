#pragma once
// Ids of services to take out of the schedule, in insertion order, duplicates allowed.
// Every operation takes mutex_list.

#include <pthread.h>

#include <list>

class DeleteList {
 public:
  DeleteList();
  virtual ~DeleteList();
  DeleteList(const DeleteList&) = delete;
  DeleteList& operator=(const DeleteList&) = delete;

  void push(unsigned long long id);
  bool find(unsigned long long id);
  bool erase(unsigned long long id);  // removes the first occurrence; true when one was removed

 private:
  std::list<unsigned long long> list_id;  // guarded by mutex_list
  pthread_mutex_t mutex_list;
};

extern DeleteList serviceDeleteList;
