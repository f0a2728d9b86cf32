// The pieces of the token step around the layers, shared by the single step and the batched
// layer entry so that both round exactly alike.
//
// Image code: header only, inlined, calls only kernels of the image.
#pragma once

#include <immintrin.h>
#include <stdint.h>

#include "model/inference_context.h"
#include "kernels/kernels.h"
#include "model/weights_layout.h"
#include "kernels/simd.h"

namespace step_parts {

// Needs: out f32[2048]; emb fp16 [256000][2048]; id < 256000. Writes the token's embedding row,
// widened first, then scaled by sqrt(2048).
static inline void embed(float* out, const uint16_t* emb, uint64_t id) {
  using geom::kDim;
  const uint16_t* row = emb + id * kDim;
  const __m256 scale = _mm256_set1_ps(geom::kEmbedScale);
  for (uint64_t i = 0; i < kDim; i += 8) _mm256_storeu_ps(out + i, _mm256_mul_ps(simd::load_f16(row + i), scale));
}

// Needs: n a multiple of 8. hidden[i] += add[i].
static inline void add_vector(float* hidden, const float* add, uint64_t n) {
  for (uint64_t i = 0; i < n; i += 8)
    _mm256_storeu_ps(hidden + i, _mm256_add_ps(_mm256_loadu_ps(hidden + i), _mm256_loadu_ps(add + i)));
}

// Row 0 of layer l's key cache, then of its value cache (rows of 256 f32).
static inline float* layer_keys(const InferenceContext* ctx, uint64_t l) {
  return ctx->key_cache + l * ctx->max_positions * geom::kKvDim;
}
static inline float* layer_values(const InferenceContext* ctx, uint64_t l) {
  return ctx->value_cache + l * ctx->max_positions * geom::kKvDim;
}

// True when the context adds its splice vector after layer l.
static inline bool splices_after(const InferenceContext* ctx, uint64_t l) {
  return ctx->splice_enabled != 0 && ctx->splice_layer == int32_t(l) && ctx->splice_vector;
}

// The control row to add after layer l, or null when the context adds none there.
static inline const float* control_after(const InferenceContext* ctx, uint64_t l) {
  const bool on = ctx->control_table && l < geom::kLayers && ((ctx->control_mask >> l) & 1) != 0;
  return on ? ctx->control_table + l * geom::kDim : nullptr;
}

// True when the context's layer mask lets layer l run (a zero mask enables every layer).
static inline bool layer_enabled(const InferenceContext* ctx, uint64_t l) {
  const uint64_t mask = ctx->layer_mask;
  return mask == 0 || ((mask >> (l & 63)) & 1) != 0;
}

// The head knocked out in layer l: the context's head when the knockout is on for l, else -1.
static inline int64_t knockout_for(const InferenceContext* ctx, uint64_t l) {
  const bool knock = ctx->knockout_enabled != 0 && ctx->knockout_layer == int32_t(l);
  return knock ? int64_t(ctx->knockout_head) : -1;
}

// Needs: ctx->hidden final-normalised. Writes ctx->logits (the tied classifier, then the
// history penalty and the logit bias) and returns the lowest index of the largest logit.
static inline uint64_t penalise_and_pick(float* logits, const InferenceContext* ctx);

static inline uint64_t classify(InferenceContext* ctx) {
  using geom::kDim, geom::kVocab;
  float* const logits = ctx->logits;
  gemv_f16(logits, ctx->embedding_table, ctx->hidden, kDim, kVocab, static_cast<JobHeader*>(ctx->job_slots));
  return penalise_and_pick(logits, ctx);
}

// Needs: logits f32[256000], the classifier's output for ctx's sequence. Applies ctx's history
// penalty and logit bias and returns the lowest index of the largest logit.
static inline uint64_t penalise_and_pick(float* logits, const InferenceContext* ctx) {
  using geom::kVocab;
  if (ctx->history && ctx->history_count != 0) {
    for (uint64_t k = 0; k < ctx->history_count; k++) {
      const uint64_t id = ctx->history[k];
      if (id < kVocab) logits[id] -= 1.5f;  // once per occurrence
    }
  }
  const uint64_t bias = ctx->bias_token;
  if (bias != 0 && bias < kVocab) logits[bias] += ctx->bias_value;
  return argmax(logits, kVocab);
}

}  // namespace step_parts
