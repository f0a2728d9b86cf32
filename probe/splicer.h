// The substitute splicer: a fixed vector added to the state after layer 14 when the probe's
// Domain axis reads the prompt as inside the target domain.
#pragma once

#include <cstdint>

#include "engine/inference_context.h"
#include "engine/kernel_images.h"
#include "probe/probe.h"

inline constexpr uint64_t kSpliceAnchorToken = 235308;  // vocabulary text "5"

// Needs: the probe tables loaded; out holds 2048 f32; embedding_table is fp16 [256000][2048]
// or null. Writes out = beta * unit(anchor row) + 3.5 * unit(Truth row).
void build_splice_vector(float* out, float beta, const uint16_t* embedding_table);

// Needs: ctx filled by start-up, splice off. Runs the 16-layer prefill, reads the probe and
// prints the two decision lines; arms the splice (splice_buffer after layer 14) when the
// Domain reading is above 0.
void decide_splice(TokenStepFn step, InferenceContext* ctx, const int32_t* prompt_ids, int32_t prefill_length,
                   float beta, const float* splice_buffer);

// Needs: a reading of the 16-layer pre-pass. Prints lines A/B and arms the splice when
// r.domain > 0 (strictly; NaN does not), else prints lines C/D and leaves it off.
void apply_splice_decision(InferenceContext* ctx, const ProbeReading& r, float beta, const float* splice_buffer);
