// read_probe: the edge cases of the reading, and its exact order of operations pinned against
// the plain reference bit for bit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "probe/probe.h"
#include "probe_reference.h"

namespace {
using Vec = std::vector<float>;

float field(const ProbeReading& r, int k) {
  return r.value[k];
}

float bias(int k) { return probe_bias_values()[k]; }

Vec baseline() { return Vec(probe_baseline_values(), probe_baseline_values() + kProbeDim); }

// A random offset from the baseline: normal entries of the given spread.
Vec random_offset(std::mt19937* rng, float spread) {
  std::normal_distribution<float> normal(0.0f, spread);
  Vec d(kProbeDim);
  for (float& v : d) v = normal(*rng);
  return d;
}

// baseline + a * d, element by element in f32.
Vec offset_state(const Vec& d, float a) {
  Vec h = baseline();
  for (int j = 0; j < kProbeDim; j++) h[j] = h[j] + a * d[j];
  return h;
}

class ReadProbe : public testing::Test {
 protected:
  static void SetUpTestSuite() { load_probe_tables(); }
};

TEST_F(ReadProbe, TheBaselineReadsExactlyTheBiases) {
  const ProbeReading r = read_probe(probe_baseline_values(), 0);
  EXPECT_EQ(to_bits(r.value[0]), 0x3CB0B6D6u);
  EXPECT_EQ(to_bits(r.value[1]), 0x3DD46184u);
  EXPECT_EQ(to_bits(r.value[2]), 0xBE5FEC50u);
  EXPECT_EQ(to_bits(r.value[3]), 0xBE1F6BC1u);
}

TEST_F(ReadProbe, AStateAlongOneAxisReadsItsBiasPlusOne) {
  for (int k = 0; k < kProbeAxes; k++) {
    const Vec axis(probe_weights_row(k), probe_weights_row(k) + kProbeDim);
    for (float c : {1.0f, 4.0f, 64.0f, 1000.0f}) {
      SCOPED_TRACE("axis " + std::to_string(k) + ", c " + std::to_string(c));
      const ProbeReading r = read_probe(offset_state(axis, c).data(), 0);
      for (int l = 0; l < kProbeAxes; l++) {
        if (l == k) {
          EXPECT_NEAR(field(r, l), bias(l) + 1.0f, 2e-6f);
        } else {
          EXPECT_NEAR(field(r, l), bias(l), 1e-6f) << "axis " << l;
        }
      }
    }
  }
}

TEST_F(ReadProbe, ScalingTheOffsetKeepsTheReadingAndNegatingItMirrorsAboutTheBias) {
  std::mt19937 rng(11);
  for (int trial = 0; trial < 8; trial++) {
    const Vec d = random_offset(&rng, 0.05f);
    const ProbeReading ref = read_probe(offset_state(d, 1.0f).data(), 0);
    for (float a : {0.01f, 0.25f, 8.0f, 1e4f}) {
      SCOPED_TRACE("trial " + std::to_string(trial) + ", factor " + std::to_string(a));
      const ProbeReading scaled = read_probe(offset_state(d, a).data(), 0);
      const ProbeReading mirrored = read_probe(offset_state(d, -a).data(), 0);
      for (int k = 0; k < kProbeAxes; k++) {
        EXPECT_NEAR(field(scaled, k), field(ref, k), 2e-6f) << "axis " << k;
        EXPECT_NEAR(field(mirrored, k) - bias(k), -(field(ref, k) - bias(k)), 2e-6f) << "axis " << k;
      }
    }
  }
}

TEST_F(ReadProbe, FiniteReadingsStayWithinOneOfTheBias) {
  std::mt19937 rng(12);
  for (float spread : {1e-6f, 1e-2f, 1.0f, 1e6f}) {
    for (int trial = 0; trial < 10; trial++) {
      const ProbeReading r = read_probe(offset_state(random_offset(&rng, spread), 1.0f).data(), 0);
      for (int k = 0; k < kProbeAxes; k++) {
        EXPECT_GE(field(r, k), bias(k) - 1.000001f);
        EXPECT_LE(field(r, k), bias(k) + 1.000001f);
      }
    }
  }
}

// Offsets of m * 2^-30 at element 1713, whose baseline value lies in [2^-7, 2^-6), are
// exact, and so are their squares and square roots: 10 steps give a length of 9.3e-9 (used
// as it is), 11 steps 1.02e-8 (divided, to exactly +-1). 1713 is where the Truth row peaks
// (-0.224), so even the unscaled term moves the Truth reading off its bias: a zeroed state
// would read differently too.
TEST_F(ReadProbe, ACentredStateOfLengthUpTo1e8IsUsedUnscaled) {
  const int j = 1713;
  const float* base = probe_baseline_values();
  ASSERT_TRUE(base[j] >= 0x1.0p-7f && base[j] < 0x1.0p-6f - 0x1.0p-24f);
  for (int steps : {10, -10, 11, -11}) {
    SCOPED_TRACE("steps " + std::to_string(steps));
    const float offset = static_cast<float>(steps) * 0x1.0p-30f;
    Vec h = baseline();
    h[j] = base[j] + offset;
    ASSERT_EQ(h[j] - base[j], offset);
    const bool scaled = std::fabs(offset) > 1e-8f;
    EXPECT_EQ(scaled, std::abs(steps) == 11);
    const ProbeReading r = read_probe(h.data(), 0);
    for (int k = 0; k < kProbeAxes; k++) {
      const float w = probe_weights_row(k)[j];
      const float unit = steps > 0 ? w : -w;
      const float expected = scaled ? bias(k) + unit : bias(k) + offset * w;
      EXPECT_EQ(to_bits(field(r, k)), to_bits(expected)) << "axis " << k;
      if (!scaled) {
        EXPECT_LE(std::fabs(field(r, k) - bias(k)), 1e-8f);
      }
    }
    EXPECT_NE(r.value[0], bias(0));
  }
}

TEST_F(ReadProbe, ANaNOrInfinityAnywhereGivesFourNaNs) {
  std::mt19937 rng(13);
  const Vec d = random_offset(&rng, 0.05f);
  const float bad[] = {std::numeric_limits<float>::quiet_NaN(), -std::numeric_limits<float>::quiet_NaN(),
                       from_bits(0x7F800001u), std::numeric_limits<float>::infinity(),
                       -std::numeric_limits<float>::infinity()};
  for (int at : {0, 1, 50, 1024, 1713, 2047}) {
    for (float v : bad) {
      SCOPED_TRACE("element " + std::to_string(at) + ", bits " + std::to_string(to_bits(v)));
      Vec h = offset_state(d, 1.0f);
      h[at] = v;
      const ProbeReading r = read_probe(h.data(), 0);
      for (int k = 0; k < kProbeAxes; k++) EXPECT_TRUE(std::isnan(field(r, k))) << "axis " << k;
    }
  }
  // On the baseline itself, every other element centres to exactly zero.
  Vec h = baseline();
  h[7] = std::numeric_limits<float>::infinity();
  const ProbeReading r = read_probe(h.data(), 0);
  for (int k = 0; k < kProbeAxes; k++) EXPECT_TRUE(std::isnan(field(r, k))) << "axis " << k;
}

TEST_F(ReadProbe, MatchesThePlainReferenceBitForBit) {
  std::mt19937 rng(14);
  std::uniform_int_distribution<int> index(0, kProbeDim - 1);
  const float spreads[] = {1e-9f, 1e-6f, 1e-3f, 0.05f, 1.0f, 30.0f, 1e4f, 1e15f};
  int compared = 0;
  for (float spread : spreads) {
    for (int trial = 0; trial < 24; trial++) {
      Vec h;
      switch (trial % 4) {
        case 0:  // dense random states around the baseline
          h = offset_state(random_offset(&rng, spread), 1.0f);
          break;
        case 1: {  // a few elements away from the baseline
          h = baseline();
          for (int n = 0; n < 1 + trial % 5; n++) h[index(rng)] += spread;
          break;
        }
        case 2:  // states of their own, unrelated to the baseline
          h = random_offset(&rng, spread);
          break;
        default: {  // mostly along one axis, plus noise
          const float* w = probe_weights_row(trial % kProbeAxes);
          const Vec noise = random_offset(&rng, spread * 0.01f);
          h = baseline();
          for (int j = 0; j < kProbeDim; j++) h[j] = h[j] + (spread * w[j] + noise[j]);
        }
      }
      const ProbeReading got = read_probe(h.data(), 0);
      const ProbeReading want = reference_read_probe(h.data());
      for (int k = 0; k < kProbeAxes; k++)
        ASSERT_EQ(to_bits(field(got, k)), to_bits(field(want, k)))
            << "spread " << spread << ", trial " << trial << ", axis " << k;
      compared++;
    }
  }
  EXPECT_EQ(compared, 8 * 24);
}

TEST_F(ReadProbe, LeavesItsInputAloneAndRepeatsExactly) {
  std::mt19937 rng(15);
  const Vec h = offset_state(random_offset(&rng, 0.1f), 1.0f);
  Vec copy = h;
  const ProbeReading first = read_probe(copy.data(), 0);
  const ProbeReading second = read_probe(copy.data(), 0);
  EXPECT_EQ(std::memcmp(copy.data(), h.data(), sizeof(float) * kProbeDim), 0);
  EXPECT_EQ(std::memcmp(&first, &second, sizeof first), 0);
}
}  // namespace
