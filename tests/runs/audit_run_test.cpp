// The audit's schedule, rows and summary, driven by a stand-in step with known readings.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "reports/audit_report.h"
#include "runs/audit_run.h"
#include "probe/probe.h"
#include "tests/runs/fake_model.h"
#include "vocab/token_index.h"
#include "vocab/token_render.h"

namespace {
const double kNaN = std::nan("");

struct AuditFixture : ::testing::Test {
  std::vector<float> hidden = std::vector<float>(2048);
  InferenceContext ctx{};
  std::vector<int32_t> ids = {2, 3, 106, 1645, 108};

  void SetUp() override {
    build_token_index();
    load_probe_tables();
    g_fake = FakeModel{};
    ctx.hidden = hidden.data();
    ctx.layer_mask = 0x3FFFF;
    ctx.knockout_layer = -1;
    ctx.knockout_head = -1;
    ctx.splice_layer = -1;
  }

  std::string run() {
    testing::internal::CaptureStdout();
    run_head_audit(fake_token_step, &ctx, ids.data(), static_cast<int32_t>(ids.size()));
    return testing::internal::GetCapturedStdout();
  }
};

// The reading the stand-in produces for an angle.
float truth_at(double angle) {
  std::vector<float> h(2048);
  fake_state(angle, h.data());
  return read_probe(h.data(), 0).value[0];
}

std::string token_column(int32_t id) {
  char label[32];
  render_token_label(id, label);
  return std::string(label) + " (ID:" + std::to_string(id) + ")";
}

std::string row(const char* label, float t14, float t15, float dt, const std::string& column, const char* verdict) {
  char buf[512];
  snprintf(buf, sizeof buf, "%-10s | %+12.4f   | %+12.4f   | %+12.4f   | %-16s | %s\n", label,
           static_cast<double>(t14), static_cast<double>(t15), static_cast<double>(dt), column.c_str(), verdict);
  return buf;
}

// Layer-15 angles per head; the baseline sits at 1.2. Heads 2 and 4 tie for the largest
// rebound, head 5 reads NaN, head 0 equals the baseline.
const double kHeadAngle15[8] = {1.2, 1.1, 0.9, 1.3, 0.9, kNaN, 1.2, 1.25};

double audit_angle(const InferenceContext& c) {
  bool on = c.knockout_enabled && c.knockout_layer == 14;
  if (c.layer_limit == 15) return on ? 0.5 + 0.1 * c.knockout_head : 1.0;
  return on ? kHeadAngle15[c.knockout_head] : 1.2;
}

uint64_t audit_next_id(const InferenceContext& c) {
  return c.knockout_enabled ? 1000 + static_cast<uint64_t>(c.knockout_head) : 235308;
}
}  // namespace

TEST(AuditVerdict, ThresholdsInSinglePrecision) {
  const std::string high = audit_verdict(0.0021f), mid = audit_verdict(0.002f);
  const std::string none = audit_verdict(0.0f), support = audit_verdict(-0.0021f);
  EXPECT_EQ(high, "🚨【高度內鬼嫌疑！】真實度顯著回彈");
  EXPECT_EQ(mid, "⚠️【中度關聯】部分毒素攜帶者");
  EXPECT_EQ(none, "無顯著影響 (良性注意力頭)");
  EXPECT_EQ(support, "🛡️【語法支撐頭】敲除導致真實度進一步惡化");
  EXPECT_EQ(audit_verdict(std::nextafter(0.002f, 1.0f)), high);
  EXPECT_EQ(audit_verdict(std::nextafter(0.0005f, 1.0f)), mid);
  EXPECT_EQ(audit_verdict(0.0005f), none);
  EXPECT_EQ(audit_verdict(-0.002f), none);
  EXPECT_EQ(audit_verdict(std::nextafter(-0.002f, -1.0f)), support);
  EXPECT_EQ(audit_verdict(std::nanf("")), none);
}

