// The FP16 matrix product over a block of token vectors: the same arithmetic per output
// element as dot_rows_f16 (four eight-lane chains over 32-column blocks, leftover groups of
// eight into the first chain, the fixed fold), but each weight group is widened once and
// applied to several vectors, so a weight row is streamed from memory once per block.
//
// The four chains of an element are independent sums, so they are run one after the other:
// chain j visits column groups 32k + 8j in order of k, exactly the additions dot_rows_f16
// makes into its accumulator j. One chain at a time leaves room in the sixteen registers for
// a tile of three rows by four vectors (twelve accumulators, three widened weight groups).
#include "kernels/job_protocol.h"
#include "kernels/kernels.h"
#include "kernels/simd.h"

namespace {

constexpr uint64_t kMinParallelRows = 256;  // as gemv_f16: smaller products stay on the caller
#if defined(__AVX512F__)
// The wide image: a tile of six rows by four vectors fits the thirty-two registers (twenty-four
// accumulators, six widened weight groups, one input).
constexpr int kTileRows = 6;
constexpr int kTileVectors = 4;
#else
constexpr int kTileRows = 3;
constexpr int kTileVectors = 4;
#endif
// Input vectors of one sweep over the rows are kept within about this many bytes, so that they
// stay in the second-level cache while every row group visits them. In the AVX2 image the long
// rows of the down projection take fewer vectors per sweep (its weights are then streamed once
// per sweep); the wide image takes such rows a panel of groups at a time instead.
constexpr uint64_t kSweepBytes = 1536 * 1024;

// Columns per chunk of a tile: the chunk's slices of the tile's vectors and rows (28 KiB at
// 1024 columns) stay in the first-level cache while the four chains pass over them in turn.
constexpr uint64_t kChunkCols = 1024;

// The vectors of a dispatched product are first copied into the order in which the tiles read
// them: within each chunk of kChunkCols columns (nb whole 32-column blocks), columns 0-15 of
// every block, block after block, then columns 16-31 of every block; the columns after the
// last whole block stay where they are. A tile's chain pair then reads consecutive lines where
// it would read every other line, which the second-level cache serves about twice as fast.
// Needs: src f32 [count][cols]; dst room for as many, not overlapping. Writes the packed copy.
void pack_vectors(float* dst, const float* src, uint64_t cols, uint64_t count) {
  const uint64_t blocks = cols / 32;
  const uint64_t chunk_blocks = kChunkCols / 32;
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
// cache one at a time from within the tiles. Fetched all at once, they stalled the tiles while
// the memory answered (about a sixth of the down projection's time).
struct Fetch {
  const char* line;     // next line to fetch
  const char* row_end;  // end of the current row's span
  uint64_t span;        // bytes of each row's span
  uint64_t stride;      // bytes from one row to the next
  uint64_t rows;        // rows left after the current one
};

// Needs: the first of `rows` rows `cols` fp16 apart at p, span_cols columns of each (or p null:
// nothing to fetch). Returns the fetch state over those spans.
inline Fetch fetch_spans(const uint16_t* p, uint64_t cols, uint64_t span_cols, uint64_t rows) {
  if (!p) return Fetch{nullptr, nullptr, 0, 0, 0};
  const char* line = reinterpret_cast<const char*>(p);
  return Fetch{line, line + 2 * span_cols, 2 * span_cols, 2 * cols, rows - 1};
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

// Needs: w = R consecutive fp16 rows of `cols`; x = T vectors of `cols` f32, `cols` apart (in
// the packed order when `packed`, see pack_vectors).
// Writes out[t*os + r] for r < R, t < T, each the row kernel's result for that row and vector.
// The chains' partial sums are carried from one column chunk to the next, so each chain still
// adds its groups in column order.
template <int R, int T>
inline void dot_tile(float* out, uint64_t os, const uint16_t* w, const float* x, uint64_t cols, Fetch* f,
                     bool packed) {
  const uint64_t blocks = cols / 32;
  const uint64_t chunk_blocks = kChunkCols / 32;
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
        if (k & 1) fetch_one(f);
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

#if defined(__AVX512F__)
// The wide image. A 512-bit register holds two chains of one element side by side: lanes 0-7
// chain 2h, lanes 8-15 chain 2h + 1 (h = 0, 1). One load of sixteen consecutive columns then
// feeds both, and every lane still adds its groups in column order, as the lanes of
// dot_rows_f16 do. A group of rows is widened to f32 once per column chunk, into a scratch that
// stays in the first-level cache, and applied from there to every vector of the sweep; the
// chains' partial sums wait in the scratch between chunks. The multiply ports then do little
// but multiply-adds.
constexpr uint64_t kWideChunkCols = kChunkCols;  // columns of one chunk, widened half by half
constexpr uint64_t kWideStride = 544;      // f32 per widened row: half a chunk, up to three leftover groups, padding
constexpr uint64_t kWideGroup = 64;       // vectors whose partial sums sit in the scratch

// Long rows (the down projection's) are taken a panel of row groups at a time, the column
// chunks outermost: each chunk of every vector is then read from memory once per panel and
// from the second-level cache by each of its groups, so all the block's vectors share each
// widening of a group's chunk, where a sweep over the whole rows could hold only a third of them.
constexpr uint64_t kPanelGroups = 8;

struct alignas(64) WideScratch {
  float w[kTileRows][kWideStride];                      // half of a row group's chunk in f32 (12.75 KiB)
  __m512 part[kPanelGroups][2][kWideGroup][kTileRows];  // per group, half h, vector and row: chains 2h | 2h+1 (48 KiB each)
};

// Needs: R rows of `cols` fp16 at w; `leftover` groups of eight from column c, within the
// rows. Writes them widened to wf[r][at ..].
template <int R>
inline void widen_leftover(float (*wf)[kWideStride], uint64_t at, const uint16_t* w, uint64_t cols, uint64_t c,
                           uint64_t leftover) {
#pragma GCC unroll 8
  for (int r = 0; r < R; r++)
    for (uint64_t g = 0; g < leftover; g++) _mm256_store_ps(wf[r] + at + 8 * g, simd::load_f16(w + r * cols + c + 8 * g));
}

// Needs: wf half h of the R rows' chunk (`blocks` blocks, then `leftover` groups of eight,
// h = 0 only) or, when Widen, its blocks still to be made from the fp16 rows at src (`cols`
// apart, at the chunk's first column plus 16h); x = T vectors `cols` apart, at the chunk's
// first column (in the packed order when `packed`); part = their partial sums for half h, unless `fresh` (the rows' first chunk:
// the sums start from zero). Writes to part the sums with the chunk's products for half h
// added, each lane's additions in column order; when Widen, the widened blocks to wf (the
// first tile of a half makes them while it multiplies, so the conversion overlaps the
// multiply-adds); fetches a line of f every other block.
template <int R, int T, bool Widen>
inline void wide_tile(__m512 (*part)[kTileRows], bool fresh, int h, float (*wf)[kWideStride], const uint16_t* src,
                      const float* x, bool packed, uint64_t cols, uint64_t blocks, uint64_t leftover, Fetch* f) {
  __m512 a[R][T];
#pragma GCC unroll 8
  for (int r = 0; r < R; r++)
#pragma GCC unroll 8
    for (int t = 0; t < T; t++) a[r][t] = fresh ? _mm512_setzero_ps() : part[t][r];
  const uint64_t xstep = packed ? 16 : 32;
  const float* xh = x + (packed ? 16 * h * blocks : 16 * h);
  for (uint64_t k = 0; k < blocks; k++) {
    if (k & 1) fetch_one(f);
    __m512 wr[R];
    if (Widen) {
#pragma GCC unroll 8
      for (int r = 0; r < R; r++) {
        wr[r] = _mm512_maskz_cvtph_ps(0xFFFF, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + r * cols + 32 * k)));
        _mm512_store_ps(wf[r] + 16 * k, wr[r]);
      }
    } else {
#pragma GCC unroll 8
      for (int r = 0; r < R; r++) wr[r] = _mm512_load_ps(wf[r] + 16 * k);
    }
#pragma GCC unroll 8
    for (int t = 0; t < T; t++) {
      const __m512 xv = _mm512_loadu_ps(xh + t * cols + xstep * k);
#pragma GCC unroll 8
      for (int r = 0; r < R; r++) a[r][t] = _mm512_fmadd_ps(xv, wr[r], a[r][t]);
    }
  }
  // Leftover whole groups of eight after the last block: chain 0 only, the upper lanes kept.
  // Masked loads read nothing past a group; the masked forms are used with every lane selected
  // elsewhere too, since the plain ones trip GCC's uninitialised-use warning in its header.
  for (uint64_t g = 0; g < leftover; g++) {
    const uint64_t c = 32 * blocks + 8 * g;
    __m512 wr[R];
#pragma GCC unroll 8
    for (int r = 0; r < R; r++) wr[r] = _mm512_maskz_loadu_ps(0x00FF, wf[r] + 16 * blocks + 8 * g);
#pragma GCC unroll 8
    for (int t = 0; t < T; t++) {
      const __m512 xv = _mm512_maskz_loadu_ps(0x00FF, x + t * cols + c);
#pragma GCC unroll 8
      for (int r = 0; r < R; r++) a[r][t] = _mm512_mask3_fmadd_ps(xv, wr[r], a[r][t], 0x00FF);
    }
  }
#pragma GCC unroll 8
  for (int r = 0; r < R; r++)
#pragma GCC unroll 8
    for (int t = 0; t < T; t++) part[t][r] = a[r][t];
}

// Needs: as wide_tile, with 1 <= n <= kTileVectors vectors. Picks the tile for the count.
template <int R, bool Widen>
inline void wide_tile_n(uint64_t n, __m512 (*part)[kTileRows], bool fresh, int h, float (*wf)[kWideStride],
                        const uint16_t* src, const float* x, bool packed, uint64_t cols, uint64_t blocks,
                        uint64_t leftover, Fetch* f) {
  switch (n) {
    case 1: wide_tile<R, 1, Widen>(part, fresh, h, wf, src, x, packed, cols, blocks, leftover, f); break;
    case 2: wide_tile<R, 2, Widen>(part, fresh, h, wf, src, x, packed, cols, blocks, leftover, f); break;
    case 3: wide_tile<R, 3, Widen>(part, fresh, h, wf, src, x, packed, cols, blocks, leftover, f); break;
    default: wide_tile<R, 4, Widen>(part, fresh, h, wf, src, x, packed, cols, blocks, leftover, f); break;
  }
}

// Needs: p01[r], p23[r] the chains 0|1 and 2|3 of rows r < R of one vector. Writes out[r] =
// (chain 0 + chain 1) + (chain 2 + chain 3), folded as simd::fold folds, for the R rows at
// once: every lane makes the very additions of the one-row fold, in its operand order.
template <int R>
inline void fold_rows(float* out, const __m512* p01, const __m512* p23) {
  // The masked extracts with every lane selected: the plain ones trip GCC's uninitialised-use
  // warning inside its own header.
  __m256 c[8];
#pragma GCC unroll 8
  for (int r = 0; r < 8; r++) {
    if (r < R) {
      const __m256 c01 = _mm256_add_ps(_mm512_maskz_extractf32x8_ps(0xFF, p01[r], 0), _mm512_maskz_extractf32x8_ps(0xFF, p01[r], 1));
      const __m256 c23 = _mm256_add_ps(_mm512_maskz_extractf32x8_ps(0xFF, p23[r], 0), _mm512_maskz_extractf32x8_ps(0xFF, p23[r], 1));
      c[r] = _mm256_add_ps(c01, c23);
    } else {
      c[r] = _mm256_setzero_ps();
    }
  }
  // u[i] = w of rows 2i | 2i+1, where w_j = c_j + c_(j+4) (low half plus high half).
  __m256 u[4];
#pragma GCC unroll 4
  for (int i = 0; i < 4; i++)
    u[i] = _mm256_add_ps(_mm256_permute2f128_ps(c[2 * i], c[2 * i + 1], 0x20), _mm256_permute2f128_ps(c[2 * i], c[2 * i + 1], 0x31));
  // Transposed within each half: e_j holds w_j of rows 0, 2, 4, 6 | 1, 3, 5, 7.
  const __m256 t0 = _mm256_unpacklo_ps(u[0], u[1]), t1 = _mm256_unpackhi_ps(u[0], u[1]);
  const __m256 t2 = _mm256_unpacklo_ps(u[2], u[3]), t3 = _mm256_unpackhi_ps(u[2], u[3]);
  const __m256 e0 = _mm256_shuffle_ps(t0, t2, 0x44), e1 = _mm256_shuffle_ps(t0, t2, 0xEE);
  const __m256 e2 = _mm256_shuffle_ps(t1, t3, 0x44), e3 = _mm256_shuffle_ps(t1, t3, 0xEE);
  const __m256 sum = _mm256_add_ps(_mm256_add_ps(e0, e1), _mm256_add_ps(e2, e3));
  const __m256 rows = _mm256_permutexvar_ps(_mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7), sum);
  _mm256_mask_storeu_ps(out, static_cast<__mmask8>((1u << R) - 1), rows);
}

// Needs: `groups` (1 .. kPanelGroups) groups of R rows of `cols` fp16 at w (consecutive rows),
// `count` vectors at x, a scratch; next_count rows at next_w (`cols` apart) that this thread
// takes next (0: none). Writes out[t*os + r] for every row and vector: a group of vectors at a
// time, the column chunks in order, each group's chunk widened and applied to all the vectors
// in turn.
template <int R>
void wide_rows(float* out, uint64_t os, const uint16_t* w, uint64_t groups, const float* x, bool packed, uint64_t cols,
               uint64_t count, WideScratch* s, const uint16_t* next_w, uint64_t next_count) {
  const uint64_t blocks = cols / 32;
  const uint64_t leftover = (cols - blocks * 32) / 8;
  const uint64_t chunk_blocks = kWideChunkCols / 32;
  for (uint64_t v0 = 0; v0 < count; v0 += kWideGroup) {
    const uint64_t nv = count - v0 < kWideGroup ? count - v0 : kWideGroup;
    for (uint64_t k0 = 0;; k0 += chunk_blocks) {
      const uint64_t k1 = blocks - k0 < chunk_blocks ? blocks : k0 + chunk_blocks;
      const bool last = k1 == blocks;
      const uint64_t lg = last ? leftover : 0;
      // The weights come from memory on the first pass over the vectors: the next chunk of
      // these rows (or the first of the next rows) is fetched while this one is worked on.
      Fetch fetch = fetch_spans(nullptr, 0, 0, 0);
      if (v0 == 0 && !last)
        fetch = fetch_spans(w + 32 * k1, cols, blocks - k1 < chunk_blocks ? cols - 32 * k1 : kWideChunkCols, groups * R);
      else if (v0 == 0 && next_count > 0)
        fetch = fetch_spans(next_w, cols, cols < kWideChunkCols ? cols : kWideChunkCols, next_count);
      const float* xc = x + v0 * cols + 32 * k0;
      const uint64_t nb = k1 - k0;
      const bool fresh = k0 == 0;
      for (uint64_t g = 0; g < groups; g++) {
        const uint16_t* wg = w + g * R * cols;
        for (int h = 0; h < 2; h++) {
          const uint64_t lh = h == 0 ? lg : 0;
          const uint16_t* src = wg + 32 * k0 + 16 * h;
          widen_leftover<R>(s->w, 16 * nb, wg, cols, 32 * k1, lh);
          for (uint64_t t = 0; t < nv; t += kTileVectors) {
            __m512(*part)[kTileRows] = s->part[g][h] + t;
            const float* xt = xc + t * cols;
            const uint64_t n = nv - t < uint64_t(kTileVectors) ? nv - t : kTileVectors;
            if (t == 0)
              wide_tile_n<R, true>(n, part, fresh, h, s->w, src, xt, packed, cols, nb, lh, &fetch);
            else
              wide_tile_n<R, false>(n, part, fresh, h, s->w, src, xt, packed, cols, nb, lh, &fetch);
          }
        }
      }
      if (last) break;
    }
    for (uint64_t g = 0; g < groups; g++)
      for (uint64_t t = 0; t < nv; t++) fold_rows<R>(out + (v0 + t) * os + g * R, s->part[g][0][t], s->part[g][1][t]);
  }
}

// Needs: rows consecutive fp16 rows, `count` vectors; `panel` (1 .. kPanelGroups) row groups
// taken at a time; next_rows rows at next (`cols` apart) that this thread takes after these
// (0: none). One sweep: every panel of row groups over all the vectors (each panel fetches the
// next one's first chunk ahead, see wide_rows; the last one the next rows').
void sweep(float* out, uint64_t os, const uint16_t* matrix, const float* x, bool packed, uint64_t cols, uint64_t rows,
           uint64_t count, uint64_t panel, const uint16_t* next, uint64_t next_rows) {
  WideScratch s;
  const uint64_t panel_rows = panel * kTileRows;
  if (next_rows > panel_rows) next_rows = panel_rows;
  uint64_t r = 0;
  for (; r + kTileRows <= rows;) {
    const uint64_t groups = (rows - r) / kTileRows < panel ? (rows - r) / kTileRows : panel;
    const uint64_t after = rows - r - groups * kTileRows;
    const uint16_t* w = matrix + r * cols;
    const uint16_t* w_after = w + groups * kTileRows * cols;
    wide_rows<kTileRows>(out + r, os, w, groups, x, packed, cols, count, &s, after ? w_after : next,
                         after ? (after < panel_rows ? after : panel_rows) : next_rows);
    r += groups * kTileRows;
  }
  const uint16_t* w = matrix + r * cols;
  switch (rows - r) {
    case 5: wide_rows<5>(out + r, os, w, 1, x, packed, cols, count, &s, next, next_rows); break;
    case 4: wide_rows<4>(out + r, os, w, 1, x, packed, cols, count, &s, next, next_rows); break;
    case 3: wide_rows<3>(out + r, os, w, 1, x, packed, cols, count, &s, next, next_rows); break;
    case 2: wide_rows<2>(out + r, os, w, 1, x, packed, cols, count, &s, next, next_rows); break;
    case 1: wide_rows<1>(out + r, os, w, 1, x, packed, cols, count, &s, next, next_rows); break;
    default: break;
  }
}
#else
// Needs: as dot_tile, with 1 <= t_count <= kTileVectors. Picks the tile for the vector count.
template <int R>
inline void dot_tile_n(float* out, uint64_t os, const uint16_t* w, const float* x, uint64_t cols, uint64_t t_count,
                       Fetch* f, bool packed) {
  switch (t_count) {
    case 1: dot_tile<R, 1>(out, os, w, x, cols, f, packed); break;
    case 2: dot_tile<R, 2>(out, os, w, x, cols, f, packed); break;
    case 3: dot_tile<R, 3>(out, os, w, x, cols, f, packed); break;
    default: dot_tile<R, 4>(out, os, w, x, cols, f, packed); break;
  }
}

// Needs: R consecutive fp16 rows, `count` vectors; next_count rows at next_w that the next
// call will take (0: none). The R rows against every vector, a tile of vectors at a time; the
// rows stay cached across the tiles, and the next rows are fetched a line at a time meanwhile.
template <int R>
inline void rows_by_all(float* out, uint64_t os, const uint16_t* w, const float* x, bool packed, uint64_t cols,
                        uint64_t count, const uint16_t* next_w, uint64_t next_count) {
  Fetch fetch = fetch_spans(next_count ? next_w : nullptr, cols, cols, next_count);
  for (uint64_t t = 0; t < count; t += kTileVectors) {
    const uint64_t n = count - t < uint64_t(kTileVectors) ? count - t : kTileVectors;
    dot_tile_n<R>(out + t * os, os, w, x + t * cols, cols, n, &fetch, packed);
  }
}

// Needs: rows consecutive fp16 rows, `count` vectors; next_rows rows at next that this thread
// takes after these (0: none). One sweep: every row group over all the vectors, the next
// group's lines fetched while this group is worked on.
void sweep(float* out, uint64_t os, const uint16_t* matrix, const float* x, bool packed, uint64_t cols, uint64_t rows,
           uint64_t count, const uint16_t* next, uint64_t next_rows) {
  if (next_rows > uint64_t(kTileRows)) next_rows = kTileRows;
  uint64_t r = 0;
  for (; r + kTileRows <= rows; r += kTileRows) {
    const uint64_t after = rows - r - kTileRows;
    const uint16_t* w = matrix + r * cols;
    rows_by_all<kTileRows>(out + r, os, w, x, packed, cols, count, after ? w + kTileRows * cols : next,
                           after ? (after < kTileRows ? after : kTileRows) : next_rows);
  }
  const uint16_t* w = matrix + r * cols;
  switch (rows - r) {
    case 2: rows_by_all<2>(out + r, os, w, x, packed, cols, count, next, next_rows); break;
    case 1: rows_by_all<1>(out + r, os, w, x, packed, cols, count, next, next_rows); break;
    default: break;
  }
}
#endif

// Needs: as dot_rows_f16_batch, the vectors in the packed order when `packed`; next_rows rows at
// next that this thread takes after these (0: none), whose first lines are fetched meanwhile.
void batch_rows(float* out, const uint16_t* matrix, const float* vectors, bool packed, uint64_t cols, uint64_t rows,
                uint64_t count, uint64_t out_stride, const uint16_t* next, uint64_t next_rows) {
  if (rows == 0 || cols == 0 || count == 0) return;
  uint64_t per_sweep = kSweepBytes / (cols * sizeof(float));
  per_sweep = per_sweep < uint64_t(kTileVectors) ? kTileVectors : per_sweep / kTileVectors * kTileVectors;
#if defined(__AVX512F__)
  // Rows too long for all the vectors to stay cached over a sweep go a panel of groups at a time.
  sweep(out, out_stride, matrix, vectors, packed, cols, rows, count, per_sweep < count ? kPanelGroups : 1, next,
        next_rows);
#else
  for (uint64_t t = 0; t < count; t += per_sweep) {
    const uint64_t n = count - t < per_sweep ? count - t : per_sweep;
    const bool last = t + n == count;
    sweep(out + t * out_stride, out_stride, matrix, vectors + t * cols, packed, cols, rows, n, last ? next : nullptr,
          last ? next_rows : 0);
  }
#endif
}

// Multiply-adds in one claimed unit of a batched product: about half a millisecond of one
// core's work, long enough that claiming costs nothing, short enough that the threads finish
// within a unit of each other.
constexpr uint64_t kUnitMacs = uint64_t(1) << 25;
// Rows of a unit are a multiple of this: whole row groups of either image, and whole groups of
// eight for a GeGLU after the product.
constexpr uint64_t kUnitStep = 24;

// Needs: gate, up f32 [count][stride], rows r0 .. r0+n of each (n a multiple of eight). Writes
// gate[t][r] = gelu(gate[t][r]) * up[t][r] for those rows.
inline void geglu_rows(float* gate, const float* up, uint64_t stride, uint64_t count, uint64_t r0, uint64_t n) {
  for (uint64_t t = 0; t < count; t++) geglu(gate + t * stride + r0, gate + t * stride + r0, up + t * stride + r0, n);
}

// Needs: as gemm_f16; gate null or as gemm_geglu_f16's. The product (on the packed copy of
// the vectors where pack is given), split in claimed units over the pool, then the GeGLU where
// gate is given.
void gemm_dispatch(float* out, const uint16_t* matrix, const float* vectors, uint64_t cols, uint64_t rows,
                   uint64_t count, float* gate, float* pack, JobHeader* area);

}  // namespace

