// The four probe directions: pinned entries as published, the rest random, built one row at a
// time in double precision to be exactly unit length and orthogonal to the rows before it,
// then rounded to f32. A row whose f32 values miss any bound is drawn again.
#pragma once

#include <cstdint>

#include "tools/probe_tables/telling_values.h"

struct WeightRowStats {
  int draws[kAxes];  // how many random draws each row took until its f32 values passed
};

// Needs: a seed. Writes rows (4 x 2048 f32, caller's) and free_mask[j] (2048, caller's: true where
// no row has a pinned entry). Every row has f32 sum of squares (ascending, one accumulator)
// exactly 1.0f, exact length within kNormTarget of 1, exact and f32 dot products with the
// other rows within kDotTarget and kDot32Target, and free entries no larger than kFreeLimit.
// Returns false if some row found no such draw.
bool build_weight_rows(uint64_t seed, float rows[kAxes][kDim], bool free_mask[kDim], WeightRowStats* stats);
