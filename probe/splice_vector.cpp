#include "probe/splice_vector.h"

#include <cmath>

#include "model/fp16.h"
#include "model/run_limits.h"
#include "model/weights_layout.h"
#include "probe/probe_tables.h"

namespace {
constexpr float kTruthGain = 3.5f;  // weight of the unit Truth direction
}  // namespace

void build_splice_vector(float* out, float beta, const uint16_t* embedding_table) {
  const uint64_t n = geom::kDim;
  // Unit Truth direction (the truth axis of the tables that read the spliced state); a
  // degenerate row gives zeros.
  const float* w = probe_table(modes::kSpliceLayer).weights[probe_roles().truth];
  float s = 0.0f;
  for (uint64_t j = 0; j < n; j++) {
    float sq = w[j] * w[j];
    s = s + sq;
  }
  float norm = std::sqrt(s);
  float t[geom::kDim];
  for (uint64_t j = 0; j < n; j++) t[j] = norm > kUnitNormThreshold ? w[j] / norm : 0.0f;

  // Unit anchor-token direction; a degenerate row is used unscaled.
  float e[geom::kDim] = {};
  if (embedding_table) {
    const uint16_t* row = embedding_table + modes::kSpliceAnchorToken * geom::kDim;
    float se = 0.0f;
    for (uint64_t j = 0; j < n; j++) {
      e[j] = half_to_float(row[j]);
      float sq = e[j] * e[j];
      se = se + sq;
    }
    float m = std::sqrt(se);
    if (m > kUnitNormThreshold) {
      for (uint64_t j = 0; j < n; j++) e[j] = e[j] / m;
    }
  }

  for (uint64_t j = 0; j < n; j++) {
    float a = beta * e[j];  // each product rounded before the sum
    float b = kTruthGain * t[j];
    out[j] = a + b;
  }
}
