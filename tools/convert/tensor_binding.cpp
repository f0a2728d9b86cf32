#include "tools/convert/tensor_binding.h"

#include <unordered_map>

namespace {
std::string shape_text(const std::vector<uint64_t>& shape) {
  std::string s = "[";
  for (size_t i = 0; i < shape.size(); i++) {
    if (i) s += ", ";
    s += std::to_string(shape[i]);
  }
  return s + "]";
}
}  // namespace

std::string source_tensor_name(SourceFormat f, const PlannedTensor& t) {
  static const char* const kHf[] = {
      "input_layernorm.weight", "post_attention_layernorm.weight", "self_attn.q_proj.weight",
      "self_attn.k_proj.weight", "self_attn.v_proj.weight", "self_attn.o_proj.weight",
      "mlp.gate_proj.weight", "mlp.up_proj.weight", "mlp.down_proj.weight"};
  static const char* const kGguf[] = {"attn_norm.weight", "ffn_norm.weight", "attn_q.weight",
                                      "attn_k.weight",    "attn_v.weight",   "attn_output.weight",
                                      "ffn_gate.weight",  "ffn_up.weight",   "ffn_down.weight"};
  bool gguf = f == SourceFormat::gguf;
  if (t.kind == TensorKind::final_norm) return gguf ? "output_norm.weight" : "model.norm.weight";
  if (t.kind == TensorKind::embedding_table) return gguf ? "token_embd.weight" : "model.embed_tokens.weight";
  size_t k = static_cast<size_t>(t.kind);
  std::string layer = std::to_string(t.layer);
  return gguf ? "blk." + layer + "." + kGguf[k] : "model.layers." + layer + "." + kHf[k];
}

bool bind_tensors(const SourceModel& model, const std::vector<PlannedTensor>& plan,
                  std::vector<uint32_t>* source_of, std::string* err) {
  std::unordered_map<std::string, uint32_t> wanted;
  for (uint32_t i = 0; i < plan.size(); i++) wanted[source_tensor_name(model.format, plan[i])] = i;
  const uint32_t kUnbound = UINT32_MAX;
  source_of->assign(plan.size(), kUnbound);
  for (uint32_t s = 0; s < model.tensors.size(); s++) {
    const SourceTensor& t = model.tensors[s];
    const std::string& file = model.files[t.file];
    auto it = wanted.find(t.name);
    if (it == wanted.end()) {
      *err = file + ": tensor " + t.name + " does not belong to this model (another size or architecture?)";
      return false;
    }
    uint32_t p = it->second;
    if ((*source_of)[p] != kUnbound) {
      *err = file + ": tensor " + t.name + " is present more than once";
      return false;
    }
    std::vector<uint64_t> want = {plan[p].rows, plan[p].cols};
    if (is_norm(plan[p].kind)) want = {plan[p].cols};
    if (t.shape != want) {
      *err = file + ": tensor " + t.name + " has shape " + shape_text(t.shape) + ", this model needs " +
             shape_text(want);
      return false;
    }
    (*source_of)[p] = s;
  }
  for (uint32_t p = 0; p < plan.size(); p++) {
    if ((*source_of)[p] == kUnbound) {
      *err = (model.files.size() == 1 ? model.files[0] : std::string("checkpoint")) + ": tensor " +
             source_tensor_name(model.format, plan[p]) + " is missing";
      return false;
    }
  }
  return true;
}
