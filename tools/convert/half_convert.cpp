#include "tools/convert/half_convert.h"

#include <cstring>

#include "model/fp16.h"

const char* dtype_name(DType t) {
  switch (t) {
    case DType::f32: return "F32";
    case DType::f16: return "F16";
    default: return "BF16";
  }
}

uint16_t f32_to_f16(float f) {
  uint32_t bits;
  memcpy(&bits, &f, 4);
  uint32_t sign = (bits >> 16) & 0x8000u;
  uint32_t exp = (bits >> 23) & 0xFFu;
  uint32_t mant = bits & 0x7FFFFFu;
  if (exp == 0xFF) {
    // Infinity stays infinity; NaN keeps its top payload bits and is made quiet.
    if (mant == 0) return static_cast<uint16_t>(sign | 0x7C00u);
    return static_cast<uint16_t>(sign | 0x7E00u | (mant >> 13));
  }
  int32_t e = int32_t(exp) - 127;  // unbiased exponent
  if (e >= 16) return static_cast<uint16_t>(sign | 0x7C00u);
  if (e >= -14) {
    // Normal range: keep 10 mantissa bits, round the 13 dropped ones. A carry out of the
    // mantissa moves into the exponent, which is the right result (up to infinity at 65520).
    uint32_t half = (uint32_t(e + 15) << 10) | (mant >> 13);
    uint32_t rest = mant & 0x1FFFu;
    if (rest > 0x1000u || (rest == 0x1000u && (half & 1u))) half++;
    return static_cast<uint16_t>(sign | half);
  }
  // Subnormal range (or zero): the value is m * 2^(e-23) with the implicit one restored, and
  // the fp16 subnormal unit is 2^-24, so shift right by (-14 - e) + 13 bits and round.
  if (e < -25) return static_cast<uint16_t>(sign);  // below half the smallest subnormal
  uint32_t m = mant | 0x800000u;
  uint32_t shift = uint32_t(-14 - e) + 13;  // 14 .. 24
  uint32_t half = m >> shift;
  uint32_t rest = m & ((1u << shift) - 1);
  uint32_t halfway = 1u << (shift - 1);
  if (rest > halfway || (rest == halfway && (half & 1u))) half++;
  return static_cast<uint16_t>(sign | half);
}

float bf16_to_f32(uint16_t b) {
  uint32_t bits = uint32_t(b) << 16;
  float f;
  memcpy(&f, &bits, 4);
  return f;
}

namespace {
// Reads value i of a source buffer as f32 (exact for all three types).
inline float load_value(DType t, const unsigned char* src, uint64_t i) {
  if (t == DType::f32) {
    float f;
    memcpy(&f, src + 4 * i, 4);
    return f;
  }
  uint16_t h;
  memcpy(&h, src + 2 * i, 2);
  return t == DType::f16 ? half_to_float(h) : bf16_to_f32(h);
}

inline bool finite_bits(float f) {
  uint32_t bits;
  memcpy(&bits, &f, 4);
  return ((bits >> 23) & 0xFFu) != 0xFFu;
}
}  // namespace

uint64_t convert_to_f16(DType t, const void* src, uint64_t n, uint16_t* dst, HalfStats* stats) {
  const unsigned char* p = static_cast<const unsigned char*>(src);
  uint64_t first_bad = n;
  if (t == DType::f16) {
    // Already fp16: copied bit for bit; only infinities and NaNs are looked for.
    memcpy(dst, p, 2 * n);
    for (uint64_t i = 0; i < n; i++)
      if ((dst[i] & 0x7C00u) == 0x7C00u) return i;
    return n;
  }
  for (uint64_t i = 0; i < n; i++) {
    float f = load_value(t, p, i);
    uint16_t h = f32_to_f16(f);
    dst[i] = h;
    if (!finite_bits(f)) {
      if (first_bad == n) first_bad = i;
      continue;
    }
    uint16_t mag = h & 0x7FFFu;
    if (mag == 0x7C00u) {
      stats->overflowed++;
    } else if (mag == 0) {
      if (f != 0.0f) stats->zeroed++;
    } else if (mag < 0x0400u) {
      stats->subnormal++;
    }
  }
  return first_bad;
}

uint64_t convert_to_f32(DType t, const void* src, uint64_t n, float* dst, bool minus_one, uint64_t* inexact) {
  const unsigned char* p = static_cast<const unsigned char*>(src);
  uint64_t first_bad = n;
  for (uint64_t i = 0; i < n; i++) {
    float f = load_value(t, p, i);
    if (!finite_bits(f) && first_bad == n) first_bad = i;
    if (minus_one) {
      // Two-sum error term of f + (-1): zero exactly when the rounded sum is exact.
      float w = f - 1.0f;
      float bb = w - f;
      float err = (f - (w - bb)) + (-1.0f - bb);
      if (err != 0.0f) (*inexact)++;
      f = w;
    }
    dst[i] = f;
  }
  return first_bad;
}
