// The splice mode: a 16-layer decision pass reads the probe's gate axis (Domain by default); when it is positive
// the splice vector is added to the state after layer 14 for the rest of the run.
#pragma once

#include <cstdint>

#include "engine/kernel_images.h"
#include "engine/prompt_pass.h"
#include "model/inference_context.h"
#include "reports/records.h"
#include "runs/telemetry_run.h"

// The literal decision. Needs: ctx filled by start-up, splice off. Runs the 16-layer prefill,
// reads the probe and prints the two decision lines; arms the splice (splice_buffer after
// layer 14) when the gate axis reads above 0. Returns the decision.
SpliceDecision decide_splice(TokenStepFn step, InferenceContext* ctx, const int32_t* prompt_ids,
                             int32_t prefill_length, float beta, const float* splice_buffer);

// Needs: a reading of the 16-layer pre-pass. Prints lines A/B and arms the splice when
// the gate axis's reading > 0 (strictly; NaN does not), else prints lines C/D and leaves it off.
SpliceDecision apply_splice_decision(InferenceContext* ctx, const ProbeReading& r, float beta,
                                     const float* splice_buffer);

// apply_splice_decision without the lines.
SpliceDecision set_splice(InferenceContext* ctx, const ProbeReading& r, float beta, const float* splice_buffer);

// Splice mode from shared passes: prints the splice decision, then the same as decide_splice
// followed by run_telemetry_and_generation. Layers 0 .. 14 run once for both; the decision's
// layer 15 is reused when the valve stays closed. Copies each row's states into `states`.
SpliceDecision run_shared_splice_run(TokenStepFn step, const PromptPass& pass, float beta,
                                     const float* splice_buffer, Telemetry* t, Answer* a,
                                     const DepthStates& states = {});

// The same decision and telemetry without printing; *next_id = the full model's next id (its
// logits in the context), from which the answer starts.
SpliceDecision run_shared_splice_telemetry(const PromptPass& pass, float beta, const float* splice_buffer,
                                           Telemetry* t, int32_t* next_id, const DepthStates& states = {});

// run_shared_splice_telemetry for several prompts at once. Needs: passes as packed_layer needs
// them, each with a `saved` buffer of its own, count <= kMaxBlock. Their layers run packed: all
// of them up to the decision's layer 15, then the armed ones' layers from 15 again, then all of
// them; each prompt's decision into d[i], its rows into t[i] and states[i], its next id into
// next[i] (the logits in its context).
void run_packed_splice_telemetry(const PromptPass* passes, uint64_t count, float beta, const float* splice_buffer,
                                 Telemetry* const* t, const DepthStates* states, int32_t* next, SpliceDecision* d);
