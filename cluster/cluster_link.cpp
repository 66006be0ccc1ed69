// Membership, leases and buckets in the database. Called by the coordination thread (and by
// start-up for the first join), on its own pool; takes no lock of its own.

#include "cluster/cluster_link.h"

#include <libpq-fe.h>

#include "db/array_text.h"
#include "db/pg_handles.h"
#include "db/pool.h"
#include "db/statements.h"

ClusterLink::ClusterLink(pgConnectionPool* pool, int cluster, std::string node, int lease_seconds)
    : pool_(pool),
      cluster_(std::to_string(cluster)),
      node_(std::move(node)),
      lease_(std::to_string(lease_seconds)) {}

std::string ClusterLink::missingTables() {
  PgResult r(pool_->executeRequest(sql::cluster::kMissingTables));
  return PQntuples(r.get()) > 0 ? PQgetvalue(r.get(), 0, 0) : "";
}

bool ClusterLink::join(int* left_s) {
  PgResult(pool_->executeParamRequest(sql::cluster::kCreateBuckets, {cluster_}));
  PgResult(pool_->executeParamRequest(sql::cluster::kForgetOldMembers, {cluster_}));
  PgResult joined(pool_->executeParamRequest(sql::cluster::kJoin, {cluster_, node_, lease_}));
  if (PQntuples(joined.get()) > 0) return true;
  PgResult left(pool_->executeParamRequest(sql::cluster::kLeaseLeft, {cluster_, node_}));
  *left_s = PQntuples(left.get()) > 0 ? std::atoi(PQgetvalue(left.get(), 0, 0)) : 0;
  return false;
}

bool ClusterLink::renew() {
  PgResult r(pool_->executeParamRequest(sql::cluster::kRenew, {cluster_, node_, lease_}));
  return PQntuples(r.get()) > 0;
}

std::vector<ClusterMember> ClusterLink::members(int64_t settle_ms) {
  PgResult r(
      pool_->executeParamRequest(sql::cluster::kMembers, {cluster_, std::to_string(settle_ms)}));
  std::vector<ClusterMember> out;
  for (int i = 0; i < PQntuples(r.get()); ++i) {
    ClusterMember m;
    m.node = PQgetvalue(r.get(), i, 0);
    m.live = std::string(PQgetvalue(r.get(), i, 1)) == "t";
    m.settled = std::string(PQgetvalue(r.get(), i, 2)) == "t";
    m.left_ms = std::atoll(PQgetvalue(r.get(), i, 3));
    out.push_back(std::move(m));
  }
  return out;
}

namespace {
int64_t fenceOf(const PgResult& r, int column) {
  for (int i = 0; i < PQntuples(r.get()); ++i)
    if (!PQgetisnull(r.get(), i, column)) return std::atoll(PQgetvalue(r.get(), i, column));
  return -1;
}
}  // namespace

std::vector<ClusterBucket> ClusterLink::buckets(int64_t* own_fence) {
  PgResult r(pool_->executeParamRequest(sql::cluster::kBuckets, {cluster_, node_}));
  *own_fence = fenceOf(r, 3);
  std::vector<ClusterBucket> out;
  for (int i = 0; i < PQntuples(r.get()); ++i)
    out.push_back({std::atoi(PQgetvalue(r.get(), i, 0)), PQgetvalue(r.get(), i, 1),
                   std::atoll(PQgetvalue(r.get(), i, 2))});
  return out;
}

std::vector<std::pair<int, int64_t>> ClusterLink::claim(const std::vector<Wanted>& wanted,
                                                        int64_t* own_fence) {
  ArrayText ids, epochs, keys;
  for (const Wanted& w : wanted) {
    ids.add(static_cast<long long>(w.id));
    epochs.add(static_cast<long long>(w.epoch));
    keys.add(static_cast<long long>(w.owner_key));
  }
  PgResult r(pool_->executeParamRequest(sql::cluster::kClaim,
                                        {cluster_, node_, ids.str(), epochs.str(), keys.str()}));
  *own_fence = fenceOf(r, 2);
  std::vector<std::pair<int, int64_t>> taken;
  for (int i = 0; i < PQntuples(r.get()); ++i)
    taken.emplace_back(std::atoi(PQgetvalue(r.get(), i, 0)), std::atoll(PQgetvalue(r.get(), i, 1)));
  return taken;
}

std::vector<int> ClusterLink::release(const std::vector<int>& ids) {
  PgResult r(pool_->executeParamRequest(sql::cluster::kRelease,
                                        {cluster_, node_, ArrayText::ofNumbers(ids)}));
  std::vector<int> freed;
  for (int i = 0; i < PQntuples(r.get()); ++i)
    freed.push_back(std::atoi(PQgetvalue(r.get(), i, 0)));
  return freed;
}

int ClusterLink::leave() {
  PgResult r(pool_->executeParamRequest(sql::cluster::kLeave, {cluster_, node_}));
  return PQntuples(r.get()) > 0 ? std::atoi(PQgetvalue(r.get(), 0, 0)) : 0;
}
