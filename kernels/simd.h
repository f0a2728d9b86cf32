// Small inline helpers over 256-bit vectors, and pairs of them, shared by the kernels. Header
// only: they inline into the image code and call nothing.
#pragma once

#include <immintrin.h>
#include <stdint.h>

namespace simd {

// Sum of the eight lanes in a fixed order: w_j = v_j + v_(j+4), then (w0 + w1) + (w2 + w3).
static inline float fold(__m256 v) {
  __m128 w = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
  __m128 w1 = _mm_shuffle_ps(w, w, _MM_SHUFFLE(1, 1, 1, 1));
  __m128 w2 = _mm_shuffle_ps(w, w, _MM_SHUFFLE(2, 2, 2, 2));
  __m128 w3 = _mm_shuffle_ps(w, w, _MM_SHUFFLE(3, 3, 3, 3));
  return _mm_cvtss_f32(_mm_add_ss(_mm_add_ss(w, w1), _mm_add_ss(w2, w3)));
}

// Eight fp16 values from p (no alignment needed), widened exactly to f32.
static inline __m256 load_f16(const uint16_t* p) {
  return _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

// Two neighbouring chains of eight lanes (chain 2h in lanes 0-7, chain 2h + 1 in lanes 8-15 of
// sixteen consecutive columns): one 512-bit register in the wide image, two 256-bit ones in the
// AVX2 image. Either way every lane adds exactly what the 256-bit chains would, in the same
// order; the wide image only issues half the conversions and multiply-adds for it. (The wide
// forms use the zero-masked intrinsics with every lane kept: GCC 12 warns on the plain ones.)
#if defined(__AVX512F__)
struct Pair {
  __m512 v;
};
static inline Pair pair_zero() { return {_mm512_setzero_ps()}; }
static inline Pair pair_load(const float* p) { return {_mm512_loadu_ps(p)}; }
static inline Pair pair_load_f16(const uint16_t* p) {
  return {_mm512_maskz_cvtph_ps(0xFFFF, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)))};
}
static inline Pair pair_fmadd(Pair x, Pair w, Pair acc) { return {_mm512_fmadd_ps(x.v, w.v, acc.v)}; }
static inline __m256 pair_low(Pair a) { return _mm512_maskz_extractf32x8_ps(0xFF, a.v, 0); }
static inline __m256 pair_high(Pair a) { return _mm512_maskz_extractf32x8_ps(0xFF, a.v, 1); }
#else
struct Pair {
  __m256 lo, hi;
};
static inline Pair pair_zero() { return {_mm256_setzero_ps(), _mm256_setzero_ps()}; }
static inline Pair pair_load(const float* p) { return {_mm256_loadu_ps(p), _mm256_loadu_ps(p + 8)}; }
static inline Pair pair_load_f16(const uint16_t* p) { return {load_f16(p), load_f16(p + 8)}; }
static inline Pair pair_fmadd(Pair x, Pair w, Pair acc) {
  return {_mm256_fmadd_ps(x.lo, w.lo, acc.lo), _mm256_fmadd_ps(x.hi, w.hi, acc.hi)};
}
static inline __m256 pair_low(Pair a) { return a.lo; }
static inline __m256 pair_high(Pair a) { return a.hi; }
#endif

// Largest lane of v, reduced as a tree; only the order of equal or NaN lanes could tell.
static inline float max_lane(__m256 v) {
  __m128 m = _mm_max_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
  m = _mm_max_ps(m, _mm_movehl_ps(m, m));
  m = _mm_max_ss(m, _mm_shuffle_ps(m, m, _MM_SHUFFLE(1, 1, 1, 1)));
  return _mm_cvtss_f32(m);
}

// Prefetch hint for the cache line holding p, for a stream of weights read once: into the
// second-level cache, from which the loads take it. The non-temporal hint at the same addresses
// cost about a third of the product's bandwidth (it fills only the first-level cache and starves
// the second-level streamer). The all-levels hint, used before, held the grouped rows on an AMD
// machine with AVX-512 to 16 GB/s on one thread and 21-25 GB/s on two where a plain read gave
// 34-39 (this one: 26 and 34 GB/s), and a full-depth step to 160-189 ms against 109-161.
static inline void prefetch_stream(const void* p) {
  _mm_prefetch(static_cast<const char*>(p), _MM_HINT_T1);
}

}  // namespace simd
