#include "probe/splicer.h"

#include <cmath>
#include <cstdio>

#include "engine/fp16.h"
#include "engine/prefill.h"
#include "engine/weights_layout.h"
#include "probe/probe.h"

namespace {
constexpr float kNormThreshold = 1e-8f;
constexpr float kTruthGain = 3.5f;          // weight of the unit Truth direction
constexpr uint64_t kSplicePrepassLayers = 16;  // layers 0..15: the "Layer 15" reading
constexpr int32_t kSpliceLayer = 14;
}  // namespace

void build_splice_vector(float* out, float beta, const uint16_t* embedding_table) {
  const uint64_t n = geom::kDim;
  // Unit Truth direction; a degenerate row gives zeros.
  const float* w = probe_weights_row(0);
  float s = 0.0f;
  for (uint64_t j = 0; j < n; j++) {
    float sq = w[j] * w[j];
    s = s + sq;
  }
  float norm = std::sqrt(s);
  float t[geom::kDim];
  for (uint64_t j = 0; j < n; j++) t[j] = norm > kNormThreshold ? w[j] / norm : 0.0f;

  // Unit anchor-token direction; a degenerate row is used unscaled.
  float e[geom::kDim] = {};
  if (embedding_table) {
    const uint16_t* row = embedding_table + kSpliceAnchorToken * geom::kDim;
    float se = 0.0f;
    for (uint64_t j = 0; j < n; j++) {
      e[j] = half_to_float(row[j]);
      float sq = e[j] * e[j];
      se = se + sq;
    }
    float m = std::sqrt(se);
    if (m > kNormThreshold) {
      for (uint64_t j = 0; j < n; j++) e[j] = e[j] / m;
    }
  }

  for (uint64_t j = 0; j < n; j++) {
    float a = beta * e[j];  // each product rounded before the sum
    float b = kTruthGain * t[j];
    out[j] = a + b;
  }
}

void decide_splice(TokenStepFn step, InferenceContext* ctx, const int32_t* prompt_ids, int32_t prefill_length,
                   float beta, const float* splice_buffer) {
  ctx->layer_limit = kSplicePrepassLayers;
  prefill_pass(step, ctx, prompt_ids, prefill_length);
  apply_splice_decision(ctx, read_probe(ctx->hidden), beta, splice_buffer);
}

void apply_splice_decision(InferenceContext* ctx, const ProbeReading& r, float beta, const float* splice_buffer) {
  if (r.domain > 0.0f) {  // strict; a NaN reading closes the valve
    printf("[⚡ BOM SPLICER ACTIVE] 檢測到受污染語意特徵 (Domain: %+6.4f, Layer 15 Truth: %+6.4f)\n", static_cast<double>(r.domain), static_cast<double>(r.truth));
    printf("[⚡ BOM SPLICER ACTIVE] 啟動 Layer 14 正交替代料原位重塑器 (β = %.2f, 語法骨架 100%% 保留)！\n\n", static_cast<double>(beta));
    ctx->splice_vector = splice_buffer;
    ctx->splice_enabled = 1;
    ctx->splice_layer = kSpliceLayer;
  } else {
    printf("[🛡️ BOM SAFETY VALVE] 檢測到非稅務通用領域提示詞 (Domain: %+6.4f <= 0)\n", static_cast<double>(r.domain));
    printf("[🛡️ BOM SAFETY VALVE] 動態閥門休眠，不執行稅務替代料重塑，100%% 保障通用智能零損傷！\n\n");
    ctx->splice_enabled = 0;
  }
}
