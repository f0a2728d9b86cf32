// The Windows kernel and worker images entered the way Windows enters them: every entry
// point called in the Microsoft x64 convention from a stack aligned to 16 bytes only and to
// 32 bytes, with rbx, rbp, rdi, rsi, r12-r15 and xmm6-xmm15 checked afterwards, and the
// products they compute checked bit for bit against the scalar reference.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "model/inference_context.h"
#include "engine/kernel_images.h"
#include "engine/worker_pool.h"
#include "model/job_area.h"
#include "tests/kernels/kernel_reference.h"
#include "tests/kernels/test_data.h"
#include "tests/windows/abi_probe.h"

namespace {

const char* const kGprNames[8] = {"rbx", "rbp", "rdi", "rsi", "r12", "r13", "r14", "r15"};

// Needs: a finished probe call. Returns the names of the callee-saved registers it changed.
std::string clobbered(const AbiCall& call) {
  std::string names;
  for (int i = 0; i < 8; i++)
    if (call.gpr_after[i] != abi_gpr_patterns[i]) names += std::string(kGprNames[i]) + " ";
  for (int i = 0; i < 10; i++)
    if (memcmp(call.xmm_after[i], abi_xmm_patterns[i], 16) != 0) names += "xmm" + std::to_string(6 + i) + " ";
  return names;
}

AbiCall make_call(const void* fn, uint64_t align, std::initializer_list<uint64_t> args) {
  AbiCall call{};
  call.fn = fn;
  call.align = align;
  int i = 0;
  for (uint64_t a : args) call.args[i++] = a;
  return call;
}

template <typename T>
uint64_t arg(T* p) {
  return reinterpret_cast<uint64_t>(p);
}

const LoadedImages& images() {
  static LoadedImages loaded = [] {
    LoadedImages l{};
    EXPECT_TRUE(load_kernel_images(&l));
    return l;
  }();
  return loaded;
}

// Entry stubs of the kernel image: 0 token_step, 1 job_loop, 2 gemv_f16.
const void* kernel_stub(int k) { return images().kernel_copy + 16 * k; }

// A pool of three workers running the worker image on Windows threads, started once.
WorkerPool& pool() {
  static WorkerPool p = [] {
    WorkerPool w{};
    EXPECT_TRUE(start_worker_pool(images().worker_start, 3, &w));
    return w;
  }();
  return p;
}

class ImageAbi : public ::testing::TestWithParam<uint64_t> {};

TEST(ImageAbiHarness, SeesABrokenConvention) {
  // The harness itself: a routine that loses rbx and xmm6 is caught, and the arguments and
  // result travel in rcx and rax.
  for (uint64_t align : {16u, 32u}) {
    AbiCall call = make_call(reinterpret_cast<const void*>(&abi_clobbering_routine), align, {0x1234567890ull});
    EXPECT_EQ(abi_probe_call(&call), 0x1234567890ull);
    EXPECT_EQ(clobbered(call), "rbx xmm6 ");
  }
}

TEST_P(ImageAbi, GemvStubOnTheCallingThreadKeepsRegistersAndMatchesTheReference) {
  // Six arguments: rows and the area come from the stack, so a routine that expects the
  // Linux convention would read the wrong rows or area and fail here.
  const uint64_t align = GetParam();
  const uint64_t shapes[][2] = {{1, 8}, {3, 40}, {7, 2048}, {255, 64}, {300, 72}};
  for (const auto& shape : shapes) {
    const uint64_t rows = shape[0], cols = shape[1];
    std::vector<uint16_t> w = testdata::halves(rows * cols, uint32_t(rows * 31 + cols));
    std::vector<float> x = testdata::spread(cols, uint32_t(cols));
    testdata::Placed<float> out(std::vector<float>(rows, 0.0f), 3, 77.0f);
    AbiCall call = make_call(kernel_stub(2), align,
                             {arg(out.at()), arg(w.data()), arg(x.data()), cols, rows, 0});
    abi_probe_call(&call);
    EXPECT_EQ(clobbered(call), "") << rows << "x" << cols;
    std::vector<float> want(rows);
    ref::gemv(want.data(), w.data(), x.data(), cols, rows);
    EXPECT_EQ(testdata::first_bit_difference(out.at(), want.data(), rows), -1) << rows << "x" << cols;
    EXPECT_TRUE(out.guards_intact()) << rows << "x" << cols;
  }
}

TEST_P(ImageAbi, GemvStubThroughTheWorkerThreadsKeepsRegistersAndMatchesTheReference) {
  const uint64_t align = GetParam();
  JobHeader* area = pool().area;
  ASSERT_NE(area, nullptr);
  for (uint64_t rows : {256u, 258u, 1029u}) {
    const uint64_t cols = 136;
    std::vector<uint16_t> w = testdata::halves(rows * cols, uint32_t(rows));
    std::vector<float> x = testdata::spread(cols, 5);
    testdata::Placed<float> out(std::vector<float>(rows, 0.0f), 1, -5.0f);
    const uint32_t seq_before = area->job_seq;
    AbiCall call = make_call(kernel_stub(2), align,
                             {arg(out.at()), arg(w.data()), arg(x.data()), cols, rows, arg(area)});
    abi_probe_call(&call);
    EXPECT_EQ(clobbered(call), "") << rows;
    EXPECT_EQ(area->job_seq, seq_before + 1) << "the product did not go through the pool";
    EXPECT_EQ(area->done_count, 3u);
    std::vector<float> want(rows);
    ref::gemv(want.data(), w.data(), x.data(), cols, rows);
    EXPECT_EQ(testdata::first_bit_difference(out.at(), want.data(), rows), -1) << rows;
    EXPECT_TRUE(out.guards_intact()) << rows;
  }
}

// Needs: a fresh slot in a caller-owned area. Posts one job of `rows` rows and sets stop, so
// that a job loop entered on the slot serves the job and then returns 0.
void post_job_then_stop(JobHeader* header, JobSlot* slot, float* out, const uint16_t* w, const float* x,
                        uint64_t cols, uint64_t rows) {
  slot->out = out;
  slot->matrix = w;
  slot->vector = x;
  slot->cols = cols;
  slot->rows = rows;
  slot->done_counter = &header->done_count;
  slot->stop = 1;
  slot->post_seq = slot->seen_seq + 1;
}

TEST_P(ImageAbi, JobLoopEntriesServeAPendingJobThenStop) {
  // Stub 1 of the kernel image and byte 0 of the worker image are the same loop.
  const uint64_t align = GetParam();
  const void* entries[] = {kernel_stub(1), images().worker_copy};
  const char* names[] = {"kernel image stub 1", "worker image"};
  for (int e = 0; e < 2; e++) {
    alignas(64) JobHeader header[2] = {};  // header, then one slot; spin_cycles 0: never parks
    JobSlot* slot = reinterpret_cast<JobSlot*>(&header[1]);
    const uint64_t rows = 9, cols = 264;
    std::vector<uint16_t> w = testdata::halves(rows * cols, 40u + e);
    std::vector<float> x = testdata::spread(cols, 41u + e);
    std::vector<float> out(rows, 0.0f), want(rows);
    post_job_then_stop(header, slot, out.data(), w.data(), x.data(), cols, rows);
    AbiCall call = make_call(entries[e], align, {arg(slot)});
    EXPECT_EQ(abi_probe_call(&call) & 0xFFFFFFFFu, 0u) << names[e];
    EXPECT_EQ(clobbered(call), "") << names[e];
    EXPECT_EQ(slot->seen_seq, slot->post_seq) << names[e];
    EXPECT_EQ(header->done_count, 1u) << names[e];
    ref::gemv(want.data(), w.data(), x.data(), cols, rows);
    EXPECT_EQ(testdata::first_bit_difference(out.data(), want.data(), rows), -1) << names[e];
  }
}

TEST_P(ImageAbi, TokenStepStubReturnsAForcedTokenAndKeepsRegisters) {
  // A forced token is returned before anything is read, so no weights are needed.
  const uint64_t align = GetParam();
  for (uint64_t forced : {1u, 107u, 255999u}) {
    InferenceContext ctx{};
    ctx.forced_token = forced;
    AbiCall call = make_call(kernel_stub(0), align, {arg(&ctx)});
    EXPECT_EQ(abi_probe_call(&call), forced);
    EXPECT_EQ(clobbered(call), "") << forced;
  }
}

INSTANTIATE_TEST_SUITE_P(StackAlignment, ImageAbi, ::testing::Values(16u, 32u),
                         [](const ::testing::TestParamInfo<uint64_t>& info) {
                           return "Aligned" + std::to_string(info.param);
                         });

}  // namespace
