// The embedded probe tables: every published fact, checked on the bytes in the program and on
// the working tables load_probe_tables fills, plus the committed file, its checksum and its
// generator.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "probe/probe_tables.h"
#include "probe_reference.h"
#include "tests/support/run_binary.h"
#include "tests/support/temp_dir.h"
#include "tools/convert/sha256.h"

namespace {
const std::string kTablesPath = std::string(KORVANE_SOURCE_DIR) + "/data/probe_tables.bin";

// The published values, as printed: each names the nearest f32.
struct RowFacts {
  const char* first[4];
  int max_index;
  const char* max_value;
};
const RowFacts kRows[kProbeAxes] = {
    {{"0.0241304804", "0.0256732609", "0.00261879526", "-0.0099189952"}, 1713, "-0.224290028"},
    {{"-0.00357412663", "0.00314184581", "0.00800457969", "0.00314947544"}, 51, "0.181829408"},
    {{"-0.00109901547", "0.00762459915", "0.0385443978", "-0.0194423292"}, 940, "0.129965171"},
    {{"-0.0253009852", "0.00689113233", "0.00155207713", "0.0126267634"}, 50, "-0.129642382"},
};
const uint32_t kBiasBits[kProbeAxes] = {0x3CB0B6D6u, 0x3DD46184u, 0xBE5FEC50u, 0xBE1F6BC1u};
const char* const kBiasText[kProbeAxes] = {"0.021571558", "0.103701621", "-0.218674898", "-0.155684486"};
const char* const kBaselineFirst[4] = {"0.00605840702", "0.00715185702", "-0.0129780341", "-0.0055323923"};

float parse(const char* text) { return std::strtof(text, nullptr); }

// The f32 at float index i of a little-endian blob, decoded byte by byte.
float blob_f32(const uint8_t* blob, uint64_t i) {
  const uint8_t* b = blob + 4 * i;
  return from_bits(b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24);
}

double exact_dot(const float* a, const float* b) {
  double s = 0.0;
  for (int j = 0; j < kProbeDim; j++) s += static_cast<double>(a[j]) * b[j];
  return s;
}

class ProbeTables : public testing::Test {
 protected:
  static void SetUpTestSuite() { load_probe_tables(); }
};

TEST_F(ProbeTables, BlobHasTheLayoutAndTheWorkingTablesAreItsCopy) {
  ASSERT_EQ(probe_tables_length, 40976u);
  ASSERT_EQ(kProbeTablesBytes, 40976u);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(probe_tables_bytes) % 64, 0u);
  for (int k = 0; k < kProbeAxes; k++) {
    for (int j = 0; j < kProbeDim; j++)
      ASSERT_EQ(to_bits(probe_weights_row(k)[j]), to_bits(blob_f32(probe_tables_bytes, k * kProbeDim + j)))
          << "row " << k << " element " << j;
    EXPECT_EQ(to_bits(probe_bias_values()[k]), to_bits(blob_f32(probe_tables_bytes, 4 * kProbeDim + k)));
  }
  for (int j = 0; j < kProbeDim; j++)
    ASSERT_EQ(to_bits(probe_baseline_values()[j]), to_bits(blob_f32(probe_tables_bytes, 4 * kProbeDim + 4 + j)));
}

TEST_F(ProbeTables, WeightRowsCarryThePublishedEntries) {
  for (int k = 0; k < kProbeAxes; k++) {
    SCOPED_TRACE("row " + std::to_string(k));
    const float* row = probe_weights_row(k);
    for (int j = 0; j < 4; j++) EXPECT_EQ(to_bits(row[j]), to_bits(parse(kRows[k].first[j]))) << "element " << j;
    const float peak = parse(kRows[k].max_value);
    EXPECT_EQ(to_bits(row[kRows[k].max_index]), to_bits(peak));
    // No other element reaches the peak; the random ones stay well below every row's peak.
    for (int j = 0; j < kProbeDim; j++) {
      if (j == kRows[k].max_index) continue;
      ASSERT_LT(std::fabs(row[j]), std::fabs(peak)) << "element " << j;
      ASSERT_LE(std::fabs(row[j]), 0.1f) << "element " << j;
    }
  }
}

