// The streaming read reference of the benchmarks: how fast plain reads by every thread pull a
// buffer far larger than the caches through the memory system. Each thread reads its share as
// four sequential streams at once (several streams per core reach more of the bandwidth than
// one, as the products' rows do), so the figure is the best plain reading reaches here.
#pragma once

#include <immintrin.h>
#include <sys/mman.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace bench {

constexpr uint64_t kLargePage = 2u << 20;

using Clock = std::chrono::steady_clock;

inline double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// Needs: p 32-byte aligned, bytes a multiple of 4 * 4096. Reads every byte once, the four
// quarters of the range side by side; returns a value that depends on all bytes so the reads
// cannot be dropped.
__attribute__((target("avx2"))) inline uint64_t read_stream(const uint8_t* p, uint64_t bytes) {
  const uint64_t quarter = bytes / 4;
  const uint8_t *p0 = p, *p1 = p + quarter, *p2 = p + 2 * quarter, *p3 = p + 3 * quarter;
  __m256i a0 = _mm256_setzero_si256(), a1 = a0, a2 = a0, a3 = a0;
  for (uint64_t i = 0; i < quarter; i += 64) {
    a0 = _mm256_xor_si256(a0, _mm256_load_si256(reinterpret_cast<const __m256i*>(p0 + i)));
    a1 = _mm256_xor_si256(a1, _mm256_load_si256(reinterpret_cast<const __m256i*>(p1 + i)));
    a2 = _mm256_xor_si256(a2, _mm256_load_si256(reinterpret_cast<const __m256i*>(p2 + i)));
    a3 = _mm256_xor_si256(a3, _mm256_load_si256(reinterpret_cast<const __m256i*>(p3 + i)));
    a0 = _mm256_xor_si256(a0, _mm256_load_si256(reinterpret_cast<const __m256i*>(p0 + i + 32)));
    a1 = _mm256_xor_si256(a1, _mm256_load_si256(reinterpret_cast<const __m256i*>(p1 + i + 32)));
    a2 = _mm256_xor_si256(a2, _mm256_load_si256(reinterpret_cast<const __m256i*>(p2 + i + 32)));
    a3 = _mm256_xor_si256(a3, _mm256_load_si256(reinterpret_cast<const __m256i*>(p3 + i + 32)));
  }
  const __m256i a = _mm256_xor_si256(_mm256_xor_si256(a0, a1), _mm256_xor_si256(a2, a3));
  return static_cast<uint64_t>(_mm256_extract_epi64(a, 0) ^ _mm256_extract_epi64(a, 3));
}

// Needs: buf 32-byte aligned. Best of `passes` reads of the buffer, one contiguous share per
// thread; bytes per second.
inline double stream_bandwidth(const uint8_t* buf, uint64_t bytes, unsigned threads, int passes) {
  const uint64_t share = bytes / threads / (4 * 4096) * (4 * 4096);
  std::vector<uint64_t> sink(threads);
  double best = 0.0;
  for (int pass = 0; pass < passes; pass++) {
    const auto t0 = Clock::now();
    std::vector<std::thread> others;
    for (unsigned t = 1; t < threads; t++) others.emplace_back([&, t] { sink[t] = read_stream(buf + t * share, share); });
    sink[0] = read_stream(buf, share);
    for (auto& th : others) th.join();
    best = std::max(best, double(share * threads) / seconds_since(t0));
  }
  uint64_t x = 0;
  for (uint64_t v : sink) x ^= v;
  if (x == 0x5EED) std::printf(" ");  // keeps the reads alive
  return best;
}

// Needs: nothing. A buffer of `bytes` (a multiple of 2 MiB) in 2 MiB pages where the kernel
// grants them, every page faulted in; null (after a message) when it cannot be had. Free it
// with std::free. The weights mapping asks for 2 MiB pages too, so reads of this buffer are the
// best plain reading reaches, whatever the pages of the weights.
inline uint8_t* fresh_buffer(uint64_t bytes) {
  auto* buf = static_cast<uint8_t*>(std::aligned_alloc(kLargePage, bytes));
  if (!buf) {
    std::fprintf(stderr, "cannot allocate %llu MiB\n", (unsigned long long)(bytes >> 20));
    return nullptr;
  }
  madvise(buf, bytes, MADV_HUGEPAGE);
  for (uint64_t i = 0; i < bytes; i += 4096) buf[i] = uint8_t(i >> 12);
  return buf;
}

// Needs: nothing. Measures the best of five reads of a fresh buffer of buffer_mib MiB by
// `threads` threads and prints the figure. Returns bytes per second, or a negative number
// (after a message) when the buffer cannot be had.
inline double measure_and_print_bandwidth(uint64_t buffer_mib, unsigned threads) {
  const uint64_t bytes = buffer_mib << 20;
  uint8_t* buf = fresh_buffer(bytes);
  if (!buf) return -1.0;
  const double bandwidth = stream_bandwidth(buf, bytes, threads, 5);
  std::free(buf);
  std::printf("streaming read bandwidth: %.2f GB/s (%u threads, %llu MiB buffer, best of 5)\n", bandwidth / 1e9,
              threads, (unsigned long long)buffer_mib);
  return bandwidth;
}

}  // namespace bench
