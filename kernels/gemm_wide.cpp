// The batched product's tiles in the wide image, for processors with AVX-512 (see
// gemm_tiles.h for what every tile computes; the results are the AVX2 image's bit for bit).
//
// A 512-bit register holds two chains of one element side by side: lanes 0-7 chain 2h, lanes
// 8-15 chain 2h + 1 (h = 0, 1). One load of sixteen consecutive columns then feeds both, and
// every lane still adds its groups in column order, as the lanes of dot_rows_f16 do. A group of
// rows is widened to f32 once per column chunk, into a scratch that stays in the first-level
// cache, and applied from there to every vector of the sweep (a sweep of a few vectors widens
// it again in each tile instead, see kWidenEachTile); the chains' partial sums wait in
// the scratch between chunks. The multiply ports then do little but multiply-adds. A tile of
// six rows by four vectors fits the thirty-two registers (twenty-four accumulators, six widened
// weight groups, one input).
//
// Image code: freestanding, no library calls.
#if !defined(__AVX512F__)
#error "gemm_wide.cpp belongs to the wide image (AVX-512); the AVX2 image takes gemm_avx2.cpp"
#endif

#include "kernels/gemm_tiles.h"
#include "kernels/simd.h"

namespace gemm_tiles {
namespace {

constexpr int kTileRows = kWideTileRows;

// Sweeps of up to eight vectors take the rows in passes of this many columns (or whole, when
// shorter), each tile going over all the packed chunks of the vectors within a pass in turn,
// instead of one pass per chunk: the tiles' sums are then saved and reloaded once per pass
// instead of once per chunk, which costs more than the vectors' slices read from the
// second-level cache. On an AMD machine with AVX-512 products of 4-8 vectors over 2048 columns
// streamed 9-20 % faster so, over 16384 columns 0-7 % (than in chunks of 512 columns); 9-12
// vectors over 2048 columns were 1-3 % slower in passes of 2048. On one of the next processor
// family (48 KiB first-level cache, 512-bit multiply-adds at full width) the passes made the
// batched step of eight 15-18 % slower, so the pool turns them on per processor (a job's
// `passes`, from JobHeader::wide_passes).
constexpr uint64_t kPassCols = 2048;
constexpr uint64_t kPassVectors = 8;
static_assert(kPassCols % kChunkCols == 0, "passes are whole chunks of the packed order");

// f32 per widened row: half a whole chunk, up to three leftover groups, padding. (A pass over
// several chunks keeps only its leftover groups here, from the start.)
constexpr uint64_t kWideStride = 544;
constexpr uint64_t kWideGroup = 64;       // vectors whose partial sums sit in the scratch

// Sweeps of up to this many vectors widen the weights again in every tile instead of keeping
// them in the scratch for the later tiles: the stores and reloads cost more than the
// conversions there. On an AMD machine with AVX-512, 6-12 vectors streamed 5-18 % faster so
// (the batched step's eight 6-12 %), 16-64 vectors 7-14 % slower.
constexpr uint64_t kWidenEachTile = 12;
static_assert(kPassVectors <= kWidenEachTile, "passes over several chunks keep no widened blocks");

// Long rows (the down projection's) are taken a panel of row groups at a time, the column
// chunks outermost: each chunk of every vector is then read from memory once per panel and
// from the second-level cache by each of its groups, so all the block's vectors share each
// widening of a group's chunk, where a sweep over the whole rows could hold only a third of them.
constexpr uint64_t kPanelGroups = 8;

struct alignas(64) WideScratch {
  float w[kTileRows][kWideStride];                      // half of a row group's chunk in f32 (12.75 KiB)
  __m512 part[kPanelGroups][2][kWideGroup][kTileRows];  // per group, half h, vector and row: chains 2h | 2h+1 (48 KiB each)
};

// One half of a row group's pass (one column chunk, or several in turn), as each tile over it sees it.
struct WideHalf {
  float (*wf)[kWideStride];  // the half's blocks (then its leftover groups; only those for a pass of chunks) widened to f32
  const uint16_t* src;       // the fp16 rows (`cols` apart) at the pass's first column plus 16h
  uint64_t cols;
  uint64_t blocks;           // whole 32-column blocks of the pass
  uint64_t chunk_blocks;     // whole blocks of each chunk of the vectors' packed order within it
  uint64_t leftover;         // groups of eight after them (half 0 of the rows' last chunk only)
  int h;                     // 0: chains 0 | 1, 1: chains 2 | 3
  bool fresh;                // the rows' first chunk: the sums start from zero
  bool packed;               // the vectors are in the packed order
  Fetch* f;                  // a line fetched every other block
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

// Needs: half c of the R rows' pass widened in c.wf (leftover groups included) or, when Widen,
// its blocks still to be made from c.src; x = T vectors `cols` apart, at the pass's first
// column (in the packed order when c.packed); part = their partial sums for the half, unless
// c.fresh. Writes to part the sums with the pass's products for the half added, each lane's
// additions in column order; when Widen, the widened blocks to c.wf (the first tile of a half
// makes them while it multiplies, so the conversion overlaps the multiply-adds; when every tile
// of the half widens its own, Keep is false and they are not stored). Spans: the pass may span
// several chunks of the packed order (c.chunk_blocks each; see kPassCols); otherwise it is one.
template <int R, int T, bool Widen, bool Keep = true, bool Spans = false>
inline void wide_tile(const WideHalf& c, __m512 (*part)[kTileRows], const float* x) {
  float(*const wf)[kWideStride] = c.wf;
  const uint16_t* const src = c.src;
  const uint64_t cols = c.cols, blocks = c.blocks, leftover = c.leftover;
  const int h = c.h;
  const bool fresh = c.fresh, packed = c.packed;
  Fetch* const f = c.f;
  __m512 a[R][T];
#pragma GCC unroll 8
  for (int r = 0; r < R; r++)
#pragma GCC unroll 8
    for (int t = 0; t < T; t++) a[r][t] = fresh ? _mm512_setzero_ps() : part[t][r];
  const uint64_t xstep = packed ? 16 : 32;
  // Blocks k0 .. k0+nb of the pass, one packed chunk of the vectors (or all of the pass's).
  auto blocks_of = [&](uint64_t k0, uint64_t nb) {
    const float* xh = x + 32 * k0 + (packed ? 16 * h * nb : 16 * h);
    for (uint64_t k = 0; k < nb; k++) {
      fetch_for_block(f, k0 + k);
      __m512 wr[R];
      if (Widen) {
#pragma GCC unroll 8
        for (int r = 0; r < R; r++) {
          wr[r] = _mm512_maskz_cvtph_ps(
              0xFFFF, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + r * cols + 32 * (k0 + k))));
          if (Keep) _mm512_store_ps(wf[r] + 16 * (k0 + k), wr[r]);
        }
      } else {
#pragma GCC unroll 8
        for (int r = 0; r < R; r++) wr[r] = _mm512_load_ps(wf[r] + 16 * (k0 + k));
      }
#pragma GCC unroll 8
      for (int t = 0; t < T; t++) {
        const __m512 xv = _mm512_loadu_ps(xh + t * cols + xstep * k);
#pragma GCC unroll 8
        for (int r = 0; r < R; r++) a[r][t] = _mm512_fmadd_ps(xv, wr[r], a[r][t]);
      }
    }
  };
  // A pass over several packed chunks takes them in turn, the sums staying in the registers; a
  // pass of one chunk has the loop to itself (with the loop over chunks around it, the
  // multiply-adds of passes of a single chunk ran 3-5 % slower).
  if (Spans) {
    for (uint64_t k0 = 0; k0 < blocks; k0 += c.chunk_blocks)
      blocks_of(k0, blocks - k0 < c.chunk_blocks ? blocks - k0 : c.chunk_blocks);
  } else {
    blocks_of(0, blocks);
  }
  // Leftover whole groups of eight after the last block: chain 0 only, the upper lanes kept.
  // Masked loads read nothing past a group; the masked forms are used with every lane selected
  // elsewhere too, since the plain ones trip GCC's uninitialised-use warning in its header.
  for (uint64_t g = 0; g < leftover; g++) {
    const uint64_t col = 32 * blocks + 8 * g;
    __m512 wr[R];
#pragma GCC unroll 8
    for (int r = 0; r < R; r++) wr[r] = _mm512_maskz_loadu_ps(0x00FF, wf[r] + (Spans ? 0 : 16 * blocks) + 8 * g);
#pragma GCC unroll 8
    for (int t = 0; t < T; t++) {
      const __m512 xv = _mm512_maskz_loadu_ps(0x00FF, x + t * cols + col);
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
template <int R, bool Widen, bool Keep = true, bool Spans = false>
inline void wide_tile_n(uint64_t n, const WideHalf& c, __m512 (*part)[kTileRows], const float* x) {
  switch (n) {
    case 1: wide_tile<R, 1, Widen, Keep, Spans>(c, part, x); break;
    case 2: wide_tile<R, 2, Widen, Keep, Spans>(c, part, x); break;
    case 3: wide_tile<R, 3, Widen, Keep, Spans>(c, part, x); break;
    default: wide_tile<R, 4, Widen, Keep, Spans>(c, part, x); break;
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

// Needs: a job of `groups` (1 .. kPanelGroups) groups of R consecutive rows, whose next rows
// (0: none) this thread takes next; a scratch. Writes its outputs: a group of vectors at a
// time, the passes over the columns in order (a chunk each, or several, see kPassCols), each
// group's pass widened and applied to all the vectors in turn.
template <int R>
void wide_rows(const TileJob& job, uint64_t groups, WideScratch* s) {
  float* const out = job.out;
  const uint64_t os = job.out_stride, cols = job.cols, count = job.count, next_count = job.next_rows;
  const uint16_t* const w = job.matrix;
  const uint16_t* const next_w = job.next;
  const float* const x = job.vectors;
  const bool packed = job.packed;
  const uint64_t blocks = cols / 32;
  const uint64_t leftover = (cols - blocks * 32) / 8;
  const uint64_t packed_blocks = chunk_cols(count) / 32;
  const bool spans = job.passes && count <= kPassVectors;  // passes of several chunks, see kPassCols
  const uint64_t chunk = spans ? kPassCols : chunk_cols(count);
  const uint64_t chunk_blocks = chunk / 32;
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
        fetch = fetch_spans(w + 32 * k1, cols, blocks - k1 < chunk_blocks ? cols - 32 * k1 : chunk, groups * R);
      else if (v0 == 0 && next_count > 0)
        fetch = fetch_spans(next_w, cols, cols < chunk ? cols : chunk, next_count);
      // Each group's two halves pass over the chunk once per tile of vectors.
      pace_fetch(&fetch, groups * 2 * ((nv + kTileVectors - 1) / kTileVectors) * (k1 - k0));
      const float* xc = x + v0 * cols + 32 * k0;
      WideHalf half{s->w, nullptr, cols, k1 - k0, packed_blocks, 0, 0, k0 == 0, packed, &fetch};
      for (uint64_t g = 0; g < groups; g++) {
        const uint16_t* wg = w + g * R * cols;
        for (int h = 0; h < 2; h++) {
          half.h = h;
          half.leftover = h == 0 ? lg : 0;
          half.src = wg + 32 * k0 + 16 * h;
          widen_leftover<R>(s->w, spans ? 0 : 16 * half.blocks, wg, cols, 32 * k1, half.leftover);
          for (uint64_t t = 0; t < nv; t += kTileVectors) {
            __m512(*part)[kTileRows] = s->part[g][h] + t;
            const float* xt = xc + t * cols;
            const uint64_t n = nv - t < uint64_t(kTileVectors) ? nv - t : kTileVectors;
            if (spans)
              wide_tile_n<R, true, false, true>(n, half, part, xt);
            else if (nv <= kWidenEachTile)
              wide_tile_n<R, true, false>(n, half, part, xt);
            else if (t == 0)
              wide_tile_n<R, true>(n, half, part, xt);
            else
              wide_tile_n<R, false>(n, half, part, xt);
          }
        }
      }
      if (last) break;
    }
    for (uint64_t g = 0; g < groups; g++)
      for (uint64_t t = 0; t < nv; t++) fold_rows<R>(out + (v0 + t) * os + g * R, s->part[g][0][t], s->part[g][1][t]);
  }
}

// Needs: a job; `panel` (1 .. kPanelGroups) row groups taken at a time. One sweep: every panel
// of row groups over all the vectors (each panel fetches the next one's first chunk ahead, see
// wide_rows; the last one the job's next rows').
void sweep(const TileJob& job, uint64_t panel) {
  WideScratch s;
  const uint64_t cols = job.cols, rows = job.rows;
  const uint64_t panel_rows = panel * kTileRows;
  const uint64_t next_rows = job.next_rows > panel_rows ? panel_rows : job.next_rows;
  uint64_t r = 0;
  for (; r + kTileRows <= rows;) {
    const uint64_t groups = (rows - r) / kTileRows < panel ? (rows - r) / kTileRows : panel;
    const uint64_t after = rows - r - groups * kTileRows;
    const uint16_t* w_after = job.matrix + (r + groups * kTileRows) * cols;
    wide_rows<kTileRows>(rows_of(job, r, groups * kTileRows, after ? w_after : job.next,
                                 after ? (after < panel_rows ? after : panel_rows) : next_rows),
                         groups, &s);
    r += groups * kTileRows;
  }
  const TileJob part = rows_of(job, r, rows - r, job.next, next_rows);
  switch (rows - r) {
    case 5: wide_rows<5>(part, 1, &s); break;
    case 4: wide_rows<4>(part, 1, &s); break;
    case 3: wide_rows<3>(part, 1, &s); break;
    case 2: wide_rows<2>(part, 1, &s); break;
    case 1: wide_rows<1>(part, 1, &s); break;
    default: break;
  }
}

}  // namespace

void gemm_batch_rows(const TileJob& job) {
  if (job.rows == 0 || job.cols == 0 || job.count == 0) return;
  // Rows too long for all the vectors to stay cached over a sweep go a panel of groups at a time.
  sweep(job, vectors_per_sweep(job.cols) < job.count ? kPanelGroups : 1);
}

}  // namespace gemm_tiles
