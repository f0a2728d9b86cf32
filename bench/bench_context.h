// The inference context of the benchmarks: the one start-up fills for the program, with
// buffers of the benchmark's own.
#pragma once

#include <cstdint>

#include "model/inference_context.h"
#include "engine/weights_file.h"
#include "model/weights_layout.h"
#include "platform/platform.h"

namespace bench {

// Needs: the mapped weights, the pool's job area (or null). Fills ctx for full-depth steps
// with no knockout and no splice, its hidden, logits, scratch and caches freshly allocated
// (never freed; caches zero-filled). Returns false when memory cannot be had.
inline bool fill_context(InferenceContext* ctx, const WeightsView& view, void* area) {
  const uint64_t cache_bytes = geom::kLayers * geom::kMaxPositions * geom::kKvDim * 4;
  *ctx = InferenceContext{};
  ctx->hidden = static_cast<float*>(aligned_alloc64(geom::kDim * 4));      // f32[2048]
  ctx->logits = static_cast<float*>(aligned_alloc64(geom::kVocab * 4));    // f32[256000]
  ctx->scratch = static_cast<float*>(aligned_alloc64(1u << 20));           // 1 MiB
  ctx->key_cache = static_cast<float*>(pages_alloc(cache_bytes));          // f32[18][2048][256]
  ctx->value_cache = static_cast<float*>(pages_alloc(cache_bytes));        // f32[18][2048][256]
  ctx->embedding_table = reinterpret_cast<const uint16_t*>(view.base + file_off::embedding_table);
  ctx->weights_base = view.base;
  ctx->final_norm = reinterpret_cast<const float*>(view.base + file_off::final_norm);
  ctx->max_positions = geom::kMaxPositions;
  ctx->layer_limit = geom::kLayers;
  ctx->job_slots = area;
  ctx->layer_mask = 0x3FFFF;
  ctx->knockout_layer = ctx->knockout_head = ctx->splice_layer = -1;
  return ctx->hidden && ctx->logits && ctx->scratch && ctx->key_cache && ctx->value_cache;
}

}  // namespace bench
