// The shape of the model the converter writes, as a value, so the same writer serves the real
// model and the tiny models of the tests. Offsets follow the flat file's rules: per layer a block
// of two f32 norm vectors and seven fp16 matrices in fixed order, then the final norm, then the
// embedding table, with no gaps and no header.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "model/weights_layout.h"

struct ModelGeometry {
  uint64_t layers;
  uint64_t dim;       // model width
  uint64_t heads;     // query heads
  uint64_t head_dim;  // width of one head; dimension d pairs with d + head_dim / 2
  uint64_t kv_heads;  // key/value heads
  uint64_t ffn_dim;   // feed-forward width
  uint64_t vocab;
};

// The one model the program runs.
inline constexpr ModelGeometry kModelGeometry{geom::kLayers, geom::kDim,    geom::kHeads, geom::kHeadDim,
                                              geom::kKvDim / geom::kHeadDim, geom::kFfnDim, geom::kVocab};

// Tensors in the order they appear in the file (per layer, then the two global ones).
enum class TensorKind : uint8_t { attn_norm, ffn_norm, wq, wk, wv, wo, w_gate, w_up, w_down, final_norm, embedding_table };

inline constexpr bool is_norm(TensorKind k) {
  return k == TensorKind::attn_norm || k == TensorKind::ffn_norm || k == TensorKind::final_norm;
}

// Needs: nothing. Returns the row count and column count of a tensor (norms: 1 row).
inline constexpr uint64_t tensor_rows(const ModelGeometry& g, TensorKind k) {
  switch (k) {
    case TensorKind::wq: return g.heads * g.head_dim;
    case TensorKind::wk:
    case TensorKind::wv: return g.kv_heads * g.head_dim;
    case TensorKind::wo:
    case TensorKind::w_down: return g.dim;
    case TensorKind::w_gate:
    case TensorKind::w_up: return g.ffn_dim;
    case TensorKind::embedding_table: return g.vocab;
    default: return 1;
  }
}
inline constexpr uint64_t tensor_cols(const ModelGeometry& g, TensorKind k) {
  switch (k) {
    case TensorKind::wo: return g.heads * g.head_dim;
    case TensorKind::w_down: return g.ffn_dim;
    default: return g.dim;
  }
}
// Bytes of one tensor in the output: norms are f32, matrices fp16.
inline constexpr uint64_t tensor_bytes(const ModelGeometry& g, TensorKind k) {
  return tensor_rows(g, k) * tensor_cols(g, k) * (is_norm(k) ? 4 : 2);
}

// Needs: k is one of the nine per-layer kinds. Returns its offset inside a layer block.
inline constexpr uint64_t offset_in_block(const ModelGeometry& g, TensorKind k) {
  uint64_t at = 0;
  for (uint8_t i = 0; i < static_cast<uint8_t>(k); i++) at += tensor_bytes(g, static_cast<TensorKind>(i));
  return at;
}
inline constexpr uint64_t layer_block_bytes(const ModelGeometry& g) {
  return offset_in_block(g, TensorKind::w_down) + tensor_bytes(g, TensorKind::w_down);
}
inline constexpr uint64_t final_norm_offset(const ModelGeometry& g) { return g.layers * layer_block_bytes(g); }
inline constexpr uint64_t embedding_offset(const ModelGeometry& g) {
  return final_norm_offset(g) + tensor_bytes(g, TensorKind::final_norm);
}
inline constexpr uint64_t output_bytes(const ModelGeometry& g) {
  return embedding_offset(g) + tensor_bytes(g, TensorKind::embedding_table);
}

// The real geometry lands exactly on the engine's offsets.
static_assert(offset_in_block(kModelGeometry, TensorKind::ffn_norm) == layer_off::ffn_norm);
static_assert(offset_in_block(kModelGeometry, TensorKind::wq) == layer_off::wq);
static_assert(offset_in_block(kModelGeometry, TensorKind::wk) == layer_off::wk);
static_assert(offset_in_block(kModelGeometry, TensorKind::wv) == layer_off::wv);
static_assert(offset_in_block(kModelGeometry, TensorKind::wo) == layer_off::wo);
static_assert(offset_in_block(kModelGeometry, TensorKind::w_gate) == layer_off::w_gate);
static_assert(offset_in_block(kModelGeometry, TensorKind::w_up) == layer_off::w_up);
static_assert(offset_in_block(kModelGeometry, TensorKind::w_down) == layer_off::w_down);
static_assert(layer_block_bytes(kModelGeometry) == layer_off::block_size);
static_assert(final_norm_offset(kModelGeometry) == file_off::final_norm);
static_assert(embedding_offset(kModelGeometry) == file_off::embedding_table);
static_assert(output_bytes(kModelGeometry) == file_off::end);

// One tensor of the output file.
struct PlannedTensor {
  TensorKind kind;
  uint32_t layer;   // 0 for final_norm and embedding_table
  uint64_t rows;    // 1 for norm vectors
  uint64_t cols;
  uint64_t offset;  // bytes from the first byte of the output
};

// Needs: nothing. Returns every tensor of the output in file order (9 per layer, then 2).
std::vector<PlannedTensor> output_plan(const ModelGeometry& g);

// Needs: nothing. Returns the name used in messages, e.g. "layer 3 wq" or "embedding_table".
std::string planned_tensor_label(const PlannedTensor& t);
