// rms_norm, softmax, geglu, argmax and exp_approx against the scalar references, bit for bit,
// over lengths, misalignments, aliasing and the edge values each one is known for.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <vector>

#include "kernels/exp_approx.h"
#include "kernels/kernels.h"
#include "tests/kernels/kernel_reference.h"
#include "tests/kernels/test_data.h"

namespace {

using testdata::first_bit_difference;
using testdata::Placed;

const float kEps = std::bit_cast<float>(0x3727C5ACu);  // 1e-5, the only epsilon in use
const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();
const float kSentinel = -12345.5f;

// Lengths that exercise the 32-element blocks, the leftover groups of eight, and the model's.
const uint64_t kLengths[] = {8, 16, 24, 32, 40, 56, 64, 72, 96, 104, 120, 200, 2048, 2056, 2072, 4088, 4096};

float exp_vec(float d) {
  alignas(32) float v[8];
  _mm256_store_ps(v, exp_approx(_mm256_set1_ps(d)));
  return v[0];
}

// ---------------------------------------------------------------- exp_approx

TEST(ExpApprox, ZeroGivesExactlyOne) {
  EXPECT_EQ(exp_vec(0.0f), 1.0f);
  EXPECT_EQ(exp_vec(-0.0f), 1.0f);
}

TEST(ExpApprox, MatchesReferenceAcrossTheClampRange) {
  // Every 61st float pattern of [-88, 88], eight lanes at a time, against the scalar steps.
  std::vector<float> ds;
  for (uint32_t bits = 0; bits <= std::bit_cast<uint32_t>(88.0f); bits += 61) {
    ds.push_back(std::bit_cast<float>(bits));
    ds.push_back(-std::bit_cast<float>(bits));
  }
  ds.push_back(88.0f);
  ds.push_back(-88.0f);
  while (ds.size() % 8) ds.push_back(1.0f);
  uint64_t mismatches = 0;
  alignas(32) float got[8];
  for (size_t i = 0; i < ds.size(); i += 8) {
    _mm256_store_ps(got, exp_approx(_mm256_loadu_ps(&ds[i])));
    for (int l = 0; l < 8; l++) {
      float want = ref::exp_approx(ds[i + l]);
      if (std::bit_cast<uint32_t>(got[l]) != std::bit_cast<uint32_t>(want) && mismatches++ < 5)
        ADD_FAILURE() << "d = " << ds[i + l] << ": " << got[l] << " vs " << want;
    }
  }
  EXPECT_EQ(mismatches, 0u);
}

TEST(ExpApprox, RoundsHalfwayProductsToEven) {
  // Find inputs whose d * log2(e) is exactly k + 0.5 and check the rounding against the
  // reference (ties to even), for both signs.
  const float log2e = std::bit_cast<float>(0x3FB8AA3Bu);
  int ties = 0;
  for (int k = -126; k <= 125; k++) {
    float target = static_cast<float>(k) + 0.5f;
    float d = target / log2e;
    for (int step = -4; step <= 4; step++) {
      float c = std::bit_cast<float>(std::bit_cast<uint32_t>(d) + static_cast<uint32_t>(step));
      if (c * log2e != target) continue;
      ties++;
      EXPECT_EQ(std::bit_cast<uint32_t>(exp_vec(c)), std::bit_cast<uint32_t>(ref::exp_approx(c))) << "d = " << c;
    }
  }
  EXPECT_GT(ties, 20);  // the search must actually find halfway cases
}

TEST(ExpApprox, RelativeErrorWithinBoundWhereNotFlushed) {
  double worst = 0;
  for (float d = -87.6f; d <= 88.0f; d += 0.00731f) {
    float got = exp_vec(d);
    ASSERT_NE(got, 0.0f) << d;
    double rel = std::fabs(static_cast<double>(got) / std::exp(static_cast<double>(d)) - 1.0);
    worst = std::max(worst, rel);
  }
  EXPECT_LE(worst, 6e-5);
}

TEST(ExpApprox, FlushesToZeroBelowAboutMinus87_68) {
  EXPECT_EQ(exp_vec(-88.0f), 0.0f);
  EXPECT_EQ(exp_vec(-87.7f), 0.0f);
  EXPECT_GT(exp_vec(-87.6f), 0.0f);
  // The boundary is where d * log2(e) rounds to -127: just below -126.5 / log2(e).
  const float log2e = std::bit_cast<float>(0x3FB8AA3Bu);
  for (float d = -88.0f; d < -87.0f; d += 0.001f) {
    float k = std::nearbyint(d * log2e);
    if (k <= -127.0f) {
      EXPECT_EQ(exp_vec(d), 0.0f) << d;
    } else {
      EXPECT_GT(exp_vec(d), 0.0f) << d;
    }
  }
}

// ---------------------------------------------------------------- rms_norm

TEST(RmsNorm, MatchesReferenceOverLengthsAndMisalignments) {
  for (uint64_t n : kLengths) {
    for (uint64_t off = 0; off < 8; off += 3) {
      auto in = testdata::spread(n, static_cast<uint32_t>(n * 7 + off));
      auto w = testdata::uniform(n, -1.5f, 1.5f, static_cast<uint32_t>(n + 99));
      std::vector<float> want(n);
      ref::rms_norm(want.data(), w.data(), in.data(), n, kEps);
      Placed<float> pin(in, off, kSentinel), pw(w, (off + 1) % 8, kSentinel);
      Placed<float> pout(std::vector<float>(n, kSentinel), (off + 5) % 8, kSentinel);
      rms_norm(pout.at(), pw.at(), pin.at(), n, kEps);
      EXPECT_EQ(first_bit_difference(pout.at(), want.data(), n), -1) << "n = " << n << " offset " << off;
      EXPECT_TRUE(pout.guards_intact()) << "n = " << n;
    }
  }
}

TEST(RmsNorm, InPlaceGivesTheSameBits) {
  for (uint64_t n : {8ull, 40ull, 2048ull, 4096ull}) {
    auto in = testdata::spread(n, 5);
    auto w = testdata::uniform(n, -1.0f, 1.0f, 6);
    std::vector<float> want(n);
    ref::rms_norm(want.data(), w.data(), in.data(), n, kEps);
    Placed<float> buf(in, 1, kSentinel);
    rms_norm(buf.at(), w.data(), buf.at(), n, kEps);
    EXPECT_EQ(first_bit_difference(buf.at(), want.data(), n), -1) << n;
    EXPECT_TRUE(buf.guards_intact());
  }
}

TEST(RmsNorm, AllZeroInputGivesZeros) {
  std::vector<float> in(2048, 0.0f), w = testdata::uniform(2048, -1, 1, 3), out(2048, kSentinel);
  rms_norm(out.data(), w.data(), in.data(), in.size(), kEps);
  for (float v : out) ASSERT_EQ(v, 0.0f);
}

TEST(RmsNorm, WeightMinusOneZeroesAndWeightZeroLeavesTheNormalisedValue) {
  const uint64_t n = 64;
  auto in = testdata::uniform(n, 0.5f, 2.0f, 8);
  std::vector<float> w(n, 0.0f), out(n);
  w[3] = -1.0f;
  w[40] = -1.0f;
  rms_norm(out.data(), w.data(), in.data(), n, kEps);
  EXPECT_EQ(out[3], 0.0f);
  EXPECT_EQ(out[40], 0.0f);
  // With weight 0 every output is in[i] * r for one scale r, close to 1 / rms.
  double ss = 0;
  for (float v : in) ss += static_cast<double>(v) * v;
  double inv_rms = 1.0 / std::sqrt(ss / n + kEps);
  float r = ref::rms_scale(in.data(), n, kEps);
  for (uint64_t i = 0; i < n; i++) {
    if (i == 3 || i == 40) continue;
    EXPECT_EQ(out[i], in[i] * r) << i;
  }
  EXPECT_NEAR(r, inv_rms, inv_rms * 1e-6);
}

TEST(RmsNorm, NewtonStepRefinesTheEstimate) {
  // The estimate alone is within 1.5 * 2^-12; after the step the scale is within a few ulps.
  for (float t : {1e-5f, 0.37f, 1.0f, 3.0f, 1234.5f, 6.02e7f}) {
    float r0 = ref::rsqrt_estimate(t);
    double exact = 1.0 / std::sqrt(static_cast<double>(t));
    EXPECT_LE(std::fabs(r0 / exact - 1.0), 1.5 * std::ldexp(1.0, -12)) << t;
  }
  const uint64_t n = 8;
  std::vector<float> in(n, 3.0f), w(n, 0.0f), out(n);
  rms_norm(out.data(), w.data(), in.data(), n, kEps);
  EXPECT_NEAR(out[0], 3.0 / std::sqrt(9.0 + 1e-5), 4e-7);
}

TEST(RmsNorm, ZeroLengthWritesNothing) {
  std::vector<float> in(8, 1.0f), w(8, 0.0f), out(8, kSentinel);
  rms_norm(out.data(), w.data(), in.data(), 0, kEps);
  for (float v : out) EXPECT_EQ(v, kSentinel);
}

// ---------------------------------------------------------------- softmax

TEST(Softmax, MatchesReferenceOverLengthsAndMisalignments) {
  for (uint64_t n : kLengths) {
    for (uint64_t off = 0; off < 8; off += 3) {
      auto in = testdata::uniform(n, -30.0f, 30.0f, static_cast<uint32_t>(n + off));
      std::vector<float> want(n);
      ref::softmax(want.data(), in.data(), n);
      Placed<float> pin(in, off, kSentinel);
      Placed<float> pout(std::vector<float>(n, kSentinel), (off + 3) % 8, kSentinel);
      softmax(pout.at(), pin.at(), n);
      EXPECT_EQ(first_bit_difference(pout.at(), want.data(), n), -1) << "n = " << n << " offset " << off;
      EXPECT_TRUE(pout.guards_intact());
      double sum = 0;
      for (uint64_t i = 0; i < n; i++) sum += pout.at()[i];
      EXPECT_NEAR(sum, 1.0, 1e-4);
    }
  }
}

TEST(Softmax, WideScoresMatchReferenceThroughTheClamp) {
  // Many scores lie more than 88 below the maximum and go through the clamp.
  for (uint64_t n : {8ull, 64ull, 264ull, 2048ull}) {
    auto in = testdata::uniform(n, -250.0f, 10.0f, static_cast<uint32_t>(n * 3));
    in[n / 2] = 12.0f;
    std::vector<float> want(n), got(n);
    ref::softmax(want.data(), in.data(), n);
    softmax(got.data(), in.data(), n);
    EXPECT_EQ(first_bit_difference(got.data(), want.data(), n), -1) << n;
  }
}

TEST(Softmax, InPlaceWithAttentionPadding) {
  // As the attention calls it: position + 1 real scores, padded with -10000 to a multiple of 8.
  for (uint64_t real : {2ull, 7ull, 9ull, 100ull, 2048ull}) {
    uint64_t n = (real + 7) / 8 * 8;
    auto in = testdata::uniform(n, -4.0f, 4.0f, static_cast<uint32_t>(real));
    for (uint64_t i = real; i < n; i++) in[i] = -10000.0f;
    std::vector<float> want(n);
    ref::softmax(want.data(), in.data(), n);
    Placed<float> buf(in, 2, kSentinel);
    softmax(buf.at(), buf.at(), n);
    EXPECT_EQ(first_bit_difference(buf.at(), want.data(), n), -1) << real;
    for (uint64_t i = real; i < n; i++) EXPECT_EQ(buf.at()[i], 0.0f) << i;
  }
}

TEST(Softmax, EightEqualValuesGiveAnEighthEach) {
  for (float v : {0.0f, -3.25f, 17.0f}) {
    std::vector<float> x(8, v);
    softmax(x.data(), x.data(), 8);
    for (float p : x) EXPECT_EQ(p, 0.125f) << v;
  }
}

TEST(Softmax, OneScoreAndSevenPads) {
  std::vector<float> x = {2.5f, -10000, -10000, -10000, -10000, -10000, -10000, -10000};
  softmax(x.data(), x.data(), 8);
  EXPECT_EQ(x[0], 1.0f);
  for (int i = 1; i < 8; i++) EXPECT_EQ(x[i], 0.0f);
}

TEST(Softmax, ScoresFarBelowTheMaximumGetExactlyZero) {
  std::vector<float> x(16, 0.0f);
  x[0] = 50.0f;
  x[1] = 50.0f - 87.7f;   // beyond the flush point
  x[2] = 50.0f - 200.0f;  // clamped to -88
  x[3] = 50.0f - 87.0f;   // not flushed
  std::vector<float> out(16);
  softmax(out.data(), x.data(), 16);
  EXPECT_EQ(out[1], 0.0f);
  EXPECT_EQ(out[2], 0.0f);
  EXPECT_GT(out[3], 0.0f);
}

TEST(Softmax, ZeroLengthWritesNothing) {
  std::vector<float> out(8, kSentinel), in(8, 1.0f);
  softmax(out.data(), in.data(), 0);
  for (float v : out) EXPECT_EQ(v, kSentinel);
}

// ---------------------------------------------------------------- geglu

TEST(Geglu, MatchesReferenceOverLengthsMisalignmentsAndAliasing) {
  for (uint64_t n : kLengths) {
    auto gate = testdata::uniform(n, -6.0f, 6.0f, static_cast<uint32_t>(n));
    auto up = testdata::uniform(n, -3.0f, 3.0f, static_cast<uint32_t>(n + 1));
    std::vector<float> want(n);
    ref::geglu(want.data(), gate.data(), up.data(), n);
    for (uint64_t off = 0; off < 8; off += 3) {
      Placed<float> pg(gate, off, kSentinel), pu(up, (off + 2) % 8, kSentinel);
      Placed<float> pout(std::vector<float>(n, kSentinel), (off + 7) % 8, kSentinel);
      geglu(pout.at(), pg.at(), pu.at(), n);
      EXPECT_EQ(first_bit_difference(pout.at(), want.data(), n), -1) << "n = " << n << " offset " << off;
      EXPECT_TRUE(pout.guards_intact());
    }
    Placed<float> over_gate(gate, 1, kSentinel), over_up(up, 5, kSentinel);
    geglu(over_gate.at(), over_gate.at(), up.data(), n);
    EXPECT_EQ(first_bit_difference(over_gate.at(), want.data(), n), -1) << "out = gate, n = " << n;
    geglu(over_up.at(), gate.data(), over_up.at(), n);
    EXPECT_EQ(first_bit_difference(over_up.at(), want.data(), n), -1) << "out = up, n = " << n;
  }
}

TEST(Geglu, ZeroGateGivesZero) {
  std::vector<float> gate(16, 0.0f), up = testdata::uniform(16, -5, 5, 1), out(16, kSentinel);
  geglu(out.data(), gate.data(), up.data(), 16);
  for (float v : out) EXPECT_EQ(v, 0.0f);
}

TEST(Geglu, LargeGatePassesGateTimesUp) {
  // From about 4.97 on, e^-z no longer changes 1 + e, so the result is exactly gate * up.
  std::vector<float> gate, up;
  for (float g = 4.97f; g < 40.0f; g += 0.173f) gate.push_back(g);
  while (gate.size() % 8) gate.push_back(100.0f);
  up = testdata::uniform(gate.size(), -7.0f, 7.0f, 2);
  std::vector<float> out(gate.size());
  geglu(out.data(), gate.data(), up.data(), gate.size());
  for (size_t i = 0; i < gate.size(); i++) EXPECT_EQ(out[i], gate[i] * up[i]) << gate[i];
  // Just below the threshold the correction still shows.
  std::vector<float> g8(8, 4.5f), u8(8, 1.0f), o8(8);
  geglu(o8.data(), g8.data(), u8.data(), 8);
  EXPECT_LT(o8[0], 4.5f);
}

TEST(Geglu, VeryNegativeGateGivesATinyNonZeroValue) {
  // z far below -88: the exponent is clamped at 88, so the result is gate * up / (e^88 + 1).
  std::vector<float> gate = {-20.0f, -50.0f, -300.0f, -1e4f, -20.0f, -50.0f, -300.0f, -1e4f};
  std::vector<float> up = {1.0f, 2.0f, -3.0f, 0.5f, -1.0f, 7.0f, 3.0f, -0.25f};
  std::vector<float> out(8);
  geglu(out.data(), gate.data(), up.data(), 8);
  float den = ref::exp_approx(88.0f) + 1.0f;
  EXPECT_NEAR(den, 1.65e38f, 0.01e38f);
  for (int i = 0; i < 8; i++) {
    float gu = gate[i] * up[i];
    EXPECT_EQ(out[i], gu / den) << i;
    EXPECT_NE(out[i], 0.0f) << i;
    EXPECT_NEAR(std::fabs(out[i]) / std::fabs(gu), 6.06e-39, 0.05e-39) << i;
  }
}

// ---------------------------------------------------------------- argmax

TEST(Argmax, MatchesThePlainScanOnRandomVectors) {
  for (uint64_t n = 1; n <= 130; n++) {
    for (uint32_t seed = 0; seed < 4; seed++) {
      auto v = testdata::uniform(n, -1.0f, 1.0f, static_cast<uint32_t>(n * 13 + seed));
      // Coarse values make ties common.
      for (float& f : v) f = std::round(f * 4.0f);
      Placed<float> p(v, seed, kSentinel);
      EXPECT_EQ(argmax(p.at(), n), ref::argmax(v.data(), n)) << "n = " << n << " seed " << seed;
    }
  }
  auto big = testdata::uniform(256000, -30.0f, 30.0f, 77);
  EXPECT_EQ(argmax(big.data(), big.size()), ref::argmax(big.data(), big.size()));
}

TEST(Argmax, NaNAtZeroWins) {
  std::vector<float> v = {kNaN, 1.0f, 5.0f, kInf, 2.0f, 3.0f, 4.0f, 9.0f, 10.0f, 11.0f};
  EXPECT_EQ(argmax(v.data(), v.size()), 0u);
}

TEST(Argmax, NaNElsewhereIsNeverChosen) {
  for (uint64_t n : {9ull, 16ull, 21ull}) {
    for (uint64_t at = 1; at < n; at++) {
      std::vector<float> v(n, 0.0f);
      v[at] = kNaN;
      uint64_t max_at = at == n - 1 ? 0 : n - 1;
      v[max_at] = 3.0f;
      EXPECT_EQ(argmax(v.data(), n), max_at) << "n = " << n << " NaN at " << at;
    }
  }
  std::vector<float> all_nan_after(12, kNaN);
  all_nan_after[0] = -1.0f;
  EXPECT_EQ(argmax(all_nan_after.data(), 12), 0u);
}

TEST(Argmax, TiesGoToTheLowestIndex) {
  std::vector<float> v(40, 1.0f);
  v[11] = 7.0f;
  v[12] = 7.0f;
  v[30] = 7.0f;
  EXPECT_EQ(argmax(v.data(), v.size()), 11u);
  // A group whose lanes only equal the best so far changes nothing.
  std::vector<float> w(24, 2.0f);
  w[3] = 5.0f;
  for (int i = 8; i < 16; i++) w[i] = 5.0f;
  EXPECT_EQ(argmax(w.data(), w.size()), 3u);
}

TEST(Argmax, MaximumAmongTheLastFewElements) {
  for (uint64_t n = 9; n < 48; n++) {
    if (n % 8 == 0) continue;
    for (uint64_t at = n / 8 * 8; at < n; at++) {
      std::vector<float> v = testdata::uniform(n, -1.0f, 1.0f, static_cast<uint32_t>(n));
      v[at] = 2.0f;
      EXPECT_EQ(argmax(v.data(), n), at) << "n = " << n;
    }
  }
}

TEST(Argmax, AllEqualAndEmpty) {
  std::vector<float> v(33, -4.0f);
  EXPECT_EQ(argmax(v.data(), v.size()), 0u);
  EXPECT_EQ(argmax(v.data(), 0), 0u);
  EXPECT_EQ(argmax(nullptr, 0), 0u);
  std::vector<float> ninf(17, -kInf);
  EXPECT_EQ(argmax(ninf.data(), ninf.size()), 0u);
}

}  // namespace
