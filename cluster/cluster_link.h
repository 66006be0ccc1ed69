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
  // Every bucket, and (*own_fence) this member's fence read with them; -1 when it is not in.
  std::vector<ClusterBucket> buckets(int64_t* own_fence);
  // Takes the buckets at the epochs they were read at (and their owners' lock keys, 0 for a free
  // one); returns those taken, with their epochs. *own_fence: this member's new fence when
  // buckets of an earlier life of it were taken (its fence moved on), else -1.
  struct Wanted {
    int id;
    int64_t epoch;
    int64_t owner_key;
  };
  std::vector<std::pair<int, int64_t>> claim(const std::vector<Wanted>& wanted, int64_t* own_fence);
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
