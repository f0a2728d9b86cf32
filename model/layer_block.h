// The record of the batched layer entry (entry 3 of the kernel image): one decoder layer for
// a block of consecutive prompt positions at once, plus the embedding before the first layer
// and the final normalisation and classifier after the last. Every value it writes is
// bit-identical to what token_step writes for the same positions one at a time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "model/inference_context.h"
#include "model/weights_layout.h"

// Operations of one call, done in this order when their bit is set.
inline constexpr uint64_t kBlockEmbed = 1;     // rows[t] = embedding of ids[t], scaled
inline constexpr uint64_t kBlockLayer = 2;     // run `layer` over the block (mask, knockout, splice per ctx)
inline constexpr uint64_t kBlockNormLast = 4;  // ctx->hidden = final-normalised copy of rows[count-1]
inline constexpr uint64_t kBlockClassify = 8;  // logits of ctx->hidden, penalty, bias; returns argmax
// With row contexts: every row final-normalised and classified in one sweep of the table into
// logits_rows[t], each row's penalty and bias from its own context, its argmax into next_ids[t].
inline constexpr uint64_t kBlockClassifyRows = 16;

// Most positions one call takes.
inline constexpr uint64_t kMaxBlock = 64;

struct LayerBlock {
  InferenceContext* ctx;    // weights, caches, job area, hidden, logits and the controls; owned by the driver
  float* rows;              // f32 [count][2048]: the block's residual streams in position order; driver's
  float* work;              // f32 [layer_block_work_floats(count)]: work area; driver's
  const float* rope_cos;    // f32 [count][128]: rotary rows first_position .. (consecutive table rows)
  const float* rope_sin;    // f32 [count][128]: likewise for the sines
  const int32_t* ids;       // int32 [count]: token ids of the block (kBlockEmbed), each < 256000
  uint64_t first_position;  // position of rows[0]; first_position + count <= max_positions
  uint64_t count;           // 1 .. kMaxBlock
  uint64_t layer;           // layer run by kBlockLayer, 0 .. 17
  uint64_t ops;             // kBlock* bits
  // Null: the rows are consecutive positions of ctx's sequence. Else row t is one token of the
  // sequence row_ctx[t] at position row_ctx[t]->position (its caches, knockout, control rows and
  // splice; the rotary rows above are each row's own), and ctx gives only the weights and the job
  // area. Rows of one sequence come in position order. The driver's.
  InferenceContext* const* row_ctx;
  float* logits_rows;       // f32 [count][256000]: kBlockClassifyRows's logits; the driver's
  uint64_t* next_ids;       // [count]: kBlockClassifyRows's argmax of each row; the driver's
};

static_assert(sizeof(LayerBlock) == 104 && offsetof(LayerBlock, ops) == 72 && offsetof(LayerBlock, next_ids) == 96);

// f32 elements of the work area for a block of `count` positions: per position the normalised
// input, the projection output, queries, key, value, attention output, gate and up vectors and
// a packed copy of a product's input (57,856 values), plus one score row for the longest sequence.
constexpr uint64_t layer_block_work_floats(uint64_t count) {
  using namespace geom;
  return count * (4 * kDim + 2 * kKvDim + 3 * kFfnDim) + kMaxPositions;
}
static_assert(layer_block_work_floats(1) == 57856 + 2048);
