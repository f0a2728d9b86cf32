// The splice mode's Domain gate and its decision pass.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "probe/probe.h"
#include "runs/splice_run.h"
#include "tests/runs/fake_model.h"

namespace {
struct SpliceGateFixture : ::testing::Test {
  void SetUp() override { load_probe_tables(); }
};
}  // namespace

TEST_F(SpliceGateFixture, GateOpensOnlyForAPositiveDomainReading) {
  std::vector<float> buffer(2048, 1.0f);
  struct Case {
    float domain;
    bool armed;
  };
  const Case cases[] = {{1e-30f, true}, {0.25f, true}, {0.0f, false}, {-0.0f, false},
                        {-0.5f, false}, {std::nanf(""), false}};
  for (const Case& c : cases) {
    InferenceContext ctx{};
    ctx.splice_layer = -1;
    ProbeReading r{{0.125f, 0.0f, 0.0f, c.domain}};
    testing::internal::CaptureStdout();
    apply_splice_decision(&ctx, r, 2.0f, buffer.data());
    std::string out = testing::internal::GetCapturedStdout();
    char expected[512];
    if (c.armed) {
      snprintf(expected, sizeof expected,
               "[⚡ BOM SPLICER ACTIVE] 檢測到受污染語意特徵 (Domain: %+6.4f, Layer 15 Truth: +0.1250)\n"
               "[⚡ BOM SPLICER ACTIVE] 啟動 Layer 14 正交替代料原位重塑器 (β = 2.00, 語法骨架 100%% 保留)！\n\n",
               static_cast<double>(c.domain));
      EXPECT_EQ(ctx.splice_enabled, 1u);
      EXPECT_EQ(ctx.splice_layer, 14);
      EXPECT_EQ(ctx.splice_vector, buffer.data());
    } else {
      snprintf(expected, sizeof expected,
               "[🛡️ BOM SAFETY VALVE] 檢測到非稅務通用領域提示詞 (Domain: %+6.4f <= 0)\n"
               "[🛡️ BOM SAFETY VALVE] 動態閥門休眠，不執行稅務替代料重塑，100%% 保障通用智能零損傷！\n\n",
               static_cast<double>(c.domain));
      EXPECT_EQ(ctx.splice_enabled, 0u);
      EXPECT_EQ(ctx.splice_layer, -1);
      EXPECT_EQ(ctx.splice_vector, nullptr);
    }
    EXPECT_EQ(out, expected) << c.domain;
  }
}

TEST_F(SpliceGateFixture, DecisionRunsASixteenLayerPrefillWithTheSpliceOff) {
  std::vector<float> hidden(2048), buffer(2048);
  std::vector<int32_t> ids = {2, 3, 106};
  g_fake = FakeModel{};
  g_fake.angle = [](const InferenceContext&) { return 0.3; };
  g_fake.next_id = [](const InferenceContext&) -> uint64_t { return 9; };
  InferenceContext ctx{};
  ctx.hidden = hidden.data();
  ctx.splice_layer = -1;
  testing::internal::CaptureStdout();
  decide_splice(fake_token_step, &ctx, ids.data(), 3, 4.5f, buffer.data());
  std::string out = testing::internal::GetCapturedStdout();
  ASSERT_EQ(g_fake.calls.size(), 3u);
  for (size_t p = 0; p < 3; p++) {
    EXPECT_EQ(g_fake.calls[p].layer_limit, 16u);
    EXPECT_EQ(g_fake.calls[p].position, p);
    EXPECT_EQ(g_fake.calls[p].splice_enabled, 0u);
  }
  // The state lies between Truth and Safety, so Domain reads its bias: negative, valve closed.
  EXPECT_LT(read_probe(hidden.data(), 0).value[3], 0.0f);
  EXPECT_NE(out.find("BOM SAFETY VALVE"), std::string::npos);
  EXPECT_EQ(ctx.splice_enabled, 0u);
}
