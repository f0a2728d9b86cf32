// FNV-1a 32-bit: published values and a plain reference on random bytes of every length.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "vocab/fnv1a.h"

namespace {
// Written from the definition with 64-bit products reduced modulo 2^32.
uint32_t reference_fnv1a32(const std::vector<uint8_t>& bytes, size_t len) {
  uint64_t h = 2166136261u;
  for (size_t i = 0; i < len; ++i) h = ((h ^ bytes[i]) * 16777619u) % 4294967296u;
  return static_cast<uint32_t>(h);
}

TEST(Fnv1a32, PublishedValues) {
  EXPECT_EQ(fnv1a32(nullptr, 0), 0x811C9DC5u);
  EXPECT_EQ(fnv1a32("", 0), 0x811C9DC5u);
  EXPECT_EQ(fnv1a32("a", 1), 0xE40C292Cu);
  EXPECT_EQ(fnv1a32("foobar", 6), 0xBF9CF968u);
}

TEST(Fnv1a32, HighBytesAreTakenUnsigned) {
  // 0x80..0xFF must be XORed as 128..255, not sign-extended.
  const uint8_t high[] = {0xFF};
  EXPECT_EQ(fnv1a32(high, 1), (0x811C9DC5u ^ 0xFFu) * 0x01000193u);
  const char mark[] = "\xE2\x96\x81";
  EXPECT_EQ(fnv1a32(mark, 3), reference_fnv1a32({0xE2, 0x96, 0x81}, 3));
}

TEST(Fnv1a32, MatchesReferenceForEveryLengthAndOffset) {
  std::mt19937 rng(7);
  std::vector<uint8_t> bytes(300);
  for (auto& b : bytes) b = static_cast<uint8_t>(rng());
  for (size_t start = 0; start < 8; ++start) {
    const std::vector<uint8_t> tail(bytes.begin() + start, bytes.end());
    for (size_t len = 0; len <= 256; ++len) {
      ASSERT_EQ(fnv1a32(bytes.data() + start, len), reference_fnv1a32(tail, len))
          << "start " << start << " len " << len;
    }
  }
}
}  // namespace
