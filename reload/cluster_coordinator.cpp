// The coordination thread of several daemons sharing one identifier. It alone changes the
// buckets of the ClusterState (workers only read them) and talks to the membership tables, on
// a pool of its own; it loads the services of the buckets it takes through the loader and
// takes those it hands over out of the cores' queues (the scheduled set's lock, then each
// queue's). Its own mutex guards only the request to leave.
//
// Handing a bucket over is revoke before assign: the bucket stops taking new runs at once, its
// queued services leave the schedule, and it is freed in the database only once no run of it
// is left in flight; only then can its next owner take it, at a new epoch. A member whose lease
// ended on the server gives everything up and joins again: what it still writes for its former
// buckets is refused by the epoch its writes carry.

#include "reload/cluster_coordinator.h"

#include <algorithm>
#include <unordered_map>

#include "cluster/assignment.h"
#include "cluster/cluster_state.h"
#include "core/clock.h"
#include "core/log.h"
#include "core/scoped_lock.h"
#include "core/settings.h"
#include "db/array_text.h"
#include "db/pool.h"
#include "db/statements.h"
#include "loader/loader.h"
#include "sched/context.h"
#include "sched/scheduled_services.h"

ClusterCoordinator::ClusterCoordinator(const SchedContext& ctx, ClusterState& state,
                                       pgConnectionPool* pool)
    : ctx_(ctx),
      state_(state),
      pool_(pool),
      link_(pool, state.cluster(), state.node(), state.leaseSeconds()) {
  pthread_mutex_init(&mutex_, nullptr);
  initMonotonicCond(&wake_);
}

ClusterCoordinator::~ClusterCoordinator() {
  pthread_cond_destroy(&wake_);
  pthread_mutex_destroy(&mutex_);
}

std::string ClusterCoordinator::missingTables() { return link_.missingTables(); }

void ClusterCoordinator::prepare() {
  if (!pool_->hasPrepared("select_adv_config"))
    pool_->prepareRequest("select_adv_config", sql::kSelectAdvConfig, 1);
  if (!pool_->hasPrepared("bucketServices"))
    pool_->prepareRequest("bucketServices", sql::cluster::bucketServicesQuery(ctx_.id_cluster), 1);
}

bool ClusterCoordinator::join(int* left_s) {
  const int64_t sent = monotonicMs();
  if (!link_.join(left_s)) return false;
  state_.confirmLease(sent);
  write_log("INFO", "cluster: " + state_.node() + " joined identifier " +
                        std::to_string(ctx_.id_cluster) + " (lease " +
                        std::to_string(state_.leaseSeconds()) + " s)");
  return true;
}

void ClusterCoordinator::noteLease(bool valid) {
  if (!valid && !lease_said_lost_)
    write_log("ERR", "cluster: the lease of " + state_.node() +
                         " is not confirmed: no check runs until it is");
  else if (valid && lease_said_lost_)
    write_log("INFO", "cluster: the lease of " + state_.node() + " is confirmed again");
  lease_said_lost_ = !valid;
}

void ClusterCoordinator::giveUpAll(const char* why) {
  for (int b = 0; b < kClusterBuckets; ++b) state_.forget(b);
  state_.loseLease();
  revoking_.clear();
  load_again_.clear();
  const size_t dropped =
      ctx_.scheduled->dropQueued(*ctx_.cores, [](unsigned long long) { return true; });
  write_log("INFO", "cluster: " + std::string(why) + ": " + std::to_string(dropped) +
                        " services given up; joining again");
}

void ClusterCoordinator::pass(bool stopping) {
  noteLease(state_.leaseValid());
  const int64_t sent = monotonicMs();
  if (link_.renew()) {
    state_.confirmLease(sent);
  } else {
    giveUpAll(("the lease of " + state_.node() + " ended before it could be renewed").c_str());
    int left_s = 0;
    if (!join(&left_s)) return;
  }
  noteLease(true);

  // Buckets being handed over are freed once no run of theirs is left.
  std::vector<int> idle;
  for (const auto& [b, n] : revoking_)
    if (state_.inFlight(b) == 0) idle.push_back(b);
  if (!idle.empty()) {
    const std::vector<int> freed = link_.release(idle);
    for (int b : idle) {
      state_.forget(b);
      revoking_.erase(b);
    }
    if (!freed.empty())
      write_log("INFO", "cluster: " + state_.node() + " handed over " +
                            std::to_string(freed.size()) + " buckets (" +
                            std::to_string(handed_services_) + " services)");
    handed_services_ = 0;
  }
  if (stopping) return;

  const int64_t settle_ms = 2 * state_.periodMs();
  const std::vector<ClusterMember> members = link_.members(settle_ms);
  int64_t fence = -1;
  const std::vector<ClusterBucket> rows = link_.buckets(&fence);
  std::vector<std::string> live, settled;
  for (const ClusterMember& m : members) {
    if (!m.live) continue;
    live.push_back(m.node);
    if (m.settled) settled.push_back(m.node);
  }
  state_.setMembers(static_cast<int>(live.size()));
  // A member that just joined is given buckets once it has been in for a while, so that one
  // that comes and goes does not move work back and forth; when no member has been in that
  // long (all started together), every live one counts.
  const std::vector<std::string> owner =
      assignBuckets(ctx_.id_cluster, settled.empty() ? live : settled);
  handOver(rows, owner);
  // Only once the buckets another member took are let go: a run admitted under the new fence
  // is of a bucket that is still this daemon's.
  if (fence >= 0) state_.setFence(fence);
  take(rows, owner, members);
  loadAgain();
}

