// The batched product gemm_f16 (and its row kernel) against the scalar reference row by row,
// bit for bit: vector counts around the tile of four and the sweep limit, row counts around the
// tile of three and the parallel threshold, the model's column counts, misaligned pointers, pools
// of 0, 1, 3 and 7 workers claiming units of rows, and plain products interleaved with batched
// ones on the same pool; the product fused with the GeGLU; the wide (AVX-512) row kernel and
// dispatcher against the same reference.
#include <gtest/gtest.h>

#include <vector>

#include "engine/cpu_features.h"
#include "engine/worker_pool.h"
#include "kernels/gemm_tiles.h"
#include "kernels/kernels.h"
#include "tests/kernels/kernel_reference.h"
#include "tests/kernels/test_data.h"

// The wide image's row kernel (the same source built for AVX-512, under another name).
extern "C" KV_ABI void wide_dot_rows_f16_batch(float* out, const uint16_t* matrix, const float* vectors, uint64_t cols,
                                               uint64_t rows, uint64_t count, uint64_t out_stride);
extern "C" KV_ABI void wide_gemm_f16(float* out, const uint16_t* matrix, const float* vectors, uint64_t cols,
                                    uint64_t rows, uint64_t count, float* pack, JobHeader* area);

namespace {

using testdata::first_bit_difference;
using testdata::Placed;

const float kSentinel = -777.25f;

WorkerPool start_pool(uint32_t workers) {
  WorkerPool pool{};
  EXPECT_TRUE(start_worker_pool(worker_entry, workers, &pool));
  return pool;
}

// The expected outputs: vector t's rows at t*rows, each a reference row product.
std::vector<float> reference(const std::vector<uint16_t>& m, const std::vector<float>& x, uint64_t cols,
                             uint64_t rows, uint64_t count) {
  std::vector<float> want(count * rows);
  for (uint64_t t = 0; t < count; t++) ref::gemv(want.data() + t * rows, m.data(), x.data() + t * cols, cols, rows);
  return want;
}

// Runs gemm_f16 at the given misalignments, on the vectors as given and on a packed copy of
// them, and compares every output and the guards around them (the copy's too).
void check_gemm(uint64_t rows, uint64_t cols, uint64_t count, uint64_t off, JobHeader* area, uint32_t seed) {
  auto m = testdata::halves(rows * cols, seed);
  auto x = testdata::spread(count * cols, seed + 1);
  const std::vector<float> want = reference(m, x, cols, rows, count);
  Placed<uint16_t> pm(m, off * 3, 0x7E00);
  Placed<float> px(x, off, kSentinel);
  Placed<float> pack(std::vector<float>(count * cols, kSentinel), (off + 2) % 4, kSentinel);
  for (bool packed : {false, true}) {
    Placed<float> pout(std::vector<float>(count * rows, kSentinel), (off + 1) % 4, kSentinel);
    gemm_f16(pout.at(), pm.at(), px.at(), cols, rows, count, packed ? pack.at() : nullptr, area);
    const int64_t bad = first_bit_difference(pout.at(), want.data(), count * rows);
    EXPECT_EQ(bad, -1) << rows << " x " << cols << " x " << count << " vectors, offset " << off
                       << (packed ? ", packed" : "") << ": element " << bad << " (vector "
                       << (bad < 0 ? 0 : bad / int64_t(rows)) << ")";
    EXPECT_TRUE(pout.guards_intact()) << rows << " x " << cols << " x " << count;
  }
  EXPECT_TRUE(pack.guards_intact()) << rows << " x " << cols << " x " << count;
}

struct Shape {
  uint64_t rows, cols, count;
};

// Runs the wide code on a shape, the row kernel alone or (dispatch) the dispatcher with packed
// vectors, alone (area null) or on a pool, and compares every output with the reference.
void check_wide(const Shape& sh, uint32_t seed, bool dispatch, JobHeader* area) {
  auto m = testdata::halves(sh.rows * sh.cols, seed);
  auto x = testdata::spread(sh.count * sh.cols, seed + 1);
  const std::vector<float> want = reference(m, x, sh.cols, sh.rows, sh.count);
  std::vector<float> out(sh.count * sh.rows, kSentinel), pack(sh.count * sh.cols);
  if (dispatch)
    wide_gemm_f16(out.data(), m.data(), x.data(), sh.cols, sh.rows, sh.count, pack.data(), area);
  else
    wide_dot_rows_f16_batch(out.data(), m.data(), x.data(), sh.cols, sh.rows, sh.count, sh.rows);
  EXPECT_EQ(first_bit_difference(out.data(), want.data(), sh.count * sh.rows), -1)
      << (dispatch ? "dispatched " : "") << (area ? "on a pool " : "") << sh.rows << " x " << sh.cols << " by "
      << sh.count;
}

}  // namespace

