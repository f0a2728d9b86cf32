// The prompt run layer by layer instead of position by position: all prompt positions go
// through one layer (in blocks, through the kernel image's batched layer entry) before the
// next layer starts, so a schedule can read the state after any layer, branch from a saved
// state, and run the classifier only where its result is read. Every value is bit-identical
// to the prefill pass's for the same layers.
#pragma once

#include <cstdint>

#include "model/inference_context.h"
#include "model/run_limits.h"
#include "engine/kernel_images.h"

struct PromptPass {
  LayerBlockFn block;     // the batched layer entry of the kernel image copy
  InferenceContext* ctx;  // the driver's context: weights, caches, controls, hidden, logits
  const int32_t* ids;     // int32 [count]: the prompt's ids
  int32_t count;          // prefill length, 1 .. kPromptPassCapacity
  float* rows;            // f32 [count][2048]: residual stream of every prompt position; start-up's
  float* saved;           // f32 [count][2048]: a snapshot of rows; start-up's
  float* work;            // f32 [layer_block_work_floats(kMaxBlock)]: the batched layer's work area
};

// Most prompt positions the row buffers are made for.
inline constexpr int32_t kPromptPassCapacity = limits::kPromptIdCapacity;

// Bytes of each row buffer and of the work area that start-up allocates.
uint64_t prompt_rows_bytes();
uint64_t prompt_work_bytes();

// rows = the scaled embeddings of the prompt's ids.
void pass_embed(const PromptPass& pass);
// Needs: rows hold the state before layer l, and the caches of layers below l hold this
// prompt's rows. Runs layer l over every position in position order (knockout, splice and mask
// as the context says); writes rows and the layer's cache rows 0 .. count-1.
void pass_layer(const PromptPass& pass, uint64_t layer);
// hidden = the final-normalised state of the last position (what token_step leaves in hidden
// after a pass that ends with the layer last run).
void pass_read_last(const PromptPass& pass);
// As pass_read_last, then the classifier with the context's history and bias; returns the low
// 32 bits of the argmax, the prefill pass's result.
int32_t pass_classify_last(const PromptPass& pass);
// saved = rows, and back.
void pass_save(const PromptPass& pass);
void pass_restore(const PromptPass& pass);
// rows[p][i] += v[i] for every position: the splice, as the token step adds it.
void pass_add_to_all(const PromptPass& pass, const float* v);

// Several prompts' passes at once. Needs: passes[0 .. count), each with a context of its own
// (caches, controls, hidden, logits) and the same layer mask, block entry and work area; their
// rows one after another in one buffer (pass i + 1's first row right after pass i's last).
// Runs layer l over every position of them all as pass_layer runs it over each: the prompts'
// positions fill shared blocks, so each weight row is streamed once per block for all of them,
// and each row attends over its own prompt's caches.
void packed_layer(const PromptPass* passes, uint64_t count, uint64_t layer);
// Needs: passes as for packed_layer, count <= kMaxBlock. One sweep of the classifier over every
// pass's last position: each context's logits and next[i] as pass_classify_last gives them,
// without writing the contexts' hidden.
void packed_classify_last(const PromptPass* passes, uint64_t count, int32_t* next);
