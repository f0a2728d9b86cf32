// The head-knockout audit through the real program on the synthetic weights, cross-checked
// in-process and against the float64 reference with one head's attention output zeroed.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "reports/audit_report.h"
#include "reports/report_rules.h"
#include "model/weights_layout.h"
#include "kernels/kernels.h"
#include "runs/audit_run.h"
#include "runs/head_ablation.h"
#include "engine/prompt_pass.h"
#include "model/layer_block.h"
#include <nlohmann/json.hpp>
#include <fstream>
#include "probe/probe.h"
#include "tests/support/engine_harness.h"
#include "tests/support/korvane_runs.h"
#include "tests/support/output_cursor.h"
#include "tests/support/reference_model.h"
#include "tests/support/run_report.h"
#include "tests/support/synthetic_weights.h"
#include "vocab/prompt_tokenizer.h"
#include "vocab/token_index.h"
#include "vocab/token_render.h"

namespace {
struct PrintedAuditRow {
  std::string label, t14, t15, delta;
  std::string token_label;
  uint64_t id = 0;
  std::string verdict;
};

struct AuditReport {
  std::string error;
  std::vector<PrintedAuditRow> rows;  // baseline, then heads 0..7
  std::string best_head, best_delta;
};

std::string trim(const std::string& s) { return s.substr(s.find_first_not_of(' ')); }

AuditReport parse_audit(const std::string& out, int32_t prefill) {
  AuditReport r;
  OutputCursor c(out);
  auto fail = [&](const std::string& what) {
    r.error = what + " at byte " + std::to_string(c.at) + ": [" + c.rest() + "]";
    return r;
  };
  const std::string eq = kRuleEq, dash = kRuleDash;
  if (!take_startup_lines(c, "hi", "Causal Attention Head Knockout Audit (Layer 14)", prefill))
    return fail("banner, profile or start-up lines");
  if (!c.take(eq + "🔬  [LAYER 14 ATTENTION HEAD AUDIT] 8 輪因果敲除確診報告 (Causal Knockout Attribution Matrix)\n" + dash +
              "測試對象 | Layer 14 Truth | Layer 15 Truth | ΔT(L15) 回彈 | 首字發射     | 內鬼嫌疑度與因果診斷\n" + dash))
    return fail("header");
  const std::string num = R"(( *[+-](?:\d+\.\d{4}|nan|inf)))";
  // A label may hold any bytes, a newline too (token 108's text is one): rows are matched as
  // text, not as lines.
  const std::regex row("(Baseline|Head #0[0-7])   \\| " + num + "   \\| " + num + "   \\| " + num +
                       R"(   \| ([\s\S]*?) \(ID:(\d+)\) *\| (.*)\n)");
  std::match_results<std::string::const_iterator> m;
  for (int k = 0; k < 9; k++) {
    if (!c.take_match(row, m)) return fail("row " + std::to_string(k));
    PrintedAuditRow a{trim(m[1]), trim(m[2]), trim(m[3]), trim(m[4]), m[5], std::stoull(m[6]), m[7]};
    std::string expect_label = k == 0 ? "Baseline" : "Head #0" + std::to_string(k - 1);
    if (a.label != expect_label) return fail("row label");
    for (int g = 2; g <= 4; g++)
      if (m[g].length() < 12 || (m[g].length() > 12 && m[g].str()[0] == ' ')) return fail("number width");
    r.rows.push_back(a);
  }
  if (!c.take(dash + "🎯 【8 輪因果敲除確診結論】:\n")) return fail("summary title");
  const std::regex s2(R"(   ▶ 主要內鬼頭: Head #(-?\d\d) \(Layer 15 真實度回彈最大: ΔT = ( *[+-](?:\d+\.\d{4}|nan|inf))\))");
  std::smatch m2;
  if (!c.take_line(s2, m2)) return fail("S2");
  r.best_head = m2[1];
  r.best_delta = trim(m2[2]);
  if (!c.take("   ▶ 內鬼作用機制: 該頭將殘差流拉向負真實度方向，使 Layer 15 真實度由正轉負 (-0.0033)！\n"
              "   ▶ BOM 裝配指令: 嚴禁全域切除！將由 BOM 替代料重塑器 (Substitute Splicer) 實施正交去毒與真值重塑！\n" +
              eq + "\n"))
    return fail("S3, S4 and the closing rule");
  if (!c.done()) return fail("trailing output");
  return r;
}

std::string fmt4(double v) {
  char buf[64];
  snprintf(buf, sizeof buf, "%+.4f", v);
  return buf;
}

uint64_t token_step_fn(InferenceContext* ctx) { return token_step(ctx); }

std::vector<int32_t> prompt_ids() {
  build_token_index();
  std::vector<int32_t> ids(256);
  ids.resize(static_cast<size_t>(tokenize_prompt("hi", ids.data(), 256)));
  return ids;
}
}  // namespace

