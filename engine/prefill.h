// The prefill pass: the prompt's ids fed at positions 0, 1, ... with the rotary rows of each
// position. Every run mode is built from it.
#pragma once

#include <cstdint>

#include "model/inference_context.h"
#include "engine/kernel_images.h"

// Needs: ctx filled, layer_limit set, 1 <= count <= 2048. Runs token_step for every prompt
// position from 0 and returns the low 32 bits of the last step's result (the next id).
int32_t prefill_pass(TokenStepFn step, InferenceContext* ctx, const int32_t* ids, int32_t count);

// Needs: position < 2048. Points the context's rotary rows at row `position` and sets it.
void set_position(InferenceContext* ctx, uint64_t position);
