// The sweep over every attention head of every layer: 144 knockouts, each read at the next
// depth, at the last depth and at the baseline's next token's logit.
#pragma once

#include "engine/prompt_pass.h"
#include "reports/records.h"

// Needs: pass over the prompt, ctx filled by start-up. Runs the unablated baseline once, then
// for each layer L the layers below it once (carried on from layer L-1's) and, for each head
// of L, only the layers from L on; prints the sweep's report and fills *out. With
// mean_ablation a head's output becomes its mean over the prompt in the baseline's pass.
void run_audit_all(const PromptPass& pass, bool mean_ablation, AuditAll* out);
