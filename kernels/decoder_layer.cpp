// One pre-normalised decoder layer for one token: attention over the layer's key/value
// cache with rotary positions (8 query heads sharing one key and one value head), output
// projection, then the gated feed-forward block, each with a residual add.
//
// Image code: freestanding, no library calls, every length a multiple of 8. The order of
// every reduction and the place of every rounding are fixed, since printed numbers depend
// on them; fused steps are explicit FMAs.
#include <immintrin.h>

#include "kernels/kernels.h"
#include "kernels/layer_math.h"
#include "model/weights_layout.h"
#include "kernels/simd.h"

using namespace layer_math;

namespace {

// Fixed places in the 1 MiB work area, in f32 elements. `scores` may run into `ffn_gate`
// for positions of 1024 and more; the two are never live at once.
constexpr uint64_t kXNorm = 0;       // f32[2048]  normalised input (attention, then ffn)
constexpr uint64_t kProjOut = 2048;  // f32[2048]  output of wo, later of w_down
constexpr uint64_t kQ = 4096;        // f32[8][256] queries
constexpr uint64_t kK = 6144;        // f32[256]   key of this position
constexpr uint64_t kV = 6400;        // f32[256]   value of this position
constexpr uint64_t kAttn = 6656;     // f32[8][256] attention output per head
constexpr uint64_t kScores = 8704;   // f32[position + 1, padded to 8] scores of one head
constexpr uint64_t kGate = 9728;     // f32[16384] gate projection, then the activation
constexpr uint64_t kUp = 26112;      // f32[16384] up projection

}  // namespace

// Needs: a filled LayerParams; cache rows 0 .. position-1 hold this sequence's keys and
// values. Writes hidden (in place), row `position` of both caches and the work area.
extern "C" KV_ABI void decoder_layer(const LayerParams* lp) {
  const float eps = geom::kNormEps;
  float* const s = lp->scratch;
  float* const x_norm = s + kXNorm;
  float* const proj_out = s + kProjOut;
  float* const q = s + kQ;
  float* const k = s + kK;
  float* const v = s + kV;
  float* const attn = s + kAttn;
  float* const scores = s + kScores;
  float* const gate = s + kGate;
  float* const up = s + kUp;
  auto* const area = static_cast<JobHeader*>(lp->job_slots);
  const uint64_t p = lp->position;
  const uint64_t dim = lp->dim;
  const uint64_t ffn = lp->ffn_dim;

  // Products over one input whose weights follow one another, as the file lays them out, and
  // whose outputs do too, run as one product over all their rows: one dispatch instead of
  // several, and the weight streams run on across the boundaries. Each row's result is the
  // same either way.
  const uint64_t kv = lp->head_dim;
  rms_norm(x_norm, lp->attn_norm, lp->hidden, dim, eps);
  if (lp->wk == lp->wq + dim * dim && lp->wv == lp->wk + kv * dim && k == q + dim && v == k + kv) {
    gemv_f16(q, lp->wq, x_norm, dim, dim + 2 * kv, area);  // q, k and v sit one after another
  } else {
    gemv_f16(q, lp->wq, x_norm, dim, dim, area);
    gemv_f16(k, lp->wk, x_norm, dim, kv, area);
    gemv_f16(v, lp->wv, x_norm, dim, kv, area);
  }

  for (uint64_t h = 0; h < kHeads; h++) rotate_head(q + h * kHeadDim, lp->rope_cos, lp->rope_sin);
  rotate_head(k, lp->rope_cos, lp->rope_sin);

  // The token attends to itself, so its row goes into the cache first.
  float* const keys = lp->layer_keys;
  float* const values = lp->layer_values;
  copy_row(keys + p * kHeadDim, k);
  copy_row(values + p * kHeadDim, v);

  attend(attn, scores, q, keys, values, p);
  knock_out(attn, lp->knockout_head, lp->knockout_values);

  gemv_f16(proj_out, lp->wo, attn, dim, dim, area);
  add_into(lp->hidden, proj_out, dim);

  rms_norm(x_norm, lp->ffn_norm, lp->hidden, dim, eps);
  if (lp->w_up == lp->w_gate + ffn * dim && up == gate + ffn) {
    gemv_f16(gate, lp->w_gate, x_norm, dim, 2 * ffn, area);  // gate and up sit one after another
  } else {
    gemv_f16(gate, lp->w_gate, x_norm, dim, ffn, area);
    gemv_f16(up, lp->w_up, x_norm, dim, ffn, area);
  }
  geglu(gate, gate, up, ffn);
  gemv_f16(proj_out, lp->w_down, gate, ffn, dim, area);
  add_into(lp->hidden, proj_out, dim);
}
