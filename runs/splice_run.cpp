#include "runs/splice_run.h"

#include "engine/prefill.h"
#include "model/run_limits.h"
#include "probe/probe.h"
#include "reports/splice_report.h"
#include "reports/telemetry_report.h"
#include "runs/telemetry_run.h"

using modes::kSpliceLayer;

SpliceDecision decide_splice(TokenStepFn step, InferenceContext* ctx, const int32_t* prompt_ids,
                             int32_t prefill_length, float beta, const float* splice_buffer) {
  ctx->layer_limit = modes::kSplicePrepassLayers;
  prefill_pass(step, ctx, prompt_ids, prefill_length);
  return apply_splice_decision(ctx, read_probe(ctx->hidden, int(modes::kSplicePrepassLayers) - 1), beta, splice_buffer);
}

SpliceDecision apply_splice_decision(InferenceContext* ctx, const ProbeReading& r, float beta,
                                     const float* splice_buffer) {
  const SpliceDecision d = set_splice(ctx, r, beta, splice_buffer);
  print_splice_decision(d);
  return d;
}

SpliceDecision set_splice(InferenceContext* ctx, const ProbeReading& r, float beta, const float* splice_buffer) {
  const SpliceDecision d{r, beta, r.value[probe_roles().gate] > 0.0f};  // strict; a NaN reading closes the valve
  if (d.armed) {
    ctx->splice_vector = splice_buffer;
    ctx->splice_enabled = 1;
    ctx->splice_layer = kSpliceLayer;
  } else {
    ctx->splice_enabled = 0;
  }
  return d;
}

SpliceDecision run_shared_splice_run(TokenStepFn step, const PromptPass& pass, float beta,
                                     const float* splice_buffer, Telemetry* t, Answer* a,
                                     const DepthStates& states) {
  int32_t next;
  const SpliceDecision d = run_shared_splice_telemetry(pass, beta, splice_buffer, t, &next, states);
  print_splice_decision(d);
  print_telemetry_and_lens(*t, states.lens);
  print_generation_header();
  generate_answer(step, pass.ctx, pass.count, next, a);
  return d;
}

SpliceDecision run_shared_splice_telemetry(const PromptPass& pass, float beta, const float* splice_buffer,
                                           Telemetry* t, int32_t* next_id, const DepthStates& states) {
  InferenceContext* ctx = pass.ctx;
  DepthReading* depths = t->depths;
  // Layers 0 .. 14 are the same for the 16-layer decision pass and the telemetry: the splice
  // comes after layer 14.
  pass_embed(pass);
  for (int h = 0; h <= kSpliceLayer; h++) {
    pass_layer(pass, static_cast<uint64_t>(h));
    pass_read_last(pass);
    keep_depth(pass, h, depths, states);
  }
  // The decision pass's layer 15, without the splice.
  pass_save(pass);
  pass_layer(pass, kSpliceLayer + 1);
  pass_read_last(pass);
  keep_depth(pass, kSpliceLayer + 1, depths, states);
  const SpliceDecision d = set_splice(ctx, depths[kSpliceLayer + 1].reading, beta, splice_buffer);
  t->splice_armed = d.armed;
  int32_t next;
  if (d.armed) {
    // Armed: the state after layer 14 gets the vector at every position, and the layers from
    // 15 on run again on it (rewriting their cache rows).
    pass_restore(pass);
    pass_add_to_all(pass, ctx->splice_vector);
    pass_read_last(pass);
    keep_depth(pass, kSpliceLayer, depths, states);
    next = shared_depths_from(pass, kSpliceLayer + 1, depths, states);
  } else {
    // Closed: the decision pass's layer 15 is the telemetry's.
    next = shared_depths_from(pass, kSpliceLayer + 2, depths, states);
  }
  *next_id = next;
  return d;
}
