// Every routine of the machine-code images, callable directly from the test and benchmark
// programs (which link the same object code that the images are made of).
#pragma once

#include <cstdint>

#include "model/inference_context.h"
#include "model/job_area.h"
#include "model/layer_block.h"
#include "kernels/layer_params.h"
#include "platform/abi.h"

extern "C" {
// Runs one token at one position through the model (see InferenceContext); returns the
// next token id. Entry 0 of the kernel image.
KV_ABI uint64_t token_step(InferenceContext* ctx);

// Serves one job slot until it sees `stop`; returns 0. Entry 1 of the kernel image and the
// start routine of the worker image.
KV_ABI uint32_t job_loop(JobSlot* slot);

// The worker image's first byte: job_loop on the slot given as the thread parameter.
KV_ABI uint32_t worker_entry(void* slot);

// The batched layer over a block of prompt positions (see LayerBlock); returns the argmax
// when the record asks for the classifier, else 0. Entry 3 of the kernel image.
KV_ABI uint64_t layer_block(const LayerBlock* block);

// One pre-normalised decoder layer for one token; updates hidden and the layer's caches.
KV_ABI void decoder_layer(const LayerParams* p);

// out[r] = W row r . x for r in [0, rows), W fp16 [rows][cols]; area may be null.
KV_ABI void gemv_f16(float* out, const uint16_t* matrix, const float* vector, uint64_t cols,
                     uint64_t rows, JobHeader* area);
// The same on the calling thread alone.
KV_ABI void dot_rows_f16(float* out, const uint16_t* matrix, const float* vector, uint64_t cols,
                         uint64_t rows);

// The same product for `count` vectors at once: vectors f32 [count][cols], out f32
// [count][rows] (token t's rows at out + t*rows). Every output element is bit-identical to
// gemv_f16's for that vector; each weight row is read once for the whole batch. pack: null, or
// room for f32 [count][cols] where the vectors are first copied in the order the tiles read.
KV_ABI void gemm_f16(float* out, const uint16_t* matrix, const float* vectors, uint64_t cols, uint64_t rows,
                     uint64_t count, float* pack, JobHeader* area);
// The same as gemm_f16 into `up`, then gate = gelu(gate) * up element by element (the
// activation of geglu), each thread on the rows it computed; rows a multiple of 8.
KV_ABI void gemm_geglu_f16(float* up, const uint16_t* matrix, const float* vectors, uint64_t cols, uint64_t rows,
                           uint64_t count, float* gate, float* pack, JobHeader* area);
// Claims units of the batched product that `job` describes whole (its header: area) and
// computes them, until every unit is taken; each participant of a gemm_f16 runs it.
KV_ABI void gemm_claim_units(const JobSlot* job, JobHeader* area);
// The batched product's rows [0, rows) on the calling thread: out[t*out_stride + r] for each
// of the `count` vectors (vectors[t*cols ...]).
KV_ABI void dot_rows_f16_batch(float* out, const uint16_t* matrix, const float* vectors, uint64_t cols,
                               uint64_t rows, uint64_t count, uint64_t out_stride);

// out = in * rsqrt(mean(in^2) + eps) * (1 + weight); n a multiple of 8; out may equal in.
KV_ABI void rms_norm(float* out, const float* weight, const float* in, uint64_t n, float eps);
// out = softmax(in); n a multiple of 8; out may equal in.
KV_ABI void softmax(float* out, const float* in, uint64_t n);
// out = gelu_tanh(gate) * up; n a multiple of 8; out may equal gate or up.
KV_ABI void geglu(float* out, const float* gate, const float* up, uint64_t n);
// Lowest index of the largest value (NaN never wins); 0 for n = 0.
KV_ABI uint64_t argmax(const float* values, uint64_t n);
}
