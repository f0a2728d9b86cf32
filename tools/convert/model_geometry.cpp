#include "tools/convert/model_geometry.h"

namespace {
const char* const kKindNames[] = {"attn_norm", "ffn_norm", "wq",     "wk",         "wv",
                                  "wo",        "w_gate",   "w_up",   "w_down",     "final_norm",
                                  "embedding_table"};
}

std::vector<PlannedTensor> output_plan(const ModelGeometry& g) {
  std::vector<PlannedTensor> plan;
  plan.reserve(g.layers * 9 + 2);
  for (uint64_t l = 0; l < g.layers; l++) {
    for (uint8_t i = 0; i <= static_cast<uint8_t>(TensorKind::w_down); i++) {
      TensorKind k = static_cast<TensorKind>(i);
      plan.push_back({k, static_cast<uint32_t>(l), tensor_rows(g, k), tensor_cols(g, k),
                      l * layer_block_bytes(g) + offset_in_block(g, k)});
    }
  }
  plan.push_back({TensorKind::final_norm, 0, 1, g.dim, final_norm_offset(g)});
  plan.push_back({TensorKind::embedding_table, 0, g.vocab, g.dim, embedding_offset(g)});
  return plan;
}

std::string planned_tensor_label(const PlannedTensor& t) {
  std::string name = kKindNames[static_cast<uint8_t>(t.kind)];
  if (t.kind == TensorKind::final_norm || t.kind == TensorKind::embedding_table) return name;
  return "layer " + std::to_string(t.layer) + " " + name;
}