TEST_F(AuditFixture, ReportRowsScheduleAndBestHead) {
  g_fake.angle = audit_angle;
  g_fake.next_id = audit_next_id;
  std::string out = run();

  // Schedule: baseline 15, 16, 18; then 15, 16, 18 per head with the knockout on layer 14.
  const size_t n = ids.size();
  ASSERT_EQ(g_fake.calls.size(), 27 * n);
  for (size_t pass = 0; pass < 27; pass++) {
    const uint64_t limits[3] = {15, 16, 18};
    for (size_t p = 0; p < n; p++) {
      const FakeStepCall& c = g_fake.calls[pass * n + p];
      EXPECT_EQ(c.layer_limit, limits[pass % 3]) << pass;
      EXPECT_EQ(c.position, p);
      EXPECT_EQ(c.token_id, static_cast<uint64_t>(ids[p]));
      EXPECT_EQ(c.splice_enabled, 0u);
      EXPECT_EQ(c.knockout_enabled, pass >= 3 ? 1u : 0u);
      if (pass >= 3) {
        EXPECT_EQ(c.knockout_layer, 14);
        EXPECT_EQ(c.knockout_head, static_cast<int32_t>(pass / 3 - 1));
      }
    }
  }

  const float t14_base = truth_at(1.0), t15_base = truth_at(1.2);
  std::string expected = row("Baseline", t14_base, t15_base, 0.0f, token_column(235308),
                             "[受污染基準] 裸機輸出 15% 謊言");
  for (int h = 0; h < 8; h++) {
    float t14 = truth_at(0.5 + 0.1 * h), t15 = truth_at(kHeadAngle15[h]);
    float dt = t15 - t15_base;
    char label[16];
    snprintf(label, sizeof label, "Head #%02d", h);
    expected += row(label, t14, t15, dt, token_column(1000 + h), audit_verdict(dt));
  }
  EXPECT_NE(out.find(expected), std::string::npos) << out;
  EXPECT_NE(out.find(row("Head #00", truth_at(0.5), t15_base, 0.0f, token_column(1000),
                         "無顯著影響 (良性注意力頭)")),
            std::string::npos);

  char s2[256];
  snprintf(s2, sizeof s2, "   ▶ 主要內鬼頭: Head #02 (Layer 15 真實度回彈最大: ΔT = %+8.4f)\n",
           static_cast<double>(truth_at(0.9) - t15_base));
  EXPECT_NE(out.find(s2), std::string::npos) << out;

  // Widths count bytes: "首字發射" is 12 bytes, padded to 16.
  // Frame: rule, title, rule, header, rule at the top; rule, summary and a closing rule with a
  // blank line at the end.
  const std::string eq(100, '='), dash(100, '-');
  EXPECT_EQ(out.rfind(eq + "\n🔬  [LAYER 14 ATTENTION HEAD AUDIT] 8 輪因果敲除確診報告 (Causal Knockout Attribution Matrix)\n" +
                          dash + "\n",
                      0),
            0u);
  EXPECT_NE(out.find("測試對象 | Layer 14 Truth | Layer 15 Truth | ΔT(L15) 回彈 | 首字發射     | 內鬼嫌疑度與因果診斷\n"),
            std::string::npos)
      << out;
  const std::string tail = dash + "\n🎯 【8 輪因果敲除確診結論】:\n" + s2 +
                           "   ▶ 內鬼作用機制: 該頭將殘差流拉向負真實度方向，使 Layer 15 真實度由正轉負 (-0.0033)！\n"
                           "   ▶ BOM 裝配指令: 嚴禁全域切除！將由 BOM 替代料重塑器 (Substitute Splicer) 實施正交去毒與真值重塑！\n" +
                           eq + "\n\n";
  ASSERT_GE(out.size(), tail.size());
  EXPECT_EQ(out.substr(out.size() - tail.size()), tail);

  // The knockout stays on for head 7; the splice was held off.
  EXPECT_EQ(ctx.knockout_enabled, 1u);
  EXPECT_EQ(ctx.knockout_layer, 14);
  EXPECT_EQ(ctx.knockout_head, 7);
  EXPECT_EQ(ctx.splice_enabled, 0u);
}

TEST_F(AuditFixture, NoHeadWinsWhenEveryDeltaIsNaN) {
  g_fake.angle = [](const InferenceContext& c) { return c.knockout_enabled ? kNaN : 1.0; };
  g_fake.next_id = [](const InferenceContext&) -> uint64_t { return 300000; };
  std::string out = run();
  EXPECT_NE(out.find("   ▶ 主要內鬼頭: Head #-1 (Layer 15 真實度回彈最大: ΔT = -999.0000)\n"), std::string::npos) << out;
  EXPECT_NE(out.find("<UNK:300000> (ID:300000)"), std::string::npos);
  EXPECT_EQ(out.find("高度內鬼"), std::string::npos);
}

TEST_F(AuditFixture, OtherLayersNameTheirDepthsAndTheLastReadsItselfTwice) {
  g_fake.angle = audit_angle;
  g_fake.next_id = audit_next_id;
  for (int layer : {0, 9, 17}) {
    g_fake.calls.clear();
    testing::internal::CaptureStdout();
    const Audit a = run_head_audit(fake_token_step, &ctx, ids.data(), static_cast<int32_t>(ids.size()), layer);
    const std::string out = testing::internal::GetCapturedStdout();
    const int next = layer == 17 ? 17 : layer + 1;
    const uint64_t limits[3] = {uint64_t(layer) + 1, uint64_t(next) + 1, 18};
    ASSERT_EQ(g_fake.calls.size(), 27 * ids.size());
    for (size_t pass = 0; pass < 27; pass++) {
      const FakeStepCall& c = g_fake.calls[pass * ids.size()];
      EXPECT_EQ(c.layer_limit, limits[pass % 3]) << layer << " " << pass;
      if (pass >= 3) {
        EXPECT_EQ(c.knockout_layer, layer);
      }
    }
    const std::string L = std::to_string(layer), N = std::to_string(next);
    for (const std::string& text : {"[LAYER " + L + " ATTENTION HEAD AUDIT]", "| Layer " + L + " Truth",
                                    "| Layer " + N + " Truth", "| ΔT(L" + N + ") 回彈", "(Layer " + N + " 真實度回彈最大",
                                    "使 Layer " + N + " 真實度由正轉負"})
      EXPECT_NE(out.find(text), std::string::npos) << layer << ": " << text;
    EXPECT_EQ(a.layer, layer);
    if (layer == 17) {
      EXPECT_EQ(a.baseline.truth_at, a.baseline.truth_next);
    }
  }
}