TEST(DotRowsBatch, MatchesTheReferenceOverTilesAndShapes) {
  uint32_t seed = 11;
  for (uint64_t rows : {1, 2, 3, 4, 5, 7}) {
    for (uint64_t cols : {8, 16, 24, 32, 40, 56, 96, 136, 2056}) {
      for (uint64_t count : {1, 2, 3, 4, 5, 7, 12, 13}) {
        auto m = testdata::halves(rows * cols, seed);
        auto x = testdata::spread(count * cols, seed + 1);
        const std::vector<float> want = reference(m, x, cols, rows, count);
        // A wider output stride: the rows of each vector sit apart, as in a worker's share.
        const uint64_t stride = rows + 3;
        std::vector<float> out(count * stride, kSentinel);
        dot_rows_f16_batch(out.data(), m.data(), x.data(), cols, rows, count, stride);
        for (uint64_t t = 0; t < count; t++) {
          EXPECT_EQ(first_bit_difference(out.data() + t * stride, want.data() + t * rows, rows), -1)
              << rows << " x " << cols << ", vector " << t << " of " << count;
          for (uint64_t g = rows; g < stride; g++) EXPECT_EQ(out[t * stride + g], kSentinel);
        }
        seed += 2;
      }
    }
  }
}

TEST(DotRowsBatch, LongRowsSweepTheVectorsInSeveralPasses) {
  // 16384 columns hold 8 vectors per sweep: 31 vectors take four sweeps, the last not a
  // whole number of tiles.
  check_gemm(5, 16384, 31, 1, nullptr, 101);
  check_gemm(4, 2048, 64, 0, nullptr, 103);
  // Short rows hold them all in one sweep, which takes sixteen tiles over each chunk at a time.
  check_gemm(7, 104, 70, 1, nullptr, 105);
}

TEST(GemmFetch, PacedFetchesAskForEveryLineOfTheSpansWithinTheVisits) {
  // However few the tiles' visits of blocks, the next rows' spans are fetched whole by their
  // end, and the fetch stops at the last span's last line.
  std::vector<uint16_t> m(48 * 2048);
  for (uint64_t rows : {1, 3, 6, 48}) {
    for (uint64_t span_cols : {8, 520, 1024, 2048}) {
      for (uint64_t visits : {1, 32, 64, 192, 4096}) {
        gemm_tiles::Fetch f = gemm_tiles::fetch_spans(m.data(), 2048, span_cols, rows);
        gemm_tiles::pace_fetch(&f, visits);
        // The same spans taken at each block, or in turns paced as two visits each.
        gemm_tiles::Fetch turns = gemm_tiles::fetch_spans(m.data(), 2048, span_cols, rows);
        gemm_tiles::pace_fetch(&turns, 2 * visits);
        for (uint64_t k = 0; k < visits; k++) gemm_tiles::fetch_for_block(&f, k), gemm_tiles::fetch_turn(&turns);
        const char* last = reinterpret_cast<const char*>(m.data() + (rows - 1) * 2048);
        for (const gemm_tiles::Fetch& g : {f, turns}) {
          EXPECT_EQ(g.rows, 0u) << rows << " rows of " << span_cols << ", " << visits << " visits";
          EXPECT_EQ(g.line, last + (2 * span_cols + 63) / 64 * 64) << rows << " rows of " << span_cols << ", " << visits;
        }
      }
    }
  }
}

