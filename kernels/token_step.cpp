// One token at one position through the model: embedding, the enabled decoder layers, the
// final normalisation, the tied classifier, the history penalty and logit bias, argmax.
//
// Image code: freestanding, no library calls. The step writes no field of the context,
// only hidden, logits, the work area and row `position` of the caches of the layers run.
#include <immintrin.h>

#include "kernels/kernels.h"
#include "kernels/layer_weights.h"
#include "model/weights_layout.h"
#include "kernels/simd.h"
#include "kernels/step_parts.h"

// Needs: a filled context within its limits (token_id < 256000, position < max_positions,
// 1 <= layer_limit <= 18, earlier rows of the caches from this sequence). Writes hidden,
// logits, the work area and cache row `position` of every layer run; returns the next id.
extern "C" KV_ABI uint64_t token_step(InferenceContext* ctx) {
  using namespace geom;
  using namespace step_parts;
  const uint64_t forced = ctx->forced_token;
  if (forced != 0 && forced < kVocab) return forced;

  float* const hidden = ctx->hidden;
  const uint16_t* const emb = ctx->embedding_table;  // fp16 [256000][2048]

  embed(hidden, emb, ctx->token_id);

  for (uint64_t l = 0; l < ctx->layer_limit; l++) {
    if (!layer_enabled(ctx, l)) continue;

    const LayerWeights w = layer_weights(ctx->weights_base, l);
    LayerParams lp;
    lp.hidden = hidden;
    lp.attn_norm = w.attn_norm;
    lp.wq = w.wq;
    lp.wk = w.wk;
    lp.wv = w.wv;
    lp.wo = w.wo;
    lp.ffn_norm = w.ffn_norm;
    lp.w_gate = w.w_gate;
    lp.w_up = w.w_up;
    lp.w_down = w.w_down;
    lp.layer_keys = layer_keys(ctx, l);
    lp.layer_values = layer_values(ctx, l);
    lp.rope_cos = ctx->rope_cos;
    lp.rope_sin = ctx->rope_sin;
    lp.scratch = ctx->scratch;
    lp.position = ctx->position;
    lp.dim = kDim;
    lp.ffn_dim = kFfnDim;
    lp.heads = kHeads;
    lp.head_dim = kHeadDim;
    lp.job_slots = ctx->job_slots;
    lp.knockout_head = knockout_for(ctx, l);
    lp.knockout_values = ctx->knockout_values;
    decoder_layer(&lp);

    // Added after the layer's last residual, so layer l + 1 sees the steered state: the
    // control row first, then the splice (the shared splice run adds its vector last too).
    if (const float* control = control_after(ctx, l)) add_vector(hidden, control, kDim);
    if (splices_after(ctx, l)) add_vector(hidden, ctx->splice_vector, kDim);
  }

  rms_norm(hidden, ctx->final_norm, hidden, kDim, kNormEps);
  return classify(ctx);
}
