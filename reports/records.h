// The values each run mode measures: what its console report prints, kept as plain records so
// that any other writer of results can take them as they are.
#pragma once

#include <cstdint>

#include "model/run_limits.h"
#include "probe/probe.h"

// One telemetry row: the probe reading and the state hash after one depth.
struct DepthReading {
  ProbeReading reading;
  uint32_t hash;
};

// The telemetry table: rows 0 .. 17 are the depths 1 .. 18.
struct Telemetry {
  DepthReading depths[modes::kTelemetryRows];
  bool splice_armed;  // row 14 then shows the spliced state
};

// How an answer ended: an end-of-sequence id, an end-of-turn id, or the 25-token limit.
enum class AnswerStop { eos, end_of_turn, limit };

struct AnswerToken {
  int32_t id;
  float logit;  // as the step that chose it left it (after its penalty)
};

struct Answer {
  AnswerToken tokens[modes::kMaxAnswerTokens];
  int count;
  AnswerStop stop;
  double began;  // seconds_now() when the first token was known (the prompt's work done)
  double ended;  // seconds_now() after the last token was printed
};

// Gated steering's decision: the gate axis read after `layers` layers of the unsteered model.
struct SteeringGate {
  ProbeReading reading;
  int layers;  // 1 .. 18
  bool open;   // the gate axis's reading > 0 (a NaN reading keeps it closed): the vectors steer
};

// The splice mode's decision from the 16-layer pass.
struct SpliceDecision {
  ProbeReading reading;  // after layers 0 .. 15
  float beta;
  bool armed;            // the gate axis's reading > 0 (a NaN reading keeps the valve closed)
};

// One audit row: the audit axis's readings after the audited layer and the next, and the full model's
// next token, with one head (or none, for the baseline) knocked out.
// The second reading of an audit of `layer`: after the next layer, or after the last one again.
inline int audit_next_layer(int layer) { return layer + 1 < modes::kTelemetryRows ? layer + 1 : layer; }

struct AuditRow {
  float truth_at;    // after layers 0 .. audited layer
  float truth_next;  // after layers 0 .. audited layer + 1
  int32_t first_token;
};

struct Audit {
  int layer;         // the audited layer, 0 .. 17; its rows read depths layer and min(layer + 1, 17)
  bool mean_ablation;  // heads replaced by their prompt mean instead of zeros
  AuditRow baseline;
  AuditRow heads[modes::kAuditHeads];
  int best_head;     // largest rebound truth_next - baseline.truth_next; -1 when none (all NaN)
  float best_delta;  // -999 when none
};

// The logit lens: at each depth, the K highest logits of the classifier on that depth's
// final-normalised state (no penalty), highest first, ties to the lower id.
inline constexpr int kMaxLensTokens = 20;
struct LensRow {
  int32_t ids[kMaxLensTokens];
  float logits[kMaxLensTokens];
};
struct Lens {
  int k;  // 1 .. 20
  LensRow rows[modes::kTelemetryRows];
};

// The sweep over every head of every layer: one knockout per cell, each against the
// unablated baseline.
struct AuditAllCell {
  float delta_next;   // audit axis after depth min(layer + 1, 17), minus the baseline's
  float delta_last;   // audit axis after the last depth, minus the baseline's
  float delta_logit;  // logit of the baseline's next token, minus the baseline's
};
struct AuditAll {
  bool mean_ablation;
  float baseline_reading[modes::kTelemetryRows];  // the audit axis after each depth, unablated
  int32_t baseline_next;                          // the unablated model's next token
  float baseline_logit;                           // and its logit
  AuditAllCell cells[geom::kLayers][modes::kAuditHeads];
};
