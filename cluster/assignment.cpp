// Rendezvous hashing of buckets over members. Pure functions.

#include "cluster/assignment.h"

#include "cluster/cluster_state.h"
#include "core/hash.h"

// FNV-1a over the name, then a mix with the identifier and the bucket, so that the scores of one
// member for neighbouring buckets are unrelated.
uint64_t rendezvousScore(int cluster, int bucket, const std::string& node) {
  uint64_t h = 0xcbf29ce484222325ULL;
  for (unsigned char c : node) {
    h ^= c;
    h *= 0x100000001b3ULL;
  }
  return mix64(h ^ mix64((static_cast<uint64_t>(static_cast<uint32_t>(cluster)) << 32) |
                         static_cast<uint32_t>(bucket)));
}

std::vector<std::string> assignBuckets(int cluster, const std::vector<std::string>& members) {
  std::vector<std::string> owner(kClusterBuckets);
  for (int b = 0; b < kClusterBuckets; ++b) {
    uint64_t best = 0;
    for (const std::string& m : members) {
      const uint64_t s = rendezvousScore(cluster, b, m);
      // Ties (all but impossible) go to the smaller name, the same everywhere.
      if (owner[b].empty() || s > best || (s == best && m < owner[b])) {
        best = s;
        owner[b] = m;
      }
    }
  }
  return owner;
}
