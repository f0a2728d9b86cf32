// The reference state subtracted before a reading: published entries pinned, the rest
// random, scaled to the published length.
#pragma once

#include <cstdint>

#include "tools/probe_tables/telling_values.h"

// Needs: a seed. Writes out (2048 f32, caller's): elements 0 to 3 and 50 as published, the
// free entries random and scaled in double so the whole vector has length kBaselineNorm,
// then rounded to f32.
void build_baseline(uint64_t seed, float out[kDim]);
