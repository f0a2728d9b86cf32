// The program's shared schedules against the literal ones (korvane_literal), through the real
// programs on the synthetic weights: the complete console output must be the same bytes in
// every mode, for any thread count. The long cases (default prompt, 200-token prompt) carry the
// label `long`: the literal schedule takes tens of minutes on them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/korvane_runs.h"
#include "tests/support/synthetic_weights.h"

namespace {

const std::string kShared = KORVANE_BINARY;
const std::string kLiteral = KORVANE_LITERAL_BINARY;

// Index of the first byte where a and b differ, or -1.
long first_difference(const std::string& a, const std::string& b) {
  for (size_t i = 0; i < a.size() && i < b.size(); i++)
    if (a[i] != b[i]) return long(i);
  return a.size() == b.size() ? -1 : long(std::min(a.size(), b.size()));
}

// The text around byte i, for a readable failure.
std::string around(const std::string& s, long i) {
  const long from = std::max(0L, i - 120);
  return s.substr(size_t(from), 240);
}

// Runs both programs with args on weights and expects the same bytes and a clean exit.
void expect_same_bytes(const std::string& weights, const std::vector<std::string>& args,
                       const std::string& must_contain) {
  const RunResult literal = korvane_run_program(kLiteral, weights, args);
  const RunResult shared = korvane_run_program(kShared, weights, args);
  ASSERT_EQ(literal.status, 0) << literal.err;
  ASSERT_EQ(shared.status, 0) << shared.err;
  EXPECT_EQ(shared.err, "");
  // The run got as far as its report (a truncated pair of equal outputs proves nothing).
  ASSERT_NE(literal.out.find(must_contain), std::string::npos) << literal.out;
  const long at = first_difference(shared.out, literal.out);
  EXPECT_EQ(at, -1) << "shared:\n" << around(shared.out, at) << "\nliteral:\n" << around(literal.out, at);
}

const char* const kDone = "[DONE] Standalone Native Inference Complete";
const char* const kAudited = "主要內鬼頭";

}  // namespace

#if !KORVANE_LONG_CASES
TEST(SchedulesE2E, DefaultModeOneWord) { expect_same_bytes(synthetic_weights_path(), {"hi"}, kDone); }

TEST(SchedulesE2E, SpliceModeOneWordValveClosed) {
  expect_same_bytes(synthetic_weights_path(), {"--splice-substitute", "hi"}, "BOM SAFETY VALVE");
}

TEST(SchedulesE2E, SpliceModeOneWordArmed) {
  // On this variant the Domain reading is positive: the splice is armed and layers 15 .. 17
  // run again on the spliced state.
  expect_same_bytes(domain_variant_weights_path(), {"--splice-substitute", "--beta", "2.5", "hi"},
                    "BOM SPLICER ACTIVE");
}

TEST(SchedulesE2E, AuditOneWord) { expect_same_bytes(synthetic_weights_path(), {"--audit-heads", "hi"}, kAudited); }

TEST(SchedulesE2E, AuditOfAnotherLayerOneWord) {
  expect_same_bytes(synthetic_weights_path(), {"--audit-heads", "--audit-layer", "10", "hi"}, kAudited);
}

TEST(SchedulesE2E, LensOneWord) { expect_same_bytes(synthetic_weights_path(), {"--lens", "4", "hi"}, "[LOGIT LENS]"); }

TEST(SchedulesE2E, ThreadCountsGiveTheSameBytes) {
  for (const char* mode : {"", "--audit-heads"}) {
    std::vector<std::string> args = {"hi"};
    if (*mode) args.insert(args.begin(), mode);
    const RunResult two = korvane_run_program(kShared, synthetic_weights_path(), args, {"KORVANE_THREADS=2"});
    ASSERT_EQ(two.status, 0) << two.err;
    for (const char* threads : {"KORVANE_THREADS=1", "KORVANE_THREADS=4"}) {
      const RunResult other = korvane_run_program(kShared, synthetic_weights_path(), args, {threads});
      ASSERT_EQ(other.status, 0) << other.err;
      EXPECT_EQ(first_difference(other.out, two.out), -1) << threads << " " << mode;
    }
  }
}

TEST(SchedulesE2E, ABadThreadCountIsFatal) {
  for (const char* setting : {"KORVANE_THREADS=0", "KORVANE_THREADS=four", "KORVANE_THREADS=", "KORVANE_THREADS=300"}) {
    const RunResult r = korvane_run_program(kShared, synthetic_weights_path(), {"hi"}, {setting});
    EXPECT_EQ(r.status, 1) << setting;
    const std::string value = std::string(setting).substr(16);
    const std::string line = "\xE2\x9D\x8C [FATAL] KORVANE_THREADS must be a whole number of threads from 1 to 256, not \"" +
                             value + "\"\n";
    EXPECT_EQ(r.out.size() >= line.size() ? r.out.substr(r.out.size() - line.size()) : r.out, line) << setting;
  }
}
#else
namespace {
// A prompt of 190 words that the tokenizer makes into 200 prefill ids.
std::string long_prompt() {
  const char* words[] = {"the", "quick", "brown", "fox", "jumps", "over", "the", "lazy", "dog", "while",
                         "seven", "tax", "clerks", "count", "coins", "near", "a", "river", "bank", "and",
                         "sing", "about", "weather", "rates"};
  std::string p;
  for (int i = 0; i < 190; i++) p += std::string(i ? " " : "") + words[i % 24];
  return p;
}

void expect_prefill_length(const std::string& weights, const std::vector<std::string>& args, int n) {
  const RunResult shared = korvane_run_program(kShared, weights, args);
  EXPECT_NE(shared.out.find("(Prefill Length: " + std::to_string(n) + " Tokens)"), std::string::npos);
}

}  // namespace

TEST(SchedulesLong, DefaultPromptDefaultMode) { expect_same_bytes(synthetic_weights_path(), {}, kDone); }
TEST(SchedulesLong, DefaultPromptSpliceClosed) {
  expect_same_bytes(synthetic_weights_path(), {"--splice-substitute"}, "BOM SAFETY VALVE");
}
TEST(SchedulesLong, DefaultPromptSpliceArmed) {
  expect_same_bytes(domain_variant_weights_path(), {"--splice-substitute"}, "BOM SPLICER ACTIVE");
}
TEST(SchedulesLong, DefaultPromptAudit) { expect_same_bytes(synthetic_weights_path(), {"--audit-heads"}, kAudited); }

TEST(SchedulesLong, LongPromptHasTwoHundredIds) { expect_prefill_length(synthetic_weights_path(), {long_prompt()}, 200); }
TEST(SchedulesLong, LongPromptDefaultMode) { expect_same_bytes(synthetic_weights_path(), {long_prompt()}, kDone); }
TEST(SchedulesLong, LongPromptSpliceClosed) {
  expect_same_bytes(synthetic_weights_path(), {"--splice-substitute", long_prompt()}, "BOM SAFETY VALVE");
}
TEST(SchedulesLong, LongPromptSpliceArmed) {
  expect_same_bytes(domain_variant_weights_path(), {"--splice-substitute", long_prompt()}, "BOM SPLICER ACTIVE");
}
TEST(SchedulesLong, LongPromptAudit) {
  expect_same_bytes(synthetic_weights_path(), {"--audit-heads", long_prompt()}, kAudited);
}
#endif
