// The FP16 matrix-vector product: the row kernel, and the dispatcher that splits the rows
// between the calling thread and the workers of the job area. Each row's result depends only
// on that row and x, so how the rows are split never changes an output bit.
#include "kernels/kernels.h"
#include "kernels/simd.h"

namespace {

// Products smaller than this run on the calling thread: dispatch would cost more than it saves.
constexpr uint64_t kMinParallelRows = 256;

// Needs: w fp16[cols] (one row), x f32[cols]. Returns the row's dot product: four chains over
// 32-column blocks, leftover groups of eight into the first, then the fixed fold.
inline float dot_row(const uint16_t* w, const float* x, uint64_t cols) {
  __m256 a0 = _mm256_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
  uint64_t c = 0;
  for (; c + 32 <= cols; c += 32) {
    simd::prefetch_stream(w + c + 256);  // 512 bytes ahead in the row
    a0 = _mm256_fmadd_ps(_mm256_loadu_ps(x + c), simd::load_f16(w + c), a0);
    a1 = _mm256_fmadd_ps(_mm256_loadu_ps(x + c + 8), simd::load_f16(w + c + 8), a1);
    a2 = _mm256_fmadd_ps(_mm256_loadu_ps(x + c + 16), simd::load_f16(w + c + 16), a2);
    a3 = _mm256_fmadd_ps(_mm256_loadu_ps(x + c + 24), simd::load_f16(w + c + 24), a3);
  }
  for (; c + 8 <= cols; c += 8) a0 = _mm256_fmadd_ps(_mm256_loadu_ps(x + c), simd::load_f16(w + c), a0);
  return simd::fold(_mm256_add_ps(_mm256_add_ps(a0, a1), _mm256_add_ps(a2, a3)));
}

// Needs: w fp16[2][cols] (two consecutive rows), x f32[cols]. Writes out[0], out[1]: exactly
// what dot_row gives for each row, with the x loads shared between the two.
inline void dot_row_pair(float* out, const uint16_t* w, const float* x, uint64_t cols) {
  const uint16_t* v = w + cols;
  __m256 a0 = _mm256_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
  __m256 b0 = a0, b1 = a0, b2 = a0, b3 = a0;
  uint64_t c = 0;
  for (; c + 32 <= cols; c += 32) {
    simd::prefetch_stream(w + c + 256);
    simd::prefetch_stream(v + c + 256);
    __m256 x0 = _mm256_loadu_ps(x + c), x1 = _mm256_loadu_ps(x + c + 8);
    a0 = _mm256_fmadd_ps(x0, simd::load_f16(w + c), a0);
    b0 = _mm256_fmadd_ps(x0, simd::load_f16(v + c), b0);
    a1 = _mm256_fmadd_ps(x1, simd::load_f16(w + c + 8), a1);
    b1 = _mm256_fmadd_ps(x1, simd::load_f16(v + c + 8), b1);
    __m256 x2 = _mm256_loadu_ps(x + c + 16), x3 = _mm256_loadu_ps(x + c + 24);
    a2 = _mm256_fmadd_ps(x2, simd::load_f16(w + c + 16), a2);
    b2 = _mm256_fmadd_ps(x2, simd::load_f16(v + c + 16), b2);
    a3 = _mm256_fmadd_ps(x3, simd::load_f16(w + c + 24), a3);
    b3 = _mm256_fmadd_ps(x3, simd::load_f16(v + c + 24), b3);
  }
  for (; c + 8 <= cols; c += 8) {
    __m256 xc = _mm256_loadu_ps(x + c);
    a0 = _mm256_fmadd_ps(xc, simd::load_f16(w + c), a0);
    b0 = _mm256_fmadd_ps(xc, simd::load_f16(v + c), b0);
  }
  out[0] = simd::fold(_mm256_add_ps(_mm256_add_ps(a0, a1), _mm256_add_ps(a2, a3)));
  out[1] = simd::fold(_mm256_add_ps(_mm256_add_ps(b0, b1), _mm256_add_ps(b2, b3)));
}

}  // namespace

extern "C" KV_ABI void dot_rows_f16(float* out, const uint16_t* matrix, const float* vector, uint64_t cols,
                                    uint64_t rows) {
  // out: f32[rows], caller's; matrix: fp16[rows][cols], caller's (usually the weights view);
  // vector: f32[cols], caller's.
  if (rows == 0 || cols == 0) return;
  const uint16_t* w = matrix;
  uint64_t r = 0;
  for (; r + 2 <= rows; r += 2, w += 2 * cols) {
    simd::prefetch_stream(w + 2 * cols);  // first line of the next pair
    simd::prefetch_stream(w + 3 * cols);
    dot_row_pair(out + r, w, vector, cols);
  }
  if (r < rows) out[r] = dot_row(w, vector, cols);
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
    // The pool sets this before the worker starts and the worker reads it while idle, so it is
    // written here only for an area whose owner left it empty.
    if (s->done_counter != &area->done_count) s->done_counter = &area->done_count;
    __atomic_store_n(&s->post_seq, seq, __ATOMIC_RELEASE);  // publishes the fields above
  }
  // Pairs with the worker's parked store and post_seq re-check: one of the two sides sees the other.
  __atomic_thread_fence(__ATOMIC_SEQ_CST);
  for (uint32_t k = 0; k < workers; k++) {
    if (__atomic_load_n(&slots[k].parked, __ATOMIC_RELAXED) != 0) area->wake(&slots[k].post_seq);
  }
  dot_rows_f16(out, matrix, vector, cols, q);
  while (__atomic_load_n(&area->done_count, __ATOMIC_ACQUIRE) < workers) _mm_pause();
}
