// A small deterministic random source. Only integer steps and sums of doubles are used, so
// the tables come out bit-identical on every machine and library.
#pragma once

#include <cmath>
#include <cstdint>

struct SplitMix64 {
  uint64_t state;  // advanced on every draw
};

// Needs: a seeded generator. Returns the next 64 random bits.
inline uint64_t next_u64(SplitMix64* rng) {
  uint64_t z = (rng->state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// Needs: a seeded generator. Returns a uniform double in [0, 1) on a 2^-53 grid.
inline double next_unit(SplitMix64* rng) {
  return static_cast<double>(next_u64(rng) >> 11) * 0x1.0p-53;
}

// Needs: a seeded generator. Returns an approximately standard normal value: the sum of 12
// uniforms less 6 (no logarithms, so no library differences), redrawn beyond 3.5 so that no
// entry strays towards the pinned maxima.
inline double next_normal(SplitMix64* rng) {
  for (;;) {
    double sum = 0.0;
    for (int i = 0; i < 12; i++) sum += next_unit(rng);
    sum -= 6.0;
    if (std::fabs(sum) <= 3.5) return sum;
  }
}
