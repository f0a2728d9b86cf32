// Where one decoder layer's tensors sit in the mapped weights file: the one way the kernels
// unpack a layer's weight pointers, for the single-token step and the block layer alike.
//
// Image code: header only, inlined, calls nothing.
#pragma once

#include <stdint.h>

#include "model/weights_layout.h"

// The tensors of one layer, inside the weights view.
struct LayerWeights {
  const float* attn_norm;   // f32 [2048]
  const float* ffn_norm;    // f32 [2048]
  const uint16_t* wq;       // fp16 [2048][2048]
  const uint16_t* wk;       // fp16 [256][2048]
  const uint16_t* wv;       // fp16 [256][2048]
  const uint16_t* wo;       // fp16 [2048][2048]
  const uint16_t* w_gate;   // fp16 [16384][2048]
  const uint16_t* w_up;     // fp16 [16384][2048]
  const uint16_t* w_down;   // fp16 [2048][16384]
};

// Needs: base the first byte of the mapped weights file; l < 18. Returns layer l's tensors.
static inline LayerWeights layer_weights(const uint8_t* base, uint64_t l) {
  const uint8_t* block = base + l * layer_off::block_size;
  auto f32 = [block](uint64_t off) { return reinterpret_cast<const float*>(block + off); };
  auto f16 = [block](uint64_t off) { return reinterpret_cast<const uint16_t*>(block + off); };
  return LayerWeights{f32(layer_off::attn_norm), f32(layer_off::ffn_norm), f16(layer_off::wq),
                      f16(layer_off::wk),        f16(layer_off::wv),       f16(layer_off::wo),
                      f16(layer_off::w_gate),    f16(layer_off::w_up),     f16(layer_off::w_down)};
}
