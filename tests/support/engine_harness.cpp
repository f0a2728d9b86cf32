#include "tests/support/engine_harness.h"

#include "engine/rope_tables.h"
#include "kernels/kernels.h"
#include "tests/support/synthetic_weights.h"

const SyntheticEngine& synthetic_engine() {
  static const SyntheticEngine e = [] {
    SyntheticEngine e{};
    unsigned long error = 0;
    e.status = open_weights(synthetic_weights_path().c_str(), &e.view, &error);
    build_rope_tables();
    if (!start_worker_pool(reinterpret_cast<ThreadRoutine>(&worker_entry), default_worker_count(), &e.pool))
      e.pool.area = nullptr;
    return e;
  }();
  return e;
}

ModelBuffers::ModelBuffers(void* area) {
  const uint8_t* base = synthetic_engine().view.base;
  ctx.hidden = hidden.data();
  ctx.logits = logits.data();
  ctx.scratch = scratch.data();
  ctx.key_cache = keys.data();
  ctx.value_cache = values.data();
  ctx.embedding_table = reinterpret_cast<const uint16_t*>(base + file_off::embedding_table);
  ctx.weights_base = base;
  ctx.final_norm = reinterpret_cast<const float*>(base + file_off::final_norm);
  ctx.max_positions = geom::kMaxPositions;
  ctx.layer_limit = geom::kLayers;
  ctx.job_slots = area;
  ctx.layer_mask = 0x3FFFF;
  ctx.knockout_layer = -1;
  ctx.knockout_head = -1;
  ctx.splice_layer = -1;
}

ModelBuffers::ModelBuffers() : ModelBuffers(synthetic_engine().pool.area) {}

uint64_t ModelBuffers::step(uint64_t token, uint64_t position) {
  ctx.token_id = token;
  ctx.position = position;
  ctx.rope_cos = rope_cos_table[position];
  ctx.rope_sin = rope_sin_table[position];
  return token_step(&ctx);
}

TestControls::TestControls() {
  for (uint64_t i = 0; i < splice.size(); i++) splice[i] = 0.125f * float(int(i % 5) - 2);
  for (uint64_t i = 0; i < rows.size(); i++) rows[i] = 0.0625f * float(int(i % 9) - 4);
}

void TestControls::apply(InferenceContext* c, uint64_t s) const {
  if (s == 1) {
    c->control_table = rows.data();
    c->control_mask = (1u << 3) | (1u << 9);
    c->splice_enabled = 1;
    c->splice_layer = 12;
    c->splice_vector = splice.data();
  }
  if (s == 2) {
    c->knockout_enabled = 1;
    c->knockout_layer = 5;
    c->knockout_head = 6;
    c->bias_token = 77;
    c->bias_value = 4.0f;
  }
}
