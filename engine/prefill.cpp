#include "engine/prefill.h"

#include "engine/rope_tables.h"

void set_position(InferenceContext* ctx, uint64_t position) {
  ctx->position = position;
  ctx->rope_cos = rope_cos_table[position];
  ctx->rope_sin = rope_sin_table[position];
}

int32_t prefill_pass(TokenStepFn step, InferenceContext* ctx, const int32_t* ids, int32_t count) {
  uint64_t next = 0;
  for (int32_t p = 0; p < count; p++) {
    set_position(ctx, static_cast<uint64_t>(p));
    ctx->token_id = static_cast<uint64_t>(static_cast<int64_t>(ids[p]));  // sign-extended
    next = step(ctx);
  }
  return static_cast<int32_t>(static_cast<uint32_t>(next));
}
