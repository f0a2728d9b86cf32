// What the batched FP16 product's dispatcher (gemm.cpp) and its two tile files share: the
// packed order of the input vectors, the fetch of the weight lines ahead, the record of the
// rows one thread takes, and the sizes both instruction sets agree on. The AVX2 image links
// gemm_avx2.cpp, the wide (AVX-512) image gemm_wide.cpp; each defines gemm_batch_rows.
//
// Every output element is the row kernel's (dot_rows_f16) result for its row and vector: four
// eight-lane chains over 32-column blocks, leftover groups of eight into the first chain, the
// fixed fold. The four chains of an element are independent sums, so a tile may run them in
// any order, as long as chain j visits column groups 32k + 8j in order of k.
//
// Image code: header only, inlined, calls nothing.
#pragma once

#include <immintrin.h>
#include <stdint.h>

namespace gemm_tiles {

// Vectors of one tile, in either image.
constexpr int kTileVectors = 4;

// Input vectors of one sweep over the rows are kept within about this many bytes, so that they
// stay in the second-level cache while every row group visits them: half of a 1 MiB cache, the
// rest for the weights streaming through. (At 1.5 MiB, sixteen vectors of the down
// projection's 16384 columns overflowed it and a decode step of sixteen sequences took twice as long.)
constexpr uint64_t kSweepBytes = 512 * 1024;

// Columns per chunk of a tile: the chunk's slices of the tile's vectors and rows stay in the
// first-level cache while the chains pass over them in turn.
constexpr uint64_t kChunkCols = 1024;

// Needs: count > 0, the vectors of the whole product. Columns per chunk for that many vectors:
// up to eight take half chunks, so that a chunk's slice of all of them (16 KiB) and a row
// group's widened half stay in the first-level cache together; with whole chunks the slices of
// eight vectors (32 KiB) were read again from the second level for every row group, and a
// product of 8 vectors streamed 5-10 % slower (17.8-18.6 against 18.8-20.2 GB/s on two
// cores). More vectors are held by their multiplies, which longer tiles serve better.
inline uint64_t chunk_cols(uint64_t count) { return count <= 8 ? kChunkCols / 2 : kChunkCols; }

// Rows of one tile: three in the AVX2 image's sixteen registers, six in the wide image's
// thirty-two.
constexpr int kAvx2TileRows = 3;
constexpr int kWideTileRows = 6;

// Rows of a claimed unit are a multiple of this: whole row groups of either image, and whole
// groups of eight for a GeGLU after the product.
constexpr uint64_t kUnitStep = 24;
static_assert(kUnitStep % kAvx2TileRows == 0 && kUnitStep % kWideTileRows == 0 && kUnitStep % 8 == 0);

// The rows [0, rows) of one product that one thread computes.
struct TileJob {
  float* out;              // out[t*out_stride + r] for row r and vector t
  uint64_t out_stride;
  const uint16_t* matrix;  // fp16 [rows][cols], the first row taken
  const float* vectors;    // f32 [count][cols], in the packed order when `packed`
  bool packed;
  uint64_t cols;
  uint64_t rows;
  uint64_t count;
  const uint16_t* next;    // rows (`cols` apart) this thread takes after these, fetched meanwhile
  uint64_t next_rows;      // 0: none
  bool passes;             // the wide tiles may take passes of several chunks (JobHeader::wide_passes)
};

// Needs: rows r0 .. r0+n of job's; the rows (0: none) this thread takes after those. Returns
// the job narrowed to those rows.
inline TileJob rows_of(const TileJob& job, uint64_t r0, uint64_t n, const uint16_t* next, uint64_t next_rows) {
  TileJob part = job;
  part.out = job.out + r0;
  part.matrix = job.matrix + r0 * job.cols;
  part.rows = n;
  part.next = next;
  part.next_rows = next_rows;
  return part;
}

// Needs: a TileJob with rows, cols and count > 0. Writes its outputs; defined once per
// instruction set (gemm_avx2.cpp, gemm_wide.cpp).
void gemm_batch_rows(const TileJob& job);

// Needs: cols > 0. Vectors of one sweep over rows of `cols` columns: a multiple of the tile's
// vectors, at least one tile.
inline uint64_t vectors_per_sweep(uint64_t cols) {
  const uint64_t n = kSweepBytes / (cols * sizeof(float));
  return n < uint64_t(kTileVectors) ? kTileVectors : n / kTileVectors * kTileVectors;
}

// The vectors of a dispatched product are first copied into the order in which the tiles read
// them: within each chunk of chunk_cols(count) columns (nb whole 32-column blocks), columns 0-15 of
// every block, block after block, then columns 16-31 of every block; the columns after the
// last whole block stay where they are. A tile's chain pair then reads consecutive lines where
// it would read every other line, which the second-level cache serves about twice as fast.
// Needs: src f32 [count][cols]; dst room for as many, not overlapping. Writes the packed copy.
inline void pack_vectors(float* dst, const float* src, uint64_t cols, uint64_t count) {
  const uint64_t blocks = cols / 32;
  const uint64_t chunk_blocks = chunk_cols(count) / 32;
  for (uint64_t t = 0; t < count; t++) {
    const float* s = src + t * cols;
    float* d = dst + t * cols;
    for (uint64_t k0 = 0; k0 < blocks; k0 += chunk_blocks) {
      const uint64_t nb = blocks - k0 < chunk_blocks ? blocks - k0 : chunk_blocks;
      for (uint64_t k = 0; k < nb; k++) {
        const float* b = s + 32 * (k0 + k);
        float* lo = d + 32 * k0 + 16 * k;
        float* hi = d + 32 * k0 + 16 * nb + 16 * k;
        _mm256_storeu_ps(lo, _mm256_loadu_ps(b));
        _mm256_storeu_ps(lo + 8, _mm256_loadu_ps(b + 8));
        _mm256_storeu_ps(hi, _mm256_loadu_ps(b + 16));
        _mm256_storeu_ps(hi + 8, _mm256_loadu_ps(b + 24));
      }
    }
    for (uint64_t c = 32 * blocks; c < cols; c++) d[c] = s[c];
  }
}

// The lines of the weights the next rows or chunk will take, fetched into the second-level
// cache a few at a time from within the tiles. Fetched all at once, they stalled the tiles while
// the memory answered (about a sixth of the down projection's time).
struct Fetch {
  const char* line;     // next line to fetch
  const char* row_end;  // end of the current row's span
  uint64_t span;        // bytes of each row's span
  uint64_t stride;      // bytes from one row to the next
  uint64_t rows;        // rows left after the current one
  uint64_t per_pair;    // lines fetched per two blocks the tiles visit (pace_fetch)
};

// Needs: the first of `rows` rows `cols` fp16 apart at p, span_cols columns of each (or p null:
// nothing to fetch). Returns the fetch state over those spans, one line per two blocks.
inline Fetch fetch_spans(const uint16_t* p, uint64_t cols, uint64_t span_cols, uint64_t rows) {
  if (!p) return Fetch{nullptr, nullptr, 0, 0, 0, 1};
  const char* line = reinterpret_cast<const char*>(p);
  return Fetch{line, line + 2 * span_cols, 2 * span_cols, 2 * cols, rows - 1, 1};
}

// Needs: f from fetch_spans; `visits` the blocks the tiles will visit before its lines are
// needed. Paces it so that every line is asked for within those visits: with few vectors a
// tile passes over the rows only once or twice, and one line per two blocks covered a sixth of
// the next rows' lines (the rest then came on demand, stalling small batches).
inline void pace_fetch(Fetch* f, uint64_t visits) {
  if (!f->line || visits == 0) return;
  const uint64_t lines = (f->rows + 1) * ((f->span + 63) / 64);
  const uint64_t per_pair = (2 * lines + visits - 1) / visits;
  f->per_pair = per_pair > 1 ? per_pair : 1;
}

// Needs: f. Fetches its next line, if any is left, into the second-level cache.
inline void fetch_one(Fetch* f) {
  if (f->line >= f->row_end) {
    if (f->rows == 0) return;
    f->rows--;
    f->row_end += f->stride;
    f->line = f->row_end - f->span;
  }
  _mm_prefetch(f->line, _MM_HINT_T1);
  f->line += 64;
}

// Needs: f paced with two visits for each of the turns a tile will take. Fetches one turn's
// share of the pace (per_pair lines): for tiles that fetch every few blocks rather than at each.
inline void fetch_turn(Fetch* f) {
  for (uint64_t i = 0; i < f->per_pair; i++) fetch_one(f);
}

// Needs: f; k the index of the block a tile is at. Fetches this block's share of the pace:
// half of per_pair on even blocks, the rest on odd ones (a single line: odd blocks only).
inline void fetch_for_block(Fetch* f, uint64_t k) {
  const uint64_t n = k & 1 ? f->per_pair - f->per_pair / 2 : f->per_pair / 2;
  for (uint64_t i = 0; i < n; i++) fetch_one(f);
}

}  // namespace gemm_tiles
