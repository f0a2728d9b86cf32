// The FP16 matrix product over a block of token vectors, and its dispatch over the pool: the
// same arithmetic per output element as dot_rows_f16, but each weight group is widened once
// and applied to several vectors, so a weight row is streamed from memory once per block. The
// tiles are one file per instruction set (gemm_avx2.cpp, gemm_wide.cpp; see gemm_tiles.h);
// this file is the same in both images.
//
// Image code: freestanding, no library calls.
#include "kernels/gemm_tiles.h"
#include "kernels/job_protocol.h"
#include "kernels/kernels.h"

using namespace gemm_tiles;

namespace {

constexpr uint64_t kMinParallelRows = 256;  // as gemv_f16: smaller products stay on the caller

// Multiply-adds in one claimed unit of a batched product: about half a millisecond of one
// core's work, long enough that claiming costs nothing, short enough that the threads finish
// within a unit of each other.
constexpr uint64_t kUnitMacs = uint64_t(1) << 25;

// Needs: gate, up f32 [count][stride], rows r0 .. r0+n of each (n a multiple of eight). Writes
// gate[t][r] = gelu(gate[t][r]) * up[t][r] for those rows.
inline void geglu_rows(float* gate, const float* up, uint64_t stride, uint64_t count, uint64_t r0, uint64_t n) {
  for (uint64_t t = 0; t < count; t++) geglu(gate + t * stride + r0, gate + t * stride + r0, up + t * stride + r0, n);
}

// One call of gemm_f16 or gemm_geglu_f16, as the dispatcher takes it.
struct GemmCall {
  float* out;              // f32 [count][rows]
  const uint16_t* matrix;  // fp16 [rows][cols]
  const float* vectors;    // f32 [count][cols]
  uint64_t cols;
  uint64_t rows;
  uint64_t count;
  float* gate;             // f32 [count][rows] replaced by gelu(gate) * out, or null
  float* pack;             // room for the packed copy of the vectors, or null
};

// Needs: a GemmCall with count > 1; area the job area or null. The product (on the packed
// copy of the vectors where pack is given), split in claimed units over the pool, then the
// GeGLU where gate is given.
void gemm_dispatch(const GemmCall& call, JobHeader* area);

}  // namespace

extern "C" KV_ABI void dot_rows_f16_batch(float* out, const uint16_t* matrix, const float* vectors, uint64_t cols,
                                          uint64_t rows, uint64_t count, uint64_t out_stride) {
  // out: f32, token t's rows at out + t*out_stride, caller's; matrix: fp16[rows][cols] (usually
  // the weights view); vectors: f32[count][cols], caller's.
  gemm_batch_rows(TileJob{out, out_stride, matrix, vectors, false, cols, rows, count, nullptr, 0, false});
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
    gemm_batch_rows(TileJob{job->out + r0, area->batch_out_stride, job->matrix + r0 * job->cols, job->vector,
                            area->vectors_packed != 0, job->cols, n, area->batch,
                            job->matrix + (nxt < units ? nxt * unit : 0) * job->cols, next_rows,
                            area->wide_passes != 0});
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
  gemm_dispatch(GemmCall{out, matrix, vectors, cols, rows, count, nullptr, pack}, area);
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
  gemm_dispatch(GemmCall{up, matrix, vectors, cols, rows, count, gate, pack}, area);
}

namespace {

void gemm_dispatch(const GemmCall& call, JobHeader* area) {
  float* const out = call.out;
  const uint16_t* const matrix = call.matrix;
  const float* vectors = call.vectors;
  const uint64_t cols = call.cols, rows = call.rows, count = call.count;
  float* const gate = call.gate;
  if (rows == 0 || cols == 0) return;
  const bool packed = call.pack != nullptr;
  if (packed) {
    pack_vectors(call.pack, vectors, cols, count);
    vectors = call.pack;
  }
  uint32_t workers = area ? area->worker_count : 0;
  if (workers == 0 || rows < kMinParallelRows) {
    gemm_batch_rows(
        TileJob{out, rows, matrix, vectors, packed, cols, rows, count, nullptr, 0, area && area->wide_passes != 0});
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
