// One pre-normalised decoder layer for one token: attention over the layer's key/value
// cache with rotary positions (8 query heads sharing one key and one value head), output
// projection, then the gated feed-forward block, each with a residual add.
//
// Image code: freestanding, no library calls, every length a multiple of 8. The order of
// every reduction and the place of every rounding are fixed, since printed numbers depend
// on them; fused steps are explicit FMAs.
#include <immintrin.h>

#include "kernels/kernels.h"
#include "kernels/simd.h"

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

constexpr uint64_t kHeads = 8;
constexpr uint64_t kHeadDim = 256;
constexpr uint64_t kPairs = 128;

// Needs: v with 256 values (one head). Rotates pairs (i, i + 128) by the angles of cos/sin:
// new_i = a*c - b*s, new_(i+128) = b*c + a*s, the first product rounded, the second fused.
inline void rotate_head(float* v, const float* cos, const float* sin) {
  for (uint64_t i = 0; i < kPairs; i += 8) {
    const __m256 a = _mm256_loadu_ps(v + i);
    const __m256 b = _mm256_loadu_ps(v + i + kPairs);
    const __m256 c = _mm256_loadu_ps(cos + i);
    const __m256 s = _mm256_loadu_ps(sin + i);
    _mm256_storeu_ps(v + i, _mm256_fnmadd_ps(b, s, _mm256_mul_ps(a, c)));
    _mm256_storeu_ps(v + i + kPairs, _mm256_fmadd_ps(a, s, _mm256_mul_ps(b, c)));
  }
}

// Needs: dst and src of 256 f32. Copies one cache row.
inline void copy_row(float* dst, const float* src) {
  for (uint64_t i = 0; i < kHeadDim; i += 8) _mm256_storeu_ps(dst + i, _mm256_loadu_ps(src + i));
}

// Needs: q and key of 256 f32. Returns q . key * 0.0625: elements 16k..16k+7 into the
// first accumulator, 16k+8..16k+15 into the second, fused; the two added, then folded.
inline float score(const float* q, const float* key) {
  __m256 a0 = _mm256_setzero_ps();
  __m256 a1 = _mm256_setzero_ps();
  for (uint64_t d = 0; d < kHeadDim; d += 16) {
    a0 = _mm256_fmadd_ps(_mm256_loadu_ps(q + d), _mm256_loadu_ps(key + d), a0);
    a1 = _mm256_fmadd_ps(_mm256_loadu_ps(q + d + 8), _mm256_loadu_ps(key + d + 8), a1);
  }
  return simd::fold(_mm256_add_ps(a0, a1)) * 0.0625f;
}

// Needs: weights[0..p], value rows 0..p of 256 f32. Writes out[0..256) = sum over t in
// order of weights[t] * values[t], each step one fused multiply-add from zero.
inline void weighted_values(float* out, const float* weights, const float* values, uint64_t p) {
  for (uint64_t j = 0; j < kHeadDim; j += 32) {
    __m256 o0 = _mm256_setzero_ps(), o1 = _mm256_setzero_ps();
    __m256 o2 = _mm256_setzero_ps(), o3 = _mm256_setzero_ps();
    const float* row = values + j;
    for (uint64_t t = 0; t <= p; t++, row += kHeadDim) {
      const __m256 w = _mm256_broadcast_ss(weights + t);
      o0 = _mm256_fmadd_ps(w, _mm256_loadu_ps(row), o0);
      o1 = _mm256_fmadd_ps(w, _mm256_loadu_ps(row + 8), o1);
      o2 = _mm256_fmadd_ps(w, _mm256_loadu_ps(row + 16), o2);
      o3 = _mm256_fmadd_ps(w, _mm256_loadu_ps(row + 24), o3);
    }
    _mm256_storeu_ps(out + j, o0);
    _mm256_storeu_ps(out + j + 8, o1);
    _mm256_storeu_ps(out + j + 16, o2);
    _mm256_storeu_ps(out + j + 24, o3);
  }
}

// Needs: n a multiple of 8. hidden[i] += add[i].
inline void add_into(float* hidden, const float* add, uint64_t n) {
  for (uint64_t i = 0; i < n; i += 8)
    _mm256_storeu_ps(hidden + i, _mm256_add_ps(_mm256_loadu_ps(hidden + i), _mm256_loadu_ps(add + i)));
}

}  // namespace

// Needs: a filled LayerParams; cache rows 0 .. position-1 hold this sequence's keys and
// values. Writes hidden (in place), row `position` of both caches and the work area.
extern "C" KV_ABI void decoder_layer(const LayerParams* lp) {
  const float eps = 0x1.4f8b58p-17f;  // 0.00001, bits 0x3727C5AC
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

  rms_norm(x_norm, lp->attn_norm, lp->hidden, dim, eps);
  gemv_f16(q, lp->wq, x_norm, dim, dim, area);
  gemv_f16(k, lp->wk, x_norm, dim, lp->head_dim, area);
  gemv_f16(v, lp->wv, x_norm, dim, lp->head_dim, area);

  for (uint64_t h = 0; h < kHeads; h++) rotate_head(q + h * kHeadDim, lp->rope_cos, lp->rope_sin);
  rotate_head(k, lp->rope_cos, lp->rope_sin);

  // The token attends to itself, so its row goes into the cache first.
  float* const keys = lp->layer_keys;
  float* const values = lp->layer_values;
  copy_row(keys + p * kHeadDim, k);
  copy_row(values + p * kHeadDim, v);

  const uint64_t n = p + 1;
  const uint64_t padded = (n + 7) & ~uint64_t(7);
  for (uint64_t h = 0; h < kHeads; h++) {
    const float* qh = q + h * kHeadDim;
    for (uint64_t t = 0; t <= p; t++) scores[t] = score(qh, keys + t * kHeadDim);
    if (p == 0) {
      scores[0] = 1.0f;
    } else {
      // Pads land on the softmax's lower clamp and get weight exactly 0.
      for (uint64_t t = n; t < padded; t++) scores[t] = -10000.0f;
      softmax(scores, scores, padded);
    }
    weighted_values(attn + h * kHeadDim, scores, values, p);
  }

  const int64_t knockout = lp->knockout_head;
  if (knockout >= 0 && knockout < int64_t(kHeads)) {
    float* dead = attn + uint64_t(knockout) * kHeadDim;
    for (uint64_t i = 0; i < kHeadDim; i += 8) _mm256_storeu_ps(dead + i, _mm256_setzero_ps());
  }

  gemv_f16(proj_out, lp->wo, attn, dim, dim, area);
  add_into(lp->hidden, proj_out, dim);

  rms_norm(x_norm, lp->ffn_norm, lp->hidden, dim, eps);
  gemv_f16(gate, lp->w_gate, x_norm, dim, ffn, area);
  gemv_f16(up, lp->w_up, x_norm, dim, ffn, area);
  geglu(gate, gate, up, ffn);
  gemv_f16(proj_out, lp->w_down, gate, ffn, dim, area);
  add_into(lp->hidden, proj_out, dim);
}
