#include "tests/kernels/kernel_reference.h"

#include <immintrin.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

namespace ref {

float half_to_float(uint16_t h) {
  uint32_t sign = (h >> 15) & 1, exp = (h >> 10) & 0x1F, man = h & 0x3FF;
  float v;
  if (exp == 0x1F) {
    v = man ? std::numeric_limits<float>::quiet_NaN() : std::numeric_limits<float>::infinity();
  } else if (exp == 0) {
    v = std::ldexp(static_cast<float>(man), -24);  // subnormal: man * 2^-24, exact
  } else {
    v = std::ldexp(static_cast<float>(man | 0x400), static_cast<int>(exp) - 25);
  }
  return sign ? -v : v;
}

float fold(const float v[8]) {
  float w0 = v[0] + v[4], w1 = v[1] + v[5], w2 = v[2] + v[6], w3 = v[3] + v[7];
  return (w0 + w1) + (w2 + w3);
}

float exp_approx(float d) {
  float t = d * std::bit_cast<float>(0x3FB8AA3Bu);
  float k = std::nearbyint(t);  // the default rounding mode: nearest, ties to even
  float r = std::fma(-k, std::bit_cast<float>(0x3F317218u), d);
  float p = std::bit_cast<float>(0x3D2AAAABu);
  p = std::fma(p, r, std::bit_cast<float>(0x3E2AAAABu));
  p = std::fma(p, r, 0.5f);
  p = std::fma(p, r, 1.0f);
  p = std::fma(p, r, 1.0f);
  uint32_t bits = static_cast<uint32_t>(static_cast<int32_t>(k) + 127) << 23;
  return p * std::bit_cast<float>(bits);
}

float rsqrt_estimate(float t) { return _mm_cvtss_f32(_mm_rsqrt_ss(_mm_set_ss(t))); }

float rms_scale(const float* in, uint64_t n, float eps) {
  float acc[4][8] = {};
  uint64_t i = 0;
  for (; i + 32 <= n; i += 32)
    for (int j = 0; j < 4; j++)
      for (int l = 0; l < 8; l++) acc[j][l] = std::fma(in[i + 8 * j + l], in[i + 8 * j + l], acc[j][l]);
  for (; i + 8 <= n; i += 8)
    for (int l = 0; l < 8; l++) acc[0][l] = std::fma(in[i + l], in[i + l], acc[0][l]);
  float v[8];
  for (int l = 0; l < 8; l++) v[l] = (acc[0][l] + acc[1][l]) + (acc[2][l] + acc[3][l]);
  float mean = fold(v) / static_cast<float>(n);
  float t = mean + eps;
  float r0 = rsqrt_estimate(t);
  return r0 * ((3.0f - (r0 * r0) * t) * 0.5f);
}

void rms_norm(float* out, const float* weight, const float* in, uint64_t n, float eps) {
  if (n == 0) return;
  float r = rms_scale(in, n, eps);
  for (uint64_t i = 0; i + 8 <= n; i += 8)
    for (int l = 0; l < 8; l++) out[i + l] = (in[i + l] * r) * (weight[i + l] + 1.0f);
}

namespace {
float max_of(float a, float b) { return a > b ? a : b; }  // the running value first
float min_of(float a, float b) { return a < b ? a : b; }
}  // namespace

void softmax(float* out, const float* in, uint64_t n) {
  if (n == 0) return;
  float lanes[8];
  for (float& m : lanes) m = -std::numeric_limits<float>::infinity();
  for (uint64_t i = 0; i + 8 <= n; i += 8)
    for (int l = 0; l < 8; l++) lanes[l] = max_of(lanes[l], in[i + l]);
  float m = lanes[0];
  for (int l = 1; l < 8; l++) m = max_of(m, lanes[l]);
  float z[8] = {};
  for (uint64_t i = 0; i + 8 <= n; i += 8) {
    for (int l = 0; l < 8; l++) {
      float d = max_of(in[i + l] - m, -88.0f);
      float e = exp_approx(d);
      out[i + l] = e;
      z[l] = z[l] + e;
    }
  }
  float inv = 1.0f / fold(z);
  for (uint64_t i = 0; i + 8 <= n; i += 8)
    for (int l = 0; l < 8; l++) out[i + l] = out[i + l] * inv;
}

void geglu(float* out, const float* gate, const float* up, uint64_t n) {
  for (uint64_t i = 0; i + 8 <= n; i += 8) {
    for (int l = 0; l < 8; l++) {
      float x = gate[i + l], u = up[i + l];
      float x2 = x * x;
      float c = std::fma(std::bit_cast<float>(0x3D922279u), x2, std::bit_cast<float>(0x3FCC422Au));
      float z = c * x;
      float y = min_of(max_of(0.0f - z, -88.0f), 88.0f);
      float den = exp_approx(y) + 1.0f;
      out[i + l] = (x * u) / den;
    }
  }
}

uint64_t argmax(const float* values, uint64_t n) {
  if (n == 0) return 0;
  float best = values[0];
  uint64_t index = 0;
  for (uint64_t i = 0; i < n; i++) {
    if (values[i] > best) {
      best = values[i];
      index = i;
    }
  }
  return index;
}

float dot_row(const uint16_t* w, const float* x, uint64_t cols) {
  float acc[4][8] = {};
  uint64_t c = 0;
  for (; c + 32 <= cols; c += 32)
    for (int j = 0; j < 4; j++)
      for (int l = 0; l < 8; l++) {
        uint64_t k = c + 8 * j + l;
        acc[j][l] = std::fma(x[k], half_to_float(w[k]), acc[j][l]);
      }
  for (; c + 8 <= cols; c += 8)
    for (int l = 0; l < 8; l++) acc[0][l] = std::fma(x[c + l], half_to_float(w[c + l]), acc[0][l]);
  float v[8];
  for (int l = 0; l < 8; l++) v[l] = (acc[0][l] + acc[1][l]) + (acc[2][l] + acc[3][l]);
  return fold(v);
}

void gemv(float* out, const uint16_t* matrix, const float* x, uint64_t cols, uint64_t rows) {
  if (cols == 0) return;
  for (uint64_t r = 0; r < rows; r++) out[r] = dot_row(matrix + r * cols, x, cols);
}

}  // namespace ref
