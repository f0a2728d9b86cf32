#include "engine/batch_step.h"

#include <cstring>

#include "engine/rope_tables.h"
#include "model/layer_block.h"
#include "model/weights_layout.h"
#include "platform/platform.h"

namespace {
template <typename T>
T* take(uint64_t count, bool* ok) {
  void* p = aligned_alloc64(count * sizeof(T));
  if (!p) *ok = false;
  return static_cast<T*>(p);
}
}  // namespace

bool make_batch_step(BatchStep* step, LayerBlockFn block, uint64_t capacity) {
  using geom::kDim, geom::kRotaryPairs, geom::kVocab;
  bool ok = true;
  step->block = block;
  step->capacity = capacity;
  step->rows = take<float>(capacity * kDim, &ok);
  step->work = take<float>(layer_block_work_floats(capacity), &ok);
  step->rope_cos = take<float>(capacity * kRotaryPairs, &ok);
  step->rope_sin = take<float>(capacity * kRotaryPairs, &ok);
  step->logits = take<float>(capacity * kVocab, &ok);
  step->ids = take<int32_t>(capacity, &ok);
  step->next = take<uint64_t>(capacity, &ok);
  return ok;
}

void run_batch_step(const BatchStep& step, InferenceContext* const* seqs, uint64_t count) {
  using geom::kRotaryPairs;
  for (uint64_t t = 0; t < count; t++) {
    const uint64_t p = seqs[t]->position;
    step.ids[t] = static_cast<int32_t>(seqs[t]->token_id);
    memcpy(step.rope_cos + t * kRotaryPairs, rope_cos_table[p], kRotaryPairs * sizeof(float));
    memcpy(step.rope_sin + t * kRotaryPairs, rope_sin_table[p], kRotaryPairs * sizeof(float));
  }
  LayerBlock b{};
  b.ctx = seqs[0];  // weights, job area and the layer mask every sequence shares
  b.rows = step.rows;
  b.work = step.work;
  b.rope_cos = step.rope_cos;
  b.rope_sin = step.rope_sin;
  b.ids = step.ids;
  b.count = count;
  b.row_ctx = seqs;
  b.logits_rows = step.logits;
  b.next_ids = step.next;
  for (uint64_t l = 0; l < geom::kLayers; l++) {
    b.layer = l;
    b.ops = kBlockLayer | (l == 0 ? kBlockEmbed : 0) | (l + 1 == geom::kLayers ? kBlockClassifyRows : 0);
    step.block(&b);
  }
}
