#include "runs/audit_run.h"

#include <vector>

#include "engine/prefill.h"
#include "probe/probe.h"
#include "reports/audit_report.h"
#include "runs/head_ablation.h"

using modes::kAuditHeads;

namespace {
// Starts the audit's record: no head is best until one rebounds.
void begin_audit(Audit* a, int layer, bool mean_ablation, const AuditRow& baseline) {
  a->layer = layer;
  a->mean_ablation = mean_ablation;
  a->baseline = baseline;
  a->best_head = -1;
  a->best_delta = -999.0f;
  print_audit_baseline_row(baseline);
}

// Records and prints head h's row and keeps the largest rebound.
void add_head_row(Audit* a, int h, const AuditRow& row) {
  a->heads[h] = row;
  print_audit_head_row(h, row, a->baseline.truth_next);
  const float delta = row.truth_next - a->baseline.truth_next;
  if (delta > a->best_delta) {  // strict: ties keep the lower head, NaN never wins
    a->best_delta = delta;
    a->best_head = h;
  }
}

// The literal row: three prefill passes from position 0, with the knockout as set.
AuditRow literal_row(TokenStepFn step, InferenceContext* ctx, const int32_t* ids, int32_t n, int layer) {
  AuditRow r;
  r.truth_at = measure_truth(step, ctx, ids, n, uint64_t(layer) + 1);
  r.truth_next = measure_truth(step, ctx, ids, n, uint64_t(audit_next_layer(layer)) + 1);
  ctx->layer_limit = geom::kLayers;
  r.first_token = prefill_pass(step, ctx, ids, n);
  return r;
}

// The shared row: the layers from `layer` on from the state before it (restored from the
// snapshot), with the knockout as set.
AuditRow shared_row(const PromptPass& pass, int layer) {
  AuditRow r{};
  const int next = audit_next_layer(layer);
  const int axis = probe_roles().audit;
  pass_restore(pass);
  for (int l = layer; l < int(geom::kLayers); l++) {
    pass_layer(pass, uint64_t(l));
    if (l + 1 == int(geom::kLayers)) {
      r.first_token = pass_classify_last(pass);
    } else if (l <= next) {
      pass_read_last(pass);
    }
    if (l == layer) r.truth_at = read_probe(pass.ctx->hidden, l).value[axis];
    if (l == next) r.truth_next = read_probe(pass.ctx->hidden, l).value[axis];
  }
  return r;
}
}  // namespace

float measure_truth(TokenStepFn step, InferenceContext* ctx, const int32_t* prompt_ids, int32_t prefill_length,
                    uint64_t layer_limit) {
  ctx->layer_limit = layer_limit;
  prefill_pass(step, ctx, prompt_ids, prefill_length);
  return read_probe(ctx->hidden, int(layer_limit) - 1).value[probe_roles().audit];
}

Audit run_head_audit(TokenStepFn step, InferenceContext* ctx, const int32_t* prompt_ids, int32_t prefill_length,
                     int layer) {
  Audit a;
  print_audit_header(layer);
  // The baseline's first token is measured like every other row's: a full pass, no knockout.
  set_knockout(ctx, layer, -1, nullptr);
  begin_audit(&a, layer, false, literal_row(step, ctx, prompt_ids, prefill_length, layer));
  for (int h = 0; h < kAuditHeads; h++) {
    set_knockout(ctx, layer, h, nullptr);
    add_head_row(&a, h, literal_row(step, ctx, prompt_ids, prefill_length, layer));
  }
  print_audit_summary(layer, a.best_head, a.best_delta);
  return a;
}

Audit run_shared_head_audit(const PromptPass& pass, int layer, bool mean_ablation) {
  Audit a;
  print_audit_header(layer);
  // Layers below the audited one never see the knockout: they run once, and every measurement
  // starts from the state they leave (and their caches).
  set_knockout(pass.ctx, layer, -1, nullptr);
  pass_embed(pass);
  for (int l = 0; l < layer; l++) pass_layer(pass, uint64_t(l));
  pass_save(pass);
  // The baseline's pass sums every layer's attention outputs over the prompt: the means.
  std::vector<float> sums(mean_ablation ? geom::kLayers * geom::kDim : 0);   // f32 [18][2048], this run's
  std::vector<float> means(sums.size());                                      // f32 [18][8][256], this run's
  pass.ctx->attention_sums = mean_ablation ? sums.data() : nullptr;
  const AuditRow baseline = shared_row(pass, layer);
  pass.ctx->attention_sums = nullptr;
  if (mean_ablation) mean_from_sums(sums.data(), pass.count, means.data());
  begin_audit(&a, layer, mean_ablation, baseline);
  for (int h = 0; h < kAuditHeads; h++) {
    set_knockout(pass.ctx, layer, h, mean_ablation ? means.data() : nullptr);
    add_head_row(&a, h, shared_row(pass, layer));
  }
  set_knockout(pass.ctx, layer, -1, nullptr);  // the means die with this call
  print_audit_summary(layer, a.best_head, a.best_delta);
  return a;
}
