#include "runs/head_ablation.h"

#include "model/weights_layout.h"

void mean_from_sums(const float* sums, int32_t count, float* means) {
  const float n = static_cast<float>(count);
  for (uint64_t i = 0; i < geom::kLayers * geom::kDim; i++) means[i] = sums[i] / n;
}

void set_knockout(InferenceContext* ctx, int layer, int head, const float* means) {
  ctx->knockout_enabled = head >= 0 ? 1 : 0;
  if (head >= 0) {
    ctx->knockout_layer = layer;
    ctx->knockout_head = head;
  }
  const uint64_t at = (uint64_t(layer) * geom::kHeads + uint64_t(head)) * geom::kHeadDim;
  ctx->knockout_values = head >= 0 && means ? means + at : nullptr;
  ctx->splice_enabled = 0;
  ctx->forced_token = 0;
}
