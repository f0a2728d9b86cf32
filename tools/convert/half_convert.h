// Number conversions of the converter: the three source types to fp16 for matrices and to f32
// for norm vectors. fp16 results are rounded to nearest, ties to even, in plain integer code so
// the result does not depend on the processor's rounding mode or flush settings.
#pragma once

#include <cstdint>

enum class DType : uint8_t { f32, f16, bf16 };

// Needs: nothing. Returns the size in bytes of one value.
inline constexpr uint64_t dtype_size(DType t) { return t == DType::f32 ? 4 : 2; }
// Needs: nothing. Returns "F32", "F16" or "BF16".
const char* dtype_name(DType t);

// Needs: nothing. Returns the binary16 nearest to f (ties to even); values whose magnitude
// rounds past 65504 become infinity, NaN stays NaN (quiet, sign kept).
uint16_t f32_to_f16(float f);
// Needs: nothing. Returns the binary32 value of a bfloat16 bit pattern (exact).
float bf16_to_f32(uint16_t b);

// What happened to values on their way to fp16.
struct HalfStats {
  uint64_t overflowed = 0;  // finite source, infinite result
  uint64_t subnormal = 0;   // source below fp16's normal range, subnormal fp16 result
  uint64_t zeroed = 0;      // non-zero source, zero result
};

// Needs: src holds n values of type t (any alignment), dst room for n fp16. Writes the fp16
// values and adds to *stats. Returns the index of the first infinite or NaN source value (its
// result is written all the same), or n when there is none.
uint64_t convert_to_f16(DType t, const void* src, uint64_t n, uint16_t* dst, HalfStats* stats);

// Needs: src holds n values of type t, dst room for n f32. Writes them widened exactly; when
// minus_one, writes v - 1 instead (one f32 subtraction) and counts in *inexact the values whose
// subtraction rounded. Returns the index of the first infinite or NaN source value, or n.
uint64_t convert_to_f32(DType t, const void* src, uint64_t n, float* dst, bool minus_one, uint64_t* inexact);
