// The rotary tables of the Windows build equal the Linux build's, bit for bit: the same
// source compiled by the two compilers and their C libraries' double-precision functions.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "engine/rope_tables.h"

namespace {

using geom::kMaxPositions;
using geom::kRotaryPairs;

TEST(RopeTablesAcrossBuilds, EqualTheLinuxBuildsBitForBit) {
  const size_t n = kMaxPositions * kRotaryPairs;
  std::vector<float> linux_tables(2 * n, -9.0f);
  FILE* in = fopen(KORVANE_LINUX_ROPE_TABLES, "rb");
  ASSERT_NE(in, nullptr) << KORVANE_LINUX_ROPE_TABLES;
  ASSERT_EQ(fread(linux_tables.data(), sizeof(float), 2 * n, in), 2 * n);
  EXPECT_EQ(fgetc(in), EOF);
  fclose(in);

  build_rope_tables();
  const float* mine[2] = {&rope_cos_table[0][0], &rope_sin_table[0][0]};
  const char* names[2] = {"cos", "sin"};
  for (int t = 0; t < 2; t++) {
    size_t differ = 0;
    for (size_t k = 0; k < n; k++) {
      if (std::memcmp(&mine[t][k], &linux_tables[t * n + k], sizeof(float)) != 0 && differ++ < 5) {
        ADD_FAILURE() << names[t] << " position " << k / kRotaryPairs << " pair " << k % kRotaryPairs << ": "
                      << mine[t][k] << " here, " << linux_tables[t * n + k] << " on Linux";
      }
    }
    EXPECT_EQ(differ, 0u) << names[t];
  }
}

}  // namespace
