#pragma once
// The ids of the services this daemon has scheduled: each is held exactly once, by one of the
// cores' queues or the worker running it. Every change of the schedule that could give a
// service a second copy, or leave it without one, goes through here, under mutex_set: a service
// is placed on a core only when its id is not scheduled, and a definition for a scheduled id
// goes to the update map instead; a deletion mark is taken only for a scheduled id, and a worker
// that drops a service takes its id, its mark and its waiting definition out together.
//
// Lock order: mutex_set, then (inside it) the wait queue's, the update map's or the delete
// list's own mutex; none of those is held while mutex_set is taken.

#include <pthread.h>

#include <functional>
#include <unordered_set>
#include <vector>

#include "service/service.h"

class DeleteList;
class UpdateServiceMap;
struct infoThread;

class ScheduledServiceSet {
 public:
  // The set works with the update map and the delete list of the same schedule.
  ScheduledServiceSet(UpdateServiceMap& updates, DeleteList& deletions);
  ~ScheduledServiceSet();
  ScheduledServiceSet(const ScheduledServiceSet&) = delete;
  ScheduledServiceSet& operator=(const ScheduledServiceSet&) = delete;

  // Hands a loaded definition to the schedule: when its id is scheduled, it replaces that
  // definition (the update map, taken by the worker that next holds the service) and false is
  // returned; otherwise the id is marked scheduled, place(s) puts it on a core and true is
  // returned.
  bool schedule(service s, const std::function<void(service&)>& place);
  // As schedule, but a service whose id is scheduled already is left out (false), its copy
  // untouched: a definition loaded fresh must not merge with a stale copy.
  bool scheduleIfAbsent(service s, const std::function<void(service&)>& place);
  // Takes every service whose id gone() names out of the cores' queues, with its id, its
  // deletion mark and its waiting definition; returns how many. A service a worker holds is
  // not touched: its worker decides. Takes mutex_set, then each queue's lock in turn.
  size_t dropQueued(const std::vector<infoThread*>& cores,
                    const std::function<bool(unsigned long long)>& gone);
  // Marks a scheduled service for deletion (the delete list); false when it is not scheduled.
  bool markForDeletion(unsigned long long id);
  // A worker drops the service: its id, its deletion mark and its waiting definition go.
  void unschedule(unsigned long long id);
  bool contains(unsigned long long id);
  size_t size();
  // Forgets every id (tests, and a schedule rebuilt from nothing).
  void clear();

 private:
  // Marks s's id scheduled and places it (mutex_set held); the mark is undone when place throws.
  void placeNew(service s, const std::function<void(service&)>& place);
  UpdateServiceMap& updates;
  DeleteList& deletions;
  std::unordered_set<unsigned long long> ids;  // guarded by mutex_set
  pthread_mutex_t mutex_set;
};

// The daemon's schedule, with serviceUpdate and serviceDeleteList.
extern ScheduledServiceSet scheduledServices;
