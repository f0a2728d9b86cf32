#include "reports/audit_report.h"

#include <cstdio>

#include "reports/report_rules.h"
#include "vocab/token_render.h"

namespace {
const char* const kRow = "%-10s | %+12.4f   | %+12.4f   | %+12.4f   | %-16s | %s\n";

// "%s (ID:%llu)" with the token's label into a 48-byte column.
void format_token_column(char (&column)[48], int32_t id) {
  char label[32];
  render_token_label(id, label);
  snprintf(column, sizeof column, "%s (ID:%llu)", label,
           static_cast<unsigned long long>(static_cast<uint32_t>(id)));
}
}  // namespace

const char* audit_verdict(float delta) {
  if (delta > 0.002f) return "🚨【高度內鬼嫌疑！】真實度顯著回彈";
  if (delta > 0.0005f) return "⚠️【中度關聯】部分毒素攜帶者";
  if (delta < -0.002f) return "🛡️【語法支撐頭】敲除導致真實度進一步惡化";
  return "無顯著影響 (良性注意力頭)";  // NaN included
}

void print_audit_header(int layer) {
  const int next = audit_next_layer(layer);
  fputs(kRuleEq, stdout);
  printf("🔬  [LAYER %d ATTENTION HEAD AUDIT] 8 輪因果敲除確診報告 (Causal Knockout Attribution Matrix)\n", layer);
  fputs(kRuleDash, stdout);
  char at[32], after[32], delta[32];  // room for any int
  snprintf(at, sizeof at, "Layer %d Truth", layer);
  snprintf(after, sizeof after, "Layer %d Truth", next);
  snprintf(delta, sizeof delta, "ΔT(L%d) 回彈", next);
  printf("%-10s | %-14s | %-14s | %-14s | %-16s | 內鬼嫌疑度與因果診斷\n", "測試對象", at, after, delta, "首字發射");
  fputs(kRuleDash, stdout);
}

void print_audit_baseline_row(const AuditRow& row) {
  char column[48];
  format_token_column(column, row.first_token);
  printf(kRow, "Baseline", static_cast<double>(row.truth_at), static_cast<double>(row.truth_next), 0.0, column,
         "[受污染基準] 裸機輸出 15% 謊言");
}

void print_audit_head_row(int h, const AuditRow& row, float baseline_truth_next) {
  const float delta = row.truth_next - baseline_truth_next;
  char column[48];
  format_token_column(column, row.first_token);
  char label[24];  // room for any int, so the compiler can see nothing is cut
  snprintf(label, sizeof label, "Head #%02d", h);
  printf(kRow, label, static_cast<double>(row.truth_at), static_cast<double>(row.truth_next),
         static_cast<double>(delta), column, audit_verdict(delta));
}

void print_audit_summary(int layer, int best_head, float best_delta) {
  const int next = audit_next_layer(layer);
  fputs(kRuleDash, stdout);
  fputs("🎯 【8 輪因果敲除確診結論】:\n", stdout);
  printf("   ▶ 主要內鬼頭: Head #%02d (Layer %d 真實度回彈最大: ΔT = %+8.4f)\n", best_head, next,
         static_cast<double>(best_delta));
  printf("   ▶ 內鬼作用機制: 該頭將殘差流拉向負真實度方向，使 Layer %d 真實度由正轉負 (-0.0033)！\n", next);
  fputs("   ▶ BOM 裝配指令: 嚴禁全域切除！將由 BOM 替代料重塑器 (Substitute Splicer) 實施正交去毒與真值重塑！\n", stdout);
  fputs(KV_RULE_EQ "\n\n", stdout);
}
