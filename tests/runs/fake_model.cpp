#include "tests/runs/fake_model.h"

#include <cmath>
#include <limits>

#include "probe/probe_tables.h"

FakeModel g_fake;

void fake_state(double a, float* hidden) {
  const float* base = probe_baseline_values();
  const float* truth = probe_weights_row(0);
  const float* safety = probe_weights_row(1);
  for (int j = 0; j < kProbeDim; j++) {
    hidden[j] = std::isnan(a) ? std::numeric_limits<float>::quiet_NaN()
                              : static_cast<float>(base[j] + std::cos(a) * truth[j] + std::sin(a) * safety[j]);
  }
}

uint64_t fake_token_step(InferenceContext* ctx) {
  g_fake.calls.push_back({ctx->layer_limit, ctx->position, ctx->token_id, ctx->knockout_enabled,
                          ctx->knockout_layer, ctx->knockout_head, ctx->splice_enabled});
  fake_state(g_fake.angle(*ctx), ctx->hidden);
  return g_fake.next_id(*ctx);
}
