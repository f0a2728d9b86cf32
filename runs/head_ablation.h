// How the audits silence a head: the context's knockout hook, with zeros or with the head's
// mean output over the prompt.
#pragma once

#include <cstdint>

#include "model/inference_context.h"

// Needs: sums f32 [18][2048] as the context's attention_sums left them after an unablated pass
// over count >= 1 positions. means[i] = sums[i] / count for every layer (one rounding each).
void mean_from_sums(const float* sums, int32_t count, float* means);

// Knocks out head `head` of layer `layer` (head < 0: no knockout): its attention output is
// replaced by row [layer][head] of means (f32 [18][8][256]) when means is given, else zeroed.
// The splice and a forced token are off.
void set_knockout(InferenceContext* ctx, int layer, int head, const float* means);