TEST_F(ProbeTables, WeightRowsAreUnitAndOrthogonalInDoubleAndInSinglePrecision) {
  for (int k = 0; k < kProbeAxes; k++) {
    SCOPED_TRACE("row " + std::to_string(k));
    const float* row = probe_weights_row(k);
    // Exact: squares and products of floats are exact in double, and 2048 double additions
    // err far below the bounds.
    EXPECT_LT(std::fabs(std::sqrt(exact_dot(row, row)) - 1.0), 3e-8);
    // As the program computes it: rounded squares, ascending, one f32 accumulator. Our rows
    // give exactly 1, so the unit Truth direction the splicer derives is row 0 itself.
    const float s = reference_sum_squares(row, kProbeDim);
    EXPECT_EQ(s, 1.0f);
    EXPECT_LT(std::fabs(static_cast<double>(std::sqrt(s)) - 1.0), 3e-8);
    for (int l = 0; l < kProbeAxes; l++) {
      if (l == k) continue;
      const float* other = probe_weights_row(l);
      EXPECT_LT(std::fabs(exact_dot(row, other)), 4e-8) << "with row " << l;
      EXPECT_LT(std::fabs(static_cast<double>(reference_dot(row, other, kProbeDim))), 4e-8) << "with row " << l;
    }
  }
}

TEST_F(ProbeTables, BiasesHaveTheirBitPatternsAndPrintedValues) {
  for (int k = 0; k < kProbeAxes; k++) {
    EXPECT_EQ(to_bits(probe_bias_values()[k]), kBiasBits[k]) << "axis " << k;
    EXPECT_EQ(to_bits(parse(kBiasText[k])), kBiasBits[k]) << "axis " << k;
  }
}

TEST_F(ProbeTables, BaselineCarriesThePublishedEntriesAndLength) {
  const float* base = probe_baseline_values();
  for (int j = 0; j < 4; j++) EXPECT_EQ(to_bits(base[j]), to_bits(parse(kBaselineFirst[j]))) << "element " << j;
  const float peak = parse("-0.363443375");
  EXPECT_EQ(to_bits(base[50]), to_bits(peak));
  for (int j = 0; j < kProbeDim; j++) {
    if (j == 50) continue;
    ASSERT_LT(std::fabs(base[j]), std::fabs(peak)) << "element " << j;
  }

  char printed[32];
  snprintf(printed, sizeof printed, "%.5f", std::sqrt(exact_dot(base, base)));
  EXPECT_STREQ(printed, "0.85116");
  snprintf(printed, sizeof printed, "%.5f", static_cast<double>(std::sqrt(reference_sum_squares(base, kProbeDim))));
  EXPECT_STREQ(printed, "0.85116");
}

TEST(ProbeTablesFile, ChecksumMatchesAndTheProgramEmbedsThatFile) {
  const std::string file = read_whole_file(kTablesPath);
  ASSERT_EQ(file.size(), 40976u);
  const std::string line = read_whole_file(kTablesPath + ".sha256");
  ASSERT_GE(line.size(), 64u);
  EXPECT_EQ(sha256_hex(file.data(), file.size()), line.substr(0, 64));
  EXPECT_EQ(line.substr(64), "  probe_tables.bin\n");
  EXPECT_EQ(std::memcmp(file.data(), probe_tables_bytes, file.size()), 0);
}

TEST(ProbeTablesFile, GeneratorRewritesTheIdenticalFile) {
  TempDir dir;
  const std::string out = dir.file("probe_tables.bin");
  const RunResult run = run_binary({PROBE_TABLES_TOOL, out}, dir.path);
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_TRUE(read_whole_file(out) == read_whole_file(kTablesPath));
}
}  // namespace
