// The splice vector.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "model/fp16.h"
#include "probe/probe.h"
#include "probe/splice_vector.h"
#include "tests/probe/probe_reference.h"

namespace {
constexpr size_t kAnchorOffset = 235308ull * 2048;

// An embedding table with only the anchor row filled: 256000 x 2048 fp16 (1 GB of address
// space, untouched pages cost nothing).
struct AnchorTable {
  std::vector<uint16_t> cells = std::vector<uint16_t>(256000ull * 2048);
  uint16_t* row() { return cells.data() + kAnchorOffset; }
};

// Plain reference: every single-precision step rounded on its own.
std::vector<float> reference_splice(float beta, const uint16_t* table) {
  const float* w = probe_weights_row(0);
  float n = f32(std::sqrt(static_cast<double>(reference_sum_squares(w, 2048))));
  std::vector<float> t(2048, 0.0f), e(2048, 0.0f), out(2048);
  if (n > 1e-8f)
    for (int j = 0; j < 2048; j++) t[j] = f32(static_cast<double>(w[j]) / n);
  if (table) {
    for (int j = 0; j < 2048; j++) e[j] = half_to_float(table[kAnchorOffset + j]);
    float m = f32(std::sqrt(static_cast<double>(reference_sum_squares(e.data(), 2048))));
    if (m > 1e-8f)
      for (int j = 0; j < 2048; j++) e[j] = f32(static_cast<double>(e[j]) / m);
  }
  for (int j = 0; j < 2048; j++)
    out[j] = f32(static_cast<double>(f32(double(beta) * e[j])) + f32(3.5 * t[j]));
  return out;
}

void expect_bits_equal(const std::vector<float>& a, const float* b) {
  for (int j = 0; j < 2048; j++) ASSERT_EQ(to_bits(a[j]), to_bits(b[j])) << "element " << j;
}

struct SplicerFixture : ::testing::Test {
  void SetUp() override { load_probe_tables(); }
};
}  // namespace

TEST(HalfToFloat, ExactForEveryPattern) {
  for (uint32_t h = 0; h < 65536; h++) {
    float f = half_to_float(static_cast<uint16_t>(h));
    uint32_t bits = to_bits(f);
    uint32_t exp = (h >> 10) & 0x1F, mant = h & 0x3FF;
    ASSERT_EQ(bits >> 31, h >> 15) << h;
    if (exp == 0x1F) {
      ASSERT_EQ(bits & 0x7FFFFFFFu, 0x7F800000u | (mant << 13)) << h;  // payload shifted by 13
    } else {
      double value = std::ldexp(exp ? 1024.0 + mant : static_cast<double>(mant), exp ? int(exp) - 25 : -24);
      ASSERT_EQ(std::fabs(static_cast<double>(f)), value) << h;
    }
  }
}

TEST_F(SplicerFixture, ZeroBetaIsThreeAndAHalfUnitTruth) {
  AnchorTable table;
  for (int j = 0; j < 2048; j++) table.row()[j] = static_cast<uint16_t>(0x2000 + j);
  std::vector<float> out(2048);
  build_splice_vector(out.data(), 0.0f, table.cells.data());
  expect_bits_equal(reference_splice(0.0f, nullptr), out.data());
}

TEST_F(SplicerFixture, DefaultBetaCombinesBothUnitDirections) {
  AnchorTable table;
  uint64_t x = 0x9E3779B97F4A7C15ull;
  for (int j = 0; j < 2048; j++) {
    x = x * 6364136223846793005ull + 1442695040888963407ull;
    table.row()[j] = static_cast<uint16_t>((x >> 33) & 0xBBFF);  // finite values of both signs
  }
  std::vector<float> out(2048);
  for (float beta : {4.5f, -2.0f, 1e-3f}) {
    build_splice_vector(out.data(), beta, table.cells.data());
    expect_bits_equal(reference_splice(beta, table.cells.data()), out.data());
  }
}

TEST_F(SplicerFixture, DegenerateAnchorIsUsedUnscaledAndNullTableLeavesTruth) {
  // Every non-zero fp16 row has a norm of at least 2^-24 > 1e-8: only a row of zeros is
  // degenerate. Negative zeros keep their sign through the unscaled path.
  AnchorTable table;
  for (int j = 0; j < 2048; j += 2) table.row()[j] = 0x8000;
  std::vector<float> out(2048);
  build_splice_vector(out.data(), 4.5f, table.cells.data());
  expect_bits_equal(reference_splice(4.5f, table.cells.data()), out.data());
  expect_bits_equal(reference_splice(0.0f, nullptr), out.data());
  // The smallest subnormal alone is not degenerate: it becomes a unit vector.
  table.row()[5] = 0x0001;
  build_splice_vector(out.data(), 4.5f, table.cells.data());
  expect_bits_equal(reference_splice(4.5f, table.cells.data()), out.data());
  EXPECT_EQ(out[5], 4.5f + reference_splice(0.0f, nullptr)[5]);
  build_splice_vector(out.data(), 4.5f, nullptr);
  expect_bits_equal(reference_splice(0.0f, nullptr), out.data());
}

TEST_F(SplicerFixture, SpecialValuesWidenExactly) {
  AnchorTable table;
  table.row()[0] = 0x7C00;  // +inf
  table.row()[1] = 0x7E01;  // NaN with a payload
  table.row()[2] = 0x3C00;  // 1.0
  std::vector<float> out(2048);
  build_splice_vector(out.data(), 4.5f, table.cells.data());
  // The norm is NaN (inf^2 + NaN^2), so the > 1e-8 test fails and e stays unscaled:
  // inf, NaN, 1.0 and zeros.
  std::vector<float> truth_part = reference_splice(0.0f, nullptr);
  EXPECT_EQ(out[0], INFINITY);
  EXPECT_TRUE(std::isnan(out[1]));
  EXPECT_EQ(out[2], 4.5f + truth_part[2]);
  for (int j = 3; j < 2048; j++) ASSERT_EQ(to_bits(out[j]), to_bits(truth_part[j])) << j;
}
