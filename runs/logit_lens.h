// The logit lens: the classifier's highest logits at one depth.
#pragma once

#include <cstdint>

#include "reports/records.h"

// Needs: logits f32[256000], 1 <= k <= 20. Writes the k highest logits and their ids into row,
// highest first; equal logits keep the lower id first and NaN ranks below every number.
void top_logits(const float* logits, int k, LensRow* row);
