#pragma once
// Which member each bucket belongs to: rendezvous hashing (the member with the highest score
// for the bucket), so that a member that leaves gives away only its own buckets and one that
// joins takes about a share of each other's. Every member computes the same answer from the same
// list of members: the score depends on nothing but the identifier, the bucket and the name.

#include <cstdint>
#include <string>
#include <vector>

uint64_t rendezvousScore(int cluster, int bucket, const std::string& node);
// The owner of every bucket among members (in any order); all "" when there is none.
std::vector<std::string> assignBuckets(int cluster, const std::vector<std::string>& members);
