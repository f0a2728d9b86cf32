// A stand-in for the token step: it writes a hidden state chosen by the test from the
// context's controls, so the probe-driven runs can be checked without a model.
#pragma once

#include <cstdint>
#include <vector>

#include "model/inference_context.h"

struct FakeStepCall {
  uint64_t layer_limit;
  uint64_t position;
  uint64_t token_id;
  uint32_t knockout_enabled;
  int32_t knockout_layer;
  int32_t knockout_head;
  uint32_t splice_enabled;
};

// The angle (radians) of the state between the Truth axis (0) and the Safety axis (pi/2) for
// the current controls, and the id to return; NaN angles write a NaN state.
typedef double (*FakeAngle)(const InferenceContext& ctx);
typedef uint64_t (*FakeNextId)(const InferenceContext& ctx);

struct FakeModel {
  FakeAngle angle = nullptr;
  FakeNextId next_id = nullptr;
  std::vector<FakeStepCall> calls;
};

extern FakeModel g_fake;

// Writes baseline + cos(a) * truth_row + sin(a) * safety_row (all NaN for a NaN angle).
void fake_state(double angle, float* hidden);

// The step: records the call, writes baseline + cos(a) * truth_row + sin(a) * safety_row into
// hidden (the probe tables must be loaded), returns next_id.
uint64_t fake_token_step(InferenceContext* ctx);
