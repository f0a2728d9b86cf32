// The attention-head knockout audit of one layer (14 by default), in the literal schedule and
// the shared one.
#pragma once

#include <cstdint>

#include "engine/kernel_images.h"
#include "engine/prompt_pass.h"
#include "model/inference_context.h"
#include "model/run_limits.h"
#include "reports/records.h"

// Needs: ctx filled, layer limit 1..18. Sets layer_limit, runs a prefill pass and returns the
// probe's reading of the final-normalised state on the audit axis (Truth by default).
float measure_truth(TokenStepFn step, InferenceContext* ctx, const int32_t* prompt_ids, int32_t prefill_length,
                    uint64_t layer_limit);

// Needs: ctx filled by start-up, 0 <= layer <= 17. Prints the audit report: a baseline row, one
// row per head of `layer` zeroed, and the summary naming the head with the largest rebound;
// returns the rows and the best head.
Audit run_head_audit(TokenStepFn step, InferenceContext* ctx, const int32_t* prompt_ids, int32_t prefill_length,
                     int layer = modes::kAuditLayer);

// The same report from shared passes: layers 0 .. layer-1 run once, then the baseline and each
// knocked-out head run the layers from `layer` on from their saved state, each giving both
// readings and the first token in one pass, the classifier only at the last position. With
// mean_ablation a head's output is replaced by its mean over the prompt's positions in the
// baseline's pass instead of zeros.
Audit run_shared_head_audit(const PromptPass& pass, int layer = modes::kAuditLayer, bool mean_ablation = false);
