// The FP16 matrix-vector product: the row kernel, and the dispatcher that splits the rows
// between the calling thread and the workers of the job area. Each row's result depends only
// on that row and x, so how the rows are split never changes an output bit.
#include "kernels/job_protocol.h"
#include "kernels/kernels.h"
#include "kernels/simd.h"

namespace {

// Products smaller than this run on the calling thread: dispatch would cost more than it saves.
constexpr uint64_t kMinParallelRows = 256;

// How far ahead of its use each weight row is fetched into the second-level cache (10 KiB past
// a point 2 KiB ahead, so 12 KiB ahead): it keeps more of the memory's requests in flight than
// the first-level cache can track. Rows whose input stays in the first-level cache (up to
// kNearFetchCols columns) leave the rest to the hardware prefetcher: a second, near fetch of
// every line into the first level held their products at three quarters of the read
// bandwidth, against nine tenths without it, on a machine reading 65-80 GB/s (longer rows keep
// that near fetch, now into the second level, see simd::prefetch_stream). Far distances of
// 6 to 24 KiB streamed alike there.
constexpr uint64_t kAhead = 1024;
constexpr uint64_t kFarBytes = 10240;
constexpr uint64_t kNearFetchCols = 4096;

// Needs: a row's two pairs of chains over its whole 32-column blocks (up to column c), the
// row and x. Adds the row's leftover groups of eight into chain 0, then folds the four chains
// in the fixed order; returns the row's result.
inline float finish_row(const simd::Pair a[2], const uint16_t* row, const float* x, uint64_t c, uint64_t cols) {
  __m256 c0 = simd::pair_low(a[0]);
  for (; c + 8 <= cols; c += 8) c0 = _mm256_fmadd_ps(_mm256_loadu_ps(x + c), simd::load_f16(row + c), c0);
  const __m256 c01 = _mm256_add_ps(c0, simd::pair_high(a[0]));
  return simd::fold(_mm256_add_ps(c01, _mm256_add_ps(simd::pair_low(a[1]), simd::pair_high(a[1]))));
}

// Needs: w fp16[N][cols] (N consecutive rows), x f32[cols]. Writes out[0 .. N). Each row
// keeps its own four accumulators over 32-column blocks (two pairs, simd::Pair), its leftover
// groups of eight go into the first, then the fixed fold: exactly one row at a time, but the N
// rows share each load of x and keep N streams of weights in flight.
template <int N>
inline void dot_row_group(float* out, const uint16_t* w, const float* x, uint64_t cols) {
  simd::Pair a[N][2];  // per row: chains 0 | 1, chains 2 | 3
#pragma GCC unroll 4
  for (int n = 0; n < N; n++) a[n][0] = a[n][1] = simd::pair_zero();
  const bool long_rows = cols > kNearFetchCols;
  uint64_t c = 0;
  for (; c + 32 <= cols; c += 32) {
    // Each row's stream is fetched kAhead values ahead; near the end of the rows the fetches
    // run on into the same rows of the next group, so short rows keep their streams full too.
    // (A fetch never faults: past the matrix it only brings in what follows it.)
    const uint64_t ahead = c + kAhead < cols ? c + kAhead : c + kAhead + (N - 1) * cols;
#pragma GCC unroll 4
    for (int n = 0; n < N; n++) {
      const uintptr_t near = reinterpret_cast<uintptr_t>(w + n * cols) + 2 * ahead;
      if (long_rows) simd::prefetch_stream(reinterpret_cast<const uint16_t*>(near));
      _mm_prefetch(reinterpret_cast<const char*>(near + kFarBytes), _MM_HINT_T1);
    }
#pragma GCC unroll 2
    for (int h = 0; h < 2; h++) {
      const simd::Pair xh = simd::pair_load(x + c + 16 * h);
#pragma GCC unroll 4
      for (int n = 0; n < N; n++)
        a[n][h] = simd::pair_fmadd(xh, simd::pair_load_f16(w + n * cols + c + 16 * h), a[n][h]);
    }
  }
  const uint64_t blocks_end = c;
#pragma GCC unroll 4
  for (int n = 0; n < N; n++) out[n] = finish_row(a[n], w + n * cols, x, blocks_end, cols);
}

// Needs: w fp16[R][cols] (R consecutive rows, cols >= kLongChunk, R a multiple of
// kLongShare), x f32[cols]. Writes out[0 .. R), each row's four chains and fold exactly as
// dot_row_group<1> makes them. The rows go a chunk of kLongChunk columns at a time, so the
// chunk's slice of x serves all R rows from the first-level cache (a whole 16384-wide input
// does not fit it, and reloading it from the second level for every row held the product at
// two thirds of the read bandwidth). Within a chunk the rows go kLongShare at a time, side by
// side, each load of x serving all of them; each row's piece of the chunk is fetched
// kPiecesAhead pieces ahead in the order the pieces are visited, running on into the next
// group's first pieces. On a machine reading 60-70 GB/s, the down projection on two threads
// streamed at 56-62 GB/s with four rows side by side and at 37-54 GB/s one row after another
// (four also beat one, 53 against 37-41 GB/s, when built for sixteen registers, spills and
// all). Pieces of 2 KiB: on a machine reading 31-33 GB/s, one row after another streamed at
// 30-32 GB/s with them and at 25-27 GB/s with 4 KiB pieces.
//
// Rows of up to kWholeRowCols columns (whose input stays in the first-level cache whole) go in
// one chunk the whole row long, so that the rows are read front to back, each row's piece
// fetched a group ahead (the next group's row). On an AMD machine without AVX-512 reading
// 29-37 GB/s, the 2048-column products streamed 6-9 % faster so than in two chunks with
// pieces four ahead (0.87-0.92 of a plain read against 0.79-0.87, alternating on two threads),
// and 20 % faster than one row at a time.
// Chunked rows keep four pieces ahead: eight slowed the down projection by a quarter there.
// The wide image keeps the chunks for all rows: on its machines they streamed at 0.93-0.95 of
// the fresh reads (above), and whole rows were not measured there.
constexpr uint64_t kLongChunk = 1024;
constexpr int kLongShare = 4;
constexpr uint64_t kPiecesAhead = kLongShare;
#if defined(__AVX512F__)
constexpr uint64_t kWholeRowCols = 0;
#else
constexpr uint64_t kWholeRowCols = 2048;
#endif
template <int R>
inline void dot_long_group(float* out, const uint16_t* w, const float* x, uint64_t cols) {
  static_assert(R % kLongShare == 0);
  simd::Pair a[R][2];  // per row: chains 0 | 1, chains 2 | 3
#pragma GCC unroll 8
  for (int n = 0; n < R; n++) a[n][0] = a[n][1] = simd::pair_zero();
  const uint64_t blocks_end = cols / 32 * 32;
  const bool whole_rows = blocks_end <= kWholeRowCols;
  const uint64_t chunk = whole_rows ? blocks_end : kLongChunk;
  const uint64_t pieces_ahead = whole_rows ? R : kPiecesAhead;
  const uint64_t chunks = (blocks_end + chunk - 1) / chunk;
  for (uint64_t k = 0; k < chunks; k++) {
    const uint64_t c0 = k * chunk;
    const uint64_t c1 = c0 + chunk < blocks_end ? c0 + chunk : blocks_end;
#pragma GCC unroll 8
    for (int n = 0; n < R; n += kLongShare) {
      const uint16_t* fetch[kLongShare];
      simd::Pair acc[kLongShare][2];
#pragma GCC unroll 4
      for (int p = 0; p < kLongShare; p++) {
        const uint64_t ahead = k * R + n + p + pieces_ahead;  // visit index of the piece to fetch
        fetch[p] = ahead / R < chunks ? w + (ahead % R) * cols + (ahead / R) * chunk
                                      : w + (R + ahead - R * chunks) * cols;
        acc[p][0] = a[n + p][0];
        acc[p][1] = a[n + p][1];
      }
      const uint16_t* row = w + n * cols;
      for (uint64_t c = c0; c < c1; c += 32) {
#pragma GCC unroll 4
        for (int p = 0; p < kLongShare; p++) simd::prefetch_stream(fetch[p] + (c - c0));
#pragma GCC unroll 2
        for (int h = 0; h < 2; h++) {
          const simd::Pair xh = simd::pair_load(x + c + 16 * h);
#pragma GCC unroll 4
          for (int p = 0; p < kLongShare; p++)
            acc[p][h] = simd::pair_fmadd(xh, simd::pair_load_f16(row + p * cols + c + 16 * h), acc[p][h]);
        }
      }
#pragma GCC unroll 4
      for (int p = 0; p < kLongShare; p++) {
        a[n + p][0] = acc[p][0];
        a[n + p][1] = acc[p][1];
      }
    }
  }
#pragma GCC unroll 8
  for (int n = 0; n < R; n++) out[n] = finish_row(a[n], w + n * cols, x, blocks_end, cols);
}

constexpr int kLongGroup = 8;

}  // namespace