TEST(AuditE2E, ReportRowsAgreeWithTheEngineAndTheReference) {
  const std::vector<int32_t> ids = prompt_ids();
  const int32_t n = static_cast<int32_t>(ids.size());
  const RunResult run = korvane_run(synthetic_weights_path(), {"--audit-heads", "hi"});
  ASSERT_EQ(run.status, 0) << run.err;
  AuditReport a = parse_audit(run.out, n);
  ASSERT_EQ(a.error, "") << run.out;
  EXPECT_EQ(a.rows[0].verdict, "[受污染基準] 裸機輸出 15% 謊言");
  EXPECT_EQ(a.rows[0].delta, "+0.0000");

  // Labels and verdicts follow from the printed ids and rebounds.
  for (const PrintedAuditRow& row : a.rows) {
    char label[32];
    render_token_label(static_cast<int32_t>(row.id), label);
    std::string column = std::string(label) + " (ID:" + std::to_string(row.id) + ")";
    EXPECT_EQ(row.token_label + " (ID:" + std::to_string(row.id) + ")", column);
    double d = std::strtod(row.delta.c_str(), nullptr);
    bool near_threshold = std::fabs(d - 0.002) < 1e-4 || std::fabs(d - 0.0005) < 1e-4 || std::fabs(d + 0.002) < 1e-4;
    if (&row != &a.rows[0] && !near_threshold) {
      EXPECT_EQ(row.verdict, audit_verdict(static_cast<float>(d))) << row.label;
    }
  }
  // The best head has the largest printed rebound (the lowest one among equal prints).
  int best = -1;
  double best_delta = -999.0;
  for (int h = 0; h < 8; h++) {
    double d = std::strtod(a.rows[h + 1].delta.c_str(), nullptr);
    if (d > best_delta) {
      best_delta = d;
      best = h;
    }
  }
  EXPECT_EQ(a.best_delta, a.rows[best + 1].delta);

  // In-process: the baseline readings and head 3's readings and first token.
  load_probe_tables();
  ASSERT_EQ(synthetic_engine().status, WeightsStatus::ok);
  ModelBuffers m;
  EXPECT_EQ(a.rows[0].t14, fmt4(measure_truth(token_step_fn, &m.ctx, ids.data(), n, 15)));
  const float t15_base = measure_truth(token_step_fn, &m.ctx, ids.data(), n, 16);
  EXPECT_EQ(a.rows[0].t15, fmt4(t15_base));
  m.ctx.knockout_enabled = 1;
  m.ctx.knockout_layer = 14;
  m.ctx.knockout_head = 3;
  const float t14_h3 = measure_truth(token_step_fn, &m.ctx, ids.data(), n, 15);
  EXPECT_EQ(a.rows[4].t14, fmt4(t14_h3));
  ProbeReading engine_h3 = read_probe(m.hidden.data(), 0);

  // The float64 reference with head 3's attention output zeroed at layer 14 agrees with the
  // knocked-out engine state within the tolerance of the token-step tests.
  ReferenceModel ref;
  reference_init(&ref, synthetic_engine().view.base);
  ReferenceControls knock;
  knock.layer_limit = 15;
  knock.knockout_layer = 14;
  knock.knockout_head = 3;
  ReferenceStep step;
  for (int32_t p = 0; p < n; p++) reference_step(&ref, uint64_t(ids[p]), uint64_t(p), knock, &step);
  std::vector<float> ref_hidden(step.hidden.begin(), step.hidden.end());
  ProbeReading ref_h3 = read_probe(ref_hidden.data(), 0);
  double worst = 0.0;
  for (size_t i = 0; i < geom::kDim; i++) worst = std::max(worst, std::fabs(step.hidden[i] - m.hidden[i]));
  EXPECT_LT(worst, 2e-4);
  EXPECT_NEAR(ref_h3.value[0], engine_h3.value[0], 1e-4);
  // The knockout mattered: head 3's Layer 14 reading differs from the baseline's.
  EXPECT_NE(a.rows[4].t14, a.rows[0].t14);
}

TEST(AuditE2E, SpliceOptionDoesNotChangeTheReport) {
  const RunResult audit = korvane_run(synthetic_weights_path(), {"--audit-heads", "hi"});
  const RunResult both = korvane_run(synthetic_weights_path(), {"--splice-substitute", "hi", "--audit-heads"});
  ASSERT_EQ(both.status, 0);
  EXPECT_EQ(both.out, audit.out);
  EXPECT_EQ(both.out.find("BOM SPLICER ACTIVE"), std::string::npos);
  EXPECT_EQ(both.out.find("BOM SAFETY VALVE"), std::string::npos);
}

TEST(AuditE2E, LayerFourteenGivenIsTodaysReport) {
  const RunResult plain = korvane_run(synthetic_weights_path(), {"--audit-heads", "hi"});
  const RunResult given = korvane_run(synthetic_weights_path(), {"--audit-heads", "--audit-layer", "14", "hi"});
  ASSERT_EQ(given.status, 0) << given.err;
  ASSERT_NE(plain.out.find("主要內鬼頭"), std::string::npos);
  EXPECT_EQ(given.out, plain.out);
}

