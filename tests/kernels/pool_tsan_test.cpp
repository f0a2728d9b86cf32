// The job-area protocol under ThreadSanitizer: gemv_f16, gemm_f16 and job_loop are compiled
// here as an ordinary instrumented library (not the image) and driven through thousands of
// products by three workers, with the sequence number wrapping past 2^32 and the workers
// parking and being woken between bursts; batched products with their rows claimed in units. Built only with -DKORVANE_TSAN_POOL=ON (see run_tsan.sh).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "kernels/kernels.h"
#include "platform/platform.h"

namespace {

std::atomic<uint64_t> g_waits{0}, g_wakes{0};

// The platform's wait and wake, counted, so the test can tell that parking really happened.
void KV_ABI counted_wait(uint32_t* addr, uint32_t expected) {
  g_waits.fetch_add(1, std::memory_order_relaxed);
  address_wait(addr, expected);
}
void KV_ABI counted_wake(uint32_t* addr) {
  g_wakes.fetch_add(1, std::memory_order_relaxed);
  address_wake_one(addr);
}

struct Pool {
  JobHeader* area;
  std::vector<std::thread> threads;
  std::unique_ptr<std::atomic<bool>[]> finished;  // set by each thread once job_loop returned
};

// Needs: workers >= 1. A job area with the counted wait/wake and a short spin budget, and one
// joinable thread per slot running job_loop.
Pool start_pool(uint32_t workers, uint32_t spin_cycles, uint32_t first_seq) {
  Pool pool;
  pool.area = static_cast<JobHeader*>(aligned_alloc64(job_area_bytes(workers)));
  pool.area->worker_count = workers;
  pool.area->spin_cycles = spin_cycles;
  pool.area->wait = counted_wait;
  pool.area->wake = counted_wake;
  pool.area->job_seq = first_seq;
  auto* slots = reinterpret_cast<JobSlot*>(pool.area + 1);
  for (uint32_t k = 0; k < workers; k++) {
    slots[k].post_seq = slots[k].seen_seq = first_seq;
    slots[k].done_counter = &pool.area->done_count;
  }
  pool.finished = std::make_unique<std::atomic<bool>[]>(workers);
  for (uint32_t k = 0; k < workers; k++) {
    pool.finished[k] = false;
    pool.threads.emplace_back([s = &slots[k], done = &pool.finished[k]] {
      EXPECT_EQ(job_loop(s), 0u);
      done->store(true);
    });
  }
  return pool;
}

// Sets every slot's stop flag and wakes the workers until each has returned (a wake can
// slip in just before a worker parks, so it is repeated); joins them.
void stop_pool(Pool& pool) {
  auto* slots = reinterpret_cast<JobSlot*>(pool.area + 1);
  uint32_t workers = pool.area->worker_count;
  for (uint32_t k = 0; k < workers; k++) __atomic_store_n(&slots[k].stop, 1u, __ATOMIC_SEQ_CST);
  for (;;) {
    bool all = true;
    for (uint32_t k = 0; k < workers; k++) {
      if (pool.finished[k].load()) continue;
      all = false;
      address_wake_one(&slots[k].post_seq);
    }
    if (all) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  for (auto& t : pool.threads) t.join();
}

TEST(PoolUnderTsan, ThousandsOfProductsWithWrapAndParking) {
  const uint32_t workers = 3;
  const uint32_t first_seq = 0xFFFFFFFFu - 7000;  // wraps to 0 after 7000 products
  const int products = 20000;
  g_waits = 0;
  g_wakes = 0;
  Pool pool = start_pool(workers, 20000, first_seq);

  const uint64_t max_rows = 300, max_cols = 64;
  std::mt19937 gen(7);
  std::vector<uint16_t> matrix(max_rows * max_cols);
  for (uint16_t& h : matrix) h = static_cast<uint16_t>(0x3000 + gen() % 0x0C00);  // 0.125 .. 1
  std::vector<float> x(max_cols), out(max_rows), want(max_rows);
  for (int i = 0; i < products; i++) {
    uint64_t rows = 256 + gen() % (max_rows - 255);
    uint64_t cols = 8 * (1 + gen() % (max_cols / 8));
    // A fresh input each time: a worker reading it before the post would show up here.
    for (uint64_t c = 0; c < cols; c++) x[c] = static_cast<float>(i % 97) + static_cast<float>(c) * 0.5f;
    std::fill(out.begin(), out.end(), -1.0f);
    gemv_f16(out.data(), matrix.data(), x.data(), cols, rows, pool.area);
    dot_rows_f16(want.data(), matrix.data(), x.data(), cols, rows);
    ASSERT_EQ(std::memcmp(out.data(), want.data(), rows * sizeof(float)), 0) << "product " << i;
    // Now and then stay away long enough for the workers to park.
    if (i % 500 == 499) std::this_thread::sleep_for(std::chrono::milliseconds(3));
  }
  EXPECT_EQ(pool.area->job_seq, first_seq + static_cast<uint32_t>(products));
  EXPECT_LT(pool.area->job_seq, first_seq);  // it wrapped
  stop_pool(pool);
  EXPECT_GT(g_waits.load(), 0u);
  EXPECT_GT(g_wakes.load(), 0u);
  RecordProperty("waits", static_cast<int>(g_waits.load()));
  RecordProperty("wakes", static_cast<int>(g_wakes.load()));
}

TEST(PoolUnderTsan, BatchedProductsClaimUnitsOfRows) {
  // Batched products interleaved with plain ones: every thread claims units from the header's
  // counter, on the vectors as given or on a packed copy, some with the GeGLU after each unit.
  Pool pool = start_pool(3, 20000, 0);
  const uint64_t max_rows = 520, max_cols = 72, max_count = 6;
  std::mt19937 gen(11);
  std::vector<uint16_t> matrix(max_rows * max_cols);
  for (uint16_t& h : matrix) h = static_cast<uint16_t>(0x3000 + gen() % 0x0C00);
  std::vector<float> x(max_count * max_cols), pack(max_count * max_cols), one(max_rows);
  std::vector<float> out(max_count * max_rows), want(max_count * max_rows);
  std::vector<float> gate(max_count * max_rows), want_gate(max_count * max_rows);
  for (int i = 0; i < 400; i++) {
    const uint64_t rows = 8 * (32 + gen() % (max_rows / 8 - 31));
    const uint64_t cols = 8 * (1 + gen() % (max_cols / 8));
    const uint64_t count = 2 + gen() % (max_count - 1);
    for (uint64_t c = 0; c < count * cols; c++) x[c] = static_cast<float>(i % 89) * 0.25f + static_cast<float>(c % 13);
    for (uint64_t r = 0; r < count * rows; r++) gate[r] = static_cast<float>((r + i) % 7) - 3.0f;
    dot_rows_f16_batch(want.data(), matrix.data(), x.data(), cols, rows, count, rows);
    std::fill(out.begin(), out.end(), -1.0f);
    float* packed = i % 2 ? pack.data() : nullptr;
    if (i % 3 == 0) {
      want_gate = gate;
      geglu(want_gate.data(), want_gate.data(), want.data(), count * rows);
      gemm_geglu_f16(out.data(), matrix.data(), x.data(), cols, rows, count, gate.data(), packed, pool.area);
      ASSERT_EQ(std::memcmp(gate.data(), want_gate.data(), count * rows * sizeof(float)), 0) << "product " << i;
    } else {
      gemm_f16(out.data(), matrix.data(), x.data(), cols, rows, count, packed, pool.area);
    }
    ASSERT_EQ(std::memcmp(out.data(), want.data(), count * rows * sizeof(float)), 0) << "product " << i;
    gemv_f16(one.data(), matrix.data(), x.data(), cols, rows, pool.area);
    ASSERT_EQ(std::memcmp(one.data(), want.data(), rows * sizeof(float)), 0) << "plain product " << i;
    if (i % 100 == 99) std::this_thread::sleep_for(std::chrono::milliseconds(3));
  }
  stop_pool(pool);
}

TEST(PoolUnderTsan, SpinningWorkersWithoutParking) {
  // spin_cycles 0: the workers never park and the dispatcher never wakes anyone.
  g_waits = 0;
  g_wakes = 0;
  Pool pool = start_pool(2, 0, 0);
  const uint64_t rows = 260, cols = 16;
  std::vector<uint16_t> matrix(rows * cols, 0x3C00);
  std::vector<float> x(cols), out(rows);
  for (int i = 0; i < 500; i++) {
    for (uint64_t c = 0; c < cols; c++) x[c] = static_cast<float>(i);
    gemv_f16(out.data(), matrix.data(), x.data(), cols, rows, pool.area);
    for (uint64_t r = 0; r < rows; r++) ASSERT_EQ(out[r], 16.0f * static_cast<float>(i)) << i;
  }
  stop_pool(pool);
  EXPECT_EQ(g_waits.load(), 0u);
  EXPECT_EQ(g_wakes.load(), 0u);
}

}  // namespace
