#include "probe/head_audit.h"

#include <cstdio>

#include "driver/report_rules.h"
#include "engine/prefill.h"
#include "engine/prompt_pass.h"
#include "probe/probe.h"
#include "vocab/token_render.h"

namespace {
constexpr int32_t kAuditLayer = 14;
constexpr int kHeads = 8;

const char* const kRow = "%-10s | %+12.4f   | %+12.4f   | %+12.4f   | %-16s | %s\n";

// "%s (ID:%llu)" with the token's label into a 48-byte column.
void format_token_column(char (&column)[48], int32_t id) {
  char label[32];
  render_token_label(id, label);
  snprintf(column, sizeof column, "%s (ID:%llu)", label,
           static_cast<unsigned long long>(static_cast<uint32_t>(id)));
}

void set_knockout(InferenceContext* ctx, bool on, int32_t head) {
  ctx->knockout_enabled = on ? 1 : 0;
  if (on) {
    ctx->knockout_layer = kAuditLayer;
    ctx->knockout_head = head;
  }
  ctx->splice_enabled = 0;
  ctx->forced_token = 0;
}

// The head with the largest rebound so far.
struct Best {
  float delta = -999.0f;
  int head = -1;
};

void print_audit_header() {
  fputs(kRuleEq, stdout);
  fputs("🔬  [LAYER 14 ATTENTION HEAD AUDIT] 8 輪因果敲除確診報告 (Causal Knockout Attribution Matrix)\n", stdout);
  fputs(kRuleDash, stdout);
  printf("%-10s | %-14s | %-14s | %-14s | %-16s | 內鬼嫌疑度與因果診斷\n", "測試對象", "Layer 14 Truth", "Layer 15 Truth",
         "ΔT(L15) 回彈", "首字發射");
  fputs(kRuleDash, stdout);
}

void print_baseline_row(float t14_base, float t15_base, int32_t first_token) {
  char column[48];
  format_token_column(column, first_token);
  printf(kRow, "Baseline", static_cast<double>(t14_base), static_cast<double>(t15_base), 0.0, column,
         "[受污染基準] 裸機輸出 15% 謊言");
}

// Prints head h's row and keeps the largest rebound in best.
void print_head_row(int h, float t14, float t15, float t15_base, int32_t first_token, Best* best) {
  const float delta = t15 - t15_base;
  char column[48];
  format_token_column(column, first_token);
  char label[24];  // room for any int, so the compiler can see nothing is cut
  snprintf(label, sizeof label, "Head #%02d", h);
  printf(kRow, label, static_cast<double>(t14), static_cast<double>(t15), static_cast<double>(delta), column,
         audit_verdict(delta));
  if (delta > best->delta) {  // strict: ties keep the lower head, NaN never wins
    best->delta = delta;
    best->head = h;
  }
}

void print_audit_summary(const Best& best) {
  const int best_head = best.head;
  const float best_delta = best.delta;
  fputs(kRuleDash, stdout);
  fputs("🎯 【8 輪因果敲除確診結論】:\n", stdout);
  printf("   ▶ 主要內鬼頭: Head #%02d (Layer 15 真實度回彈最大: ΔT = %+8.4f)\n", best_head, static_cast<double>(best_delta));
  fputs("   ▶ 內鬼作用機制: 該頭將殘差流拉向負真實度方向，使 Layer 15 真實度由正轉負 (-0.0033)！\n", stdout);
  fputs("   ▶ BOM 裝配指令: 嚴禁全域切除！將由 BOM 替代料重塑器 (Substitute Splicer) 實施正交去毒與真值重塑！\n", stdout);
  fputs(KV_RULE_EQ "\n\n", stdout);
}

// Layers 14 .. 17 from the state after layer 13 (restored from the snapshot): the Truth
// readings after layers 14 and 15 and the full model's next token, with the knockout as set.
struct Tail {
  float t14, t15;
  int32_t first_token;
};

Tail run_tail(const PromptPass& pass) {
  Tail t;
  pass_restore(pass);
  pass_layer(pass, kAuditLayer);
  pass_read_last(pass);
  t.t14 = read_probe(pass.ctx->hidden).truth;
  pass_layer(pass, kAuditLayer + 1);
  pass_read_last(pass);
  t.t15 = read_probe(pass.ctx->hidden).truth;
  pass_layer(pass, kAuditLayer + 2);
  pass_layer(pass, kAuditLayer + 3);
  pass.ctx->layer_limit = 18;
  t.first_token = pass_classify_last(pass);
  return t;
}
}  // namespace

float measure_truth(TokenStepFn step, InferenceContext* ctx, const int32_t* prompt_ids, int32_t prefill_length,
                    uint64_t layer_limit) {
  ctx->layer_limit = layer_limit;
  prefill_pass(step, ctx, prompt_ids, prefill_length);
  return read_probe(ctx->hidden).truth;
}

const char* audit_verdict(float delta) {
  if (delta > 0.002f) return "🚨【高度內鬼嫌疑！】真實度顯著回彈";
  if (delta > 0.0005f) return "⚠️【中度關聯】部分毒素攜帶者";
  if (delta < -0.002f) return "🛡️【語法支撐頭】敲除導致真實度進一步惡化";
  return "無顯著影響 (良性注意力頭)";  // NaN included
}

void run_head_audit(TokenStepFn step, InferenceContext* ctx, const int32_t* prompt_ids, int32_t prefill_length) {
  print_audit_header();

  set_knockout(ctx, false, -1);
  const float t14_base = measure_truth(step, ctx, prompt_ids, prefill_length, 15);
  const float t15_base = measure_truth(step, ctx, prompt_ids, prefill_length, 16);
  // The baseline's first token is measured like every other row's: a full pass, no knockout.
  ctx->layer_limit = 18;
  print_baseline_row(t14_base, t15_base, prefill_pass(step, ctx, prompt_ids, prefill_length));

  Best best;
  for (int h = 0; h < kHeads; h++) {
    set_knockout(ctx, true, h);
    const float t14 = measure_truth(step, ctx, prompt_ids, prefill_length, 15);
    const float t15 = measure_truth(step, ctx, prompt_ids, prefill_length, 16);
    ctx->layer_limit = 18;
    print_head_row(h, t14, t15, t15_base, prefill_pass(step, ctx, prompt_ids, prefill_length), &best);
  }
  print_audit_summary(best);
}

void run_shared_head_audit(const PromptPass& pass) {
  InferenceContext* ctx = pass.ctx;
  print_audit_header();
  // Layers 0 .. 13 never see the knockout: they run once, and every measurement starts from
  // the state they leave (and their caches).
  set_knockout(ctx, false, -1);
  pass_embed(pass);
  for (uint64_t l = 0; l < uint64_t(kAuditLayer); l++) pass_layer(pass, l);
  pass_save(pass);

  const Tail base = run_tail(pass);
  print_baseline_row(base.t14, base.t15, base.first_token);
  Best best;
  for (int h = 0; h < kHeads; h++) {
    set_knockout(ctx, true, h);
    const Tail t = run_tail(pass);
    print_head_row(h, t.t14, t.t15, base.t15, t.first_token, &best);
  }
  print_audit_summary(best);
}
