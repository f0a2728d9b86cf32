// The read references of the benchmarks: how fast plain reads by every thread pull a buffer far
// larger than the caches through the memory system. Two are measured, reads of a freshly
// allocated buffer and reads of the weights mapping itself, and every benchmark divides by the
// better of the two: no reading of the weights can beat the faster of them, and on a virtual
// machine either one can sit in slower memory than the other.
//
// Each thread reads its share as one sequential stream, four 32-byte loads per 128 bytes. More
// streams per thread read less here (four per thread reached about three quarters of one), as
// the hardware prefetcher follows few streams per core well.
#pragma once

#include <immintrin.h>
#include <sys/mman.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <thread>
#include <vector>

#include "bench/mapping_pages.h"

namespace bench {

constexpr uint64_t kLargePage = 2u << 20;

using Clock = std::chrono::steady_clock;

inline double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// Needs: p 32-byte aligned, bytes a multiple of 128. Reads every byte once, front to back;
// returns a value that depends on all bytes so the reads cannot be dropped.
__attribute__((target("avx2"))) inline uint64_t read_stream(const uint8_t* p, uint64_t bytes) {
  __m256i a0 = _mm256_setzero_si256(), a1 = a0, a2 = a0, a3 = a0;
  for (uint64_t i = 0; i < bytes; i += 128) {
    a0 = _mm256_xor_si256(a0, _mm256_load_si256(reinterpret_cast<const __m256i*>(p + i)));
    a1 = _mm256_xor_si256(a1, _mm256_load_si256(reinterpret_cast<const __m256i*>(p + i + 32)));
    a2 = _mm256_xor_si256(a2, _mm256_load_si256(reinterpret_cast<const __m256i*>(p + i + 64)));
    a3 = _mm256_xor_si256(a3, _mm256_load_si256(reinterpret_cast<const __m256i*>(p + i + 96)));
  }
  const __m256i a = _mm256_xor_si256(_mm256_xor_si256(a0, a1), _mm256_xor_si256(a2, a3));
  return static_cast<uint64_t>(_mm256_extract_epi64(a, 0) ^ _mm256_extract_epi64(a, 1) ^ _mm256_extract_epi64(a, 2) ^
                               _mm256_extract_epi64(a, 3));
}

// Needs: buf 32-byte aligned, threads >= 1. Best of `passes` reads of the buffer, one
// contiguous share per thread (the tail past threads whole pages is left out); bytes per second.
inline double stream_bandwidth(const uint8_t* buf, uint64_t bytes, unsigned threads, int passes) {
  const uint64_t share = bytes / threads / 4096 * 4096;
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

// Needs: bytes a multiple of 2 MiB. A buffer of `bytes`, a mapping of its own (so the kernel
// reports its pages apart) starting on a 2 MiB boundary, in 2 MiB pages where the kernel grants
// them, every page faulted in; null (after a message) when it cannot be had. Free it with
// free_fresh_buffer.
inline uint8_t* fresh_buffer(uint64_t bytes) {
  void* raw = mmap(nullptr, bytes + kLargePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) {
    std::fprintf(stderr, "cannot allocate %llu MiB\n", (unsigned long long)(bytes >> 20));
    return nullptr;
  }
  // Trim the reservation to the aligned range.
  auto* start = static_cast<uint8_t*>(raw);
  auto* buf = reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(start) + kLargePage - 1) & ~(kLargePage - 1));
  if (buf > start) munmap(start, uint64_t(buf - start));
  if (start + kLargePage > buf) munmap(buf + bytes, uint64_t(start + kLargePage - buf));
  madvise(buf, bytes, MADV_HUGEPAGE);
  for (uint64_t i = 0; i < bytes; i += 4096) buf[i] = uint8_t(i >> 12);
  return buf;
}

// Needs: a buffer from fresh_buffer(bytes).
inline void free_fresh_buffer(uint8_t* buf, uint64_t bytes) { munmap(buf, bytes); }

// Bytes per second of plain reads, the two references; zero where one was not measured.
struct ReadReference {
  double fresh = 0;   // a freshly allocated buffer
  double mapped = 0;  // the weights mapping
};

// The figure the benchmarks divide by: the better of the two.
inline double best_of(const ReadReference& r) { return std::max(r.fresh, r.mapped); }

// Needs: r.fresh measured. Prints both references and which one the figures divide by, with
// `how` saying how they were taken (e.g. "best of 5").
inline void print_reference(const ReadReference& r, const char* how) {
  if (r.mapped > 0)
    std::printf("read reference (%s): fresh buffer %.2f GB/s, weights mapping %.2f GB/s; dividing by the %s\n", how,
                r.fresh / 1e9, r.mapped / 1e9, r.mapped > r.fresh ? "weights mapping" : "fresh buffer");
  else
    std::printf("read reference (%s): fresh buffer %.2f GB/s\n", how, r.fresh / 1e9);
}

// Needs: threads >= 1. Measures the best of five reads of a fresh buffer of buffer_mib MiB by
// `threads` threads and prints the figure with the buffer's share in 2 MiB pages. Returns bytes
// per second, or a negative number (after a message) when the buffer cannot be had.
inline double measure_and_print_bandwidth(uint64_t buffer_mib, unsigned threads) {
  const uint64_t bytes = buffer_mib << 20;
  uint8_t* buf = fresh_buffer(bytes);
  if (!buf) return -1.0;
  const double bandwidth = stream_bandwidth(buf, bytes, threads, 5);
  const int64_t large = large_page_bytes(buf, PageKind::anonymous);
  free_fresh_buffer(buf, bytes);
  std::printf("fresh buffer reads: %.2f GB/s (%u threads, %llu MiB buffer", bandwidth / 1e9, threads,
              (unsigned long long)buffer_mib);
  if (large >= 0) std::printf(", %.1f %% in 2 MiB pages", 100.0 * double(large) / double(bytes));
  std::printf(", best of 5)\n");
  return bandwidth;
}

}  // namespace bench