void ClusterCoordinator::handOver(const std::vector<ClusterBucket>& rows,
                                  const std::vector<std::string>& owner) {
  std::set<int> gone;
  for (const ClusterBucket& row : rows) {
    const int b = row.id;
    if (b < 0 || b >= kClusterBuckets) continue;
    if (row.owner == state_.node()) {
      if (owner[b] != state_.node() && state_.owned(b)) {
        state_.revoke(b);  // no new run from now on
        revoking_[b] = 0;
        gone.insert(b);
      }
    } else if (state_.owned(b) || state_.revoking(b)) {
      // Another member holds it (taken after this daemon's lease ended): it is not ours.
      state_.forget(b);
      revoking_.erase(b);
      gone.insert(b);
    }
  }
  if (gone.empty()) return;
  handed_services_ += ctx_.scheduled->dropQueued(
      *ctx_.cores, [&](unsigned long long id) { return gone.count(bucketOf(id)) != 0; });
}

void ClusterCoordinator::take(const std::vector<ClusterBucket>& rows,
                              const std::vector<std::string>& owner,
                              const std::vector<ClusterMember>& members) {
  std::unordered_map<std::string, const ClusterMember*> by_node;
  for (const ClusterMember& m : members) by_node[m.node] = &m;
  std::vector<ClusterLink::Wanted> wanted;
  std::map<int, int64_t> previous_end_ms;
  std::map<int, std::string> previous_owner;
  for (const ClusterBucket& row : rows) {
    const int b = row.id;
    if (b < 0 || b >= kClusterBuckets || owner[b] != state_.node()) continue;
    if (state_.owned(b) || revoking_.count(b) != 0 || state_.inFlight(b) != 0) continue;
    auto it = by_node.find(row.owner);
    const bool owner_live = it != by_node.end() && it->second->live;
    // Free, left by a member whose lease ended, or held by an earlier life of this daemon.
    if (!row.owner.empty() && row.owner != state_.node() && owner_live) continue;
    // A write of the previous owner (an earlier life of this daemon included) may be under way
    // still, if it is frozen: the claim waits for it.
    wanted.push_back(
        {b, row.epoch, row.owner.empty() ? 0 : memberLockKey(state_.cluster(), row.owner)});
    if (!row.owner.empty() && row.owner != state_.node()) {
      previous_owner[b] = row.owner;
      if (it != by_node.end()) previous_end_ms[b] = it->second->left_ms;
    }
  }
  if (wanted.empty()) return;
  int64_t fence = -1;
  const std::vector<std::pair<int, int64_t>> taken = link_.claim(wanted, &fence);
  if (taken.empty()) return;
  if (fence >= 0) state_.setFence(fence);
  std::vector<int> ids;
  std::set<std::string> from;
  for (const auto& [b, epoch] : taken) {
    state_.own(b, epoch);
    ids.push_back(b);
    auto p = previous_owner.find(b);
    from.insert(p == previous_owner.end() ? "free" : p->second + " (lease ended)");
  }
  size_t loaded = 0;
  for (unsigned long long id :
       load_buckets(ctx_, pool_, "bucketServices", ArrayText::ofNumbers(ids), previous_end_ms,
                    nullptr, &loaded))
    load_again_.insert(id);
  std::string sources;
  for (const std::string& f : from) sources += (sources.empty() ? "" : ", ") + f;
  write_log("INFO", "cluster: " + state_.node() + " took over " + std::to_string(taken.size()) +
                        " buckets (" + std::to_string(loaded) + " services) from " + sources);
}

void ClusterCoordinator::loadAgain() {
  if (load_again_.empty()) return;
  IdSet only;
  std::set<int> buckets;
  for (unsigned long long id : load_again_) {
    if (!state_.owned(bucketOf(id))) continue;
    only.insert(id);
    buckets.insert(bucketOf(id));
  }
  load_again_.clear();
  if (only.empty()) return;
  size_t loaded = 0;
  for (unsigned long long id :
       load_buckets(ctx_, pool_, "bucketServices",
                    ArrayText::ofNumbers(std::vector<int>(buckets.begin(), buckets.end())), {},
                    &only, &loaded))
    load_again_.insert(id);
}

void ClusterCoordinator::leave() {
  const size_t services = ctx_.scheduled->size();
  const int freed = link_.leave();
  for (int b = 0; b < kClusterBuckets; ++b) state_.forget(b);
  write_log("INFO", "cluster: " + state_.node() + " left identifier " +
                        std::to_string(ctx_.id_cluster) + ": " + std::to_string(freed) +
                        " buckets (" + std::to_string(services) + " services) handed over");
}

void ClusterCoordinator::requestLeave() {
  ScopedLock lock(&mutex_);
  leave_requested_ = true;
  pthread_cond_broadcast(&wake_);
}

void ClusterCoordinator::sleep(int64_t ms) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  const timespec until = addMilliseconds(now, static_cast<long>(ms));
  ScopedLock lock(&mutex_);
  if (!leave_requested_) pthread_cond_timedwait(&wake_, &mutex_, &until);
}

void* ClusterCoordinator::thread(void* self) {
  ClusterCoordinator* c = static_cast<ClusterCoordinator*>(self);
  clearThreadSignalMask();
  for (;;) {
    {
      ScopedLock lock(&c->mutex_);
      if (c->leave_requested_) break;
    }
    try {
      // Once the daemon stops, the lease is only renewed: the runs in progress write under it.
      c->pass(stopRequested());
    } catch (const std::exception& e) {
      write_log("ERR", std::string("cluster: ") + e.what());
    }
    c->sleep(c->state_.periodMs());
  }
  try {
    c->leave();
  } catch (const std::exception& e) {
    write_log("ERR", std::string("cluster: leaving failed, the others take over once the lease "
                                 "ends: ") +
                         e.what());
  }
  return nullptr;
}