namespace {
// The record the program wrote to path (its only line).
nlohmann::json only_record(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return nlohmann::json::parse(line, nullptr, false);
}
}  // namespace

TEST(AuditE2E, SweepCellsAreTheDirectAuditsRebounds) {
  const std::string dir = testing::TempDir();
  const RunResult all = korvane_run(synthetic_weights_path(), {"--audit-all", "--json", dir + "/all.jsonl", "hi"});
  ASSERT_EQ(all.status, 0) << all.err;
  ASSERT_NE(all.out.find("[TABLE 2]"), std::string::npos) << all.out;
  const nlohmann::json sweep = only_record(dir + "/all.jsonl")["audit_all"];
  ASSERT_TRUE(sweep.is_object());
  // The direct audits of two layers, one of them the last (read after itself again).
  for (int layer : {10, 17}) {
    const std::string path = dir + "/layer" + std::to_string(layer) + ".jsonl";
    const RunResult one =
        korvane_run(synthetic_weights_path(), {"--audit-heads", "--audit-layer", std::to_string(layer), "--json", path, "hi"});
    ASSERT_EQ(one.status, 0) << one.err;
    const nlohmann::json audit = only_record(path)["audit"];
    EXPECT_EQ(audit["layer"], layer);
    for (int h = 0; h < 8; h++) {
      EXPECT_EQ(sweep["delta_next"][layer][h], audit["rows"][h + 1]["delta"]) << layer << " head " << h;
    }
  }
  // The last layer's two tables agree: its next depth is the last one.
  EXPECT_EQ(sweep["delta_next"][17], sweep["delta_last"][17]);
  EXPECT_EQ(sweep["top_last"].size(), 10u);
}

TEST(AuditE2E, MeanAblationOfOneLayerMatchesTheReference) {
  const std::vector<int32_t> ids = prompt_ids();
  const int32_t n = static_cast<int32_t>(ids.size());
  load_probe_tables();
  ASSERT_EQ(synthetic_engine().status, WeightsStatus::ok);
  constexpr int kLayer = 1, kHead = 2;
  ModelBuffers m;
  std::vector<float> rows(size_t(n) * geom::kDim), saved(rows.size()), work(layer_block_work_floats(kMaxBlock));
  const PromptPass pass{layer_block, &m.ctx, ids.data(), n, rows.data(), saved.data(), work.data()};
  std::vector<float> sums(geom::kLayers * geom::kDim, 0.0f), means(sums.size());
  pass_embed(pass);
  pass_layer(pass, 0);
  pass_save(pass);
  m.ctx.attention_sums = sums.data();
  pass_layer(pass, kLayer);
  m.ctx.attention_sums = nullptr;
  mean_from_sums(sums.data(), n, means.data());
  pass_restore(pass);
  set_knockout(&m.ctx, kLayer, kHead, means.data());
  pass_layer(pass, kLayer);
  pass_read_last(pass);
  const std::vector<float> mean_state = m.hidden;
  pass_restore(pass);
  set_knockout(&m.ctx, kLayer, kHead, nullptr);
  pass_layer(pass, kLayer);
  pass_read_last(pass);
  const std::vector<float> zero_state = m.hidden;

  // The reference: the head's output averaged over the unablated positions, then the prompt
  // again with it in place of the head.
  ReferenceModel ref;
  reference_init(&ref, synthetic_engine().view.base);
  ReferenceControls look;
  look.layer_limit = kLayer + 1;
  look.knockout_layer = kLayer;
  std::vector<double> attn(geom::kDim), mean(geom::kHeadDim, 0.0);
  look.attention_out = attn.data();
  ReferenceStep step;
  for (int32_t p = 0; p < n; p++) {
    reference_step(&ref, uint64_t(ids[p]), uint64_t(p), look, &step);
    for (size_t d = 0; d < geom::kHeadDim; d++) mean[d] += attn[kHead * geom::kHeadDim + d] / n;
  }
  double worst_mean = 0.0;
  for (size_t d = 0; d < geom::kHeadDim; d++)
    worst_mean = std::max(worst_mean, std::fabs(mean[d] - means[(kLayer * 8 + kHead) * geom::kHeadDim + d]));
  EXPECT_LT(worst_mean, 1e-5);
  reference_init(&ref, synthetic_engine().view.base);
  ReferenceControls knock;
  knock.layer_limit = kLayer + 1;
  knock.knockout_layer = kLayer;
  knock.knockout_head = kHead;
  knock.knockout_values = mean.data();
  for (int32_t p = 0; p < n; p++) reference_step(&ref, uint64_t(ids[p]), uint64_t(p), knock, &step);
  double worst = 0.0, moved = 0.0;
  for (size_t i = 0; i < geom::kDim; i++) {
    worst = std::max(worst, std::fabs(step.hidden[i] - mean_state[i]));
    moved = std::max(moved, double(std::fabs(mean_state[i] - zero_state[i])));
  }
  EXPECT_LT(worst, 2e-4);
  EXPECT_GT(moved, 1e-2);  // the mean is not the zeroing
}
