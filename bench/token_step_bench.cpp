// Speed of one full-depth token step against the machine's read reference. Prints the
// bandwidth of plain reads by all hardware threads over a fresh buffer far larger than the
// caches and over the weights mapping, the median time of token_step (through the loaded kernel
// image and its worker threads) at a mid-sequence position, and the weights streamed per second
// as a fraction of the better of the two reads. With --batch N it then times decode steps of N
// sequences at once (run_batch_step, one sweep of the weights for all) and prints their
// aggregate tokens per second against single steps timed alternately with them.
//
// usage: token_step_bench [WEIGHTS] [--position N] [--runs N] [--buffer-mib N] [--batch N]
// Without WEIGHTS the build's synthetic weights file is used (and written if missing).

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_context.h"
#include "bench/mapping_pages.h"
#include "bench/streaming_read.h"
#include "engine/batch_step.h"
#include "model/layer_block.h"
#include "model/inference_context.h"
#include "engine/kernel_images.h"
#include "engine/rope_tables.h"
#include "engine/weights_file.h"
#include "model/weights_layout.h"
#include "engine/worker_pool.h"
#include "platform/platform.h"
#include "tools/synthetic_weights/synthetic_weights_gen.h"

namespace {

using bench::Clock;
using bench::seconds_since;

// Needs: the loaded images, mapped weights, the pool's area, the single step's context. Times
// `runs` decode steps of `count` sequences at `position` (caches zero below it), each beside one
// single step, and prints the aggregate rate against the single steps' median of the same
// minutes. False when memory is short.
bool bench_batch(const LoadedImages& images, const WeightsView& view, void* area, InferenceContext* single,
                 uint64_t count, uint64_t position, uint64_t runs) {
  std::vector<InferenceContext> seqs(count);  // each with its own caches, ~150 MB
  std::vector<InferenceContext*> ptrs(count);
  for (uint64_t t = 0; t < count; t++) {
    if (!bench::fill_context(&seqs[t], view, area)) return false;
    seqs[t].token_id = uint32_t(2 + t);
    seqs[t].position = position;
    seqs[t].rope_cos = rope_cos_table[position];
    seqs[t].rope_sin = rope_sin_table[position];
    ptrs[t] = &seqs[t];
  }
  BatchStep step;
  if (!make_batch_step(&step, images.layer_block, count)) return false;
  run_batch_step(step, ptrs.data(), count);  // first touch of the batch's buffers
  std::vector<double> one, all;  // ms, alternating: this machine's bandwidth drifts within minutes
  for (uint64_t r = 0; r < runs; r++) {
    auto t0 = Clock::now();
    images.token_step(single);
    one.push_back(seconds_since(t0) * 1e3);
    t0 = Clock::now();
    run_batch_step(step, ptrs.data(), count);
    all.push_back(seconds_since(t0) * 1e3);
  }
  std::sort(one.begin(), one.end());
  std::sort(all.begin(), all.end());
  const double one_ms = one[one.size() / 2], all_ms = all[all.size() / 2];
  std::printf("batch of %llu sequences, position %llu: median %.1f ms per step = %.2f tokens/s; single steps "
              "beside them %.1f ms = %.2f tokens/s; %.2f x the single rate\n",
              (unsigned long long)count, (unsigned long long)position, all_ms, 1e3 * double(count) / all_ms, one_ms,
              1e3 / one_ms, double(count) * one_ms / all_ms);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string path = KORVANE_SYNTHETIC_WEIGHTS;
  bool synthetic = true;
  uint64_t position = 1024, runs = 7, buffer_mib = 4096, batch = 1;
  for (int i = 1; i < argc; i++) {
    if (!std::strcmp(argv[i], "--position") && i + 1 < argc) position = std::strtoull(argv[++i], nullptr, 10);
    else if (!std::strcmp(argv[i], "--runs") && i + 1 < argc) runs = std::strtoull(argv[++i], nullptr, 10);
    else if (!std::strcmp(argv[i], "--buffer-mib") && i + 1 < argc) buffer_mib = std::strtoull(argv[++i], nullptr, 10);
    else if (!std::strcmp(argv[i], "--batch") && i + 1 < argc) batch = std::strtoull(argv[++i], nullptr, 10);
    else if (argv[i][0] != '-') path = argv[i], synthetic = false;
    else {
      std::fprintf(stderr, "usage: token_step_bench [WEIGHTS] [--position N] [--runs N] [--buffer-mib N] [--batch N]\n");
      return 2;
    }
  }
  if (position >= geom::kMaxPositions || runs == 0 || buffer_mib == 0 || buffer_mib % 2 || batch == 0 ||
      batch > kMaxBlock) {
    std::fprintf(stderr, "position must be below 2048, runs at least 1, the buffer an even number of MiB, the batch 1 to %d\n",
                 int(kMaxBlock));
    return 2;
  }

  // Fresh reads first, before the weights take up memory.
  const unsigned threads = hardware_threads();
  bench::ReadReference reads;
  reads.fresh = bench::measure_and_print_bandwidth(buffer_mib, threads);
  if (reads.fresh < 0) return 1;

  if (synthetic && !ensure_synthetic_weights(path.c_str(), 1)) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    return 1;
  }
  WeightsView view;
  unsigned long error = 0;
  if (open_weights(path.c_str(), &view, &error) != WeightsStatus::ok) {
    std::fprintf(stderr, "cannot map %s\n", path.c_str());
    return 1;
  }
  LoadedImages images;
  WorkerPool pool;
  const uint32_t workers = default_worker_count();
  if (!load_kernel_images(&images, ImageChoice::automatic) || !start_worker_pool(images.worker_start, workers, &pool)) {
    std::fprintf(stderr, "cannot load the images or start the workers\n");
    return 1;
  }
  build_rope_tables();

