// The run of every mode but the audit: the 18-row telemetry table, then greedy generation.
#pragma once

#include <cstdint>

#include "engine/inference_context.h"
#include "engine/kernel_images.h"

// Needs: ctx filled by start-up (and possibly armed by the splice decision), the prompt ids.
// Prints the telemetry table and the generated answer. Changes only layer_limit, token_id,
// position, the rotary rows and the history fields of ctx.
void run_telemetry_and_generation(TokenStepFn step, InferenceContext* ctx, const int32_t* prompt_ids,
                                  int32_t prefill_length);
