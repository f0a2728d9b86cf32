#include "reports/telemetry_report.h"

#include <cstdio>

#include "reports/report_rules.h"
#include "vocab/token_render.h"

namespace {
// The station note printed at the end of telemetry row h.
const char* layer_note(int h, bool splice_armed, float truth) {
  switch (h) {
    case 0: return "[TAKEOFF] Token Embedding Lookup";
    case 8: return "[Station 08 Ingress] Bypass Sampling Point";
    case 9: return "[Station 09 Socket] Core Extension Bus (1024 Slots)";
    case 10: return "[Station 10 Egress] Bypass Injection Point";
    case 14:
      return splice_armed ? "[BOM SPLICER] Layer 14 State Reshaped!"
                          : "[Pre-Inflection] Attention Divergence Detected";
    case 15:
      // A NaN reading is not below 0 and takes the second note.
      return truth < 0.0f ? "\xF0\x9F\x92\xA5 [CRITICAL INFLECTION] Truth dropped below 0.0!"
                          : "[Station 15] Semantic Convergence";
    case 16: return "[Station 16 AOI] 4D Radar Final Audit";
    case 17: return "[LANDING] Final Norm & Vocabulary GEMV";
    default: return "";
  }
}
}  // namespace

void print_telemetry_header() {
  fputs(kRuleEq, stdout);
  fputs("[PHASE 1] 18-Layer Latent Flight Telemetry (Layer 00 ~ 17 State Inspection)\n", stdout);
  fputs(kRuleDash, stdout);
  // One column of 10 for each of the probe's axes (the embedded probe's four give today's line).
  char line[256];
  int n = snprintf(line, sizeof line, "%-10s | ", "Layer");
  for (int a = 0; a < probe_axis_count(); a++) n += snprintf(line + n, sizeof line - size_t(n), "%-10s | ", probe_axis_label(a));
  snprintf(line + n, sizeof line - size_t(n), "%-17s | Station Status & Flight Notes\n", "State Hash (32b)");
  fputs(line, stdout);
  fputs(kRuleDash, stdout);
}

void print_telemetry_row(int h, const DepthReading& d, bool splice_armed) {
  const ProbeReading& r = d.reading;
  char line[512];
  int n = snprintf(line, sizeof line, "Layer %02d   | ", h);
  for (int a = 0; a < probe_axis_count(); a++)
    n += snprintf(line + n, sizeof line - size_t(n), "%+10.4f   | ", static_cast<double>(r.value[a]));
  snprintf(line + n, sizeof line - size_t(n), "[0x%08X]         | %s\n", d.hash,
           layer_note(h, splice_armed, r.value[probe_roles().truth]));
  fputs(line, stdout);
}

void print_telemetry_footer() {
  fputs(kRuleDash, stdout);
  fputs("\n", stdout);
}

void print_telemetry_table(const Telemetry& t) {
  print_telemetry_header();
  for (int h = 0; h < modes::kTelemetryRows; h++) print_telemetry_row(h, t.depths[h], t.splice_armed);
  print_telemetry_footer();
}

void print_generation_header() {
  fputs(kRuleEq, stdout);
  fputs("[PHASE 2] 256k Vocabulary Classifier (Hardware Register RAX Trace)\n", stdout);
  fputs(kRuleDash, stdout);
}

void print_answer_intro() { fputs("[*] Capturing Argmax Token IDs from 256k Classifier Register RAX:\n", stdout); }

void print_answer_token(int u, const AnswerToken& token) {
  printf("  \xE2\x80\xA2 Token #%02d: ID = %-8d (Logit = %+8.4f) -> '", u, token.id, static_cast<double>(token.logit));
  render_answer_token(token.id, stdout);
  fputs("'\n", stdout);
}

void print_answer_footer() {
  fputs("\n", stdout);
  fputs(kRuleEq, stdout);
  fputs("[DONE] Standalone Native Inference Complete \xC2\xB7 Verified Silicon Trace\n", stdout);
  fputs(kRuleEq, stdout);
}
