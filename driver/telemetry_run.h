// The run of every mode but the audit: the 18-row telemetry table, then greedy generation.
#pragma once

#include <cstdint>

#include "driver/run_timings.h"
#include "engine/inference_context.h"
#include "engine/kernel_images.h"
#include "engine/prompt_pass.h"

// Needs: ctx filled by start-up (and possibly armed by the splice decision), the prompt ids.
// Prints the telemetry table and the generated answer. Changes only layer_limit, token_id,
// position, the rotary rows and the history fields of ctx. Returns the answer's times.
AnswerTimes run_telemetry_and_generation(TokenStepFn step, InferenceContext* ctx, const int32_t* prompt_ids,
                                         int32_t prefill_length);

// The same output from shared passes: one pass through the layers gives all 18 rows (the
// classifier only after the last layer), and generation continues from the caches it left.
// Needs: pass over the prompt; ctx as for run_telemetry_and_generation.
AnswerTimes run_shared_telemetry_and_generation(TokenStepFn step, const PromptPass& pass);

// Splice mode from shared passes: prints the splice decision, then the same as
// decide_splice followed by run_telemetry_and_generation. Layers 0 .. 14 run once for both;
// the decision's layer 15 is reused when the valve stays closed.
AnswerTimes run_shared_splice_run(TokenStepFn step, const PromptPass& pass, float beta, const float* splice_buffer);
