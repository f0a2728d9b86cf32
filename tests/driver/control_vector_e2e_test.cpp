// Control vectors through the real programs on the synthetic weights: the telemetry rows before
// the vector's layer are the plain run's bytes and every row from it on moves; the shared and
// the literal schedules print the same bytes in the default, splice and audit modes.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "tests/support/gguf_writer.h"
#include "tests/support/korvane_runs.h"
#include "tests/support/synthetic_weights.h"

namespace {

const std::string kShared = KORVANE_BINARY;
const std::string kLiteral = KORVANE_LITERAL_BINARY;

// Writes a control vector with direction.N for each layer given (and one past the model, which
// must be ignored) into the build folder; the same layers give the same bytes and path, so the
// kept runs stay valid.
std::string control_vector_file(const std::vector<int>& layers) {
  std::vector<GgufTestTensor> tensors;
  std::string name = std::string(KORVANE_BUILD_DIR) + "/control_vector_e2e";
  for (int n : layers) {
    name.push_back('_');
    name.append(std::to_string(n));
    tensors.push_back({"direction." + std::to_string(n), {2048}, 0,
                       f32_bytes(2048, [&](uint64_t i) { return 0.75f * float(int((i * 7 + uint64_t(n)) % 11) - 5); })});
  }
  tensors.push_back({"direction.18", {2048}, 0, f32_bytes(2048, [](uint64_t) { return 100.0f; })});
  name += ".gguf";
  std::ofstream(name, std::ios::binary)
      << gguf_test_file({{"general.architecture", "controlvector"}, {"controlvector.model_hint", "gemma"}}, tensors);
  return name;
}

// The 18 printed telemetry rows of a run's output.
std::vector<std::string> telemetry_rows(const std::string& out) {
  std::vector<std::string> rows;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);)
    if (line.rfind("Layer ", 0) == 0 && line.size() > 9 && line[6] >= '0' && line[6] <= '9') rows.push_back(line);
  return rows;
}

// Runs both schedules with args and expects a clean exit and the same bytes; returns the output.
std::string same_in_both_schedules(const std::string& weights, const std::vector<std::string>& args) {
  const RunResult shared = korvane_run_program(kShared, weights, args);
  const RunResult literal = korvane_run_program(kLiteral, weights, args);
  EXPECT_EQ(shared.status, 0) << shared.out << shared.err;
  EXPECT_EQ(literal.status, 0) << literal.out << literal.err;
  EXPECT_NE(shared.err.find("direction.18 ignored"), std::string::npos) << shared.err;
  EXPECT_TRUE(shared.out == literal.out) << "shared:\n" << shared.out << "\nliteral:\n" << literal.out;
  return shared.out;
}

}  // namespace

TEST(ControlVectorE2E, RowsMoveFromTheVectorsLayerOnInBothSchedules) {
  const std::string plain = korvane_run_program(kShared, synthetic_weights_path(), {"hi"}).out;
  const std::string steered =
      same_in_both_schedules(synthetic_weights_path(), {"--control-vector", control_vector_file({9}), "hi"});
  const std::vector<std::string> before = telemetry_rows(plain), after = telemetry_rows(steered);
  ASSERT_EQ(before.size(), 18u) << plain;
  ASSERT_EQ(after.size(), 18u) << steered;
  for (size_t l = 0; l < 18; l++) {
    if (l < 9) EXPECT_EQ(after[l], before[l]) << "row " << l;
    else EXPECT_NE(after[l], before[l]) << "row " << l;
  }
  EXPECT_NE(steered.find("[*] Steered Layers  : 9\n"), std::string::npos) << steered;
}

TEST(ControlVectorE2E, TheSpliceAndTheAuditSeeTheSteeredModel) {
  // Armed splice with a control row after the splice's own layer 14: both are added there.
  const std::string file = control_vector_file({3, 14});
  const std::string splice =
      same_in_both_schedules(domain_variant_weights_path(), {"--splice-substitute", "--control-vector", file + ":0.5", "hi"});
  EXPECT_NE(splice.find("BOM SPLICER ACTIVE"), std::string::npos) << splice;
  const std::string audit = same_in_both_schedules(synthetic_weights_path(), {"--audit-heads", "--control-vector", file, "hi"});
  const std::string plain_audit = korvane_run_program(kShared, synthetic_weights_path(), {"--audit-heads", "hi"}).out;
  // The baseline row reads Truth after layers 14 and 15: the control row after layer 14 moves it.
  auto baseline_row = [](const std::string& out) {
    const size_t at = out.find("\nBaseline");
    return at == std::string::npos ? std::string() : out.substr(at, out.find('\n', at + 1) - at);
  };
  ASSERT_NE(baseline_row(audit), "") << audit;
  EXPECT_NE(baseline_row(audit), baseline_row(plain_audit));
}
