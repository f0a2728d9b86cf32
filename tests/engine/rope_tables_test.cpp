// The rotary tables: row 0 is the identity rotation, column 0 turns by one radian per
// position, and every entry is the one-rounding value of its defined formula.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "engine/rope_tables.h"

namespace {

using geom::kMaxPositions;
using geom::kRotaryPairs;

class RopeTables : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { build_rope_tables(); }
};

bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

TEST_F(RopeTables, RowZeroIsTheIdentity) {
  for (uint64_t i = 0; i < kRotaryPairs; i++) {
    EXPECT_EQ(rope_cos_table[0][i], 1.0f) << i;
    EXPECT_TRUE(same_bits(rope_sin_table[0][i], 0.0f)) << i;
  }
}

TEST_F(RopeTables, ColumnZeroHoldsCosAndSinOfThePosition) {
  for (uint64_t p = 0; p < kMaxPositions; p++) {
    double a = static_cast<double>(p);
    EXPECT_TRUE(same_bits(rope_cos_table[p][0], static_cast<float>(std::cos(a)))) << p;
    EXPECT_TRUE(same_bits(rope_sin_table[p][0], static_cast<float>(std::sin(a)))) << p;
  }
}

TEST_F(RopeTables, EveryEntryMatchesItsFormula) {
  // The exponent -2i/256 is exact in f32; the power is rounded once to f32; the angle is one
  // f32 product; the cosine and sine of that angle are rounded once to f32.
  int64_t mismatches = 0;
  for (uint64_t p = 0; p < kMaxPositions; p++) {
    for (uint64_t i = 0; i < kRotaryPairs; i++) {
      float f = static_cast<float>(std::pow(10000.0L, -static_cast<long double>(i) / 128.0L));
      float a = f * static_cast<float>(p);
      float c = static_cast<float>(std::cos(static_cast<long double>(a)));
      float s = static_cast<float>(std::sin(static_cast<long double>(a)));
      if (!same_bits(rope_cos_table[p][i], c) || !same_bits(rope_sin_table[p][i], s)) {
        if (mismatches++ < 5)
          ADD_FAILURE() << "p " << p << " i " << i << ": " << rope_cos_table[p][i] << " " << rope_sin_table[p][i]
                        << " vs " << c << " " << s;
      }
    }
  }
  EXPECT_EQ(mismatches, 0);
}

TEST_F(RopeTables, FrequenciesFallFromOneToAboutOneTenThousandth) {
  // Row 1 holds cos and sin of the frequencies themselves: 10000^(-i/128).
  for (uint64_t i = 0; i < kRotaryPairs; i++) {
    double f = std::pow(10000.0, -static_cast<double>(i) / 128.0);
    EXPECT_NEAR(rope_cos_table[1][i], std::cos(f), 1e-7) << i;
    EXPECT_NEAR(rope_sin_table[1][i], std::sin(f), 1e-7) << i;
  }
  // The slowest frequency is about 1.07e-4 radians per position; sin x is x there.
  EXPECT_NEAR(rope_sin_table[1][127], std::pow(10000.0, -127.0 / 128.0), 1e-10);
}

TEST_F(RopeTables, EachRowIsAUnitRotation) {
  for (uint64_t p = 0; p < kMaxPositions; p += 37) {
    for (uint64_t i = 0; i < kRotaryPairs; i++) {
      double c = rope_cos_table[p][i], s = rope_sin_table[p][i];
      EXPECT_NEAR(c * c + s * s, 1.0, 2.5e-7) << p << " " << i;
    }
  }
}

TEST_F(RopeTables, BuildingAgainGivesTheSameBits) {
  static float cos_copy[kMaxPositions][kRotaryPairs], sin_copy[kMaxPositions][kRotaryPairs];
  std::memcpy(cos_copy, rope_cos_table, sizeof cos_copy);
  std::memcpy(sin_copy, rope_sin_table, sizeof sin_copy);
  build_rope_tables();
  EXPECT_EQ(std::memcmp(cos_copy, rope_cos_table, sizeof cos_copy), 0);
  EXPECT_EQ(std::memcmp(sin_copy, rope_sin_table, sizeof sin_copy), 0);
}

}  // namespace
