// The splice mode through the real program: the valve closed on the synthetic weights, and
// armed on a variant whose last template token points along the probe's Domain axis.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "probe/probe_tables.h"
#include "tests/support/korvane_runs.h"
#include "tests/support/run_report.h"
#include "tests/support/synthetic_weights.h"
#include "vocab/prompt_tokenizer.h"
#include "vocab/token_index.h"

namespace {
const std::string kStandard = "Standard Baseline Forward Inference (Full Precision FP16)";

int32_t prefill_length(const char* prompt) {
  build_token_index();
  int32_t ids[256];
  return tokenize_prompt(prompt, ids, 256);
}

RunReport parse(const RunResult& run, const std::string& profile, const std::string& decision, bool armed) {
  return parse_run_report(run.out, RunExpectations{"hi", profile, prefill_length("hi"), decision, armed});
}

// The two decision lines, taken from the output where the test checks their shape.
std::string decision_lines(const std::string& out, const std::regex& shape) {
  size_t start = out.find("\xE2\x9C\x94 [5/5]");
  start = out.find("\n\n", start) + 2;
  size_t end = out.find("\n\n", start) + 2;
  std::string lines = out.substr(start, end - start);
  EXPECT_TRUE(std::regex_match(lines, shape)) << lines;
  return lines;
}
}  // namespace

TEST(SpliceE2E, ClosedValveLeavesTheRunAsTheDefaultMode) {
  const RunResult plain = korvane_run(synthetic_weights_path(), {"hi"});
  const RunResult closed = korvane_run(synthetic_weights_path(), {"--splice-substitute", "hi"});
  ASSERT_EQ(closed.status, 0);
  const std::regex shape(
      "\\[🛡️ BOM SAFETY VALVE\\] 檢測到非稅務通用領域提示詞 \\(Domain: [+-]\\d\\.\\d{4} <= 0\\)\n"
      "\\[🛡️ BOM SAFETY VALVE\\] 動態閥門休眠，不執行稅務替代料重塑，100% 保障通用智能零損傷！\n\n");
  std::string decision = decision_lines(closed.out, shape);
  RunReport a = parse(plain, kStandard, "", false);
  RunReport b = parse(closed, "Dynamic Orthogonal State Splicing Active (beta = 4.50)", decision, false);
  ASSERT_EQ(a.error, "");
  ASSERT_EQ(b.error, "");
  EXPECT_EQ(a.from_table, b.from_table);
  // The decision read the 16-layer state: the same as telemetry row 15.
  EXPECT_NE(decision.find("(Domain: " + a.rows[15].domain + " <= 0)"), std::string::npos) << decision;
}

TEST(SpliceE2E, ArmedSpliceChangesOnlyRowsFromLayer14On) {
  const std::string& variant = domain_variant_weights_path();
  const RunResult plain = korvane_run(variant, {"hi"});
  const RunResult armed = korvane_run(variant, {"--splice-substitute", "hi"});
  ASSERT_EQ(armed.status, 0) << armed.err;
  const std::regex shape(
      "\\[⚡ BOM SPLICER ACTIVE\\] 檢測到受污染語意特徵 \\(Domain: \\+\\d\\.\\d{4}, Layer 15 Truth: [+-]\\d\\.\\d{4}\\)\n"
      "\\[⚡ BOM SPLICER ACTIVE\\] 啟動 Layer 14 正交替代料原位重塑器 \\(β = 4\\.50, 語法骨架 100% 保留\\)！\n\n");
  std::string decision = decision_lines(armed.out, shape);
  RunReport a = parse(plain, kStandard, "", false);
  RunReport b = parse(armed, "Dynamic Orthogonal State Splicing Active (beta = 4.50)", decision, true);
  ASSERT_EQ(a.error, "");
  ASSERT_EQ(b.error, "");
  // The decision line carries the unspliced 16-layer readings: row 15 of the plain run.
  EXPECT_NE(decision.find("(Domain: " + a.rows[15].domain + ", Layer 15 Truth: " + a.rows[15].truth + ")"),
            std::string::npos)
      << decision;
  for (int h = 0; h < 14; h++) {
    EXPECT_EQ(a.rows[h].hash, b.rows[h].hash) << h;
    EXPECT_EQ(a.rows[h].truth, b.rows[h].truth) << h;
  }
  for (int h = 14; h < 18; h++) EXPECT_NE(a.rows[h].hash, b.rows[h].hash) << h;
}
