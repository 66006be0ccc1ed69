#pragma once
// The statements of the membership, leases and buckets of several daemons sharing one
// identifier (sql/cluster.sql), on a pool of the coordination thread's own, so that no busy
// worker pool delays a renewal. Every call throws PostgresqlException on a failure.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

class pgConnectionPool;

struct ClusterMember {
  std::string node;
  bool live = false;     // its lease has not ended (the server's clock)
  bool settled = false;  // in long enough to be given buckets
  int64_t left_ms = 0;   // to the end of its lease (negative once ended)
};

struct ClusterBucket {
  int id = 0;
  std::string owner;  // "" while free
  int64_t epoch = 0;
};

class ClusterLink {
 public:
  ClusterLink(pgConnectionPool* pool, int cluster, std::string node, int lease_seconds);

  // The tables of sql/cluster.sql missing from the database, by name ("" when none is).
  std::string missingTables();
  // Joins the identifier (creating its buckets when they do not exist yet). False when a member
  // of the same name still holds its lease; *left_s is then what is left of it.
  bool join(int* left_s);
  // Renews the lease; false when it had already ended on the server.
  bool renew();
  std::vector<ClusterMember> members(int64_t settle_ms);
  std::vector<ClusterBucket> buckets();
  // Takes the buckets at the epochs they were read at; returns those taken, with their epochs.
  std::vector<std::pair<int, int64_t>> claim(const std::vector<std::pair<int, int64_t>>& wanted);
  // Frees buckets of this member; returns those freed.
  std::vector<int> release(const std::vector<int>& ids);
  // Frees every bucket of this member and ends its membership; returns the buckets freed.
  int leave();

 private:
  pgConnectionPool* pool_;
  const std::string cluster_;
  const std::string node_;
  const std::string lease_;
};
