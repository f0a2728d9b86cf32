// The per-layer record the token step hands to the decoder layer: 23 fields of 64 bits.
#pragma once

#include <cstddef>
#include <cstdint>

struct LayerParams {
  float* hidden;              // f32[2048], residual stream, updated in place
  const float* attn_norm;     // f32[2048]
  const uint16_t* wq;         // fp16 [2048][2048]
  const uint16_t* wk;         // fp16 [256][2048]
  const uint16_t* wv;         // fp16 [256][2048]
  const uint16_t* wo;         // fp16 [2048][2048]
  const float* ffn_norm;      // f32[2048]
  const uint16_t* w_gate;     // fp16 [16384][2048]
  const uint16_t* w_up;       // fp16 [16384][2048]
  const uint16_t* w_down;     // fp16 [2048][16384]
  float* layer_keys;          // this layer's key cache, row 0 (rows of 256 f32)
  float* layer_values;        // this layer's value cache, row 0
  const float* rope_cos;      // f32[128]
  const float* rope_sin;      // f32[128]
  float* scratch;             // the 1 MiB work area
  uint64_t position;
  uint64_t dim;               // 2048
  uint64_t ffn_dim;           // 16384
  uint64_t heads;             // 8
  uint64_t head_dim;          // 256
  void* job_slots;            // job area for the products
  int64_t knockout_head;      // head whose attention output is replaced, or -1
  const float* knockout_values;  // f32[256] that replaces it, or null for zeros
};

static_assert(sizeof(LayerParams) == 23 * 8);
static_assert(offsetof(LayerParams, w_down) == 72 && offsetof(LayerParams, scratch) == 112);
static_assert(offsetof(LayerParams, position) == 120 && offsetof(LayerParams, job_slots) == 160);
static_assert(offsetof(LayerParams, knockout_head) == 168 && offsetof(LayerParams, knockout_values) == 176);
