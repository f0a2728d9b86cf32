// One token at one position through the model: embedding, the enabled decoder layers, the
// final normalisation, the tied classifier, the history penalty and logit bias, argmax.
//
// Image code: freestanding, no library calls. The step writes no field of the context,
// only hidden, logits, the work area and row `position` of the caches of the layers run.
#include <immintrin.h>

#include "engine/weights_layout.h"
#include "kernels/kernels.h"
#include "kernels/simd.h"

namespace {

// Needs: n a multiple of 8. hidden[i] += add[i].
inline void add_vector(float* hidden, const float* add, uint64_t n) {
  for (uint64_t i = 0; i < n; i += 8)
    _mm256_storeu_ps(hidden + i, _mm256_add_ps(_mm256_loadu_ps(hidden + i), _mm256_loadu_ps(add + i)));
}

}  // namespace

// Needs: a filled context within its limits (token_id < 256000, position < max_positions,
// 1 <= layer_limit <= 18, earlier rows of the caches from this sequence). Writes hidden,
// logits, the work area and cache row `position` of every layer run; returns the next id.
extern "C" KV_ABI uint64_t token_step(InferenceContext* ctx) {
  using namespace geom;
  const uint64_t forced = ctx->forced_token;
  if (forced != 0 && forced < kVocab) return forced;

  float* const hidden = ctx->hidden;
  const uint16_t* const emb = ctx->embedding_table;  // fp16 [256000][2048]

  // Widen first, then scale by sqrt(2048).
  const uint16_t* row = emb + ctx->token_id * kDim;
  const __m256 scale = _mm256_set1_ps(0x1.6a09e6p+5f);  // bits 0x423504F3
  for (uint64_t i = 0; i < kDim; i += 8) {
    _mm256_storeu_ps(hidden + i, _mm256_mul_ps(simd::load_f16(row + i), scale));
  }

  const uint64_t mask = ctx->layer_mask;
  const uint64_t layer_floats = ctx->max_positions * kKvDim;  // cache stride of one layer
  for (uint64_t l = 0; l < ctx->layer_limit; l++) {
    if (mask != 0 && ((mask >> (l & 63)) & 1) == 0) continue;

    const uint8_t* block = ctx->weights_base + l * layer_off::block_size;
    LayerParams lp;
    lp.hidden = hidden;
    lp.attn_norm = reinterpret_cast<const float*>(block + layer_off::attn_norm);
    lp.wq = reinterpret_cast<const uint16_t*>(block + layer_off::wq);
    lp.wk = reinterpret_cast<const uint16_t*>(block + layer_off::wk);
    lp.wv = reinterpret_cast<const uint16_t*>(block + layer_off::wv);
    lp.wo = reinterpret_cast<const uint16_t*>(block + layer_off::wo);
    lp.ffn_norm = reinterpret_cast<const float*>(block + layer_off::ffn_norm);
    lp.w_gate = reinterpret_cast<const uint16_t*>(block + layer_off::w_gate);
    lp.w_up = reinterpret_cast<const uint16_t*>(block + layer_off::w_up);
    lp.w_down = reinterpret_cast<const uint16_t*>(block + layer_off::w_down);
    lp.layer_keys = ctx->key_cache + l * layer_floats;
    lp.layer_values = ctx->value_cache + l * layer_floats;
    lp.rope_cos = ctx->rope_cos;
    lp.rope_sin = ctx->rope_sin;
    lp.scratch = ctx->scratch;
    lp.position = ctx->position;
    lp.dim = kDim;
    lp.ffn_dim = kFfnDim;
    lp.heads = kHeads;
    lp.head_dim = kHeadDim;
    lp.job_slots = ctx->job_slots;
    const bool knock = ctx->knockout_enabled != 0 && ctx->knockout_layer == int32_t(l);
    lp.knockout_head = knock ? int64_t(ctx->knockout_head) : -1;
    decoder_layer(&lp);

    // Added after the layer's last residual, so layer l + 1 sees the spliced state.
    if (ctx->splice_enabled != 0 && ctx->splice_layer == int32_t(l) && ctx->splice_vector)
      add_vector(hidden, ctx->splice_vector, kDim);
  }

  rms_norm(hidden, ctx->final_norm, hidden, kDim, 0x1.4f8b58p-17f);  // eps bits 0x3727C5AC

  float* const logits = ctx->logits;
  gemv_f16(logits, emb, hidden, kDim, kVocab, static_cast<JobHeader*>(ctx->job_slots));

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
