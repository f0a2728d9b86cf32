#include "driver/telemetry_run.h"

#include <cstdio>

#include "driver/report_rules.h"
#include "engine/prefill.h"
#include "probe/probe.h"
#include "vocab/token_render.h"

namespace {
constexpr int kTelemetryRows = 18;
constexpr int kMaxAnswerTokens = 25;
constexpr int kHistoryCapacity = 32;
constexpr int32_t kEosId = 1;
constexpr int32_t kEndOfTurnId = 107;

// The station note printed at the end of telemetry row h.
const char* layer_note(int h, bool splice_armed, float truth) {
  switch (h) {
    case 0: return "[TAKEOFF] Token Embedding Lookup";
    case 8: return "[Station 08 Ingress] Bypass Sampling Point";
    case 9: return "[Station 09 Socket] Core Extension Bus (1024 Slots)";
    case 10: return "[Station 10 Egress] Bypass Injection Point";
    case 14:
      return splice_armed ? "[BOM SPLICER] Layer 14 State Reshaped!"
                          : "[Pre-Inflection] Attention Divergence Detected";
    case 15:
      // A NaN reading is not below 0 and takes the second note.
      return truth < 0.0f ? "\xF0\x9F\x92\xA5 [CRITICAL INFLECTION] Truth dropped below 0.0!"
                          : "[Station 15] Semantic Convergence";
    case 16: return "[Station 16 AOI] 4D Radar Final Audit";
    case 17: return "[LANDING] Final Norm & Vocabulary GEMV";
    default: return "";
  }
}

void run_telemetry(TokenStepFn step, InferenceContext* ctx, const int32_t* ids, int32_t n) {
  fputs(kRuleEq, stdout);
  fputs("[PHASE 1] 18-Layer Latent Flight Telemetry (Layer 00 ~ 17 State Inspection)\n", stdout);
  fputs(kRuleDash, stdout);
  printf("%-10s | %-10s | %-10s | %-10s | %-10s | %-17s | Station Status & Flight Notes\n", "Layer",
         "Truth (T)", "Safety (S)", "Cert (C)", "Domain (D)", "State Hash (32b)");
  fputs(kRuleDash, stdout);
  for (int h = 0; h < kTelemetryRows; h++) {
    ctx->layer_limit = static_cast<uint64_t>(h + 1);
    prefill_pass(step, ctx, ids, n);
    uint32_t hash = state_hash(ctx->hidden);
    ProbeReading r = read_probe(ctx->hidden);
    printf("Layer %02d   | %+10.4f   | %+10.4f   | %+10.4f   | %+10.4f   | [0x%08X]         | %s\n", h,
           static_cast<double>(r.truth), static_cast<double>(r.safety), static_cast<double>(r.cert),
           static_cast<double>(r.domain), hash, layer_note(h, ctx->splice_enabled != 0, r.truth));
  }
  fputs(kRuleDash, stdout);
  fputs("\n", stdout);
}

void run_generation(TokenStepFn step, InferenceContext* ctx, const int32_t* ids, int32_t n) {
  fputs(kRuleEq, stdout);
  fputs("[PHASE 2] 256k Vocabulary Classifier (Hardware Register RAX Trace)\n", stdout);
  fputs(kRuleDash, stdout);
  ctx->layer_limit = 18;
  int32_t next = prefill_pass(step, ctx, ids, n);  // no history yet: the prompt is not penalised
  fputs("[*] Capturing Argmax Token IDs from 256k Classifier Register RAX:\n", stdout);

  uint64_t history[kHistoryCapacity];
  int32_t history_count = 0;
  for (int u = 1; u <= kMaxAnswerTokens; u++) {
    if (next == kEosId || next == kEndOfTurnId) break;
    // The chosen id's logit as the step that chose it left it (after its penalty); the step's
    // argmax is always below the vocabulary size.
    float logit = ctx->logits[next];
    printf("  \xE2\x80\xA2 Token #%02d: ID = %-8d (Logit = %+8.4f) -> '", u, next, static_cast<double>(logit));
    render_answer_token(next, stdout);
    fputs("'\n", stdout);
    if (u == kMaxAnswerTokens) break;
    history[history_count++] = static_cast<uint64_t>(static_cast<int64_t>(next));
    ctx->token_id = static_cast<uint64_t>(static_cast<int64_t>(next));
    ctx->history = history;
    ctx->history_count = static_cast<uint64_t>(history_count);
    set_position(ctx, static_cast<uint64_t>(n - 1 + u));
    next = static_cast<int32_t>(static_cast<uint32_t>(step(ctx)));
  }
  ctx->history = nullptr;  // the window lives on this stack frame only
  ctx->history_count = 0;
  fputs("\n", stdout);
  fputs(kRuleEq, stdout);
  fputs("[DONE] Standalone Native Inference Complete \xC2\xB7 Verified Silicon Trace\n", stdout);
  fputs(kRuleEq, stdout);
}
}  // namespace

void run_telemetry_and_generation(TokenStepFn step, InferenceContext* ctx, const int32_t* prompt_ids,
                                  int32_t prefill_length) {
  run_telemetry(step, ctx, prompt_ids, prefill_length);
  run_generation(step, ctx, prompt_ids, prefill_length);
}
