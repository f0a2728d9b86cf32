#include "engine/prompt_pass.h"

#include <cstring>

#include "engine/rope_tables.h"
#include "model/weights_layout.h"
#include "model/layer_block.h"

namespace {

// Needs: 0 <= first < count. One call of the batched entry over [first, first + n).
uint64_t run(const PromptPass& pass, uint64_t first, uint64_t n, uint64_t layer, uint64_t ops) {
  LayerBlock b{};
  b.ctx = pass.ctx;
  b.rows = pass.rows + first * geom::kDim;
  b.work = pass.work;
  b.rope_cos = rope_cos_table[first];
  b.rope_sin = rope_sin_table[first];
  b.ids = pass.ids + first;
  b.first_position = first;
  b.count = n;
  b.layer = layer;
  b.ops = ops;
  return pass.block(&b);
}

// Runs ops over all positions in position order, in blocks of near-equal size.
void run_all(const PromptPass& pass, uint64_t layer, uint64_t ops) {
  const uint64_t count = static_cast<uint64_t>(pass.count);
  const uint64_t blocks = (count + kMaxBlock - 1) / kMaxBlock;
  const uint64_t size = (count + blocks - 1) / blocks;
  for (uint64_t first = 0; first < count; first += size) run(pass, first, count - first < size ? count - first : size, layer, ops);
}

}  // namespace

uint64_t prompt_rows_bytes() { return uint64_t(kPromptPassCapacity) * geom::kDim * sizeof(float); }
uint64_t prompt_work_bytes() { return layer_block_work_floats(kMaxBlock) * sizeof(float); }

void pass_embed(const PromptPass& pass) { run_all(pass, 0, kBlockEmbed); }

void pass_layer(const PromptPass& pass, uint64_t layer) { run_all(pass, layer, kBlockLayer); }

void pass_read_last(const PromptPass& pass) { run(pass, uint64_t(pass.count) - 1, 1, 0, kBlockNormLast); }

int32_t pass_classify_last(const PromptPass& pass) {
  const uint64_t next = run(pass, uint64_t(pass.count) - 1, 1, 0, kBlockNormLast | kBlockClassify);
  return static_cast<int32_t>(static_cast<uint32_t>(next));
}

void pass_save(const PromptPass& pass) {
  memcpy(pass.saved, pass.rows, uint64_t(pass.count) * geom::kDim * sizeof(float));
}

void pass_restore(const PromptPass& pass) {
  memcpy(pass.rows, pass.saved, uint64_t(pass.count) * geom::kDim * sizeof(float));
}

void pass_add_to_all(const PromptPass& pass, const float* v) {
  for (uint64_t p = 0; p < uint64_t(pass.count); p++) {
    float* row = pass.rows + p * geom::kDim;
    for (uint64_t i = 0; i < geom::kDim; i++) row[i] = row[i] + v[i];  // one rounding, as the step's add
  }
}
