#include "runs/telemetry_run.h"

#include <cstring>
#include <vector>

#include "engine/prefill.h"
#include "model/run_limits.h"
#include "probe/probe.h"
#include "reports/console_checks.h"
#include "reports/run_timings.h"
#include "reports/lens_report.h"
#include "reports/telemetry_report.h"
#include "runs/logit_lens.h"

using modes::kTelemetryRows;

DepthReading read_depth(const InferenceContext* ctx, int row) {
  return {read_probe(ctx->hidden, row), state_hash(ctx->hidden)};
}

void start_answer(AnswerRun* r, InferenceContext* ctx, int32_t n, int32_t next, const float* logits, Answer* a) {
  a->began = seconds_now();
  a->count = 0;
  a->stop = AnswerStop::limit;
  r->ctx = ctx;
  r->answer = a;
  r->n = n;
  r->next = next;
  r->logits = logits;
  r->u = 1;
  ctx->layer_limit = geom::kLayers;  // every generated token runs the whole model
}

bool take_answer_token(AnswerRun* r) {
  Answer* const a = r->answer;
  InferenceContext* const ctx = r->ctx;
  const int32_t next = r->next;
  if (next == vocab_ids::kEos || next == vocab_ids::kEndOfTurn) {
    a->stop = next == vocab_ids::kEos ? AnswerStop::eos : AnswerStop::end_of_turn;
    return false;
  }
  // The chosen id's logit as the step that chose it left it (after its penalty); the step's
  // argmax is always below the vocabulary size.
  a->tokens[a->count++] = AnswerToken{next, r->logits[next]};
  if (r->u == modes::kMaxAnswerTokens) return false;
  r->history[r->u - 1] = static_cast<uint64_t>(static_cast<int64_t>(next));
  ctx->token_id = static_cast<uint64_t>(static_cast<int64_t>(next));
  ctx->history = r->history;
  ctx->history_count = static_cast<uint64_t>(r->u);
  set_position(ctx, static_cast<uint64_t>(r->n - 1 + r->u));
  r->u++;
  return true;
}

void end_answer(AnswerRun* r) {
  r->ctx->history = nullptr;  // the window lives in the run only
  r->ctx->history_count = 0;
  r->answer->ended = seconds_now();
}

void generate_answer(TokenStepFn step, InferenceContext* ctx, int32_t n, int32_t next, Answer* a) {
  AnswerRun r;
  start_answer(&r, ctx, n, next, ctx->logits, a);
  print_answer_intro();
  for (;;) {
    const int taken = a->count;
    const bool more = take_answer_token(&r);
    if (a->count > taken) {  // a token was taken (not the end of the answer)
      print_answer_token(a->count, a->tokens[a->count - 1]);
      stop_if_output_failed();
    }
    if (!more) break;
    r.next = static_cast<int32_t>(static_cast<uint32_t>(step(ctx)));
  }
  end_answer(&r);
  print_answer_footer();
}

void print_answer(const Answer& a) {
  print_answer_intro();
  for (int i = 0; i < a.count; i++) {
    print_answer_token(i + 1, a.tokens[i]);
    stop_if_output_failed();
  }
  print_answer_footer();
}

void run_telemetry_and_generation(TokenStepFn step, InferenceContext* ctx, const int32_t* ids, int32_t n,
                                  Telemetry* t, Answer* a, Lens* lens) {
  // Phase 1: one prefill pass per depth, each from position 0.
  t->splice_armed = ctx->splice_enabled != 0;
  print_telemetry_header();
  for (int h = 0; h < kTelemetryRows; h++) {
    ctx->layer_limit = static_cast<uint64_t>(h + 1);
    prefill_pass(step, ctx, ids, n);
    t->depths[h] = read_depth(ctx, h);
    if (lens) top_logits(ctx->logits, lens->k, &lens->rows[h]);  // the prefill's last step classified it
    print_telemetry_row(h, t->depths[h], t->splice_armed);
    stop_if_output_failed();
  }
  print_telemetry_footer();
  if (lens) print_lens_table(*lens);
  // Phase 2: the full model over the prompt once more, then the answer.
  print_generation_header();
  ctx->layer_limit = geom::kLayers;
  const int32_t next = prefill_pass(step, ctx, ids, n);  // no history yet: the prompt is not penalised
  generate_answer(step, ctx, n, next, a);
}

void keep_depth(const PromptPass& pass, int h, DepthReading* depths, const DepthStates& states, bool classified) {
  depths[h] = read_depth(pass.ctx, h);
  const size_t at = static_cast<size_t>(h) * geom::kDim;
  if (states.normed) memcpy(states.normed + at, pass.ctx->hidden, geom::kDim * sizeof(float));
  if (states.residual) {
    memcpy(states.residual + at, pass.rows + static_cast<size_t>(pass.count - 1) * geom::kDim, geom::kDim * sizeof(float));
  }
  if (states.lens) {
    if (h + 1 < kTelemetryRows && !classified) pass_classify_last(pass);  // the last row's logits are already there
    top_logits(pass.ctx->logits, states.lens->k, &states.lens->rows[h]);
  }
}

void print_telemetry_and_lens(const Telemetry& t, const Lens* lens) {
  print_telemetry_table(t);
  if (lens) print_lens_table(*lens);
}

int32_t shared_depths_from(const PromptPass& pass, int from, DepthReading* depths, const DepthStates& states) {
  int32_t next = 0;
  for (int h = from; h < kTelemetryRows; h++) {
    pass_layer(pass, static_cast<uint64_t>(h));
    if (h + 1 == kTelemetryRows) {
      next = pass_classify_last(pass);  // no history yet: the prompt is not penalised
    } else {
      pass_read_last(pass);
    }
    keep_depth(pass, h, depths, states);
  }
  return next;
}

int32_t run_shared_telemetry(const PromptPass& pass, Telemetry* t, const DepthStates& states) {
  t->splice_armed = pass.ctx->splice_enabled != 0;
  pass_embed(pass);
  return shared_depths_from(pass, 0, t->depths, states);
}

void run_packed_telemetry(const PromptPass* passes, uint64_t count, Telemetry* const* t, const DepthStates* states,
                          int32_t* next) {
  for (uint64_t i = 0; i < count; i++) {
    t[i]->splice_armed = passes[i].ctx->splice_enabled != 0;
    pass_embed(passes[i]);
  }
  for (int h = 0; h < kTelemetryRows; h++) {
    packed_layer(passes, count, static_cast<uint64_t>(h));
    if (h + 1 == kTelemetryRows) packed_classify_last(passes, count, next);  // no history yet
    keep_packed_depths(passes, count, h, t, states);
  }
}

void keep_packed_depths(const PromptPass* passes, uint64_t count, int h, Telemetry* const* t, const DepthStates* states) {
  if (count == 0) return;
  // The lens's classifier before the last layer: one sweep for all (every flight has the lens or none).
  const bool classify = states[0].lens && h + 1 < kTelemetryRows;
  if (classify) {
    std::vector<int32_t> unused(count);
    packed_classify_last(passes, count, unused.data());
  }
  for (uint64_t i = 0; i < count; i++) {
    pass_read_last(passes[i]);
    keep_depth(passes[i], h, t[i]->depths, states[i], classify);
  }
}

void run_shared_telemetry_and_generation(TokenStepFn step, const PromptPass& pass, Telemetry* t, Answer* a,
                                         const DepthStates& states) {
  const int32_t next = run_shared_telemetry(pass, t, states);
  print_telemetry_and_lens(*t, states.lens);
  print_generation_header();
  generate_answer(step, pass.ctx, pass.count, next, a);
}
