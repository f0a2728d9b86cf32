#include "reports/audit_all_report.h"

#include <cmath>
#include <cstdio>

#include "reports/lens_report.h"
#include "reports/report_rules.h"

namespace {
constexpr int kCells = int(geom::kLayers) * modes::kAuditHeads;

float cell_value(const AuditAll& a, int cell, bool by_logit) {
  const AuditAllCell& c = a.cells[cell / modes::kAuditHeads][cell % modes::kAuditHeads];
  return by_logit ? c.delta_logit : c.delta_last;
}

// True when magnitude a ranks above b (NaN below every number, ties not above).
bool moves_more(float a, float b) {
  if (std::isnan(a)) return false;
  return std::isnan(b) || std::fabs(a) > std::fabs(b);
}

// One table: a row per layer, a column per head, each cell's `field`.
void print_table(const AuditAll& a, const char* title, float AuditAllCell::*field) {
  fputs(kRuleDash, stdout);
  printf("%s\n", title);
  fputs(kRuleDash, stdout);
  fputs("Layer      |", stdout);
  for (int h = 0; h < modes::kAuditHeads; h++) printf(" Head #%02d |", h);
  fputs("\n", stdout);
  for (int l = 0; l < int(geom::kLayers); l++) {
    printf("Layer %02d   |", l);
    for (int h = 0; h < modes::kAuditHeads; h++) printf(" %+8.4f |", static_cast<double>(a.cells[l][h].*field));
    fputs("\n", stdout);
  }
}

void print_top(const AuditAll& a, bool by_logit) {
  int cells[kAuditAllTop];
  top_audit_cells(a, by_logit, cells);
  for (int k = 0; k < kAuditAllTop; k++) {
    const int c = cells[k];
    printf("   %2d. Layer %02d Head #%02d : %s = %+.4f\n", k + 1, c / modes::kAuditHeads, c % modes::kAuditHeads,
           by_logit ? "Δlogit" : "ΔT(L17)", static_cast<double>(cell_value(a, c, by_logit)));
  }
}
}  // namespace

void top_audit_cells(const AuditAll& a, bool by_logit, int cells[kAuditAllTop]) {
  int filled = 0;
  for (int c = 0; c < kCells; c++) {
    const float v = cell_value(a, c, by_logit);
    if (filled == kAuditAllTop && !moves_more(v, cell_value(a, cells[kAuditAllTop - 1], by_logit))) continue;
    int at = filled < kAuditAllTop ? filled++ : kAuditAllTop - 1;
    while (at > 0 && moves_more(v, cell_value(a, cells[at - 1], by_logit))) {
      cells[at] = cells[at - 1];
      at--;
    }
    cells[at] = c;
  }
}

void print_audit_all_report(const AuditAll& a) {
  fputs(kRuleEq, stdout);
  printf("🔬  [ALL-LAYER ATTENTION HEAD AUDIT] 144 輪因果敲除 (%s ablation, every head of layers 00 ~ 17)\n",
         a.mean_ablation ? "mean" : "zero");
  print_table(a, "[TABLE 1] ΔT at the next depth (Layer L+1; Layer 17 for L = 17) against the baseline", &AuditAllCell::delta_next);
  print_table(a, "[TABLE 2] ΔT at the last depth (Layer 17) against the baseline", &AuditAllCell::delta_last);
  fputs(kRuleDash, stdout);
  printf("🎯 Baseline: Layer 17 Truth = %+.4f, next token '%s' (ID:%d, logit %+.4f)\n",
         static_cast<double>(a.baseline_reading[geom::kLayers - 1]), visible_token_text(a.baseline_next).c_str(),
         a.baseline_next, static_cast<double>(a.baseline_logit));
  fputs("   ▶ The 10 heads that move the last depth's reading most:\n", stdout);
  print_top(a, false);
  printf("   ▶ The 10 heads that move the logit of '%s' (ID:%d) most:\n", visible_token_text(a.baseline_next).c_str(),
         a.baseline_next);
  print_top(a, true);
  fputs(KV_RULE_EQ "\n\n", stdout);
}
