// dot_rows_f16 and gemv_f16 against the scalar reference, bit for bit: shapes around the
// parallel threshold, the model's column counts, misaligned pointers, worker pools of 0, 1
// and 3 threads, the row split, the sequence counter's wrap, and workers parking between
// products.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "engine/cpu_features.h"
#include "engine/worker_pool.h"
#include "kernels/kernels.h"
#include "tests/kernels/kernel_reference.h"
#include "tests/kernels/test_data.h"

// The wide image's row kernel, built once more under this name for the Linux tests (the Windows
// images compile the same source with the host's compiler).
#if defined(KORVANE_WIDE_ROW_KERNEL)
extern "C" KV_ABI void wide_dot_rows_f16(float* out, const uint16_t* matrix, const float* vector, uint64_t cols,
                                         uint64_t rows);
#endif

namespace {

using testdata::first_bit_difference;
using testdata::Placed;

const float kSentinel = -777.25f;

JobSlot* slots_of(JobHeader* area) { return reinterpret_cast<JobSlot*>(area + 1); }

// A pool running the library's own job loop (the same code the worker image holds).
WorkerPool start_pool(uint32_t workers) {
  WorkerPool pool{};
  EXPECT_TRUE(start_worker_pool(worker_entry, workers, &pool));
  EXPECT_EQ(pool.workers, workers);
  return pool;
}

// Polls cond every millisecond for up to two seconds.
template <typename Cond>
bool eventually(Cond cond) {
  for (int i = 0; i < 2000; i++) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return cond();
}

struct Case {
  uint64_t rows, cols;
};

// Runs one product at the given misalignments (in elements) and compares it, and the guard
// elements around out, with the reference.
void check_product(uint64_t rows, uint64_t cols, uint64_t moff, uint64_t xoff, uint64_t ooff, JobHeader* area,
                   uint32_t seed) {
  auto m = testdata::halves(rows * cols, seed);
  auto x = testdata::spread(cols, seed + 1);
  std::vector<float> want(rows);
  ref::gemv(want.data(), m.data(), x.data(), cols, rows);
  Placed<uint16_t> pm(m, moff, 0x7E00);
  Placed<float> px(x, xoff, kSentinel);
  Placed<float> pout(std::vector<float>(rows, kSentinel), ooff, kSentinel);
  gemv_f16(pout.at(), pm.at(), px.at(), cols, rows, area);
  EXPECT_EQ(first_bit_difference(pout.at(), want.data(), rows), -1)
      << rows << " x " << cols << ", offsets " << moff << "/" << xoff << "/" << ooff;
  EXPECT_TRUE(pout.guards_intact()) << rows << " x " << cols;
}

TEST(DotRows, MatchesReferenceOverShapesAndMisalignments) {
  // Rows of 1024 columns or more go eight at a time, four side by side, whole (up to 2048 in the AVX2 image) or in
  // column chunks: whole and partial groups and chunks, with leftover groups of eight after the last block. The AVX2 image's code, and the wide image's where the
  // processor has AVX-512.
  const uint64_t rows_list[] = {1, 2, 3, 4, 5, 7, 8, 9, 17};
  const uint64_t cols_list[] = {8, 16, 24, 32, 40, 56, 64, 96, 136, 1016, 1024, 2048, 2056, 4104, 5000, 16384};
  std::vector<decltype(&dot_rows_f16)> kernels = {dot_rows_f16};
#if defined(KORVANE_WIDE_ROW_KERNEL)
  if (wide_kernels_supported()) kernels.push_back(wide_dot_rows_f16);
#endif
  for (size_t k = 0; k < kernels.size(); k++) {
    auto* const dot_rows = kernels[k];
    uint32_t seed = 1;
    for (uint64_t rows : rows_list) {
      for (uint64_t cols : cols_list) {
        for (uint64_t off = 0; off < 4; off++) {
          auto m = testdata::halves(rows * cols, seed);
          auto x = testdata::spread(cols, seed + 1);
          std::vector<float> want(rows);
          ref::gemv(want.data(), m.data(), x.data(), cols, rows);
          Placed<uint16_t> pm(m, off * 3, 0x7E00);
          Placed<float> px(x, off, kSentinel);
          Placed<float> pout(std::vector<float>(rows, kSentinel), (off + 1) % 4, kSentinel);
          dot_rows(pout.at(), pm.at(), px.at(), cols, rows);
          EXPECT_EQ(first_bit_difference(pout.at(), want.data(), rows), -1)
              << rows << " x " << cols << " off " << off << (k > 0 ? " (wide)" : "");
          EXPECT_TRUE(pout.guards_intact());
          seed += 2;
        }
      }
    }
  }
}

TEST(DotRows, TheTestDataIsSensitiveToTheOrderOfAdditions) {
  // A plain left-to-right sum of the same products differs from the fixed order in many
  // rows, so the bit-for-bit comparisons above do pin the order.
  const uint64_t rows = 64, cols = 2048;
  auto m = testdata::halves(rows * cols, 9);
  auto x = testdata::spread(cols, 10);
  std::vector<float> got(rows);
  dot_rows_f16(got.data(), m.data(), x.data(), cols, rows);
  int differ = 0;
  for (uint64_t r = 0; r < rows; r++) {
    float s = 0;
    for (uint64_t c = 0; c < cols; c++) s = std::fma(x[c], ref::half_to_float(m[r * cols + c]), s);
    differ += s != got[r];
  }
  EXPECT_GT(differ, static_cast<int>(rows / 2));
}

TEST(DotRows, EmptyShapesWriteNothing) {
  std::vector<uint16_t> m(64, 0x3C00);
  std::vector<float> x(64, 1.0f), out(8, kSentinel);
  dot_rows_f16(out.data(), m.data(), x.data(), 8, 0);
  dot_rows_f16(out.data(), m.data(), x.data(), 0, 8);
  for (float v : out) EXPECT_EQ(v, kSentinel);
}

TEST(Gemv, NullAreaMatchesReference) {
  const Case cases[] = {{255, 8}, {256, 8}, {258, 8}, {255, 2048}, {256, 2048}, {258, 2048},
                        {255, 16384}, {256, 16384}, {258, 16384}};
  uint32_t seed = 100;
  for (const Case& c : cases) check_product(c.rows, c.cols, 1, 3, 2, nullptr, seed += 3);
}

TEST(Gemv, PoolsOfZeroOneAndThreeWorkersMatchReference) {
  const Case cases[] = {{255, 8}, {256, 8}, {258, 8}, {255, 2048}, {256, 2048}, {258, 2048},
                        {255, 16384}, {256, 16384}, {258, 16384}, {1031, 40}};
  for (uint32_t workers : {0u, 1u, 3u}) {
    WorkerPool pool = start_pool(workers);
    uint32_t seed = 500;
    for (const Case& c : cases) {
      check_product(c.rows, c.cols, 0, 0, 0, pool.area, seed += 3);
      check_product(c.rows, c.cols, 5, 1, 3, pool.area, seed += 3);
    }
  }
}

TEST(Gemv, RowSplitAndSlotStateAfterAProduct) {
  const uint64_t cols = 32;
  auto m = testdata::halves(258 * cols, 4);
  auto x = testdata::spread(cols, 5);
  std::vector<float> out(258);
  struct Want {
    uint32_t workers;
    uint64_t first_rows[3];  // rows of workers 1 .. 3
  };
  // T = 1 + workers threads: q = rows / T each, the last worker also takes the remainder.
  for (Want w : {Want{1, {129, 0, 0}}, Want{2, {86, 86, 0}}, Want{3, {64, 64, 66}}}) {
    WorkerPool pool = start_pool(w.workers);
    gemv_f16(out.data(), m.data(), x.data(), cols, 258, pool.area);
    uint64_t q = 258 / (w.workers + 1);
    JobHeader* h = pool.area;
    EXPECT_EQ(__atomic_load_n(&h->done_count, __ATOMIC_ACQUIRE), w.workers);
    EXPECT_EQ(h->job_seq, 1u);
    for (uint32_t k = 1; k <= w.workers; k++) {
      JobSlot* s = &slots_of(h)[k - 1];
      EXPECT_EQ(s->rows, w.first_rows[k - 1]) << "worker " << k;
      EXPECT_EQ(s->out, out.data() + k * q);
      EXPECT_EQ(s->matrix, m.data() + k * q * cols);
      EXPECT_EQ(s->vector, x.data());
      EXPECT_EQ(s->cols, cols);
      EXPECT_EQ(s->done_counter, &h->done_count);
      EXPECT_EQ(__atomic_load_n(&s->post_seq, __ATOMIC_ACQUIRE), h->job_seq);
      EXPECT_EQ(s->seen_seq, h->job_seq);
    }
  }
}

TEST(Gemv, SmallProductsLeaveTheAreaAlone) {
  WorkerPool pool = start_pool(3);
  check_product(255, 64, 0, 0, 0, pool.area, 8);
  check_product(1, 64, 0, 0, 0, pool.area, 9);
  EXPECT_EQ(pool.area->job_seq, 0u);
  EXPECT_EQ(__atomic_load_n(&slots_of(pool.area)[0].post_seq, __ATOMIC_ACQUIRE), 0u);
}

TEST(Gemv, ZeroColumnsStillRunThroughThePool) {
  WorkerPool pool = start_pool(3);
  std::vector<uint16_t> m(8, 0);
  std::vector<float> x(8, 1.0f), out(300, kSentinel);
  gemv_f16(out.data(), m.data(), x.data(), 0, 300, pool.area);
  EXPECT_EQ(pool.area->job_seq, 1u);
  EXPECT_EQ(__atomic_load_n(&pool.area->done_count, __ATOMIC_ACQUIRE), 3u);
  gemv_f16(out.data(), m.data(), x.data(), 8, 0, pool.area);
  for (float v : out) EXPECT_EQ(v, kSentinel);
}

TEST(Gemv, SequenceNumberWrapsAround) {
  WorkerPool pool = start_pool(3);
  pool.area->job_seq = 0xFFFFFFF0u;  // before any product, so no worker has seen it
  const uint64_t rows = 300, cols = 64;
  auto m = testdata::halves(rows * cols, 11);
  auto x = testdata::spread(cols, 12);
  std::vector<float> want(rows), out(rows);
  ref::gemv(want.data(), m.data(), x.data(), cols, rows);
  for (int i = 0; i < 40; i++) {
    std::fill(out.begin(), out.end(), kSentinel);
    gemv_f16(out.data(), m.data(), x.data(), cols, rows, pool.area);
    ASSERT_EQ(first_bit_difference(out.data(), want.data(), rows), -1) << "product " << i;
  }
  EXPECT_EQ(pool.area->job_seq, 0x18u);
}

TEST(Gemv, WorkersParkWhenIdleAndWakeForTheNextProduct) {
  WorkerPool pool = start_pool(3);
  const uint64_t rows = 512, cols = 256;
  auto m = testdata::halves(rows * cols, 21);
  auto x = testdata::spread(cols, 22);
  std::vector<float> want(rows), out(rows);
  ref::gemv(want.data(), m.data(), x.data(), cols, rows);
  JobSlot* slots = slots_of(pool.area);
  auto all_parked = [&] {
    for (int k = 0; k < 3; k++)
      if (__atomic_load_n(&slots[k].parked, __ATOMIC_SEQ_CST) == 0) return false;
    return true;
  };
  for (int round = 0; round < 5; round++) {
    ASSERT_TRUE(eventually(all_parked)) << "round " << round;
    std::fill(out.begin(), out.end(), kSentinel);
    gemv_f16(out.data(), m.data(), x.data(), cols, rows, pool.area);
    ASSERT_EQ(first_bit_difference(out.data(), want.data(), rows), -1) << "round " << round;
  }
}

TEST(Gemv, WithoutAWaitRoutineWorkersNeverPark) {
  // A header without a wait routine (or with a zero spin budget) keeps its workers spinning.
  auto* area = static_cast<JobHeader*>(aligned_alloc64(job_area_bytes(2)));
  ASSERT_NE(area, nullptr);
  area->worker_count = 2;
  area->spin_cycles = 1000;
  area->wait = nullptr;
  JobSlot* slots = slots_of(area);
  std::vector<std::thread> threads;
  for (int k = 0; k < 2; k++) {
    slots[k].done_counter = &area->done_count;
    threads.emplace_back([s = &slots[k]] { job_loop(s); });
  }
  check_product(400, 64, 0, 0, 0, area, 31);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  for (int k = 0; k < 2; k++) EXPECT_EQ(__atomic_load_n(&slots[k].parked, __ATOMIC_SEQ_CST), 0u);
  // A spinning worker sees stop and returns 0.
  for (int k = 0; k < 2; k++) __atomic_store_n(&slots[k].stop, 1u, __ATOMIC_RELAXED);
  for (auto& t : threads) t.join();
}

}  // namespace
