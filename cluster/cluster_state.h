#pragma once
// What this daemon holds of its identifier's services when several daemons share them: its
// lease, judged on the monotonic clock only, and the buckets it owns with their epochs. The
// coordination thread changes it; workers read it before each run, and writes carry the fence
// it gives them. Reads and changes are lock-free (atomics); a bucket's state and its count of runs
// in flight follow the pattern that lets a worker and the coordination thread never both miss
// the other's change (the worker counts its run, then looks at the state; the coordination
// thread changes the state, then looks at the count).

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

// Services belong to bucket service_id % kClusterBuckets.
constexpr int kClusterBuckets = 1024;
inline int bucketOf(unsigned long long service_id) {
  return static_cast<int>(service_id % kClusterBuckets);
}

// The key of a member's advisory lock on the server: its writes hold it shared for as long as
// their transaction lasts, and a member that takes over the buckets of one whose lease ended
// must get it exclusively first, so no write of the old owner is still under way. Computed
// here (FNV-1a of "identifier:name"), never 0, the same on every member.
int64_t memberLockKey(int cluster, const std::string& node);

// The fence a write carries: the bucket of its service at the epoch its writer holds. A write
// whose bucket has moved on since touches nothing. epoch 0: no fence (one daemon per
// identifier).
struct WriteFence {
  int cluster = 0;
  int bucket = 0;
  std::string node;
  int64_t epoch = 0;
  int64_t lock_key = 0;      // memberLockKey of the writer
  int64_t member_fence = 0;  // the writer's member fence when the run was admitted
  bool set() const { return epoch != 0; }
};

class ClusterState {
 public:
  ClusterState(int cluster, std::string node, int lease_seconds);
  ClusterState(const ClusterState&) = delete;
  ClusterState& operator=(const ClusterState&) = delete;

  int cluster() const { return cluster_; }
  const std::string& node() const { return node_; }
  int leaseSeconds() const { return lease_ms_ / 1000; }
  // How often the coordination thread renews and looks at the buckets, in milliseconds.
  int64_t periodMs() const;

  // Workers, for a copy of a service loaded while its bucket was at epoch copy_epoch. kRun: the
  // service is this daemon's and its lease is confirmed: the run is counted in flight until
  // finish(), and *fence is what its writes carry. kHold: its bucket is this daemon's but the
  // lease is not confirmed (the database does not answer): run nothing, keep the service.
  // kDrop: its bucket is not, or no longer, this daemon's, or the copy is of an earlier
  // ownership (the one loaded fresh since replaces it).
  enum class Admission { kRun, kHold, kDrop };
  Admission admit(unsigned long long service_id, int64_t copy_epoch, WriteFence* fence);
  void finish(unsigned long long service_id);
  // Whether the bucket of the service is still this daemon's at the epoch of fence.
  bool keeps(unsigned long long service_id, const WriteFence& fence) const;

  // The lease. A renewal sent at sent_ms (monotonic) was confirmed: the lease holds until
  // sent_ms + lease less a margin, which ends before the server can see it end.
  void confirmLease(int64_t sent_ms);
  void loseLease();
  bool leaseValid() const;
  int64_t leaseLeftMs() const;  // 0 once it has ended here

  // Buckets, changed by the coordination thread only.
  int64_t epoch(int bucket) const;  // 0 when not owned
  bool owned(int bucket) const;     // owned and not being handed over
  bool revoking(int bucket) const;
  void own(int bucket, int64_t epoch);
  void revoke(int bucket);  // no new run; the runs in flight go on
  void forget(int bucket);  // released, or taken by another
  int inFlight(int bucket) const;
  // The buckets owned and not being handed over, as an int[] text ("{1,5,9}").
  std::string ownedArray() const;
  std::vector<int> ownedBuckets() const;

  // This member's fence as the database has it (moved on by each takeover of its buckets by
  // another): set by the coordination thread after it has let go of the buckets taken.
  void setFence(int64_t fence) { fence_.store(fence); }

  // What the metrics show.
  void setMembers(int n) { members_.store(n, std::memory_order_relaxed); }
  int members() const { return members_.load(std::memory_order_relaxed); }

 private:
  enum : int { kNone = 0, kOwned = 1, kRevoking = 2 };
  const int cluster_;
  const std::string node_;
  const int64_t lock_key_;
  const int64_t lease_ms_;
  std::atomic<int64_t> lease_until_ms_{0};
  std::atomic<int> members_{0};
  std::atomic<int64_t> fence_{0};
  std::atomic<int> state_[kClusterBuckets];
  std::atomic<int64_t> epoch_[kClusterBuckets];
  std::atomic<int> in_flight_[kClusterBuckets];
};