TEST(DotRowsBatch, NothingIsWrittenForAnEmptyProduct) {
  std::vector<uint16_t> m(64, 0x3C00);
  std::vector<float> x(64, 1.0f), out(8, kSentinel);
  dot_rows_f16_batch(out.data(), m.data(), x.data(), 8, 0, 2, 4);
  dot_rows_f16_batch(out.data(), m.data(), x.data(), 0, 4, 2, 4);
  dot_rows_f16_batch(out.data(), m.data(), x.data(), 8, 4, 0, 4);
  for (float v : out) EXPECT_EQ(v, kSentinel);
}

TEST(Gemm, CallingThreadAloneAndPoolsOfOneAndThreeWorkers) {
  WorkerPool one = start_pool(1);
  WorkerPool three = start_pool(3);
  uint32_t seed = 500;
  for (JobHeader* area : {static_cast<JobHeader*>(nullptr), one.area, three.area}) {
    for (uint64_t rows : {255, 256, 258, 263, 512}) {
      for (uint64_t count : {2, 7, 8, 9}) {  // 8 and 9: both sides of the half chunks
        check_gemm(rows, 2048, count, seed % 4, area, seed);
        seed += 3;
      }
    }
    check_gemm(300, 16384, 3, 2, area, seed++);
  }
}

TEST(Gemm, UnitsAreClaimedOnceEachWhateverTheirNumber) {
  // Many units (short rows, few vectors) with a partial last one, fewer units than threads,
  // and a single unit, on pools larger than the machine; each through the AVX2 and the wide
  // dispatcher (the workers run the AVX2 code: the units, not the kernels, decide who computes
  // what). A unit lost or taken twice leaves sentinels or wrong rows.
  WorkerPool seven = start_pool(7);
  WorkerPool three = start_pool(3);
  uint32_t seed = 700;
  for (JobHeader* area : {seven.area, three.area}) {
    for (const Shape& sh : {Shape{4099, 32, 3}, Shape{2000, 72, 5}, Shape{256, 2048, 2}, Shape{270, 40, 64},
                            Shape{16387, 16, 2}, Shape{290, 1064, 7}, Shape{257, 2056, 5}}) {
      check_gemm(sh.rows, sh.cols, sh.count, seed % 4, area, seed);
      seed += 2;
    }
  }
  if (!wide_kernels_supported()) return;
  // The wide tiles with and without passes of several chunks, whichever this processor prefers.
  for (uint16_t passes : {1, 0}) {
    three.area->wide_passes = passes;
    for (const Shape& sh : {Shape{4099, 32, 3}, Shape{300, 2048, 9}, Shape{300, 2048, 8}, Shape{1037, 520, 6},
                            Shape{290, 1064, 7}, Shape{257, 2056, 5}, Shape{290, 2600, 7}}) {
      check_wide(sh, seed, true, three.area);
      if (passes == 0) check_wide(sh, seed + 1, true, nullptr);
      seed += 2;
    }
  }
}

TEST(Gemm, TheGegluFollowsEachUnitOfTheProduct) {
  // gate = gelu(gate) * (W x) against the reference product and activation, alone and on pools
  // (units of rows, the last one partial), and for one vector; the up rows are left as the
  // plain product.
  WorkerPool one = start_pool(1);
  WorkerPool three = start_pool(3);
  uint32_t seed = 800;
  for (JobHeader* area : {static_cast<JobHeader*>(nullptr), one.area, three.area}) {
    for (uint64_t rows : {8, 256, 1048}) {
      for (uint64_t count : {1, 2, 7}) {
        const uint64_t cols = 264;
        auto m = testdata::halves(rows * cols, seed);
        auto x = testdata::spread(count * cols, seed + 1);
        auto gate_in = testdata::spread(count * rows, seed + 2);
        const std::vector<float> want_up = reference(m, x, cols, rows, count);
        std::vector<float> want_gate(count * rows);
        ref::geglu(want_gate.data(), gate_in.data(), want_up.data(), count * rows);
        std::vector<float> up(count * rows, kSentinel), gate = gate_in, pack(count * cols);
        gemm_geglu_f16(up.data(), m.data(), x.data(), cols, rows, count, gate.data(), pack.data(), area);
        EXPECT_EQ(first_bit_difference(up.data(), want_up.data(), count * rows), -1) << rows << " by " << count;
        EXPECT_EQ(first_bit_difference(gate.data(), want_gate.data(), count * rows), -1) << rows << " by " << count;
        seed += 3;
      }
    }
  }
}

