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

// Needs: w = R consecutive fp16 rows of `cols`; x = T vectors of `cols` f32, `cols` apart (in
// the packed order when `packed`, see pack_vectors); chunk_blocks the blocks of the product's
// column chunk (chunk_cols).
// Writes out[t*os + r] for r < R, t < T, each the row kernel's result for that row and vector.
// The chains' partial sums are carried from one column chunk to the next, so each chain still
// adds its groups in column order.
template <int R, int T>
inline void dot_tile(float* out, uint64_t os, const uint16_t* w, const float* x, uint64_t cols, Fetch* f,
                     bool packed, uint64_t chunk_blocks) {
  const uint64_t blocks = cols / 32;
  __m256 part[4][R][T];
#pragma GCC unroll 4
  for (int j = 0; j < 4; j++)
#pragma GCC unroll 8
    for (int r = 0; r < R; r++)
#pragma GCC unroll 8
      for (int t = 0; t < T; t++) part[j][r][t] = _mm256_setzero_ps();
  for (uint64_t k0 = 0; k0 < blocks || k0 == 0; k0 += chunk_blocks) {
    const uint64_t k1 = blocks - k0 < chunk_blocks ? blocks : k0 + chunk_blocks;
    const bool last = k1 == blocks;
#pragma GCC unroll 4
    for (int j = 0; j < 4; j++) {
      __m256 a[R][T];
#pragma GCC unroll 8
      for (int r = 0; r < R; r++)
#pragma GCC unroll 8
        for (int t = 0; t < T; t++) a[r][t] = part[j][r][t];
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
        // Leftover whole groups of eight after the last 32-column block go into the first chain.
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
    if (last) break;
  }
#pragma GCC unroll 8
  for (int r = 0; r < R; r++)
#pragma GCC unroll 8
    for (int t = 0; t < T; t++)
      out[t * os + r] = simd::fold(_mm256_add_ps(_mm256_add_ps(part[0][r][t], part[1][r][t]),
                                                 _mm256_add_ps(part[2][r][t], part[3][r][t])));
}

// Needs: as dot_tile, with 1 <= t_count <= kTileVectors. Picks the tile for the vector count.
template <int R>
inline void dot_tile_n(float* out, uint64_t os, const uint16_t* w, const float* x, uint64_t cols, uint64_t t_count,
                       Fetch* f, bool packed, uint64_t chunk_blocks) {
  switch (t_count) {
    case 1: dot_tile<R, 1>(out, os, w, x, cols, f, packed, chunk_blocks); break;
    case 2: dot_tile<R, 2>(out, os, w, x, cols, f, packed, chunk_blocks); break;
    case 3: dot_tile<R, 3>(out, os, w, x, cols, f, packed, chunk_blocks); break;
    default: dot_tile<R, 4>(out, os, w, x, cols, f, packed, chunk_blocks); break;
  }
}

// Needs: a job of R rows; its next rows are those the next call will take; chunk_blocks as
// dot_tile. The R rows against every vector, a tile of vectors at a time; the rows stay cached
// across the tiles, and the next rows are fetched a line at a time meanwhile.
template <int R>
inline void rows_by_all(const TileJob& job, uint64_t chunk_blocks) {
  float* const out = job.out;
  const uint64_t os = job.out_stride, cols = job.cols, count = job.count, next_count = job.next_rows;
  const uint16_t* const w = job.matrix;
  const float* const x = job.vectors;
  const bool packed = job.packed;
  Fetch fetch = fetch_spans(next_count ? job.next : nullptr, cols, cols, next_count);
  // Each tile of vectors passes over the rows' blocks four times, once per chain, with a turn
  // of the fetch at every kFetchEvery-th block (the chunks start at such blocks).
  const uint64_t turns = 4 * ((cols / 32 + kFetchEvery - 1) / kFetchEvery) * ((count + kTileVectors - 1) / kTileVectors);
  pace_fetch(&fetch, 2 * turns);
  for (uint64_t t = 0; t < count; t += kTileVectors) {
    const uint64_t n = count - t < uint64_t(kTileVectors) ? count - t : kTileVectors;
    dot_tile_n<R>(out + t * os, os, w, x + t * cols, cols, n, &fetch, packed, chunk_blocks);
  }
}

// Needs: a job whose vectors fit one sweep; chunk_blocks as dot_tile. One sweep: every row
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
