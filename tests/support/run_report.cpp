#include "tests/support/run_report.h"

#include <cstdio>
#include <cstdlib>
#include <regex>

#include "driver/banner.h"
#include "reports/report_rules.h"
#include "tests/support/output_cursor.h"
#include "vocab/token_render.h"

std::string answer_text(int32_t id) {
  char* buf = nullptr;
  size_t len = 0;
  FILE* f = open_memstream(&buf, &len);
  render_answer_token(id, f);
  fclose(f);
  std::string s(buf, len);
  free(buf);
  return s;
}

namespace {
std::string trim(const std::string& s) {
  size_t b = s.find_first_not_of(' ');
  return b == std::string::npos ? "" : s.substr(b);
}

std::string expected_note(int h, bool armed, const std::string& truth) {
  switch (h) {
    case 0: return "[TAKEOFF] Token Embedding Lookup";
    case 8: return "[Station 08 Ingress] Bypass Sampling Point";
    case 9: return "[Station 09 Socket] Core Extension Bus (1024 Slots)";
    case 10: return "[Station 10 Egress] Bypass Injection Point";
    case 14: return armed ? "[BOM SPLICER] Layer 14 State Reshaped!" : "[Pre-Inflection] Attention Divergence Detected";
    case 15:
      return std::strtod(truth.c_str(), nullptr) < 0.0 ? "💥 [CRITICAL INFLECTION] Truth dropped below 0.0!"
                                                      : "[Station 15] Semantic Convergence";
    case 16: return "[Station 16 AOI] 4D Radar Final Audit";
    case 17: return "[LANDING] Final Norm & Vocabulary GEMV";
    default: return "";
  }
}
}  // namespace

bool take_startup_lines(OutputCursor& c, const std::string& prompt, const std::string& profile,
                        int32_t prefill_length) {
  char banner[1024];
  unscramble_banner(banner, sizeof banner);
  return c.take(std::string(banner) + "\n") &&
         c.take("[*] Execution Mode  : Standalone Native Binary (Zero-Python, Zero-CUDA, Zero-Runtime)\n"
                "[*] Pipeline Profile: " + profile + "\n[*] Input Prompt    : \"" + prompt + "\"\n\n") &&
         c.take("✔ [1/5] Embedded 256k Vocabulary Mapped (Total Tokens: 256000, String Pool: 2.09 MB)\n"
                "✔ [2/5] Embedded 4D Mental Radar Weights & Baseline Vector Loaded!\n"
                "✔ [3/5] Gemma-2B Model Core (4.3 GB) Mapped Successfully!\n"
                "✔ [4/5] 4-Core SMP Micro-Kernel Thread Pool & RoPE Table Initialized!\n"
                "✔ [5/5] Prompt Tokenization Complete (Prefill Length: " + std::to_string(prefill_length) +
                " Tokens)\n\n");
}

RunReport parse_run_report(const std::string& out, const RunExpectations& e) {
  RunReport r;
  OutputCursor c(out);
  auto fail = [&](const std::string& what) {
    r.error = what + " at byte " + std::to_string(c.at) + ": [" + c.rest() + "]";
    return r;
  };
  if (!take_startup_lines(c, e.prompt, e.profile, e.prefill_length)) return fail("banner, profile or start-up lines");
  if (!c.take(e.decision)) return fail("splice decision lines");
  size_t table_start = c.at;
  const std::string eq = kRuleEq, dash = kRuleDash;
  if (!c.take(eq + "[PHASE 1] 18-Layer Latent Flight Telemetry (Layer 00 ~ 17 State Inspection)\n" + dash +
              "Layer      | Truth (T)  | Safety (S) | Cert (C)   | Domain (D) | State Hash (32b)  | Station Status & Flight Notes\n" +
              dash))
    return fail("telemetry header");
  const std::regex row(R"(Layer (\d\d)   \| ( *[+-](?:\d+\.\d{4}|nan|inf))   \| ( *[+-](?:\d+\.\d{4}|nan|inf))   \| )"
                       R"(( *[+-](?:\d+\.\d{4}|nan|inf))   \| ( *[+-](?:\d+\.\d{4}|nan|inf))   \| \[0x([0-9A-F]{8})\]         \| (.*))");
  std::smatch m;
  for (int h = 0; h < 18; h++) {
    if (!c.take_line(row, m)) return fail("telemetry row " + std::to_string(h));
    if (std::stoi(m[1]) != h) return fail("row number");
    for (int k = 2; k <= 5; k++)
      if (m[k].length() < 10 || (m[k].length() > 10 && m[k].str()[0] == ' ')) return fail("reading width");
    TelemetryRow t{trim(m[2]), trim(m[3]), trim(m[4]), trim(m[5]),
                   static_cast<uint32_t>(std::stoul(m[6], nullptr, 16)), m[7]};
    if (t.note != expected_note(h, e.splice_armed, t.truth)) return fail("note of row " + std::to_string(h));
    r.rows.push_back(t);
  }
  if (!c.take(dash + "\n")) return fail("telemetry closing rule");
  if (!c.take(eq + "[PHASE 2] 256k Vocabulary Classifier (Hardware Register RAX Trace)\n" + dash +
              "[*] Capturing Argmax Token IDs from 256k Classifier Register RAX:\n"))
    return fail("phase 2 header");
  const std::regex token(R"(  • Token #(\d\d): ID = (\d+) *(?: )\(Logit = ( *[+-](?:\d+\.\d{4}|nan|inf))\) -> ')");
  for (int u = 1; u <= 25; u++) {
    size_t line_end = out.find("-> '", c.at);
    const std::string bullet = "  • Token #";
    if (line_end == std::string::npos || out.compare(c.at, bullet.size(), bullet) != 0) break;
    std::string head = out.substr(c.at, line_end + 4 - c.at);
    if (!std::regex_match(head, m, token)) return fail("token line " + std::to_string(u));
    if (std::stoi(m[1]) != u) return fail("token number");
    char id_field[32];
    snprintf(id_field, sizeof id_field, "ID = %-8d ", std::stoi(m[2]));
    if (head.find(id_field) == std::string::npos) return fail("id field width");
    if (m[3].length() < 8 || (m[3].length() > 8 && m[3].str()[0] == ' ')) return fail("logit width");
    GeneratedToken g{std::stoi(m[2]), trim(m[3])};
    c.at = line_end + 4;
    if (!c.take(answer_text(g.id) + "'\n")) return fail("token text of id " + std::to_string(g.id));
    r.tokens.push_back(g);
  }
  if (!c.take("\n" + eq + "[DONE] Standalone Native Inference Complete · Verified Silicon Trace\n" + eq))
    return fail("closing lines");
  if (!c.done()) return fail("trailing output");
  r.from_table = out.substr(table_start);
  return r;
}
