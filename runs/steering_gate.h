// Gated steering: a decision pass over the prompt on the unsteered model reads the probe's gate
// axis after a number of layers; the control vectors then steer the run only when it reads > 0.
#pragma once

#include <cstdint>

#include "engine/kernel_images.h"
#include "engine/prompt_pass.h"
#include "model/inference_context.h"
#include "reports/records.h"

// The literal decision. Needs: ctx filled by start-up with the control vectors in its mask;
// 1 <= layers <= 18. Runs the prompt through `layers` layers without the vectors, prints the two
// gate lines, and leaves the mask as it was when the gate opens, else empty. Returns the decision.
SteeringGate decide_steering_gate(TokenStepFn step, InferenceContext* ctx, const int32_t* prompt_ids,
                                  int32_t prefill_length, int layers);

// The same decision from the shared pass (its rows and caches are left to the mode that follows,
// which starts from the embedding again).
SteeringGate decide_shared_steering_gate(const PromptPass& pass, int layers);
// The same without the gate lines.
SteeringGate set_shared_steering_gate(const PromptPass& pass, int layers);
// set_shared_steering_gate for several prompts at once (passes as packed_layer needs them): each
// decision into gates[i].
void set_packed_steering_gates(const PromptPass* passes, uint64_t count, int layers, SteeringGate* gates);
