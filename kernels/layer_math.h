// The per-token pieces of a decoder layer, shared by the single-step layer and the batched
// layer so that both make exactly the same roundings in the same order.
//
// Image code: header only, inlined, calls nothing.
#pragma once

#include <immintrin.h>
#include <stdint.h>

#include "kernels/kernels.h"
#include "model/weights_layout.h"
#include "kernels/simd.h"

namespace layer_math {

using geom::kHeads, geom::kHeadDim;
constexpr uint64_t kPairs = geom::kRotaryPairs;

// Needs: v with 256 values (one head). Rotates pairs (i, i + 128) by the angles of cos/sin:
// new_i = a*c - b*s, new_(i+128) = b*c + a*s, the first product rounded, the second fused.
static inline void rotate_head(float* v, const float* cos, const float* sin) {
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
static inline void copy_row(float* dst, const float* src) {
  for (uint64_t i = 0; i < kHeadDim; i += 8) _mm256_storeu_ps(dst + i, _mm256_loadu_ps(src + i));
}

// Needs: q and key of 256 f32. Returns q . key * kScoreScale (0.0625): elements 16k..16k+7
// into the first accumulator, 16k+8..16k+15 into the second, fused; the two added, then folded.
static inline float score(const float* q, const float* key) {
  __m256 a0 = _mm256_setzero_ps();
  __m256 a1 = _mm256_setzero_ps();
  for (uint64_t d = 0; d < kHeadDim; d += 16) {
    a0 = _mm256_fmadd_ps(_mm256_loadu_ps(q + d), _mm256_loadu_ps(key + d), a0);
    a1 = _mm256_fmadd_ps(_mm256_loadu_ps(q + d + 8), _mm256_loadu_ps(key + d + 8), a1);
  }
  return simd::fold(_mm256_add_ps(a0, a1)) * geom::kScoreScale;
}

// Needs: weights[0..p], value rows 0..p of 256 f32. Writes out[0..256) = sum over t in
// order of weights[t] * values[t], each step one fused multiply-add from zero.
static inline void weighted_values(float* out, const float* weights, const float* values, uint64_t p) {
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
static inline void add_into(float* hidden, const float* add, uint64_t n) {
  for (uint64_t i = 0; i < n; i += 8)
    _mm256_storeu_ps(hidden + i, _mm256_add_ps(_mm256_loadu_ps(hidden + i), _mm256_loadu_ps(add + i)));
}

// Needs: scores with room for position + 1 values padded to a multiple of 8; q of 8 heads of
// 256; key and value rows 0 .. p of the layer's caches. Writes attn (8 heads of 256): for each
// head the causal softmax attention of position p (weight 1.0 alone at p = 0).
static inline void attend(float* attn, float* scores, const float* q, const float* keys, const float* values,
                          uint64_t p) {
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
}

// Needs: attn of 8 heads of 256; values null or f32[256]. Replaces head `knockout` (when it
// is 0 .. 7) by values, or by zeros when values is null; any other head number changes nothing.
static inline void knock_out(float* attn, int64_t knockout, const float* values) {
  if (knockout >= 0 && knockout < int64_t(kHeads)) {
    float* dead = attn + uint64_t(knockout) * kHeadDim;
    for (uint64_t i = 0; i < kHeadDim; i += 8)
      _mm256_storeu_ps(dead + i, values ? _mm256_loadu_ps(values + i) : _mm256_setzero_ps());
  }
}

}  // namespace layer_math