extern "C" KV_ABI void dot_rows_f16_batch(float* out, const uint16_t* matrix, const float* vectors, uint64_t cols,
                                          uint64_t rows, uint64_t count, uint64_t out_stride) {
  // out: f32, token t's rows at out + t*out_stride, caller's; matrix: fp16[rows][cols] (usually
  // the weights view); vectors: f32[count][cols], caller's.
  batch_rows(out, matrix, vectors, false, cols, rows, count, out_stride, nullptr, 0);
}

extern "C" KV_ABI void gemm_claim_units(const JobSlot* job, JobHeader* area) {
  // job: the whole product (out, matrix, vector = the first vector, cols, rows); area: its
  // header (batch, batch_out_stride, unit_rows, next_unit). Each unit is claimed one ahead of
  // its work, so that the lines of the next rows this thread takes are fetched in time.
  const uint64_t unit = area->unit_rows;
  const uint64_t rows = job->rows;
  const uint64_t units = (rows + unit - 1) / unit;
  uint64_t cur = __atomic_fetch_add(&area->next_unit, 1u, __ATOMIC_RELAXED);
  while (cur < units) {
    const uint64_t nxt = __atomic_fetch_add(&area->next_unit, 1u, __ATOMIC_RELAXED);
    const uint64_t r0 = cur * unit;
    const uint64_t n = rows - r0 < unit ? rows - r0 : unit;
    const uint64_t next_rows = nxt < units ? (rows - nxt * unit < unit ? rows - nxt * unit : unit) : 0;
    batch_rows(job->out + r0, job->matrix + r0 * job->cols, job->vector, area->vectors_packed != 0, job->cols, n,
               area->batch, area->batch_out_stride, job->matrix + (nxt < units ? nxt * unit : 0) * job->cols, next_rows);
    if (area->geglu_gate) geglu_rows(area->geglu_gate, job->out, area->batch_out_stride, area->batch, r0, n);
    cur = nxt;
  }
}
extern "C" KV_ABI void gemm_f16(float* out, const uint16_t* matrix, const float* vectors, uint64_t cols,
                                uint64_t rows, uint64_t count, float* pack, JobHeader* area) {
  // out: f32[count][rows], caller's; matrix: fp16[rows][cols]; vectors: f32[count][cols], shared
  // read-only with the workers; pack: f32[count][cols] scratch, caller's, or null; area: the job
  // area or null.
  if (count == 1) {
    gemv_f16(out, matrix, vectors, cols, rows, area);
    return;
  }
  gemm_dispatch(out, matrix, vectors, cols, rows, count, nullptr, pack, area);
}

