// The batched product's tiles in the AVX2 image (see gemm_tiles.h for what every tile
// computes). Each weight group is widened once and applied to several vectors, so a weight row
// is streamed from memory once per block of vectors.
//
// The chains of an element are run one after the other: one chain at a time leaves room in the
// sixteen registers for a tile of three rows by four vectors (twelve accumulators, three
// widened weight groups). The long rows of the down projection take fewer vectors per sweep, so
// that those vectors stay cached; its weights are then streamed once per sweep.
//
// Image code: freestanding, no library calls.
#if defined(__AVX512F__)
#error "gemm_avx2.cpp belongs to the AVX2 image; the wide image takes gemm_wide.cpp"
#endif

#include "kernels/gemm_tiles.h"
#include "kernels/simd.h"

namespace gemm_tiles {
namespace {

constexpr int kTileRows = kAvx2TileRows;

// Blocks of a chain's pass between two turns of the fetch of the next rows. Asked at every
// block, the fetch's bookkeeping (loads of its state, a loop, three branches) cost the tiles
// 8-27 % of their rate on cached operands; every eighth block it costs little, and its lines
// still arrive spread over the passes. Chunks start at such blocks.
constexpr uint64_t kFetchEvery = 8;
static_assert(kChunkCols / 2 / 32 % kFetchEvery == 0);

// Needs: part = the four chains' partial sums of a tile of T vectors over R rows, part[j][r][t]
// (read unless k0 is 0); w = the R consecutive fp16 rows of `cols`; x = the T vectors of `cols`
// f32, `cols` apart (in the packed order when `packed`, see pack_vectors); blocks k0 .. k1 of
// one column chunk, the rows' last when `last`. Adds the chunk's products to the sums, one chain
// at a time, each chain's groups in column order (the leftover groups of eight after the last
// block into the first), so that the sums carried over all the chunks are the row kernel's.
template <int R, int T>
inline void chunk_pass(__m256 (*part)[R][kTileVectors], const uint16_t* w, const float* x, uint64_t cols, uint64_t k0,
                       uint64_t k1, bool last, Fetch* f, bool packed) {
  const uint64_t blocks = cols / 32;
#pragma GCC unroll 4
  for (int j = 0; j < 4; j++) {
    __m256 a[R][T];
#pragma GCC unroll 8
    for (int r = 0; r < R; r++)
#pragma GCC unroll 8
      for (int t = 0; t < T; t++) a[r][t] = k0 == 0 ? _mm256_setzero_ps() : part[j][r][t];
    const uint16_t* wj = w + 32 * k0 + 8 * j;
    const uint64_t xstep = packed ? 16 : 32;
    const float* xj = x + 32 * k0 + (packed ? (j >> 1) * 16 * (k1 - k0) + (j & 1) * 8 : 8 * j);
    for (uint64_t k = k0; k < k1; k++, wj += 32, xj += xstep) {
      if (k % kFetchEvery == 0) fetch_turn(f);
      __m256 wr[R];
#pragma GCC unroll 8
      for (int r = 0; r < R; r++) wr[r] = simd::load_f16(wj + r * cols);
#pragma GCC unroll 8
      for (int t = 0; t < T; t++) {
        const __m256 xv = _mm256_loadu_ps(xj + t * cols);
#pragma GCC unroll 8
        for (int r = 0; r < R; r++) a[r][t] = _mm256_fmadd_ps(xv, wr[r], a[r][t]);
      }
    }
    if (j == 0 && last) {
      for (uint64_t c = blocks * 32; c + 8 <= cols; c += 8) {
        __m256 wr[R];
#pragma GCC unroll 8
        for (int r = 0; r < R; r++) wr[r] = simd::load_f16(w + r * cols + c);
#pragma GCC unroll 8
        for (int t = 0; t < T; t++) {
          const __m256 xv = _mm256_loadu_ps(x + t * cols + c);
#pragma GCC unroll 8
          for (int r = 0; r < R; r++) a[r][t] = _mm256_fmadd_ps(xv, wr[r], a[r][t]);
        }
      }
    }
#pragma GCC unroll 8
    for (int r = 0; r < R; r++)
#pragma GCC unroll 8
      for (int t = 0; t < T; t++) part[j][r][t] = a[r][t];
  }
}

// Needs: as chunk_pass, with 1 <= t_count <= kTileVectors. Picks the pass for the vector count.
template <int R>
inline void chunk_pass_n(uint64_t t_count, __m256 (*part)[R][kTileVectors], const uint16_t* w, const float* x,
                         uint64_t cols, uint64_t k0, uint64_t k1, bool last, Fetch* f, bool packed) {
  switch (t_count) {
    case 1: chunk_pass<R, 1>(part, w, x, cols, k0, k1, last, f, packed); break;
    case 2: chunk_pass<R, 2>(part, w, x, cols, k0, k1, last, f, packed); break;
    case 3: chunk_pass<R, 3>(part, w, x, cols, k0, k1, last, f, packed); break;
    default: chunk_pass<R, 4>(part, w, x, cols, k0, k1, last, f, packed); break;
  }
}

// Tiles of vectors that take each column chunk in turn before the next chunk, their sums kept
// on the stack meanwhile (24 KiB for three rows): the chunk's slice of the rows is then read from
// the second-level cache once for all of them, where tile after tile over the whole rows read
// every slice again. The AVX2 image's prompt of 128 ids ran at 28.5-30.0 tokens/s against
// 26.0-26.6 alternating (an AMD machine with AVX-512), the products of 8 vectors over streaming
// rows 7-14 % faster; on an AMD machine without AVX-512, 6-11 % more multiply-adds a second with
// 16-64 vectors on cached rows.
constexpr uint64_t kTilesTogether = 16;

// Needs: a job of R rows; its next rows are those the next call will take; chunk_blocks the
// blocks of the product's column chunk (chunk_cols). Writes out[t*os + r] for the R rows and
// every vector, each the row kernel's result: up to kTilesTogether tiles of vectors at a time,
// the column chunks outermost; the rows stay cached across the tiles, and the next rows are
// fetched a line at a time meanwhile.
template <int R>
inline void rows_by_all(const TileJob& job, uint64_t chunk_blocks) {
  float* const out = job.out;
  const uint64_t os = job.out_stride, cols = job.cols, count = job.count, next_count = job.next_rows;
  const uint16_t* const w = job.matrix;
  const float* const x = job.vectors;
  const bool packed = job.packed;
  const uint64_t blocks = cols / 32;
  Fetch fetch = fetch_spans(next_count ? job.next : nullptr, cols, cols, next_count);
  // Each tile of vectors passes over the rows' blocks four times, once per chain, with a turn
  // of the fetch at every kFetchEvery-th block (the chunks start at such blocks).
  const uint64_t turns = 4 * ((blocks + kFetchEvery - 1) / kFetchEvery) * ((count + kTileVectors - 1) / kTileVectors);
  pace_fetch(&fetch, 2 * turns);
  constexpr uint64_t kTogether = kTilesTogether * kTileVectors;
  for (uint64_t t0 = 0; t0 < count; t0 += kTogether) {
    const uint64_t nv = count - t0 < kTogether ? count - t0 : kTogether;
    __m256 part[kTilesTogether][4][R][kTileVectors];  // per tile, chain, row and vector
    for (uint64_t k0 = 0; k0 < blocks || k0 == 0; k0 += chunk_blocks) {
      const uint64_t k1 = blocks - k0 < chunk_blocks ? blocks : k0 + chunk_blocks;
      const bool last = k1 == blocks;
      for (uint64_t t = 0; t < nv; t += kTileVectors) {
        const uint64_t n = nv - t < uint64_t(kTileVectors) ? nv - t : kTileVectors;
        chunk_pass_n<R>(n, part[t / kTileVectors], w, x + (t0 + t) * cols, cols, k0, k1, last, &fetch, packed);
      }
      if (last) break;
    }
    for (uint64_t t = 0; t < nv; t++) {
      __m256(*const p)[R][kTileVectors] = part[t / kTileVectors];
      const uint64_t v = t % kTileVectors;
#pragma GCC unroll 8
      for (int r = 0; r < R; r++)
        out[(t0 + t) * os + r] = simd::fold(_mm256_add_ps(_mm256_add_ps(p[0][r][v], p[1][r][v]), _mm256_add_ps(p[2][r][v], p[3][r][v])));
    }
  }
}

// Needs: a job whose vectors fit one sweep; chunk_blocks as rows_by_all. One sweep: every row
// group over all the vectors, the next group's lines fetched while this group is worked on.
void sweep(const TileJob& job, uint64_t chunk_blocks) {
  const uint64_t cols = job.cols, rows = job.rows;
  const uint64_t next_rows = job.next_rows > uint64_t(kTileRows) ? kTileRows : job.next_rows;
  uint64_t r = 0;
  for (; r + kTileRows <= rows; r += kTileRows) {
    const uint64_t after = rows - r - kTileRows;
    const uint16_t* w_after = job.matrix + (r + kTileRows) * cols;
    rows_by_all<kTileRows>(rows_of(job, r, kTileRows, after ? w_after : job.next,
                                   after ? (after < kTileRows ? after : kTileRows) : next_rows),
                           chunk_blocks);
  }
  const TileJob group = rows_of(job, r, rows - r, job.next, next_rows);
  switch (rows - r) {
    case 2: rows_by_all<2>(group, chunk_blocks); break;
    case 1: rows_by_all<1>(group, chunk_blocks); break;
    default: break;
  }
}

}  // namespace

void gemm_batch_rows(const TileJob& job) {
  if (job.rows == 0 || job.cols == 0 || job.count == 0) return;
  const uint64_t per_sweep = vectors_per_sweep(job.cols);
  const uint64_t chunk_blocks = chunk_cols(job.count) / 32;  // the packed order's, from all the vectors
  TileJob part = job;
  for (uint64_t t = 0; t < job.count; t += per_sweep) {
    const uint64_t n = job.count - t < per_sweep ? job.count - t : per_sweep;
    const bool last = t + n == job.count;
    part.out = job.out + t * job.out_stride;
    part.vectors = job.vectors + t * job.cols;
    part.count = n;
    part.next = last ? job.next : nullptr;
    part.next_rows = last ? job.next_rows : 0;
    sweep(part, chunk_blocks);
  }
}

}  // namespace gemm_tiles
