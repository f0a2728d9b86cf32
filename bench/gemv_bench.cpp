// Memory bandwidth of the FP16 matrix-vector product against plain reads. Prints the read
// bandwidth of all threads over a buffer far larger than the caches (and, with a weights file,
// over its mapping), then gemv_f16 through the worker pool for the product shapes of the model,
// each with its ratio to the better of the two reads. Every product reads weights that are not
// in cache: successive products walk through the whole buffer. The measurements take turns for
// a few rounds and the best of each is kept, so that a busy moment on the machine hits all alike.
//
// With a weights file, it also runs every product of one full-depth token step (the seven of
// each of the 18 layers, then the logits) straight from the file's mapping, as the engine does.
//
// usage: gemv_bench [buffer MiB, default 2048] [workers, default: the engine's choice] [rounds, default 5]
//                   [weights file]
#include <immintrin.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "bench/streaming_read.h"
#include "engine/kernel_images.h"
#include "engine/weights_file.h"
#include "model/weights_layout.h"
#include "engine/worker_pool.h"
#include "kernels/kernels.h"
#include "platform/platform.h"

namespace {

using bench::seconds_since;

struct Product {
  uint64_t rows, cols;
};

// Runs the products in `shape` one after another, each on the next unused part of the
// buffer (wrapping around), `passes` times over; returns the weight bytes read per second.
double gemv_gbps(const uint8_t* buf, uint64_t bytes, const std::vector<Product>& shape, int passes,
                 const float* x, float* y, JobHeader* area) {
  static uint64_t offset = 0;  // carries on where the last measurement stopped
  uint64_t read = 0;
  auto next_matrix = [&](uint64_t need) {
    if (offset + need > bytes) offset = 0;
    const uint8_t* m = buf + offset;
    offset += need;
    return reinterpret_cast<const uint16_t*>(m);
  };
  // One untimed pass settles the threads and the page tables.
  for (const Product& p : shape) gemv_f16(y, next_matrix(p.rows * p.cols * 2), x, p.cols, p.rows, area);
  auto t0 = std::chrono::steady_clock::now();
  for (int pass = 0; pass < passes; pass++) {
    for (const Product& p : shape) {
      gemv_f16(y, next_matrix(p.rows * p.cols * 2), x, p.cols, p.rows, area);
      read += p.rows * p.cols * 2;
    }
  }
  return static_cast<double>(read) / seconds_since(t0) / 1e9;
}

// Runs the products of one full-depth token step from the weights view, `passes` times; returns
// the weight bytes read per second.
double token_products_gbps(const uint8_t* base, int passes, const float* x, float* y, JobHeader* area) {
  struct Tensor {
    uint64_t offset, rows, cols;
  };
  const Tensor layer[] = {{layer_off::wq, 2048, 2048},     {layer_off::wk, 256, 2048},
                          {layer_off::wv, 256, 2048},      {layer_off::wo, 2048, 2048},
                          {layer_off::w_gate, 16384, 2048}, {layer_off::w_up, 16384, 2048},
                          {layer_off::w_down, 2048, 16384}};
  uint64_t read = 0;
  auto t0 = std::chrono::steady_clock::now();
  for (int pass = 0; pass < passes; pass++) {
    for (uint64_t l = 0; l < geom::kLayers; l++) {
      for (const Tensor& t : layer) {
        auto* m = reinterpret_cast<const uint16_t*>(base + l * layer_off::block_size + t.offset);
        gemv_f16(y, m, x, t.cols, t.rows, area);
        read += t.rows * t.cols * 2;
      }
    }
    gemv_f16(y, reinterpret_cast<const uint16_t*>(base + file_off::embedding_table), x, geom::kDim, geom::kVocab, area);
    read += geom::kVocab * geom::kDim * 2;
  }
  return static_cast<double>(read) / seconds_since(t0) / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 2048;
  uint32_t workers = argc > 2 ? static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10)) : default_worker_count();
  int rounds = argc > 3 ? std::atoi(argv[3]) : 5;
  // The largest product alone is 1000 MiB; whole 2 MiB pages.
  uint64_t bytes = (std::max<uint64_t>(mib, 1100) + 1) / 2 * 2 << 20;

  LoadedImages images;
  WorkerPool pool;
  if (!load_kernel_images(&images) || !start_worker_pool(images.worker_start, workers, &pool)) {
    std::printf("cannot load the images or start %u workers\n", workers);
    return 1;
  }
  auto* buf = bench::fresh_buffer(bytes);  // in 2 MiB pages, as the weights mapping asks for
  auto* x = static_cast<float*>(aligned_alloc64(16384 * 4));
  auto* y = static_cast<float*>(aligned_alloc64(256000 * 4));
  if (!buf || !x || !y) {
    std::printf("cannot allocate %llu MiB\n", static_cast<unsigned long long>(bytes >> 20));
    return 1;
  }
  // Finite fp16 weights of magnitude below 2 (exponent field kept under 16).
  uint32_t state = 12345;
  for (uint64_t i = 0; i < bytes / 2; i++) {
    state = state * 1664525u + 1013904223u;
    reinterpret_cast<uint16_t*>(buf)[i] = static_cast<uint16_t>((state >> 16) & 0xBFFF);
  }
  for (int i = 0; i < 16384; i++) x[i] = static_cast<float>(i % 17) * 0.03125f - 0.25f;

  unsigned threads = 1 + pool.workers;
  std::printf("threads: %u (1 calling + %u workers), buffer %llu MiB\n", threads, pool.workers,
              static_cast<unsigned long long>(bytes >> 20));
  struct Case {
    const char* name;
    std::vector<Product> shape;
    int passes;
    double best;
  };
  Case cases[] = {
      {"gemv_f16 16384x2048", {{16384, 2048}}, 16, 0},
      {"gemv_f16 256000x2048", {{256000, 2048}}, 2, 0},
      {"gemv_f16 2048x16384", {{2048, 16384}}, 16, 0},
      {"one layer's seven products", {{2048, 2048}, {256, 2048}, {256, 2048}, {2048, 2048},
                                       {16384, 2048}, {16384, 2048}, {2048, 16384}}, 8, 0},
  };
  const uint8_t* weights = nullptr;
  uint64_t weights_bytes = 0;
  if (argc > 4) {
    WeightsView view;
    unsigned long error = 0;
    if (open_weights(argv[4], &view, &error) != WeightsStatus::ok) {
      std::printf("cannot map %s\n", argv[4]);
      return 1;
    }
    weights = view.base;
    weights_bytes = view.size;
    token_products_gbps(weights, 1, x, y, pool.area);  // faults the mapping in
  }
  bench::ReadReference reads;
  double token = 0;
  for (int r = 0; r < rounds; r++) {
    reads.fresh = std::max(reads.fresh, bench::stream_bandwidth(buf, bytes, threads, 1));
    if (weights) reads.mapped = std::max(reads.mapped, bench::stream_bandwidth(weights, weights_bytes, threads, 1));
    for (Case& c : cases) c.best = std::max(c.best, gemv_gbps(buf, bytes, c.shape, c.passes, x, y, pool.area));
    if (weights) token = std::max(token, token_products_gbps(weights, 1, x, y, pool.area));
  }
  bench::print_reference(reads, "best of each round's read");
  const double stream = bench::best_of(reads) / 1e9;
  for (const Case& c : cases) std::printf("%-40s %7.2f GB/s  ratio %.3f\n", c.name, c.best, c.best / stream);
  if (weights) std::printf("%-40s %7.2f GB/s  ratio %.3f\n", "a token step's products, weights file", token, token / stream);
  return 0;
}
