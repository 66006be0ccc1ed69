// The lease and owned buckets of this daemon. Workers call admit, finish and keeps; the
// coordination thread everything else. Only atomics, no lock.

#include "cluster/cluster_state.h"

#include <algorithm>

#include "core/clock.h"
#include "db/array_text.h"

int64_t memberLockKey(int cluster, const std::string& node) {
  uint64_t h = 14695981039346656037ULL;
  for (unsigned char c : std::to_string(cluster) + ":" + node) {
    h ^= c;
    h *= 1099511628211ULL;
  }
  const auto key = static_cast<int64_t>(h);
  return key != 0 ? key : 1;
}

ClusterState::ClusterState(int cluster, std::string node, int lease_seconds)
    : cluster_(cluster),
      node_(std::move(node)),
      lock_key_(memberLockKey(cluster_, node_)),
      lease_ms_(int64_t{lease_seconds} * 1000) {
  for (int b = 0; b < kClusterBuckets; ++b) {
    state_[b].store(kNone);
    epoch_[b].store(0);
    in_flight_[b].store(0);
  }
}

int64_t ClusterState::periodMs() const {
  return std::max<int64_t>(250, std::min<int64_t>(1000, lease_ms_ / 4));
}

ClusterState::Admission ClusterState::admit(unsigned long long service_id, int64_t copy_epoch,
                                            WriteFence* fence) {
  const int b = bucketOf(service_id);
  in_flight_[b].fetch_add(1);
  const int state = state_[b].load();
  Admission a = Admission::kRun;
  if (state != kOwned || epoch_[b].load() != copy_epoch)
    a = Admission::kDrop;
  else if (!leaseValid())
    a = Admission::kHold;
  if (a != Admission::kRun) {
    in_flight_[b].fetch_sub(1);
    return a;
  }
  fence->cluster = cluster_;
  fence->bucket = b;
  fence->node = node_;
  fence->epoch = epoch_[b].load();
  fence->lock_key = lock_key_;
  fence->member_fence = fence_.load();
  return a;
}

void ClusterState::finish(unsigned long long service_id) {
  in_flight_[bucketOf(service_id)].fetch_sub(1);
}

bool ClusterState::keeps(unsigned long long service_id, const WriteFence& fence) const {
  const int b = bucketOf(service_id);
  return state_[b].load() == kOwned && epoch_[b].load() == fence.epoch;
}

void ClusterState::confirmLease(int64_t sent_ms) {
  // The server ends the lease a lease after it ran the renewal, which it did after it was sent;
  // the margin covers the two clocks running at slightly different rates.
  const int64_t margin = std::min<int64_t>(2000, std::max<int64_t>(200, lease_ms_ / 10));
  lease_until_ms_.store(sent_ms + lease_ms_ - margin);
}

void ClusterState::loseLease() { lease_until_ms_.store(0); }

bool ClusterState::leaseValid() const { return monotonicMs() < lease_until_ms_.load(); }

int64_t ClusterState::leaseLeftMs() const {
  return std::max<int64_t>(0, lease_until_ms_.load() - monotonicMs());
}

int64_t ClusterState::epoch(int bucket) const {
  return state_[bucket].load() == kNone ? 0 : epoch_[bucket].load();
}
bool ClusterState::owned(int bucket) const { return state_[bucket].load() == kOwned; }
bool ClusterState::revoking(int bucket) const { return state_[bucket].load() == kRevoking; }

void ClusterState::own(int bucket, int64_t epoch) {
  epoch_[bucket].store(epoch);
  state_[bucket].store(kOwned);
}
void ClusterState::revoke(int bucket) { state_[bucket].store(kRevoking); }
void ClusterState::forget(int bucket) {
  state_[bucket].store(kNone);
  epoch_[bucket].store(0);
}
int ClusterState::inFlight(int bucket) const { return in_flight_[bucket].load(); }

std::vector<int> ClusterState::ownedBuckets() const {
  std::vector<int> out;
  for (int b = 0; b < kClusterBuckets; ++b)
    if (owned(b)) out.push_back(b);
  return out;
}

std::string ClusterState::ownedArray() const { return ArrayText::ofNumbers(ownedBuckets()); }
