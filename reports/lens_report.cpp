#include "reports/lens_report.h"

#include <cstdio>

#include "reports/report_rules.h"
#include "vocab/token_render.h"

std::string visible_token_text(int32_t id) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : token_label_text(id)) {
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      out += "\\x";
      out += kDigits[c >> 4];
      out += kDigits[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

void print_lens_table(const Lens& lens) {
  fputs(kRuleEq, stdout);
  printf("[LOGIT LENS] Top-%d Tokens of the 256k Classifier at Every Depth (Final Norm, No Penalty)\n", lens.k);
  fputs(kRuleDash, stdout);
  fputs("Layer      | 'token' (ID:id, logit) for ranks 1 .. K, highest logit first\n", stdout);
  fputs(kRuleDash, stdout);
  for (int h = 0; h < modes::kTelemetryRows; h++) {
    std::string line = "Layer " + std::to_string(h / 10) + std::to_string(h % 10) + "  ";
    for (int j = 0; j < lens.k; j++) {
      char tail[64];
      snprintf(tail, sizeof tail, "' (ID:%d, %+.4f)", lens.rows[h].ids[j], static_cast<double>(lens.rows[h].logits[j]));
      line += " | '" + visible_token_text(lens.rows[h].ids[j]) + tail;
    }
    line += '\n';
    fputs(line.c_str(), stdout);
  }
  fputs(kRuleDash, stdout);
  fputs("\n", stdout);
}
