#pragma once
// The coordination of several daemons sharing one identifier's services (MAVO/cluster_lease):
// this daemon's membership and lease, and the buckets of services it owns. One thread of its
// own runs a pass every ClusterState::periodMs(); start-up runs the first one, and the stop the
// last (leave).

#include <pthread.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "cluster/cluster_link.h"

class ClusterState;
class pgConnectionPool;
struct SchedContext;

class ClusterCoordinator {
 public:
  // pool: one connection of the coordination's own, on which the loads' statements
  // ("bucketServices", "select_adv_config") are prepared by prepare().
  ClusterCoordinator(const SchedContext& ctx, ClusterState& state, pgConnectionPool* pool);
  ~ClusterCoordinator();
  ClusterCoordinator(const ClusterCoordinator&) = delete;
  ClusterCoordinator& operator=(const ClusterCoordinator&) = delete;

  // Start-up. "" when sql/cluster.sql's tables are there, else their names.
  std::string missingTables();
  void prepare();
  // Joins; false when a live member has this daemon's name (*left_s: its lease's seconds left).
  bool join(int* left_s);
  // One pass: renews the lease (a membership found ended gives every bucket up and joins again);
  // then, unless stopping, reads the members and buckets, hands over the buckets that are another
  // member's now (no run starts; each is freed once no run of it is left), takes the buckets that
  // are this daemon's and free or left by a member whose lease ended, and loads their services.
  // Throws PostgresqlException.
  void pass(bool stopping);
  // The stop, once the workers have left: frees every bucket and ends the membership.
  void leave();

  // The thread: passes until requestLeave(), then leave().
  static void* thread(void* self);
  void requestLeave();

 private:
  void giveUpAll(const char* why);
  void handOver(const std::vector<ClusterBucket>& rows, const std::vector<std::string>& owner);
  void take(const std::vector<ClusterBucket>& rows, const std::vector<std::string>& owner,
            const std::vector<ClusterMember>& members);
  void loadAgain();
  void noteLease(bool valid);
  void sleep(int64_t ms);

  const SchedContext& ctx_;
  ClusterState& state_;
  pgConnectionPool* pool_;
  ClusterLink link_;
  // Buckets being handed over, with the services of each taken out of the schedule so far.
  std::map<int, size_t> revoking_;
  size_t handed_services_ = 0;
  // Ids found still scheduled (a copy of an earlier ownership) when their bucket was taken.
  std::set<unsigned long long> load_again_;
  bool lease_said_lost_ = false;
  pthread_mutex_t mutex_;
  pthread_cond_t wake_;
  bool leave_requested_ = false;  // guarded by mutex_
};
