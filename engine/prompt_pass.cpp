#include "engine/prompt_pass.h"

#include <cstring>
#include <vector>

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

void packed_layer(const PromptPass* passes, uint64_t count, uint64_t layer) {
  using geom::kRotaryPairs;
  uint64_t total = 0;
  for (uint64_t i = 0; i < count; i++) total += uint64_t(passes[i].count);
  if (total == 0) return;
  const uint64_t blocks = (total + kMaxBlock - 1) / kMaxBlock;
  const uint64_t size = (total + blocks - 1) / blocks;
  // Each row sees its prompt's context at its own position; the copies share the caches.
  std::vector<InferenceContext> views(size);   // [size]: row t's prompt context at row t's position
  std::vector<InferenceContext*> row_ctx(size);
  std::vector<float> cos(size * kRotaryPairs), sin(size * kRotaryPairs);  // f32 [size][128]: each row's rotary rows
  uint64_t prompt = 0, position = 0;  // of the block's next row
  for (uint64_t first = 0; first < total; first += size) {
    const uint64_t n = total - first < size ? total - first : size;
    for (uint64_t t = 0; t < n; t++, position++) {
      while (position == uint64_t(passes[prompt].count)) {
        prompt++;
        position = 0;
      }
      views[t] = *passes[prompt].ctx;
      views[t].position = position;
      row_ctx[t] = &views[t];
      memcpy(&cos[t * kRotaryPairs], rope_cos_table[position], kRotaryPairs * sizeof(float));
      memcpy(&sin[t * kRotaryPairs], rope_sin_table[position], kRotaryPairs * sizeof(float));
    }
    LayerBlock b{};
    b.ctx = passes[0].ctx;  // the weights, the job area and the layer mask all share
    b.rows = passes[0].rows + first * geom::kDim;
    b.work = passes[0].work;
    b.rope_cos = cos.data();
    b.rope_sin = sin.data();
    b.count = n;
    b.layer = layer;
    b.ops = kBlockLayer;
    b.row_ctx = row_ctx.data();
    passes[0].block(&b);
  }
}

void packed_classify_last(const PromptPass* passes, uint64_t count, int32_t* next) {
  using geom::kDim, geom::kVocab;
  std::vector<float> last(count * kDim);      // f32 [count][2048]: each pass's last row
  std::vector<float> logits(count * kVocab);  // f32 [count][256000]
  std::vector<uint64_t> ids(count);
  std::vector<InferenceContext*> ctxs(count);
  for (uint64_t i = 0; i < count; i++) {
    memcpy(&last[i * kDim], passes[i].rows + uint64_t(passes[i].count - 1) * kDim, kDim * sizeof(float));
    ctxs[i] = passes[i].ctx;
  }
  LayerBlock b{};
  b.ctx = passes[0].ctx;
  b.rows = last.data();
  b.work = passes[0].work;
  b.count = count;
  b.ops = kBlockClassifyRows;
  b.row_ctx = ctxs.data();
  b.logits_rows = logits.data();
  b.next_ids = ids.data();
  passes[0].block(&b);
  for (uint64_t i = 0; i < count; i++) {
    memcpy(passes[i].ctx->logits, &logits[i * kVocab], kVocab * sizeof(float));
    next[i] = static_cast<int32_t>(static_cast<uint32_t>(ids[i]));
  }
}
