#pragma once
// A 64-bit mix (splitmix64's finaliser): every bit of the result depends on every bit of x, so
// that neighbouring inputs give unrelated outputs.

#include <cstdint>

inline uint64_t mix64(uint64_t x) {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ULL;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebULL;
  x ^= x >> 31;
  return x;
}
