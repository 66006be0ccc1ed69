// Ids of services to drop, pushed by the reload thread and checked by the workers for every
// service they take. Every operation holds mutex_list throughout and takes no other lock.

#include "sched/delete_list.h"

#include <algorithm>

#include "core/scoped_lock.h"

DeleteList serviceDeleteList;

DeleteList::DeleteList() { pthread_mutex_init(&mutex_list, nullptr); }

DeleteList::~DeleteList() { pthread_mutex_destroy(&mutex_list); }

void DeleteList::push(unsigned long long id) {
  ScopedLock lock(&mutex_list);
  list_id.push_back(id);
}

bool DeleteList::find(unsigned long long id) {
  ScopedLock lock(&mutex_list);
  return std::find(list_id.begin(), list_id.end(), id) != list_id.end();
}

bool DeleteList::erase(unsigned long long id) {
  ScopedLock lock(&mutex_list);
  auto it = std::find(list_id.begin(), list_id.end(), id);
  if (it == list_id.end()) return false;
  list_id.erase(it);
  return true;
}
