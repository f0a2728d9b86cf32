#include "engine/rope_tables.h"

#include <cmath>

alignas(64) float rope_cos_table[geom::kMaxPositions][geom::kRotaryPairs];
alignas(64) float rope_sin_table[geom::kMaxPositions][geom::kRotaryPairs];

void build_rope_tables() {
  for (uint64_t p = 0; p < geom::kMaxPositions; p++) {
    for (uint64_t i = 0; i < geom::kRotaryPairs; i++) {
      float e = (static_cast<float>(i) * -2.0f) * 0.00390625f;  // -2i/256, exact
      // The power, cosine and sine are evaluated in double and rounded once, so that every
      // C library gives the same bits (their single-precision versions differ in the last bit).
      float f = static_cast<float>(std::pow(10000.0, static_cast<double>(e)));
      float a = f * static_cast<float>(p);  // one single-precision product
      rope_cos_table[p][i] = static_cast<float>(std::cos(static_cast<double>(a)));
      rope_sin_table[p][i] = static_cast<float>(std::sin(static_cast<double>(a)));
    }
  }
}
