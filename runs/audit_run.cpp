#include "runs/audit_run.h"

#include "engine/prefill.h"
#include "model/run_limits.h"
#include "probe/probe.h"
#include "reports/audit_report.h"

using modes::kAuditHeads;
using modes::kAuditLayer;

namespace {
void set_knockout(InferenceContext* ctx, bool on, int32_t head) {
  ctx->knockout_enabled = on ? 1 : 0;
  if (on) {
    ctx->knockout_layer = kAuditLayer;
    ctx->knockout_head = head;
  }
  ctx->splice_enabled = 0;
  ctx->forced_token = 0;
}

// Starts the audit's record: no head is best until one rebounds.
void begin_audit(Audit* a, const AuditRow& baseline) {
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
AuditRow literal_row(TokenStepFn step, InferenceContext* ctx, const int32_t* ids, int32_t n) {
  AuditRow r;
  r.truth_at = measure_truth(step, ctx, ids, n, kAuditLayer + 1);
  r.truth_next = measure_truth(step, ctx, ids, n, kAuditLayer + 2);
  ctx->layer_limit = geom::kLayers;
  r.first_token = prefill_pass(step, ctx, ids, n);
  return r;
}

// The shared row: layers 14 .. 17 from the state after layer 13 (restored from the snapshot),
// with the knockout as set.
AuditRow shared_row(const PromptPass& pass) {
  AuditRow r;
  pass_restore(pass);
  pass_layer(pass, kAuditLayer);
  pass_read_last(pass);
  r.truth_at = read_probe(pass.ctx->hidden, kAuditLayer).value[probe_roles().audit];
  pass_layer(pass, kAuditLayer + 1);
  pass_read_last(pass);
  r.truth_next = read_probe(pass.ctx->hidden, kAuditLayer + 1).value[probe_roles().audit];
  for (uint64_t l = kAuditLayer + 2; l < geom::kLayers; l++) pass_layer(pass, l);
  r.first_token = pass_classify_last(pass);
  return r;
}
}  // namespace

float measure_truth(TokenStepFn step, InferenceContext* ctx, const int32_t* prompt_ids, int32_t prefill_length,
                    uint64_t layer_limit) {
  ctx->layer_limit = layer_limit;
  prefill_pass(step, ctx, prompt_ids, prefill_length);
  return read_probe(ctx->hidden, int(layer_limit) - 1).value[probe_roles().audit];
}

Audit run_head_audit(TokenStepFn step, InferenceContext* ctx, const int32_t* prompt_ids, int32_t prefill_length) {
  Audit a;
  print_audit_header();
  // The baseline's first token is measured like every other row's: a full pass, no knockout.
  set_knockout(ctx, false, -1);
  begin_audit(&a, literal_row(step, ctx, prompt_ids, prefill_length));
  for (int h = 0; h < kAuditHeads; h++) {
    set_knockout(ctx, true, h);
    add_head_row(&a, h, literal_row(step, ctx, prompt_ids, prefill_length));
  }
  print_audit_summary(a.best_head, a.best_delta);
  return a;
}

Audit run_shared_head_audit(const PromptPass& pass) {
  Audit a;
  print_audit_header();
  // Layers 0 .. 13 never see the knockout: they run once, and every measurement starts from
  // the state they leave (and their caches).
  set_knockout(pass.ctx, false, -1);
  pass_embed(pass);
  for (uint64_t l = 0; l < uint64_t(kAuditLayer); l++) pass_layer(pass, l);
  pass_save(pass);
  begin_audit(&a, shared_row(pass));
  for (int h = 0; h < kAuditHeads; h++) {
    set_knockout(pass.ctx, true, h);
    add_head_row(&a, h, shared_row(pass));
  }
  print_audit_summary(a.best_head, a.best_delta);
  return a;
}
