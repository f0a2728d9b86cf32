// The job area through which the dispatching thread hands row blocks of a matrix-vector
// product to the worker threads: a header record, then one slot per worker, each on a
// cache line of its own.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/abi.h"

// Blocks while *addr == expected; wakes one waiter on addr. Supplied by the host program,
// so the images themselves call nothing outside themselves.
typedef void(KV_ABI* AddressWaitFn)(uint32_t* addr, uint32_t expected);
typedef void(KV_ABI* AddressWakeFn)(uint32_t* addr);

struct alignas(64) JobHeader {
  uint32_t done_count;     // workers finished with the current product; atomically incremented
  uint32_t job_seq;        // sequence number of the last product posted (wraps modulo 2^32)
  uint32_t worker_count;   // slots that follow the header, each with a running worker
  uint32_t spin_cycles;    // time-stamp cycles a worker spins before parking; 0 = never park
  AddressWaitFn wait;      // parks a worker on its slot's post_seq; null = never park
  AddressWakeFn wake;      // wakes a parked worker
  // The current product's token vectors: 0 or 1 for a matrix-vector product; for a batched
  // product (gemm_f16) the number of vectors, each slot's `vector` being the first of them
  // (consecutive, `cols` apart) and its `out` the first token's rows, the next token's rows
  // `batch_out_stride` elements further. Written by the dispatcher before it posts.
  uint32_t batch;
  // A batched product is not split in fixed shares: every slot holds the whole product and
  // each thread, the dispatcher included, claims units of `unit_rows` rows by incrementing
  // next_unit until none is left, so a thread slowed by other work on its core holds the
  // others back by at most one unit.
  uint32_t next_unit;
  uint64_t batch_out_stride;
  uint32_t unit_rows;
  // Non-zero: the batch's vectors are in the tiles' packed column order (see gemm_tiles.h).
  uint16_t vectors_packed;
  // Non-zero: the wide tiles take products of up to eight vectors in passes of several column
  // chunks (faster on some processors, slower on others; the same results). Set once by the
  // pool from the processor, like spin_cycles.
  uint16_t wide_passes;
  // Null, or (batched products only) the gate rows of a GeGLU: once a unit's rows are done,
  // geglu_gate[t][r] = gelu(geglu_gate[t][r]) * out[t][r] for them (rows in units of eight).
  float* geglu_gate;
};

struct alignas(64) JobSlot {
  uint32_t post_seq;       // job posted to this worker; differs from seen_seq while pending
  uint32_t seen_seq;       // last job this worker took; written by the worker only
  uint32_t stop;           // non-zero ends the worker once no job is pending
  uint32_t parked;         // non-zero while the worker is (about to be) asleep in `wait`
  float* out;              // first output element of this worker's rows
  const uint16_t* matrix;  // first fp16 weight row of this worker's rows
  const float* vector;     // the shared input vector
  uint64_t cols;
  uint64_t rows;
  uint32_t* done_counter;  // &JobHeader::done_count
};

static_assert(sizeof(JobHeader) == 64 && sizeof(JobSlot) == 64);
static_assert(offsetof(JobHeader, done_count) == 0 && offsetof(JobHeader, job_seq) == 4);
static_assert(offsetof(JobHeader, batch) == 32 && offsetof(JobHeader, next_unit) == 36);
static_assert(offsetof(JobHeader, batch_out_stride) == 40 && offsetof(JobHeader, unit_rows) == 48);
static_assert(offsetof(JobHeader, vectors_packed) == 52 && offsetof(JobHeader, wide_passes) == 54);
static_assert(offsetof(JobHeader, geglu_gate) == 56);
static_assert(offsetof(JobSlot, post_seq) == 0 && offsetof(JobSlot, seen_seq) == 4);
static_assert(offsetof(JobSlot, stop) == 8 && offsetof(JobSlot, out) == 16);
static_assert(offsetof(JobSlot, matrix) == 24 && offsetof(JobSlot, vector) == 32);
static_assert(offsetof(JobSlot, cols) == 40 && offsetof(JobSlot, rows) == 48);
static_assert(offsetof(JobSlot, done_counter) == 56);

// Bytes of a job area serving `workers` worker threads.
constexpr uint64_t job_area_bytes(uint32_t workers) { return 64ull * (1 + workers); }
