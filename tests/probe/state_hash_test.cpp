// state_hash: FNV-1a over the state's bytes, so it tells apart states that compare equal.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "probe/probe.h"
#include "probe_reference.h"

namespace {
// The state's bytes as the hash must see them: element 0 first, each float little-endian.
uint32_t reference_state_hash(const std::vector<float>& h) {
  std::vector<uint8_t> bytes;
  for (float v : h) {
    const uint32_t bits = to_bits(v);
    for (int b = 0; b < 4; b++) bytes.push_back(static_cast<uint8_t>(bits >> (8 * b)));
  }
  return reference_fnv1a32(bytes.data(), bytes.size());
}

std::vector<float> random_state(unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> normal(0.0f, 3.0f);
  std::vector<float> h(kProbeDim);
  for (float& v : h) v = normal(rng);
  return h;
}

TEST(StateHash, IsFnv1aOverThe8192LittleEndianBytes) {
  for (unsigned seed = 1; seed <= 6; seed++) {
    const std::vector<float> h = random_state(seed);
    EXPECT_EQ(state_hash(h.data()), reference_state_hash(h)) << "seed " << seed;
  }
  const std::vector<float> zeros(kProbeDim, 0.0f);
  EXPECT_EQ(state_hash(zeros.data()), reference_state_hash(zeros));
}

TEST(StateHash, ReadsExactlyTheStateAndNothingAround) {
  const std::vector<float> h = random_state(7);
  std::vector<float> a(kProbeDim + 16, 1.0f), b(kProbeDim + 16, -5.0f);
  std::memcpy(a.data() + 8, h.data(), sizeof(float) * kProbeDim);
  std::memcpy(b.data() + 8, h.data(), sizeof(float) * kProbeDim);
  EXPECT_EQ(state_hash(a.data() + 8), state_hash(b.data() + 8));
  EXPECT_EQ(state_hash(a.data() + 8), state_hash(h.data()));
}

TEST(StateHash, EqualValuesWithDifferentBytesHashDifferently) {
  std::vector<float> plus(kProbeDim, 0.0f);
  for (int at : {0, 1000, 2047}) {
    std::vector<float> minus = plus;
    minus[at] = -0.0f;
    ASSERT_TRUE(minus[at] == plus[at]);
    EXPECT_NE(state_hash(minus.data()), state_hash(plus.data())) << "element " << at;
  }
  std::vector<float> nan_a = random_state(8), nan_b = nan_a, nan_c = nan_a;
  nan_a[123] = from_bits(0x7FC00000u);
  nan_b[123] = from_bits(0x7FC00001u);
  nan_c[123] = from_bits(0xFFC00000u);
  EXPECT_NE(state_hash(nan_a.data()), state_hash(nan_b.data()));
  EXPECT_NE(state_hash(nan_a.data()), state_hash(nan_c.data()));
  EXPECT_NE(state_hash(nan_b.data()), state_hash(nan_c.data()));
}

TEST(StateHash, AnySingleBitFlipChangesTheHash) {
  const std::vector<float> h = random_state(9);
  const uint32_t base = state_hash(h.data());
  for (int at : {0, 1, 511, 2046, 2047}) {
    for (int bit = 0; bit < 32; bit++) {
      std::vector<float> g = h;
      g[at] = from_bits(to_bits(g[at]) ^ (1u << bit));
      EXPECT_NE(state_hash(g.data()), base) << "element " << at << " bit " << bit;
    }
  }
}
}  // namespace
