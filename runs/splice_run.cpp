#include "runs/splice_run.h"

#include <cstring>
#include <vector>

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

void run_packed_splice_telemetry(const PromptPass* passes, uint64_t count, float beta, const float* splice_buffer,
                                 Telemetry* const* t, const DepthStates* states, int32_t* next, SpliceDecision* d) {
  for (uint64_t i = 0; i < count; i++) pass_embed(passes[i]);
  for (int h = 0; h <= kSpliceLayer; h++) {
    packed_layer(passes, count, static_cast<uint64_t>(h));
    keep_packed_depths(passes, count, h, t, states);
  }
  for (uint64_t i = 0; i < count; i++) pass_save(passes[i]);
  packed_layer(passes, count, kSpliceLayer + 1);
  keep_packed_depths(passes, count, kSpliceLayer + 1, t, states);
  // The armed passes get the vector on the state after layer 14 and run layer 15 again,
  // packed among themselves in a buffer of their own (their rows one after another, in file
  // order); the closed ones keep the decision pass's layer 15.
  std::vector<PromptPass> armed;
  std::vector<uint64_t> armed_index;
  std::vector<Telemetry*> armed_t;
  std::vector<DepthStates> armed_states;
  uint64_t armed_rows = 0;
  for (uint64_t i = 0; i < count; i++) {
    d[i] = set_splice(passes[i].ctx, t[i]->depths[kSpliceLayer + 1].reading, beta, splice_buffer);
    t[i]->splice_armed = d[i].armed;
    if (!d[i].armed) continue;
    pass_restore(passes[i]);
    pass_add_to_all(passes[i], passes[i].ctx->splice_vector);
    armed.push_back(passes[i]);
    armed_index.push_back(i);
    armed_t.push_back(t[i]);
    armed_states.push_back(states[i]);
    armed_rows += uint64_t(passes[i].count);
  }
  if (!armed.empty()) {
    keep_packed_depths(armed.data(), armed.size(), kSpliceLayer, armed_t.data(), armed_states.data());
    std::vector<float> rows(armed_rows * geom::kDim);  // f32 [armed_rows][2048]: the armed passes' rows
    const size_t row_bytes = geom::kDim * sizeof(float);
    uint64_t at = 0;
    for (PromptPass& a : armed) {
      memcpy(rows.data() + at * geom::kDim, a.rows, uint64_t(a.count) * row_bytes);
      a.rows = rows.data() + at * geom::kDim;
      at += uint64_t(a.count);
    }
    packed_layer(armed.data(), armed.size(), kSpliceLayer + 1);
    keep_packed_depths(armed.data(), armed.size(), kSpliceLayer + 1, armed_t.data(), armed_states.data());
    for (uint64_t k = 0; k < armed.size(); k++)
      memcpy(passes[armed_index[k]].rows, armed[k].rows, uint64_t(armed[k].count) * row_bytes);
  }
  for (int h = kSpliceLayer + 2; h < modes::kTelemetryRows; h++) {
    packed_layer(passes, count, static_cast<uint64_t>(h));
    if (h + 1 == modes::kTelemetryRows) packed_classify_last(passes, count, next);  // no history yet
    keep_packed_depths(passes, count, h, t, states);
  }
}