  InferenceContext ctx;
  if (!bench::fill_context(&ctx, view, pool.area)) {
    std::fprintf(stderr, "cannot allocate the model buffers\n");
    return 1;
  }

  // Rows below the position keep the caches' zero fill: the attention costs the same.
  ctx.token_id = 2;
  ctx.position = position;
  ctx.rope_cos = rope_cos_table[position];
  ctx.rope_sin = rope_sin_table[position];
  const auto warm = Clock::now();
  images.token_step(&ctx);  // brings the whole file into the mapping
  const double first = seconds_since(warm);
  bench::print_large_pages(view.base, view.size);
  std::vector<double> ms;
  for (uint64_t r = 0; r < runs; r++) {
    const auto t0 = Clock::now();
    images.token_step(&ctx);
    ms.push_back(seconds_since(t0) * 1e3);
  }
  std::sort(ms.begin(), ms.end());
  const double median = ms[ms.size() / 2];
  reads.mapped = bench::stream_bandwidth(view.base, view.size, threads, 5);
  bench::print_reference(reads, "best of 5 each");
  // Every layer block, the final norm, the input row and the whole embedding table.
  const double streamed = double(geom::kLayers * layer_off::block_size + geom::kDim * 4 + geom::kDim * 2 +
                                 geom::kVocab * geom::kDim * 2);
  const double rate = streamed / (median / 1e3);
  std::printf("token_step, 18 layers, position %llu: median %.1f ms over %llu runs (min %.1f, max %.1f; first %.1f)\n",
              (unsigned long long)position, median, (unsigned long long)runs, ms.front(), ms.back(), first * 1e3);
  std::printf("weights streamed: %.3f GB per token, %.2f GB/s = %.1f %% of the read reference (%u workers + caller)\n",
              streamed / 1e9, rate / 1e9, 100.0 * rate / bench::best_of(reads), workers);
  if (batch > 1 && !bench_batch(images, view, pool.area, &ctx, batch, position, runs)) {
    std::fprintf(stderr, "cannot allocate the batch's buffers\n");
    return 1;
  }
  return 0;
}
