// One decoder layer for a block of consecutive positions: the same steps as decoder_layer,
// but each projection is one batched product (gemm_f16) over the block, so every weight row
// is streamed once per block instead of once per position. Element-wise work runs position by
// position through the very helpers the single-step layer uses, so every value rounds alike.
//
// Image code: freestanding, no library calls.
#include "model/layer_block.h"

#include "kernels/kernels.h"
#include "kernels/layer_math.h"
#include "kernels/layer_weights.h"
#include "model/weights_layout.h"
#include "kernels/step_parts.h"

using namespace layer_math;
using namespace step_parts;

namespace {

constexpr uint64_t kRopeCols = geom::kRotaryPairs;  // one row of a rotary table

// Needs: a LayerBlock with kBlockLayer; cache rows 0 .. first_position-1 of the layer hold this
// sequence. Updates rows, writes cache rows first_position .. first_position+count-1 and work.
void run_layer(const LayerBlock* b) {
  using geom::kDim, geom::kKvDim, geom::kFfnDim, geom::kMaxPositions;
  using geom::kNormEps;
  InferenceContext* const ctx = b->ctx;
  const uint64_t l = b->layer;
  const uint64_t n = b->count;
  const uint64_t p0 = b->first_position;
  auto* const area = static_cast<JobHeader*>(ctx->job_slots);

  // The work area, in f32 elements (see layer_block_work_floats).
  float* const x_norm = b->work;           // [n][2048] normalised inputs (attention, then ffn)
  float* const proj = x_norm + n * kDim;   // [n][2048] output of wo, later of w_down
  float* const q = proj + n * kDim;        // [n][8][256] queries
  float* const k = q + n * kDim;           // [n][256] keys
  float* const v = k + n * kKvDim;         // [n][256] values
  float* const attn = v + n * kKvDim;      // [n][8][256] attention outputs
  float* const scores = attn + n * kDim;   // [2048] scores of one head
  float* const gate = scores + kMaxPositions;  // [n][16384] gate projection, then the activation
  float* const up = gate + n * kFfnDim;    // [n][16384] up projection
  float* const pack = up + n * kFfnDim;    // [n][16384] a product's inputs in the tiles' order

  const LayerWeights w = layer_weights(ctx->weights_base, l);
  float* const keys = layer_keys(ctx, l);
  float* const values = layer_values(ctx, l);

  for (uint64_t t = 0; t < n; t++) rms_norm(x_norm + t * kDim, w.attn_norm, b->rows + t * kDim, kDim, kNormEps);
  gemm_f16(q, w.wq, x_norm, kDim, kDim, n, pack, area);
  gemm_f16(k, w.wk, x_norm, kDim, kKvDim, n, pack, area);
  gemm_f16(v, w.wv, x_norm, kDim, kKvDim, n, pack, area);

  // Every key and value of the block goes into the cache before any position attends: position
  // p reads rows 0 .. p, as the single step does.
  for (uint64_t t = 0; t < n; t++) {
    const float* cos = b->rope_cos + t * kRopeCols;
    const float* sin = b->rope_sin + t * kRopeCols;
    for (uint64_t h = 0; h < kHeads; h++) rotate_head(q + t * kDim + h * kHeadDim, cos, sin);
    rotate_head(k + t * kKvDim, cos, sin);
    copy_row(keys + (p0 + t) * kHeadDim, k + t * kKvDim);
    copy_row(values + (p0 + t) * kHeadDim, v + t * kKvDim);
  }
  const int64_t knockout = knockout_for(ctx, l);
  float* const sums = ctx->attention_sums ? ctx->attention_sums + l * kDim : nullptr;
  for (uint64_t t = 0; t < n; t++) {
    attend(attn + t * kDim, scores, q + t * kDim, keys, values, p0 + t);
    if (sums) add_into(sums, attn + t * kDim, kDim);  // blocks come in position order
    knock_out(attn + t * kDim, knockout, ctx->knockout_values);
  }

  gemm_f16(proj, w.wo, attn, kDim, kDim, n, pack, area);
  for (uint64_t t = 0; t < n; t++) {
    add_into(b->rows + t * kDim, proj + t * kDim, kDim);
    rms_norm(x_norm + t * kDim, w.ffn_norm, b->rows + t * kDim, kDim, kNormEps);
  }
  gemm_f16(gate, w.w_gate, x_norm, kDim, kFfnDim, n, pack, area);
  gemm_geglu_f16(up, w.w_up, x_norm, kDim, kFfnDim, n, gate, pack, area);  // gate becomes the activation
  gemm_f16(proj, w.w_down, gate, kFfnDim, kDim, n, pack, area);
  const float* const control = control_after(ctx, l);
  for (uint64_t t = 0; t < n; t++) {
    add_into(b->rows + t * kDim, proj + t * kDim, kDim);
    // Added after the layer's last residual, so the next layer sees the steered state; in the
    // token step's order: the control row, then the splice.
    if (control) add_vector(b->rows + t * kDim, control, kDim);
    if (splices_after(ctx, l)) add_vector(b->rows + t * kDim, ctx->splice_vector, kDim);
  }
}

}  // namespace

// Needs: a filled LayerBlock within its limits. Does the operations its bits name, in order;
// returns the classifier's argmax when kBlockClassify is set, else 0.
extern "C" KV_ABI uint64_t layer_block(const LayerBlock* b) {
  using geom::kDim, geom::kNormEps;
  InferenceContext* const ctx = b->ctx;
  if (b->ops & kBlockEmbed) {
    for (uint64_t t = 0; t < b->count; t++)
      embed(b->rows + t * kDim, ctx->embedding_table, uint64_t(int64_t(b->ids[t])));
  }
  if ((b->ops & kBlockLayer) && layer_enabled(ctx, b->layer)) run_layer(b);
  if (b->ops & kBlockNormLast) {
    const float* last = b->rows + (b->count - 1) * kDim;
    rms_norm(ctx->hidden, ctx->final_norm, last, kDim, kNormEps);
  }
  return (b->ops & kBlockClassify) ? classify(ctx) : 0;
}
