// Where one decoder layer's tensors sit in the mapped weights file: the one way the kernels
// unpack a layer's weight pointers, for the single-token step and the block layer alike.
//
// Image code: header only, inlined, calls nothing.
#pragma once

#include <stdint.h>

#include "engine/weights_layout.h"
#include "kernels/model_geometry.h"

// The file's layout is written against engine/weights_layout.h's copy of the geometry; the
// kernels compute with model_geometry's. Until the two share one home they must agree.
static_assert(model_geometry::kLayers == geom::kLayers && model_geometry::kDim == geom::kDim &&
              model_geometry::kHeads == geom::kHeads && model_geometry::kHeadDim == geom::kHeadDim &&
              model_geometry::kKvDim == geom::kKvDim && model_geometry::kRotaryPairs == geom::kRotaryPairs &&
              model_geometry::kFfnDim == geom::kFfnDim && model_geometry::kVocab == geom::kVocab &&
              model_geometry::kMaxPositions == geom::kMaxPositions);
static_assert(__builtin_bit_cast(uint32_t, model_geometry::kNormEps) == __builtin_bit_cast(uint32_t, geom::kNormEps) &&
              __builtin_bit_cast(uint32_t, model_geometry::kEmbedScale) ==
                  __builtin_bit_cast(uint32_t, geom::kEmbedScale) &&
              __builtin_bit_cast(uint32_t, model_geometry::kScoreScale) ==
                  __builtin_bit_cast(uint32_t, geom::kScoreScale));

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
