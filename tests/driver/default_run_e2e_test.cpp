// The default run through the real program on the synthetic weights, cross-checked against
// the engine run in-process and against the float64 reference model.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "engine/prefill.h"
#include "model/weights_layout.h"
#include "kernels/kernels.h"
#include "probe/probe.h"
#include "tests/support/engine_harness.h"
#include "tests/support/korvane_runs.h"
#include "tests/support/reference_model.h"
#include "tests/support/run_report.h"
#include "tests/support/synthetic_weights.h"
#include "vocab/prompt_tokenizer.h"
#include "vocab/token_index.h"

namespace {
std::string fmt(const char* f, double v) {
  char buf[64];
  snprintf(buf, sizeof buf, f, v);
  std::string s = buf;
  return s.substr(s.find_first_not_of(' '));
}

struct Prompt {
  std::vector<int32_t> ids;
};

Prompt tokenize(const char* text) {
  build_token_index();
  Prompt p;
  p.ids.resize(256);
  p.ids.resize(static_cast<size_t>(tokenize_prompt(text, p.ids.data(), 256)));
  return p;
}

uint64_t token_step_fn(InferenceContext* ctx) { return token_step(ctx); }
}  // namespace

TEST(DefaultRunE2E, OutputShapeAndCrossChecksForAOneWordPrompt) {
  const RunResult run = korvane_run(synthetic_weights_path(), {"hi"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(run.err.empty()) << run.err;
  EXPECT_EQ(run.out.find('\r'), std::string::npos);
  load_probe_tables();
  Prompt prompt = tokenize("hi");
  RunExpectations e{"hi", "Standard Baseline Forward Inference (Full Precision FP16)",
                    static_cast<int32_t>(prompt.ids.size()), "", false};
  RunReport report = parse_run_report(run.out, e);
  ASSERT_EQ(report.error, "") << run.out;
  ASSERT_EQ(report.rows.size(), 18u);
  for (const TelemetryRow& row : report.rows)
    for (const std::string* v : {&row.truth, &row.safety, &row.cert, &row.domain})
      EXPECT_TRUE(std::isfinite(std::stod(*v))) << *v;

  // In-process: the full-depth prefill gives row 17's hash and readings, and the first id.
  ASSERT_EQ(synthetic_engine().status, WeightsStatus::ok);
  ModelBuffers m;
  m.ctx.layer_limit = 18;
  int32_t first = prefill_pass(token_step_fn, &m.ctx, prompt.ids.data(), static_cast<int32_t>(prompt.ids.size()));
  ProbeReading r = read_probe(m.hidden.data(), 0);
  EXPECT_EQ(report.rows[17].hash, state_hash(m.hidden.data()));
  EXPECT_EQ(report.rows[17].truth, fmt("%+10.4f", r.value[0]));
  EXPECT_EQ(report.rows[17].domain, fmt("%+10.4f", r.value[3]));
  ASSERT_FALSE(report.tokens.empty());
  EXPECT_EQ(report.tokens[0].id, first);
  std::vector<float> prefill_hidden = m.hidden;
  std::vector<float> prefill_logits = m.logits;

  // Replaying the generation in-process gives every printed id and logit; a repeated id was
  // chosen against 1.5 per earlier occurrence, which the printed logit includes.
  std::vector<uint64_t> history;
  std::map<int32_t, int> seen;
  int32_t next = first;
  bool repeat_checked = false;
  const int32_t n = static_cast<int32_t>(prompt.ids.size());
  for (size_t u = 0; u < report.tokens.size(); u++) {
    ASSERT_EQ(report.tokens[u].id, next) << "token " << u + 1;
    EXPECT_EQ(report.tokens[u].logit, fmt("%+8.4f", m.logits[next])) << "token " << u + 1;
    if (seen[next] > 0) {
      // The raw logit is the classifier row times the state; the step subtracted 1.5 per
      // earlier occurrence, one subtraction at a time.
      float raw;
      dot_rows_f16(&raw, m.ctx.embedding_table + uint64_t(next) * geom::kDim, m.hidden.data(), geom::kDim, 1);
      float expect = raw;
      for (uint64_t h : history)
        if (h == uint64_t(next)) expect -= 1.5f;
      EXPECT_EQ(m.logits[next], expect);
      repeat_checked = true;
    }
    if (u + 1 == 25) break;
    seen[next]++;
    history.push_back(uint64_t(next));
    m.ctx.history = history.data();
    m.ctx.history_count = history.size();
    next = static_cast<int32_t>(m.step(uint64_t(next), uint64_t(n) + u));
  }
  if (report.tokens.size() < 25) {
    EXPECT_TRUE(next == 1 || next == 107) << next;
  }
  EXPECT_TRUE(repeat_checked || report.tokens.size() < 3) << "no repeated id on these weights";

  // Against the float64 reference: the prefill's state and the first token's logit.
  ReferenceModel ref;
  reference_init(&ref, synthetic_engine().view.base);
  ReferenceStep step;
  for (int32_t p = 0; p < n; p++) reference_step(&ref, uint64_t(prompt.ids[p]), uint64_t(p), ReferenceControls{}, &step);
  EXPECT_EQ(step.next_id, uint64_t(first));
  double worst = 0.0;
  for (size_t i = 0; i < geom::kDim; i++) worst = std::max(worst, std::fabs(step.hidden[i] - prefill_hidden[i]));
  // f32 with a 6e-5 exponential against exact double math over 18 layers: see the
  // token-step tests for the derivation of these bounds.
  EXPECT_LT(worst, 2e-4);
  EXPECT_NEAR(step.logits[first], prefill_logits[first], 1e-3);
}
