// The one record between the driver and the kernel image. Its layout is a binary
// interface with the machine code and must not be reordered.
#pragma once

#include <cstddef>
#include <cstdint>

struct InferenceContext {
  float* hidden;             // f32[2048], owned by the driver: residual, then final-normalised state
  float* logits;             // f32[256000]: classifier output after penalty and bias
  float* scratch;            // 1 MiB work area of the decoder layer
  const float* rope_cos;     // f32[128]: row `position` of the cosine table
  const float* rope_sin;     // f32[128]: row `position` of the sine table
  float* key_cache;          // f32 [18][max_positions][256]
  float* value_cache;        // f32 [18][max_positions][256]
  const uint16_t* embedding_table;  // fp16 [256000][2048] inside the weights view
  const uint8_t* weights_base;      // first byte of the mapped weights file
  const float* final_norm;   // f32[2048] inside the weights view
  uint64_t token_id;         // token fed at this step
  uint64_t position;         // sequence position of this step
  uint64_t max_positions;    // cache rows per layer (2048)
  uint64_t layer_limit;      // layers 0 .. layer_limit-1 run
  void* job_slots;           // the job area of the matrix-vector products
  const uint64_t* history;   // recently generated ids, oldest first, or null
  uint64_t history_count;    // ids at `history` (at most 32)
  uint64_t layer_mask;       // bit l enables layer l; 0 enables all
  uint64_t forced_token;     // returned at once when 1 .. 255999
  uint64_t bias_token;       // id whose logit gets bias_value when 1 .. 255999
  float bias_value;
  uint32_t knockout_enabled;
  int32_t knockout_layer;
  int32_t knockout_head;
  uint32_t splice_enabled;
  int32_t splice_layer;
  const float* splice_vector;  // f32[2048] added after splice_layer, or null
  // The summed control vectors: row l is added after layer l (before the splice, when both
  // apply after one layer) when bit l of control_mask is set and the layer runs.
  const float* control_table;  // f32 [18][2048], or null
  uint64_t control_mask;       // bit l: add row l of control_table after layer l
  // Mean ablation: the knocked-out head's attention output becomes this vector instead of
  // zeros; null zeroes it.
  const float* knockout_values;  // f32[256], or null
  // When non-null, every layer that runs adds each position's attention output (before any
  // knockout) into its row, in position order: the sums a mean ablation is made from.
  float* attention_sums;         // f32 [18][2048], or null
};

static_assert(offsetof(InferenceContext, hidden) == 0);
static_assert(offsetof(InferenceContext, logits) == 8);
static_assert(offsetof(InferenceContext, scratch) == 16);
static_assert(offsetof(InferenceContext, rope_cos) == 24);
static_assert(offsetof(InferenceContext, rope_sin) == 32);
static_assert(offsetof(InferenceContext, key_cache) == 40);
static_assert(offsetof(InferenceContext, value_cache) == 48);
static_assert(offsetof(InferenceContext, embedding_table) == 56);
static_assert(offsetof(InferenceContext, weights_base) == 64);
static_assert(offsetof(InferenceContext, final_norm) == 72);
static_assert(offsetof(InferenceContext, token_id) == 80);
static_assert(offsetof(InferenceContext, position) == 88);
static_assert(offsetof(InferenceContext, max_positions) == 96);
static_assert(offsetof(InferenceContext, layer_limit) == 104);
static_assert(offsetof(InferenceContext, job_slots) == 112);
static_assert(offsetof(InferenceContext, history) == 120);
static_assert(offsetof(InferenceContext, history_count) == 128);
static_assert(offsetof(InferenceContext, layer_mask) == 136);
static_assert(offsetof(InferenceContext, forced_token) == 144);
static_assert(offsetof(InferenceContext, bias_token) == 152);
static_assert(offsetof(InferenceContext, bias_value) == 160);
static_assert(offsetof(InferenceContext, knockout_enabled) == 164);
static_assert(offsetof(InferenceContext, knockout_layer) == 168);
static_assert(offsetof(InferenceContext, knockout_head) == 172);
static_assert(offsetof(InferenceContext, splice_enabled) == 176);
static_assert(offsetof(InferenceContext, splice_layer) == 180);
static_assert(offsetof(InferenceContext, splice_vector) == 184);
static_assert(offsetof(InferenceContext, control_table) == 192);
static_assert(offsetof(InferenceContext, control_mask) == 200);
static_assert(offsetof(InferenceContext, knockout_values) == 208);
static_assert(offsetof(InferenceContext, attention_sums) == 216);
static_assert(sizeof(InferenceContext) == 224);
