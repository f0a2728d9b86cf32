// The run of every mode but the audit: the 18-row telemetry table, then greedy generation, in
// the literal schedule and the shared one.
#pragma once

#include <cstdint>

#include "engine/kernel_images.h"
#include "engine/prompt_pass.h"
#include "model/inference_context.h"
#include "reports/records.h"

// Where the shared schedules copy the states their rows read, for the state file; a null
// pointer takes nothing.
struct DepthStates {
  float* normed = nullptr;    // f32 [18][2048]: the final-normalised state row d reads; the caller's
  float* residual = nullptr;  // f32 [18][2048]: the residual stream at the last position after
                              // layer d (after the splice's addition where row d reads it); the caller's
  Lens* lens = nullptr;       // the logit lens of every row read (lens->k set), printed after the
                              // telemetry table; the caller's
};

// The literal schedule. Needs: ctx filled by start-up (and possibly armed by the splice
// decision), the prompt ids. Prints the telemetry table and the generated answer, and returns
// them in t and a. Changes only layer_limit, token_id, position, the rotary rows and the
// history fields of ctx.
// With a lens, also fills it from each depth's logits and prints it after the telemetry table.
void run_telemetry_and_generation(TokenStepFn step, InferenceContext* ctx, const int32_t* prompt_ids,
                                  int32_t prefill_length, Telemetry* t, Answer* a, Lens* lens = nullptr);

// The same output from shared passes: one pass through the layers gives all 18 rows (the
// classifier only after the last layer), and generation continues from the caches it left.
// Needs: pass over the prompt; ctx as for run_telemetry_and_generation. Copies the states into
// `states` as each row is read.
void run_shared_telemetry_and_generation(TokenStepFn step, const PromptPass& pass, Telemetry* t, Answer* a,
                                         const DepthStates& states = {});

// Needs: the caches hold the full model's rows of the prompt's n positions, the logits those of
// the last of them, `next` their argmax. Prints the answer (intro, tokens, closing lines),
// feeding each token at the next position with all 18 layers, and returns it in a.
void generate_answer(TokenStepFn step, InferenceContext* ctx, int32_t n, int32_t next, Answer* a);

// The greedy answer loop of one prompt, step by step, so that several prompts' answers can
// share their steps. Lives at a fixed address while the context points at its history.
struct AnswerRun {
  InferenceContext* ctx;  // the prompt's context: caches, controls; the caller's
  Answer* answer;         // the tokens so far; the caller's
  int32_t n;              // prefill length
  int32_t next;           // the id the last step chose
  const float* logits;    // f32[256000]: the logits that step left
  int u;                  // the 1-based answer index `next` would take
  uint64_t history[modes::kHistoryCapacity];  // the ids taken, oldest first
};

// Begins an answer whose first id is `next`, chosen with `logits` after the prompt's n positions.
void start_answer(AnswerRun* r, InferenceContext* ctx, int32_t n, int32_t next, const float* logits, Answer* a);
// Takes r->next into the answer or ends it there (end of turn, end of text, the token limit).
// Returns true when the answer goes on: the context is then set up for the step that feeds
// that token (id, position, rotary rows, history), whose choice and logits go into r->next
// and r->logits.
bool take_answer_token(AnswerRun* r);
// Ends the answer: its end time; the context no longer points at the run's history.
void end_answer(AnswerRun* r);
// Prints an answer as generate_answer prints it while it runs.
void print_answer(const Answer& a);

// The shared telemetry without printing: embeds the prompt, runs the 18 layers and keeps every
// row in t (and in `states`). Returns the full model's next id; the logits are in ctx->logits.
int32_t run_shared_telemetry(const PromptPass& pass, Telemetry* t, const DepthStates& states = {});

// run_shared_telemetry for several prompts at once. Needs: passes as packed_layer needs them,
// count <= kMaxBlock. Their layers run packed (packed_layer), each prompt's rows are read and
// kept as run_shared_telemetry keeps them, into t[i] and states[i]; next[i] = its next id, the
// logits in its context.
void run_packed_telemetry(const PromptPass* passes, uint64_t count, Telemetry* const* t, const DepthStates* states,
                          int32_t* next);

// The shared schedule's depths from layer `from` on: layer h over every position, the reading
// of the last position after each into depths[h], the classifier only after the last layer.
// Needs: pass.rows hold the state before layer `from`. Returns the full model's next token.
int32_t shared_depths_from(const PromptPass& pass, int from, DepthReading* depths, const DepthStates& states);

// Needs: the context's hidden holds the final-normalised state of the pass's last position as
// it stands after layer h (and, for h = 17, the logits its classifier gave). depths[h] = its
// reading; copies it and that row into `states`; with a lens, classifies it (before row 17)
// and keeps its top logits (already in the context's logits when `classified`).
void keep_depth(const PromptPass& pass, int h, DepthReading* depths, const DepthStates& states,
                bool classified = false);

// keep_depth for several passes after layer h (passes as packed_layer needs them): reads each
// last row into t[i]->depths[h] and states[i]; with a lens, one classifier sweep for all of them.
void keep_packed_depths(const PromptPass* passes, uint64_t count, int h, Telemetry* const* t, const DepthStates* states);

// Prints the telemetry table of t, then the lens when there is one.
void print_telemetry_and_lens(const Telemetry& t, const Lens* lens);

// The reading and hash of the final-normalised state the context's hidden holds, which is
// telemetry row `row`'s state (0 .. 17: after layers 0 .. row).
DepthReading read_depth(const InferenceContext* ctx, int row);
