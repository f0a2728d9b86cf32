#include "reports/splice_report.h"

#include <cstdio>

void print_splice_decision(const SpliceDecision& d) {
  // The gate axis shows as Domain and the truth axis as Truth, whatever the probe names them.
  const float gate = d.reading.value[probe_roles().gate];
  const float truth = d.reading.value[probe_roles().truth];
  if (d.armed) {
    printf("[⚡ BOM SPLICER ACTIVE] 檢測到受污染語意特徵 (Domain: %+6.4f, Layer 15 Truth: %+6.4f)\n", static_cast<double>(gate), static_cast<double>(truth));
    printf("[⚡ BOM SPLICER ACTIVE] 啟動 Layer 14 正交替代料原位重塑器 (β = %.2f, 語法骨架 100%% 保留)！\n\n", static_cast<double>(d.beta));
  } else {
    printf("[🛡️ BOM SAFETY VALVE] 檢測到非稅務通用領域提示詞 (Domain: %+6.4f <= 0)\n", static_cast<double>(gate));
    printf("[🛡️ BOM SAFETY VALVE] 動態閥門休眠，不執行稅務替代料重塑，100%% 保障通用智能零損傷！\n\n");
  }
}

void print_steering_gate(const SteeringGate& g) {
  const int axis = probe_roles().gate;
  const double value = static_cast<double>(g.reading.value[axis]);
  if (g.open) {
    printf("[⚡ STEERING GATE OPEN] The probe's %s axis reads %+6.4f after %d layers (> 0)\n", probe_axis_name(axis), value,
           g.layers);
    printf("[⚡ STEERING GATE OPEN] The control vectors steer this prompt's run\n\n");
  } else {
    printf("[🛡️ STEERING GATE CLOSED] The probe's %s axis reads %+6.4f after %d layers (<= 0)\n", probe_axis_name(axis),
           value, g.layers);
    printf("[🛡️ STEERING GATE CLOSED] The control vectors are left out of this prompt's run\n\n");
  }
}
