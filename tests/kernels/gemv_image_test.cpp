// The product run from the loaded machine-code images: the kernel image's gemv_f16 entry
// (stub 2) with workers started on the worker image, against the reference and the library
// call; and the pool's idle behaviour: parked workers cost no processor time.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "engine/kernel_images.h"
#include "engine/worker_pool.h"
#include "kernels/kernels.h"
#include "tests/kernels/kernel_reference.h"
#include "tests/kernels/test_data.h"

namespace {

using testdata::first_bit_difference;
using testdata::Placed;

typedef void(KV_ABI* GemvFn)(float* out, const uint16_t* matrix, const float* vector, uint64_t cols,
                             uint64_t rows, JobHeader* area);

const float kSentinel = 31.5f;

const LoadedImages& images() {
  static LoadedImages loaded = [] {
    LoadedImages l{};
    EXPECT_TRUE(load_kernel_images(&l));
    return l;
  }();
  return loaded;
}

GemvFn image_gemv() { return reinterpret_cast<GemvFn>(const_cast<uint8_t*>(images().kernel_copy) + 32); }

WorkerPool start_image_pool(uint32_t workers) {
  WorkerPool pool{};
  EXPECT_TRUE(start_worker_pool(images().worker_start, workers, &pool));
  return pool;
}

template <typename Cond>
bool eventually(Cond cond) {
  for (int i = 0; i < 2000; i++) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return cond();
}

bool all_parked(const WorkerPool& pool) {
  auto* slots = reinterpret_cast<JobSlot*>(pool.area + 1);
  for (uint32_t k = 0; k < pool.workers; k++)
    if (__atomic_load_n(&slots[k].parked, __ATOMIC_SEQ_CST) == 0) return false;
  return true;
}

// Processor time the whole process uses over half a second of sleep on this thread.
uint64_t cpu_micros_over_half_a_second() {
  uint64_t before = process_cpu_micros();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  return process_cpu_micros() - before;
}

TEST(GemvImage, EntryStubTwoJumpsIntoTheImage) {
  const uint8_t* s = kernel_image_bytes + 32;
  ASSERT_EQ(s[0], 0xE9);
  int32_t rel;
  std::memcpy(&rel, s + 1, 4);
  int64_t target = 32 + 5 + rel;
  EXPECT_GE(target, 48);
  EXPECT_LT(target, static_cast<int64_t>(kernel_image_length));
  for (int i = 5; i < 16; i++) EXPECT_EQ(s[i], 0x90);
}

TEST(GemvImage, MatchesReferenceAndLibraryWithZeroOneAndThreeImageWorkers) {
  struct Case {
    uint64_t rows, cols;
  };
  const Case cases[] = {{255, 8}, {256, 8}, {258, 8}, {255, 2048}, {256, 2048}, {258, 2048},
                        {255, 16384}, {256, 16384}, {258, 16384}};
  for (uint32_t workers : {0u, 1u, 3u}) {
    WorkerPool pool = start_image_pool(workers);
    uint32_t seed = 900 + workers;
    for (const Case& c : cases) {
      auto m = testdata::halves(c.rows * c.cols, seed += 2);
      auto x = testdata::spread(c.cols, seed + 1);
      std::vector<float> want(c.rows), lib(c.rows), flat(c.rows);
      ref::gemv(want.data(), m.data(), x.data(), c.cols, c.rows);
      Placed<uint16_t> pm(m, 7, 0xFC00);
      Placed<float> px(x, 3, kSentinel);
      Placed<float> pout(std::vector<float>(c.rows, kSentinel), 1, kSentinel);
      image_gemv()(pout.at(), pm.at(), px.at(), c.cols, c.rows, pool.area);
      gemv_f16(lib.data(), m.data(), x.data(), c.cols, c.rows, pool.area);
      image_gemv()(flat.data(), m.data(), x.data(), c.cols, c.rows, nullptr);
      EXPECT_EQ(first_bit_difference(pout.at(), want.data(), c.rows), -1) << c.rows << " x " << c.cols;
      EXPECT_EQ(first_bit_difference(lib.data(), want.data(), c.rows), -1) << c.rows << " x " << c.cols;
      EXPECT_EQ(first_bit_difference(flat.data(), want.data(), c.rows), -1) << c.rows << " x " << c.cols;
      EXPECT_TRUE(pout.guards_intact());
    }
    EXPECT_EQ(pool.area->job_seq, workers == 0 ? 0u : 12u);
  }
}

TEST(GemvImage, ParkedWorkersWakeForManyProducts) {
  WorkerPool pool = start_image_pool(3);
  const uint64_t rows = 301, cols = 96;
  auto m = testdata::halves(rows * cols, 41);
  auto x = testdata::spread(cols, 42);
  std::vector<float> want(rows), out(rows);
  ref::gemv(want.data(), m.data(), x.data(), cols, rows);
  for (int i = 0; i < 300; i++) {
    if (i % 50 == 0) {
      ASSERT_TRUE(eventually([&] { return all_parked(pool); })) << i;
    }
    std::fill(out.begin(), out.end(), kSentinel);
    image_gemv()(out.data(), m.data(), x.data(), cols, rows, pool.area);
    ASSERT_EQ(first_bit_difference(out.data(), want.data(), rows), -1) << "product " << i;
  }
}

TEST(WorkerPoolIdle, NoProcessorTimeAfterStartUpOrBetweenProducts) {
  WorkerPool pool = start_image_pool(3);
  ASSERT_EQ(pool.workers, 3u);
  // Right after start-up the workers spin for their short budget, then park.
  ASSERT_TRUE(eventually([&] { return all_parked(pool); }));
  EXPECT_LT(cpu_micros_over_half_a_second(), 20000u);
  // The same after a burst of products.
  const uint64_t rows = 4096, cols = 2048;
  auto m = testdata::halves(rows * cols, 51);
  auto x = testdata::spread(cols, 52);
  std::vector<float> out(rows);
  for (int i = 0; i < 20; i++) image_gemv()(out.data(), m.data(), x.data(), cols, rows, pool.area);
  ASSERT_TRUE(eventually([&] { return all_parked(pool); }));
  EXPECT_LT(cpu_micros_over_half_a_second(), 20000u);
}

TEST(WorkerPoolIdle, TheMeasurementSeesASpinningWorker) {
  // A worker whose area has no spin budget never parks, and the same measurement shows it,
  // so the idle test above is able to fail. The worker is stopped afterwards.
  auto* area = static_cast<JobHeader*>(aligned_alloc64(job_area_bytes(1)));
  ASSERT_NE(area, nullptr);
  area->worker_count = 1;
  area->spin_cycles = 0;
  area->wait = address_wait;
  area->wake = address_wake_one;
  auto* slot = reinterpret_cast<JobSlot*>(area + 1);
  slot->done_counter = &area->done_count;
  ASSERT_TRUE(thread_start(images().worker_start, slot));
  EXPECT_GT(cpu_micros_over_half_a_second(), 50000u);
  __atomic_store_n(&slot->stop, 1u, __ATOMIC_RELAXED);
}

}  // namespace
