// The thread count: the machine's default and the KORVANE_THREADS setting.
#include <gtest/gtest.h>

#include <string>

#include "engine/worker_pool.h"
#include "platform/platform.h"

TEST(WorkerCount, DefaultIsOneWorkerPerFurtherHardwareThread) {
  const unsigned hw = hardware_threads();
  const uint32_t expect = hw <= 1 ? 0u : (hw > kMaxThreads ? kMaxThreads : hw) - 1;
  EXPECT_EQ(default_worker_count(), expect);
  uint32_t workers = 12345;
  ASSERT_TRUE(worker_count_from_setting(nullptr, &workers));
  EXPECT_EQ(workers, expect);
}

TEST(WorkerCount, SettingCountsTheCallingThread) {
  const struct {
    const char* text;
    uint32_t workers;
  } cases[] = {{"1", 0}, {"2", 1}, {"4", 3}, {"17", 16}, {"0003", 2}, {"256", 255}};
  for (const auto& c : cases) {
    uint32_t workers = 999;
    EXPECT_TRUE(worker_count_from_setting(c.text, &workers)) << c.text;
    EXPECT_EQ(workers, c.workers) << c.text;
  }
}

TEST(WorkerCount, BadSettingsAreRefusedAndLeaveTheCountAlone) {
  for (const char* text : {"", "0", "000", "257", "99999999999999999999", "-1", "+2", " 2", "2 ", "2x",
                           "two", "1.5", "0x4"}) {
    uint32_t workers = 77;
    EXPECT_FALSE(worker_count_from_setting(text, &workers)) << '"' << text << '"';
    EXPECT_EQ(workers, 77u) << text;
  }
}

namespace {
// A worker that ends at once: enough to count the threads a pool starts.
uint32_t KV_ABI quit_at_once(void*) { return 0; }
}  // namespace

TEST(WorkerPool, StartsTheRequestedWorkersOnALargerJobArea) {
  WorkerPool pool{};
  ASSERT_TRUE(start_worker_pool(quit_at_once, 5, &pool));
  EXPECT_EQ(pool.workers, 5u);
  ASSERT_NE(pool.area, nullptr);
  EXPECT_EQ(pool.area->worker_count, 5u);
  const auto* slots = reinterpret_cast<const JobSlot*>(pool.area + 1);
  for (int k = 0; k < 5; k++) EXPECT_EQ(slots[k].done_counter, &pool.area->done_count) << k;
}
