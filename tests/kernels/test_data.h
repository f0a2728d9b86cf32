// Deterministic test inputs for the kernel tests, and buffers that put data at a chosen
// misalignment with untouched guard values around it.
#pragma once

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace testdata {

// n floats uniformly in [lo, hi).
inline std::vector<float> uniform(uint64_t n, float lo, float hi, uint32_t seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> dist(lo, hi);
  std::vector<float> v(n);
  for (float& f : v) f = dist(gen);
  return v;
}

// n floats of random sign whose magnitudes spread over 2^-8 .. 2^8, so that the order of
// additions shows in the last bits.
inline std::vector<float> spread(uint64_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> mant(1.0f, 2.0f);
  std::uniform_int_distribution<int> ex(-8, 8), sign(0, 1);
  std::vector<float> v(n);
  for (float& f : v) f = (sign(gen) ? -1.0f : 1.0f) * std::ldexp(mant(gen), ex(gen));
  return v;
}

// n finite fp16 bit patterns of either sign, mostly normal values of magnitude below 16,
// with some subnormals and zeros mixed in.
inline std::vector<uint16_t> halves(uint64_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::vector<uint16_t> v(n);
  for (uint16_t& h : v) {
    uint32_t r = gen();
    uint16_t sign = static_cast<uint16_t>((r & 1) << 15);
    uint16_t man = static_cast<uint16_t>((r >> 1) & 0x3FF);
    uint32_t pick = (r >> 11) % 64;
    uint16_t exp = pick == 0 ? 0 : static_cast<uint16_t>(1 + (r >> 17) % 18);  // up to 2^3
    h = static_cast<uint16_t>(sign | (exp << 10) | (pick == 1 ? 0 : man));
  }
  return v;
}

// A copy of `data` placed `offset` elements past a 64-byte boundary, with `guard` sentinel
// elements before and after it. at() is the first data element.
template <typename T>
struct Placed {
  std::vector<T> storage;
  uint64_t offset, count, guard;
  T sentinel;
  Placed(const std::vector<T>& data, uint64_t off, T sent, uint64_t guard_elems = 16)
      : offset(off), count(data.size()), guard(guard_elems), sentinel(sent) {
    // 64 bytes of slack lets the start be moved onto a 64-byte boundary first.
    storage.assign(64 / sizeof(T) + guard + off + count + guard, sent);
    std::memcpy(at(), data.data(), count * sizeof(T));
  }
  T* base() {
    uintptr_t p = reinterpret_cast<uintptr_t>(storage.data());
    return reinterpret_cast<T*>((p + 63) & ~uintptr_t(63));
  }
  T* at() { return base() + guard + offset; }
  std::vector<T> data() { return std::vector<T>(at(), at() + count); }
  // True when every guard element still holds the sentinel (compared bit for bit).
  bool guards_intact() {
    T* b = base();
    for (uint64_t i = 0; i < guard + offset; i++)
      if (std::memcmp(&b[i], &sentinel, sizeof(T)) != 0) return false;
    for (uint64_t i = 0; i < guard; i++)
      if (std::memcmp(&at()[count + i], &sentinel, sizeof(T)) != 0) return false;
    return true;
  }
};

// Bit-for-bit equality of two float vectors; returns the first differing index or -1.
inline int64_t first_bit_difference(const float* a, const float* b, uint64_t n) {
  for (uint64_t i = 0; i < n; i++)
    if (std::memcmp(&a[i], &b[i], sizeof(float)) != 0) return static_cast<int64_t>(i);
  return -1;
}

}  // namespace testdata
