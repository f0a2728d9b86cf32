#include "runs/audit_all_run.h"

#include <vector>

#include "model/run_limits.h"
#include "probe/probe.h"
#include "reports/audit_all_report.h"
#include "runs/head_ablation.h"

namespace {
constexpr int kLayers = int(geom::kLayers);

// Layers `from` .. 17 from the rows as they stand, with the knockout as set. Writes the audit
// axis's reading after each layer from `read_from` on into readings[layer] and returns the
// next token (the logits stay in the context).
int32_t run_from(const PromptPass& pass, int from, int read_from, float* readings) {
  const int axis = probe_roles().audit;
  int32_t next = 0;
  for (int l = from; l < kLayers; l++) {
    pass_layer(pass, uint64_t(l));
    if (l + 1 == kLayers) {
      next = pass_classify_last(pass);
    } else if (l >= read_from) {
      pass_read_last(pass);
    }
    if (l >= read_from) readings[l] = read_probe(pass.ctx->hidden, l).value[axis];
  }
  return next;
}
}  // namespace

void run_audit_all(const PromptPass& pass, bool mean_ablation, AuditAll* out) {
  InferenceContext* const ctx = pass.ctx;
  out->mean_ablation = mean_ablation;
  std::vector<float> sums(geom::kLayers * geom::kDim, 0.0f);  // f32 [18][2048], this run's
  std::vector<float> means(sums.size());                       // f32 [18][8][256], this run's
  set_knockout(ctx, 0, -1, nullptr);
  pass_embed(pass);
  pass_save(pass);
  // The baseline: every depth's reading, the next token and its logit, and the heads' sums.
  ctx->attention_sums = mean_ablation ? sums.data() : nullptr;
  out->baseline_next = run_from(pass, 0, 0, out->baseline_reading);
  ctx->attention_sums = nullptr;
  out->baseline_logit = ctx->logits[out->baseline_next];
  mean_from_sums(sums.data(), pass.count, means.data());
  float readings[kLayers];
  for (int layer = 0; layer < kLayers; layer++) {
    // saved holds the state before `layer`.
    const int next = audit_next_layer(layer);
    for (int h = 0; h < modes::kAuditHeads; h++) {
      set_knockout(ctx, layer, h, mean_ablation ? means.data() : nullptr);
      pass_restore(pass);
      run_from(pass, layer, next, readings);
      AuditAllCell& c = out->cells[layer][h];
      c.delta_next = readings[next] - out->baseline_reading[next];
      c.delta_last = readings[kLayers - 1] - out->baseline_reading[kLayers - 1];
      c.delta_logit = ctx->logits[out->baseline_next] - out->baseline_logit;
    }
    set_knockout(ctx, layer, -1, nullptr);
    if (layer + 1 < kLayers) {
      pass_restore(pass);
      pass_layer(pass, uint64_t(layer));  // unablated: the state before the next layer
      pass_save(pass);
    }
  }
  print_audit_all_report(*out);
}
