#include "runs/steering_gate.h"

#include <vector>

#include "engine/prefill.h"
#include "probe/probe.h"
#include "reports/splice_report.h"

namespace {
// Reads the gate axis on the state ctx->hidden holds (after `layers` layers) and sets the mask
// from `steered`.
SteeringGate set_gate(InferenceContext* ctx, int layers, uint64_t steered) {
  const ProbeReading r = read_probe(ctx->hidden, layers - 1);
  const SteeringGate g{r, layers, r.value[probe_roles().gate] > 0.0f};  // strict; a NaN reading stays closed
  ctx->control_mask = g.open ? steered : 0;
  return g;
}

// The same, printing the gate lines.
SteeringGate apply_gate(InferenceContext* ctx, int layers, uint64_t steered) {
  const SteeringGate g = set_gate(ctx, layers, steered);
  print_steering_gate(g);
  return g;
}
}  // namespace

SteeringGate decide_steering_gate(TokenStepFn step, InferenceContext* ctx, const int32_t* prompt_ids,
                                  int32_t prefill_length, int layers) {
  const uint64_t steered = ctx->control_mask;
  ctx->control_mask = 0;
  ctx->layer_limit = static_cast<uint64_t>(layers);
  prefill_pass(step, ctx, prompt_ids, prefill_length);
  return apply_gate(ctx, layers, steered);
}

SteeringGate decide_shared_steering_gate(const PromptPass& pass, int layers) {
  const SteeringGate g = set_shared_steering_gate(pass, layers);
  print_steering_gate(g);
  return g;
}

void set_packed_steering_gates(const PromptPass* passes, uint64_t count, int layers, SteeringGate* gates) {
  std::vector<uint64_t> steered(count);
  for (uint64_t i = 0; i < count; i++) {
    steered[i] = passes[i].ctx->control_mask;
    passes[i].ctx->control_mask = 0;
    pass_embed(passes[i]);
  }
  for (int l = 0; l < layers; l++) packed_layer(passes, count, static_cast<uint64_t>(l));
  for (uint64_t i = 0; i < count; i++) {
    pass_read_last(passes[i]);
    gates[i] = set_gate(passes[i].ctx, layers, steered[i]);
  }
}

SteeringGate set_shared_steering_gate(const PromptPass& pass, int layers) {
  const uint64_t steered = pass.ctx->control_mask;
  pass.ctx->control_mask = 0;
  pass_embed(pass);
  for (int l = 0; l < layers; l++) pass_layer(pass, static_cast<uint64_t>(l));
  pass_read_last(pass);
  return set_gate(pass.ctx, layers, steered);
}
