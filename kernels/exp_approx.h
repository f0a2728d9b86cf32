// Eight-lane e^d for d already clamped to [-88, 88] by the caller, shared by softmax and
// geglu. Every rounding step is fixed: the printed numbers depend on the exact bits.
#pragma once

#include <immintrin.h>

// Needs: every lane of d in [-88, 88]. Returns e^d per lane, within a relative error of
// 6e-5; lanes below about -87.68 (k = -127) give exactly 0.0 instead of a subnormal.
static inline __m256 exp_approx(__m256 d) {
  const __m256 log2e = _mm256_castsi256_ps(_mm256_set1_epi32(0x3FB8AA3B));  // 1.44269502
  const __m256 ln2 = _mm256_castsi256_ps(_mm256_set1_epi32(0x3F317218));    // 0.693147182
  const __m256 c4 = _mm256_castsi256_ps(_mm256_set1_epi32(0x3D2AAAAB));     // 1/24
  const __m256 c3 = _mm256_castsi256_ps(_mm256_set1_epi32(0x3E2AAAAB));     // 1/6
  const __m256 half = _mm256_set1_ps(0.5f);
  const __m256 one = _mm256_set1_ps(1.0f);

  __m256 t = _mm256_mul_ps(d, log2e);
  __m256 k = _mm256_round_ps(t, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);  // ties to even
  __m256 r = _mm256_fnmadd_ps(k, ln2, d);  // d - k*ln2, one rounding
  __m256 p = _mm256_fmadd_ps(c4, r, c3);
  p = _mm256_fmadd_ps(p, r, half);
  p = _mm256_fmadd_ps(p, r, one);
  p = _mm256_fmadd_ps(p, r, one);
  // 2^k from the exponent field; k = -127 gives a zero bit pattern, so the result flushes to 0.
  __m256i ki = _mm256_cvtps_epi32(k);  // exact: k is already integral
  __m256 s = _mm256_castsi256_ps(_mm256_slli_epi32(_mm256_add_epi32(ki, _mm256_set1_epi32(127)), 23));
  return _mm256_mul_ps(p, s);
}