extern "C" KV_ABI void gemm_geglu_f16(float* up, const uint16_t* matrix, const float* vectors, uint64_t cols,
                                      uint64_t rows, uint64_t count, float* gate, float* pack, JobHeader* area) {
  // up: f32[count][rows], caller's (the product); gate: f32[count][rows], caller's (the gate
  // product, replaced by the activation); the rest as gemm_f16.
  if (count == 1) {
    gemv_f16(up, matrix, vectors, cols, rows, area);
    geglu_rows(gate, up, rows, 1, 0, rows);
    return;
  }
  gemm_dispatch(up, matrix, vectors, cols, rows, count, gate, pack, area);
}

namespace {

void gemm_dispatch(float* out, const uint16_t* matrix, const float* vectors, uint64_t cols, uint64_t rows,
                   uint64_t count, float* gate, float* pack, JobHeader* area) {
  if (rows == 0 || cols == 0) return;
  const bool packed = pack != nullptr;
  if (packed) {
    pack_vectors(pack, vectors, cols, count);
    vectors = pack;
  }
  uint32_t workers = area ? area->worker_count : 0;
  if (workers == 0 || rows < kMinParallelRows) {
    batch_rows(out, matrix, vectors, packed, cols, rows, count, rows, nullptr, 0);
    if (gate) geglu_rows(gate, out, rows, count, 0, rows);
    return;
  }
  JobSlot* slots = reinterpret_cast<JobSlot*>(area + 1);
  __atomic_store_n(&area->done_count, 0u, __ATOMIC_RELAXED);
  area->batch = static_cast<uint32_t>(count);
  area->batch_out_stride = rows;
  // Units of about kUnitMacs each, and at least four per thread so that small products still
  // spread.
  const uint64_t threads = workers + 1ull;
  uint64_t unit = kUnitMacs / (cols * count);
  if (unit > rows / (4 * threads)) unit = rows / (4 * threads);
  unit = unit < kUnitStep ? kUnitStep : unit / kUnitStep * kUnitStep;
  area->unit_rows = static_cast<uint32_t>(unit);
  area->vectors_packed = packed;
  area->geglu_gate = gate;
  __atomic_store_n(&area->next_unit, 0u, __ATOMIC_RELAXED);
  uint32_t seq = area->job_seq + 1;
  area->job_seq = seq;
  JobSlot whole{};
  whole.out = out;
  whole.matrix = matrix;
  whole.vector = vectors;
  whole.cols = cols;
  whole.rows = rows;
  for (uint32_t k = 0; k < workers; k++) {
    JobSlot* s = &slots[k];
    s->out = out;
    s->matrix = matrix;
    s->vector = vectors;
    s->cols = cols;
    s->rows = rows;
    job_post(area, s, seq);
  }
  job_wake_parked(area, slots, workers);
  gemm_claim_units(&whole, area);
  job_wait_done(area, workers);
}

}  // namespace