extern "C" KV_ABI void dot_rows_f16(float* out, const uint16_t* matrix, const float* vector, uint64_t cols,
                                    uint64_t rows) {
  // out: f32[rows], caller's; matrix: fp16[rows][cols], caller's (usually the weights view);
  // vector: f32[cols], caller's.
  if (rows == 0 || cols == 0) return;
  // Rows of at least a chunk go kLongGroup at a time in column chunks, four side by side
  // (dot_long_group); the rest one at a time, each thread reading them front to back as a single
  // stream, with the next row's lines fetched by the current row's run-on fetches
  // (dot_row_group). On a machine reading 60-70 GB/s the groups streamed the 2048-column
  // products at 0.93-0.95 of the fresh reads, against 0.83-0.88 one row at a time. (On an older
  // machine, three rows side by side without the chunked fetches had measured slower than one.)
  const uint16_t* w = matrix;
  uint64_t r = 0;
  if (cols >= kLongChunk)
    for (; r + kLongGroup <= rows; r += kLongGroup, w += kLongGroup * cols) dot_long_group<kLongGroup>(out + r, w, vector, cols);
  for (; r < rows; r++, w += cols) dot_row_group<1>(out + r, w, vector, cols);
}

extern "C" KV_ABI void gemv_f16(float* out, const uint16_t* matrix, const float* vector, uint64_t cols,
                                uint64_t rows, JobHeader* area) {
  // out: f32[rows], caller's; matrix: fp16[rows][cols]; vector: f32[cols], shared read-only with
  // the workers; area: the job area (header, then worker_count slots) or null.
  uint32_t workers = area ? area->worker_count : 0;
  if (workers == 0 || rows < kMinParallelRows) {
    dot_rows_f16(out, matrix, vector, cols, rows);
    return;
  }
  JobSlot* slots = reinterpret_cast<JobSlot*>(area + 1);
  __atomic_store_n(&area->done_count, 0u, __ATOMIC_RELAXED);
  area->batch = 0;  // one vector: the workers run the plain row kernel
  uint32_t seq = area->job_seq + 1;  // wraps modulo 2^32; workers only test for a change
  area->job_seq = seq;
  // The calling thread takes rows [0, q), worker k rows [k*q, (k+1)*q), the last worker the rest.
  uint64_t q = rows / (workers + 1ull);
  for (uint32_t k = 1; k <= workers; k++) {
    JobSlot* s = &slots[k - 1];
    s->out = out + k * q;
    s->matrix = matrix + k * q * cols;
    s->vector = vector;
    s->cols = cols;
    s->rows = k == workers ? rows - workers * q : q;
    job_post(area, s, seq);
  }
  job_wake_parked(area, slots, workers);
  dot_rows_f16(out, matrix, vector, cols, q);
  job_wait_done(area, workers);
}
