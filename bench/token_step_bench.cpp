// Speed of one full-depth token step against the machine's streaming read bandwidth.
// Prints the bandwidth of plain reads by all hardware threads over a buffer far larger than
// the caches, the median time of token_step (through the loaded kernel image and its
// worker threads) at a mid-sequence position, and the weights streamed per second as a
// fraction of that bandwidth.
//
// usage: token_step_bench [WEIGHTS] [--position N] [--runs N] [--buffer-mib N]
// Without WEIGHTS the build's synthetic weights file is used (and written if missing).
#include <immintrin.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench/streaming_read.h"
#include "engine/inference_context.h"
#include "engine/kernel_images.h"
#include "engine/rope_tables.h"
#include "engine/weights_file.h"
#include "engine/weights_layout.h"
#include "engine/worker_pool.h"
#include "platform/platform.h"
#include "tools/synthetic_weights/synthetic_weights_gen.h"

namespace {

using bench::Clock;
using bench::seconds_since;
using bench::stream_bandwidth;

}  // namespace

int main(int argc, char** argv) {
  std::string path = KORVANE_SYNTHETIC_WEIGHTS;
  bool synthetic = true;
  uint64_t position = 1024, runs = 7, buffer_mib = 4096;
  for (int i = 1; i < argc; i++) {
    if (!std::strcmp(argv[i], "--position") && i + 1 < argc) position = std::strtoull(argv[++i], nullptr, 10);
    else if (!std::strcmp(argv[i], "--runs") && i + 1 < argc) runs = std::strtoull(argv[++i], nullptr, 10);
    else if (!std::strcmp(argv[i], "--buffer-mib") && i + 1 < argc) buffer_mib = std::strtoull(argv[++i], nullptr, 10);
    else if (argv[i][0] != '-') path = argv[i], synthetic = false;
    else {
      std::fprintf(stderr, "usage: token_step_bench [WEIGHTS] [--position N] [--runs N] [--buffer-mib N]\n");
      return 2;
    }
  }
  if (position >= geom::kMaxPositions || runs == 0 || buffer_mib == 0) {
    std::fprintf(stderr, "position must be below 2048, runs and buffer at least 1\n");
    return 2;
  }

  // Streaming reads first, before the weights take up memory.
  const unsigned threads = hardware_threads();
  const uint64_t bytes = buffer_mib << 20;
  auto* buf = static_cast<uint8_t*>(std::aligned_alloc(64, bytes));
  if (!buf) {
    std::fprintf(stderr, "cannot allocate %llu MiB\n", (unsigned long long)buffer_mib);
    return 1;
  }
  for (uint64_t i = 0; i < bytes; i += 4096) buf[i] = uint8_t(i >> 12);  // fault every page in
  const double bandwidth = stream_bandwidth(buf, bytes, threads, 5);
  std::free(buf);
  std::printf("streaming read bandwidth: %.2f GB/s (%u threads, %llu MiB buffer, best of 5)\n", bandwidth / 1e9,
              threads, (unsigned long long)buffer_mib);

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
  if (!load_kernel_images(&images) || !start_worker_pool(images.worker_start, workers, &pool)) {
    std::fprintf(stderr, "cannot load the images or start the workers\n");
    return 1;
  }
  build_rope_tables();

  const uint64_t cache_bytes = geom::kLayers * geom::kMaxPositions * geom::kKvDim * 4;
  InferenceContext ctx{};
  ctx.hidden = static_cast<float*>(aligned_alloc64(geom::kDim * 4));
  ctx.logits = static_cast<float*>(aligned_alloc64(geom::kVocab * 4));
  ctx.scratch = static_cast<float*>(aligned_alloc64(1u << 20));
  ctx.key_cache = static_cast<float*>(pages_alloc(cache_bytes));
  ctx.value_cache = static_cast<float*>(pages_alloc(cache_bytes));
  ctx.embedding_table = reinterpret_cast<const uint16_t*>(view.base + file_off::embedding_table);
  ctx.weights_base = view.base;
  ctx.final_norm = reinterpret_cast<const float*>(view.base + file_off::final_norm);
  ctx.max_positions = geom::kMaxPositions;
  ctx.layer_limit = geom::kLayers;
  ctx.job_slots = pool.area;
  ctx.layer_mask = 0x3FFFF;
  ctx.knockout_layer = ctx.knockout_head = ctx.splice_layer = -1;
  if (!ctx.hidden || !ctx.logits || !ctx.scratch || !ctx.key_cache || !ctx.value_cache) {
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
  std::vector<double> ms;
  for (uint64_t r = 0; r < runs; r++) {
    const auto t0 = Clock::now();
    images.token_step(&ctx);
    ms.push_back(seconds_since(t0) * 1e3);
  }
  std::sort(ms.begin(), ms.end());
  const double median = ms[ms.size() / 2];
  // Every layer block, the final norm, the input row and the whole embedding table.
  const double streamed = double(geom::kLayers * layer_off::block_size + geom::kDim * 4 + geom::kDim * 2 +
                                 geom::kVocab * geom::kDim * 2);
  const double rate = streamed / (median / 1e3);
  std::printf("token_step, 18 layers, position %llu: median %.1f ms over %llu runs (min %.1f, max %.1f; first %.1f)\n",
              (unsigned long long)position, median, (unsigned long long)runs, ms.front(), ms.back(), first * 1e3);
  std::printf("weights streamed: %.3f GB per token, %.2f GB/s = %.1f %% of the streaming bandwidth (%u workers + caller)\n",
              streamed / 1e9, rate / 1e9, 100.0 * rate / bandwidth, workers);
  return 0;
}
