// The element-wise primitives of the token step and the decoder layer: RMS normalisation,
// softmax, the gated GELU and argmax. Eight lanes at a time with unaligned loads; every
// reduction keeps its lane accumulators and folds them in one fixed order.
#include "kernels/exp_approx.h"
#include "kernels/kernels.h"
#include "kernels/simd.h"

extern "C" KV_ABI void rms_norm(float* out, const float* weight, const float* in, uint64_t n, float eps) {
  // out, in: f32[n], caller's buffers (may be the same); weight: f32[n], stored as offsets from one.
  if (n == 0) return;
  __m256 a0 = _mm256_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
  uint64_t i = 0;
  for (; i + 32 <= n; i += 32) {
    __m256 x0 = _mm256_loadu_ps(in + i), x1 = _mm256_loadu_ps(in + i + 8);
    __m256 x2 = _mm256_loadu_ps(in + i + 16), x3 = _mm256_loadu_ps(in + i + 24);
    a0 = _mm256_fmadd_ps(x0, x0, a0);
    a1 = _mm256_fmadd_ps(x1, x1, a1);
    a2 = _mm256_fmadd_ps(x2, x2, a2);
    a3 = _mm256_fmadd_ps(x3, x3, a3);
  }
  for (; i + 8 <= n; i += 8) {
    __m256 x = _mm256_loadu_ps(in + i);
    a0 = _mm256_fmadd_ps(x, x, a0);
  }
  float sum = simd::fold(_mm256_add_ps(_mm256_add_ps(a0, a1), _mm256_add_ps(a2, a3)));
  float mean = sum / static_cast<float>(n);
  __m256 t = _mm256_set1_ps(mean + eps);
  // Estimate plus one Newton step, r0 * ((3 - (r0*r0)*t) * 0.5), unfused and in this order.
  __m256 r0 = _mm256_rsqrt_ps(t);
  __m256 r = _mm256_mul_ps(
      r0, _mm256_mul_ps(_mm256_sub_ps(_mm256_set1_ps(3.0f), _mm256_mul_ps(_mm256_mul_ps(r0, r0), t)),
                        _mm256_set1_ps(0.5f)));
  const __m256 one = _mm256_set1_ps(1.0f);
  for (i = 0; i + 8 <= n; i += 8) {
    __m256 scale = _mm256_add_ps(_mm256_loadu_ps(weight + i), one);
    _mm256_storeu_ps(out + i, _mm256_mul_ps(_mm256_mul_ps(_mm256_loadu_ps(in + i), r), scale));
  }
}

extern "C" KV_ABI void softmax(float* out, const float* in, uint64_t n) {
  // out, in: f32[n], caller's buffers (may be the same).
  if (n == 0) return;
  __m256 m8 = _mm256_set1_ps(-__builtin_inff());
  for (uint64_t i = 0; i + 8 <= n; i += 8) m8 = _mm256_max_ps(m8, _mm256_loadu_ps(in + i));
  const __m256 m = _mm256_set1_ps(simd::max_lane(m8));
  const __m256 lo = _mm256_set1_ps(-88.0f);
  __m256 z = _mm256_setzero_ps();
  for (uint64_t i = 0; i + 8 <= n; i += 8) {
    __m256 d = _mm256_max_ps(_mm256_sub_ps(_mm256_loadu_ps(in + i), m), lo);
    __m256 e = exp_approx(d);
    _mm256_storeu_ps(out + i, e);
    z = _mm256_add_ps(z, e);
  }
  // One reciprocal, then a multiply per element.
  const __m256 inv = _mm256_set1_ps(1.0f / simd::fold(z));
  for (uint64_t i = 0; i + 8 <= n; i += 8) _mm256_storeu_ps(out + i, _mm256_mul_ps(_mm256_loadu_ps(out + i), inv));
}

extern "C" KV_ABI void geglu(float* out, const float* gate, const float* up, uint64_t n) {
  // out, gate, up: f32[n], caller's buffers (out may be gate or up).
  // x*u / (1 + e^-z) with z = x*(2*sqrt(2/pi) + 2*0.044715*sqrt(2/pi)*x^2): the tanh form of GELU.
  const __m256 k3 = _mm256_castsi256_ps(_mm256_set1_epi32(0x3D922279));  // 0.0713548139
  const __m256 k1 = _mm256_castsi256_ps(_mm256_set1_epi32(0x3FCC422A));  // 1.59576917
  const __m256 lo = _mm256_set1_ps(-88.0f), hi = _mm256_set1_ps(88.0f);
  const __m256 zero = _mm256_setzero_ps(), one = _mm256_set1_ps(1.0f);
  for (uint64_t i = 0; i + 8 <= n; i += 8) {
    __m256 x = _mm256_loadu_ps(gate + i), u = _mm256_loadu_ps(up + i);
    __m256 c = _mm256_fmadd_ps(k3, _mm256_mul_ps(x, x), k1);
    __m256 y = _mm256_sub_ps(zero, _mm256_mul_ps(c, x));
    y = _mm256_min_ps(_mm256_max_ps(y, lo), hi);
    __m256 den = _mm256_add_ps(exp_approx(y), one);
    _mm256_storeu_ps(out + i, _mm256_div_ps(_mm256_mul_ps(x, u), den));
  }
}

extern "C" KV_ABI uint64_t argmax(const float* values, uint64_t n) {
  // values: f32[n], caller's buffer. The result is the plain scan's: the first strict maximum.
  if (n == 0) return 0;
  float best = values[0];
  uint64_t index = 0;
  uint64_t i = 0;
  for (; i + 8 <= n; i += 8) {
    // Skip groups with no lane above the best so far (NaN lanes never are).
    __m256 g = _mm256_loadu_ps(values + i);
    if (_mm256_movemask_ps(_mm256_cmp_ps(g, _mm256_set1_ps(best), _CMP_GT_OQ)) == 0) continue;
    for (uint64_t j = i; j < i + 8; j++) {
      if (values[j] > best) {
        best = values[j];
        index = j;
      }
    }
  }
  for (; i < n; i++) {
    if (values[i] > best) {
      best = values[i];
      index = i;
    }
  }
  return index;
}
