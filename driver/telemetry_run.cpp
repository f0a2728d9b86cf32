#include "driver/telemetry_run.h"

#include <cstdio>

#include "driver/console_checks.h"
#include "driver/report_rules.h"
#include "engine/prefill.h"
#include "probe/splicer.h"
#include "probe/probe.h"
#include "vocab/token_render.h"

namespace {
// One telemetry row's values: the probe reading and the state hash after one depth.
struct DepthReading {
  ProbeReading reading;
  uint32_t hash;
};

constexpr int kTelemetryRows = 18;
constexpr int kMaxAnswerTokens = 25;
constexpr int kHistoryCapacity = 32;
constexpr int32_t kEosId = 1;
constexpr int32_t kEndOfTurnId = 107;
constexpr int kSpliceLayer = 14;  // the splice is added after this layer

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

void print_telemetry_header() {
  fputs(kRuleEq, stdout);
  fputs("[PHASE 1] 18-Layer Latent Flight Telemetry (Layer 00 ~ 17 State Inspection)\n", stdout);
  fputs(kRuleDash, stdout);
  printf("%-10s | %-10s | %-10s | %-10s | %-10s | %-17s | Station Status & Flight Notes\n", "Layer",
         "Truth (T)", "Safety (S)", "Cert (C)", "Domain (D)", "State Hash (32b)");
  fputs(kRuleDash, stdout);
}

void print_telemetry_row(int h, const DepthReading& d, bool splice_armed) {
  const ProbeReading& r = d.reading;
  printf("Layer %02d   | %+10.4f   | %+10.4f   | %+10.4f   | %+10.4f   | [0x%08X]         | %s\n", h,
         static_cast<double>(r.truth), static_cast<double>(r.safety), static_cast<double>(r.cert),
         static_cast<double>(r.domain), d.hash, layer_note(h, splice_armed, r.truth));
}

void print_telemetry_footer() {
  fputs(kRuleDash, stdout);
  fputs("\n", stdout);
}

// The reading and hash of the final-normalised state the context's hidden holds.
DepthReading read_depth(const InferenceContext* ctx) { return {read_probe(ctx->hidden), state_hash(ctx->hidden)}; }

// The literal schedule: one prefill pass per depth, each from position 0.
void run_telemetry(TokenStepFn step, InferenceContext* ctx, const int32_t* ids, int32_t n) {
  print_telemetry_header();
  for (int h = 0; h < kTelemetryRows; h++) {
    ctx->layer_limit = static_cast<uint64_t>(h + 1);
    prefill_pass(step, ctx, ids, n);
    print_telemetry_row(h, read_depth(ctx), ctx->splice_enabled != 0);
    stop_if_output_failed();
  }
  print_telemetry_footer();
}

void print_generation_header() {
  fputs(kRuleEq, stdout);
  fputs("[PHASE 2] 256k Vocabulary Classifier (Hardware Register RAX Trace)\n", stdout);
  fputs(kRuleDash, stdout);
}

// Needs: the caches hold the full model's rows of the prompt's n positions, the logits those of
// the last of them, `next` its argmax. Prints the answer, feeding each token at the next position.
// Returns when the answer began and ended and how many tokens it printed.
AnswerTimes generate_from(TokenStepFn step, InferenceContext* ctx, int32_t n, int32_t next) {
  AnswerTimes times{seconds_now(), 0.0, 0};
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
    times.tokens = u;
    stop_if_output_failed();
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
  times.ended = seconds_now();
  fputs("\n", stdout);
  fputs(kRuleEq, stdout);
  fputs("[DONE] Standalone Native Inference Complete \xC2\xB7 Verified Silicon Trace\n", stdout);
  fputs(kRuleEq, stdout);
  return times;
}

// The literal schedule: the full model over the prompt once more, then the answer.
AnswerTimes run_generation(TokenStepFn step, InferenceContext* ctx, const int32_t* ids, int32_t n) {
  print_generation_header();
  ctx->layer_limit = 18;
  int32_t next = prefill_pass(step, ctx, ids, n);  // no history yet: the prompt is not penalised
  return generate_from(step, ctx, n, next);
}

// The shared schedule's Phase 1 from layer `from` on: layer h over every position, the reading
// of the last position after each, the classifier only after the last layer. Returns its argmax.
int32_t shared_depths_from(const PromptPass& pass, int from, DepthReading* depths) {
  int32_t next = 0;
  for (int h = from; h < kTelemetryRows; h++) {
    pass_layer(pass, static_cast<uint64_t>(h));
    if (h + 1 == kTelemetryRows) {
      pass.ctx->layer_limit = kTelemetryRows;  // as the literal run leaves it for generation
      next = pass_classify_last(pass);  // no history yet: the prompt is not penalised
    } else {
      pass_read_last(pass);
    }
    depths[h] = read_depth(pass.ctx);
  }
  return next;
}

// Prints the table of `depths`, then generates from the caches the shared pass left.
AnswerTimes print_and_generate(TokenStepFn step, const PromptPass& pass, const DepthReading* depths, int32_t next) {
  print_telemetry_header();
  for (int h = 0; h < kTelemetryRows; h++) print_telemetry_row(h, depths[h], pass.ctx->splice_enabled != 0);
  print_telemetry_footer();
  print_generation_header();
  return generate_from(step, pass.ctx, pass.count, next);
}

}  // namespace

AnswerTimes run_telemetry_and_generation(TokenStepFn step, InferenceContext* ctx, const int32_t* prompt_ids,
                                         int32_t prefill_length) {
  run_telemetry(step, ctx, prompt_ids, prefill_length);
  return run_generation(step, ctx, prompt_ids, prefill_length);
}

AnswerTimes run_shared_telemetry_and_generation(TokenStepFn step, const PromptPass& pass) {
  DepthReading depths[kTelemetryRows];
  pass_embed(pass);
  const int32_t next = shared_depths_from(pass, 0, depths);
  return print_and_generate(step, pass, depths, next);
}

AnswerTimes run_shared_splice_run(TokenStepFn step, const PromptPass& pass, float beta, const float* splice_buffer) {
  InferenceContext* ctx = pass.ctx;
  DepthReading depths[kTelemetryRows];
  // Layers 0 .. 14 are the same for the 16-layer decision pass and the telemetry: the splice
  // comes after layer 14.
  pass_embed(pass);
  for (int h = 0; h <= kSpliceLayer; h++) {
    pass_layer(pass, static_cast<uint64_t>(h));
    pass_read_last(pass);
    depths[h] = read_depth(ctx);
  }
  // The decision pass's layer 15, without the splice.
  pass_save(pass);
  pass_layer(pass, kSpliceLayer + 1);
  pass_read_last(pass);
  depths[kSpliceLayer + 1] = read_depth(ctx);
  apply_splice_decision(ctx, depths[kSpliceLayer + 1].reading, beta, splice_buffer);
  int32_t next;
  if (ctx->splice_enabled != 0) {
    // Armed: the state after layer 14 gets the vector at every position, and the layers from
    // 15 on run again on it (rewriting their cache rows).
    pass_restore(pass);
    pass_add_to_all(pass, ctx->splice_vector);
    pass_read_last(pass);
    depths[kSpliceLayer] = read_depth(ctx);
    next = shared_depths_from(pass, kSpliceLayer + 1, depths);
  } else {
    // Closed: the decision pass's layer 15 is the telemetry's.
    next = shared_depths_from(pass, kSpliceLayer + 2, depths);
  }
  return print_and_generate(step, pass, depths, next);
}
