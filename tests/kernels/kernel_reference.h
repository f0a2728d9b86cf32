// Plain scalar versions of the kernels, written step by step from their descriptions: the
// same lane accumulators, the same order of every addition, std::fma wherever a step is
// fused. The vector kernels must match them bit for bit.
#pragma once

#include <cstdint>

namespace ref {

// The fp16 bit pattern h widened to f32 exactly (normal, subnormal, zero, infinity, NaN).
float half_to_float(uint16_t h);

// The eight-lane fold: w_j = v_j + v_(j+4), then (w0 + w1) + (w2 + w3).
float fold(const float v[8]);

// e^d for d in [-88, 88], by the fixed polynomial and exponent construction.
float exp_approx(float d);

// The processor's reciprocal-square-root estimate of t (the one instruction, scalar form).
float rsqrt_estimate(float t);

// The scale rms_norm applies: the estimate plus one Newton step of 1 / sqrt(mean(in^2) + eps).
float rms_scale(const float* in, uint64_t n, float eps);
void rms_norm(float* out, const float* weight, const float* in, uint64_t n, float eps);
void softmax(float* out, const float* in, uint64_t n);
void geglu(float* out, const float* gate, const float* up, uint64_t n);
uint64_t argmax(const float* values, uint64_t n);

// One row of the product: w fp16[cols], x f32[cols].
float dot_row(const uint16_t* w, const float* x, uint64_t cols);
// out[r] = dot_row(row r) for r in [0, rows).
void gemv(float* out, const uint16_t* matrix, const float* x, uint64_t cols, uint64_t rows);

}  // namespace ref
