// Ids of services to drop, marked by the reload thread and checked by the workers for every
// service they take. Every operation holds mutex_list throughout and takes no other lock.

#include "sched/delete_list.h"

#include "core/scoped_lock.h"

DeleteList serviceDeleteList;

DeleteList::DeleteList() { pthread_mutex_init(&mutex_list, nullptr); }

DeleteList::~DeleteList() { pthread_mutex_destroy(&mutex_list); }

void DeleteList::push(unsigned long long id) {
  ScopedLock lock(&mutex_list);
  list_id.insert(id);
}

bool DeleteList::find(unsigned long long id) {
  ScopedLock lock(&mutex_list);
  return list_id.count(id) != 0;
}

bool DeleteList::erase(unsigned long long id) {
  ScopedLock lock(&mutex_list);
  return list_id.erase(id) != 0;
}

size_t DeleteList::size() {
  ScopedLock lock(&mutex_list);
  return list_id.size();
}