TEST(Gemm, PlainAndBatchedProductsTakeTurnsOnOnePool) {
  // The header's batch field must not leak from one product into the next.
  WorkerPool pool = start_pool(3);
  const uint64_t rows = 512, cols = 256;
  auto m = testdata::halves(rows * cols, 77);
  auto x = testdata::spread(8 * cols, 78);
  const std::vector<float> want = reference(m, x, cols, rows, 8);
  for (int round = 0; round < 20; round++) {
    std::vector<float> one(rows), many(8 * rows);
    gemv_f16(one.data(), m.data(), x.data() + (round % 8) * cols, cols, rows, pool.area);
    EXPECT_EQ(first_bit_difference(one.data(), want.data() + (round % 8) * rows, rows), -1) << round;
    std::vector<float> pack(8 * cols);
    gemm_f16(many.data(), m.data(), x.data(), cols, rows, 8, round % 2 ? pack.data() : nullptr, pool.area);
    EXPECT_EQ(first_bit_difference(many.data(), want.data(), 8 * rows), -1) << round;
  }
}

TEST(DotRowsBatchWide, VectorGroupsAndSweepsBeyondOneScratch) {
  if (!wide_kernels_supported()) GTEST_SKIP() << "no AVX-512 on this processor";
  // More vectors than the scratch holds partial sums for (the rows are widened again for the
  // next group); long rows, taken in panels of row groups (full and partial panels, rows left
  // over after the last group, more vectors than one scratch group); leftover groups of
  // eight after several chunks.
  uint32_t seed = 5100;
  for (const Shape& sh : {Shape{7, 1064, 70}, Shape{13, 2048, 130}, Shape{6, 16384, 30}, Shape{11, 3080, 65},
                          Shape{59, 16392, 30}, Shape{13, 8200, 70}}) {
    check_wide(sh, seed, false, nullptr);
    seed += 2;
  }
}

TEST(DotRowsBatchWide, MatchesTheReferenceOverPairsTilesAndShapes) {
  if (!wide_kernels_supported()) GTEST_SKIP() << "no AVX-512 on this processor";
  // Rows around the wide tile of six, vector counts around its three pairs (and an odd last
  // vector) and the blocks that widen the rows in every tile, columns around its 512-column
  // chunk and the leftover groups of eight.
  uint32_t seed = 900;
  for (uint64_t rows : {1, 2, 5, 6, 7, 13}) {
    for (uint64_t cols : {8, 24, 40, 512, 520, 1064, 2048, 16384}) {
      for (uint64_t count : {1, 2, 3, 6, 7, 11, 12, 13, 25}) {
        if (cols == 16384 && rows > 6) continue;  // long rows: a few shapes are enough
        auto m = testdata::halves(rows * cols, seed);
        auto x = testdata::spread(count * cols, seed + 1);
        const std::vector<float> want = reference(m, x, cols, rows, count);
        const uint64_t stride = rows + 1;
        Placed<uint16_t> pm(m, seed % 4, 0x7E00);
        Placed<float> px(x, (seed / 4) % 4, kSentinel);
        std::vector<float> out(count * stride, kSentinel);
        wide_dot_rows_f16_batch(out.data(), pm.at(), px.at(), cols, rows, count, stride);
        for (uint64_t t = 0; t < count; t++) {
          EXPECT_EQ(first_bit_difference(out.data() + t * stride, want.data() + t * rows, rows), -1)
              << rows << " x " << cols << ", vector " << t << " of " << count;
          EXPECT_EQ(out[t * stride + rows], kSentinel);
        }
        seed += 2;
      }
    }
  }
}
