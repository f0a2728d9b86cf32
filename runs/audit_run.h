// The attention-head knockout audit of layer 14, in the literal schedule and the shared one.
#pragma once

#include <cstdint>

#include "engine/kernel_images.h"
#include "engine/prompt_pass.h"
#include "model/inference_context.h"
#include "reports/records.h"

// Needs: ctx filled, layer limit 1..18. Sets layer_limit, runs a prefill pass and returns the
// probe's reading of the final-normalised state on the audit axis (Truth by default).
float measure_truth(TokenStepFn step, InferenceContext* ctx, const int32_t* prompt_ids, int32_t prefill_length,
                    uint64_t layer_limit);

// Needs: ctx filled by start-up. Prints the audit report: a baseline row, one row per head of
// layer 14 knocked out, and the summary naming the head with the largest rebound; returns the
// rows and the best head.
Audit run_head_audit(TokenStepFn step, InferenceContext* ctx, const int32_t* prompt_ids, int32_t prefill_length);

// The same report from shared passes: layers 0 .. 13 run once, then the baseline and each
// knocked-out head run layers 14 .. 17 from their saved state, each giving both readings and
// the first token in one pass, the classifier only at the last position.
Audit run_shared_head_audit(const PromptPass& pass);
