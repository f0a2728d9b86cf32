// Placeholder body until the engine lands: honours forced_token, otherwise returns 0.
#include "engine/weights_layout.h"
#include "kernels/kernels.h"

extern "C" KV_ABI uint64_t token_step(InferenceContext* ctx) {
  if (ctx->forced_token != 0 && ctx->forced_token < geom::kVocab) return ctx->forced_token;
  return 0;
}
