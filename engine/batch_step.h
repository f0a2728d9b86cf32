// Decode steps of many sequences at once: one token of each through the 18 layers in the
// batched layer entry, so every weight row is read once for all of them, then one sweep of
// the classifier for all. Every value is bit-identical to token_step's for each sequence alone.
#pragma once

#include <cstdint>

#include "model/inference_context.h"
#include "engine/kernel_images.h"

struct BatchStep {
  LayerBlockFn block;  // the batched layer entry of the kernel image copy
  uint64_t capacity;   // most sequences per step, 1 .. kMaxBlock
  float* rows;         // f32 [capacity][2048]: each sequence's residual stream; this struct's
  float* work;         // f32 [layer_block_work_floats(capacity)]: the batched layer's work area
  float* rope_cos;     // f32 [capacity][128]: each sequence's rotary rows, gathered per step
  float* rope_sin;     // f32 [capacity][128]: likewise for the sines
  float* logits;       // f32 [capacity][256000]: row t holds sequence t's logits after its penalty
  int32_t* ids;        // int32 [capacity]: the token fed to each sequence
  uint64_t* next;      // [capacity]: each sequence's argmax after the step
};

// Needs: 1 <= capacity <= kMaxBlock. Allocates the buffers (for the life of the process);
// false when memory is short.
bool make_batch_step(BatchStep* step, LayerBlockFn block, uint64_t capacity);

// Needs: 1 <= count <= capacity; each seqs[t] filled as for token_step (token_id < 256000,
// position, history, controls; cache rows below position from its sequence) with the same
// layer mask and no forced token, every sequence distinct. Feeds each its token through all
// 18 layers and the classifier: step.next[t] = what token_step(seqs[t]) returns, and logits
// row t = what it leaves in seqs[t]->logits. Writes cache row `position` of every sequence.
void run_batch_step(const BatchStep& step, InferenceContext* const* seqs, uint64_t count);
