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

// The sequence row t of the block belongs to, and the row's position in it.
inline InferenceContext* sequence_of(const LayerBlock* b, uint64_t t) { return b->row_ctx ? b->row_ctx[t] : b->ctx; }
inline uint64_t position_of(const LayerBlock* b, uint64_t t) {
  return b->row_ctx ? b->row_ctx[t]->position : b->first_position + t;
}

// Where a block of n rows keeps a product's packed inputs in the work area.
inline float* pack_area(const LayerBlock* b, uint64_t n) {
  using geom::kDim, geom::kKvDim, geom::kFfnDim, geom::kMaxPositions;
  return b->work + n * (4 * kDim + 2 * kKvDim + 2 * kFfnDim) + kMaxPositions;
}

// Needs: a LayerBlock with kBlockLayer; the layer's cache rows below each row's position hold
// that row's sequence. Updates rows, writes each row's cache row at its position, and work.
void run_layer(const LayerBlock* b) {
  using geom::kDim, geom::kKvDim, geom::kFfnDim, geom::kMaxPositions;
  using geom::kNormEps;
  InferenceContext* const ctx = b->ctx;
  const uint64_t l = b->layer;
  const uint64_t n = b->count;
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
  float* const pack = pack_area(b, n);     // [n][16384] a product's inputs in the tiles' order (after up)

  const LayerWeights w = layer_weights(ctx->weights_base, l);

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
    const InferenceContext* seq = sequence_of(b, t);
    copy_row(layer_keys(seq, l) + position_of(b, t) * kHeadDim, k + t * kKvDim);
    copy_row(layer_values(seq, l) + position_of(b, t) * kHeadDim, v + t * kKvDim);
  }
  for (uint64_t t = 0; t < n; t++) {
    const InferenceContext* seq = sequence_of(b, t);
    attend(attn + t * kDim, scores, q + t * kDim, layer_keys(seq, l), layer_values(seq, l), position_of(b, t));
    // Each sequence's rows come in position order, so its sums add in that order.
    if (seq->attention_sums) add_into(seq->attention_sums + l * kDim, attn + t * kDim, kDim);
    knock_out(attn + t * kDim, knockout_for(seq, l), seq->knockout_values);
  }

  gemm_f16(proj, w.wo, attn, kDim, kDim, n, pack, area);
  for (uint64_t t = 0; t < n; t++) {
    add_into(b->rows + t * kDim, proj + t * kDim, kDim);
    rms_norm(x_norm + t * kDim, w.ffn_norm, b->rows + t * kDim, kDim, kNormEps);
  }
  gemm_f16(gate, w.w_gate, x_norm, kDim, kFfnDim, n, pack, area);
  gemm_geglu_f16(up, w.w_up, x_norm, kDim, kFfnDim, n, gate, pack, area);  // gate becomes the activation
  gemm_f16(proj, w.w_down, gate, kFfnDim, kDim, n, pack, area);
  for (uint64_t t = 0; t < n; t++) {
    const InferenceContext* seq = sequence_of(b, t);
    add_into(b->rows + t * kDim, proj + t * kDim, kDim);
    // Added after the layer's last residual, so the next layer sees the steered state; in the
    // token step's order: the control row, then the splice.
    if (const float* control = control_after(seq, l)) add_vector(b->rows + t * kDim, control, kDim);
    if (splices_after(seq, l)) add_vector(b->rows + t * kDim, seq->splice_vector, kDim);
  }
}

// Needs: row contexts, logits_rows and next_ids. Every row final-normalised into the work area,
// then one sweep of the classifier over all of them; each row's penalty, bias and argmax as the
// token step's classify gives them.
void classify_rows(const LayerBlock* b) {
  using geom::kDim, geom::kVocab, geom::kNormEps;
  const InferenceContext* const ctx = b->ctx;
  const uint64_t n = b->count;
  float* const normed = b->work;  // [n][2048]
  for (uint64_t t = 0; t < n; t++) rms_norm(normed + t * kDim, ctx->final_norm, b->rows + t * kDim, kDim, kNormEps);
  gemm_f16(b->logits_rows, ctx->embedding_table, normed, kDim, kVocab, n, pack_area(b, n),
           static_cast<JobHeader*>(ctx->job_slots));
  for (uint64_t t = 0; t < n; t++) b->next_ids[t] = penalise_and_pick(b->logits_rows + t * kVocab, b->row_ctx[t]);
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
  if (b->ops & kBlockClassifyRows) classify_rows(b);
  return (b->ops & kBlockClassify) ? classify(ctx) : 0;
}
