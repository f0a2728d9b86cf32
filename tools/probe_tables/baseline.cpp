#include "tools/probe_tables/baseline.h"

#include <cmath>

#include "tools/probe_tables/random_normal.h"

void build_baseline(uint64_t seed, float out[kDim]) {
  SplitMix64 rng{seed};
  static double v[kDim];
  double pinned_sq = 0.0;
  double free_sq = 0.0;
  for (int j = 0; j < kDim; j++) {
    if (j < 4 || j == kBaselineMaxIndex) {
      v[j] = j < 4 ? kBaselineFirst[j] : kBaselineMaxValue;
      pinned_sq += v[j] * v[j];
    } else {
      v[j] = next_normal(&rng);
      free_sq += v[j] * v[j];
    }
  }
  // The free entries carry whatever length the pinned ones leave over.
  const double scale = std::sqrt((kBaselineNorm * kBaselineNorm - pinned_sq) / free_sq);
  for (int j = 0; j < kDim; j++) {
    const bool pinned = j < 4 || j == kBaselineMaxIndex;
    out[j] = static_cast<float>(pinned ? v[j] : v[j] * scale);
  }
}
