// Exact conversion of IEEE binary16 to binary32 in plain integer code (host side).
#pragma once

#include <cstdint>
#include <cstring>

// Needs: nothing. Returns the binary32 value of h exactly: zeros keep their sign, subnormals
// become normal values, infinities stay infinite and NaNs keep their payload shifted left by 13.
inline float half_to_float(uint16_t h) {
  uint32_t sign = uint32_t(h & 0x8000u) << 16;
  uint32_t exp = (h >> 10) & 0x1Fu;
  uint32_t mant = h & 0x3FFu;
  uint32_t bits;
  if (exp == 0x1F) {
    bits = sign | 0x7F800000u | (mant << 13);
  } else if (exp != 0) {
    bits = sign | ((exp + 112) << 23) | (mant << 13);
  } else if (mant == 0) {
    bits = sign;
  } else {
    // Subnormal: shift the leading one into the implicit position.
    int shift = 0;
    while (!(mant & 0x400u)) {
      mant <<= 1;
      shift++;
    }
    bits = sign | (uint32_t(113 - shift) << 23) | ((mant & 0x3FFu) << 13);
  }
  float f;
  memcpy(&f, &bits, sizeof f);
  return f;
}
