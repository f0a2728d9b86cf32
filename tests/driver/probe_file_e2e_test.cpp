// Probe files through the real programs on the synthetic weights: the embedded probe written
// out by korvane-lab and read back gives the same bytes in every mode and schedule, and a
// hand-made per-depth probe reads each row's state with that row's tables.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "engine/prefill.h"
#include "kernels/kernels.h"
#include "probe/probe.h"
#include "probe/probe_file.h"
#include "tests/support/engine_harness.h"
#include "tests/support/korvane_runs.h"
#include "tests/support/run_binary.h"
#include "tests/support/synthetic_weights.h"
#include "vocab/fnv1a.h"
#include "vocab/prompt_tokenizer.h"
#include "vocab/token_index.h"

namespace {
namespace fs = std::filesystem;

const std::string kShared = KORVANE_BINARY;
const std::string kLiteral = KORVANE_LITERAL_BINARY;

// A probe file's bytes kept under a name made from them, so kept runs that name it stay right.
std::string kept_probe_file(const std::string& bytes) {
  const fs::path dir = fs::path(KORVANE_BUILD_DIR) / "e2e-probes";
  fs::create_directories(dir);
  char name[32];
  snprintf(name, sizeof name, "%08x.safetensors", fnv1a32(bytes.data(), bytes.size()));
  const std::string path = (dir / name).string();
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

uint64_t token_step_fn(InferenceContext* ctx) { return token_step(ctx); }

// f32 rounding of a double: every step of the reading, one operation at a time.
float f32(double v) { return static_cast<float>(v); }
}  // namespace

TEST(ProbeFileE2E, TheEmbeddedProbeExportedAndLoadedGivesTheSameBytesInEveryMode) {
  const fs::path out = fs::path(KORVANE_BUILD_DIR) / "e2e-probes" / "export-probe.tmp";
  fs::create_directories(out.parent_path());
  const RunResult exported = run_binary({KORVANE_LAB_BINARY, "export-probe", out.string()}, KORVANE_BUILD_DIR);
  ASSERT_EQ(exported.status, 0) << exported.err;
  const std::string probe = kept_probe_file(slurp(out.string()));
  struct Case {
    const std::string* program;
    bool domain_variant;  // the splice arms on this weights file
    std::vector<std::string> args;
  };
  const Case cases[] = {
      {&kShared, false, {"hi"}},
      {&kShared, false, {"--splice-substitute", "hi"}},
      {&kShared, true, {"--splice-substitute", "--beta", "2.5", "hi"}},
      {&kShared, false, {"--audit-heads", "hi"}},
      {&kShared, false, {"--json", "-", "hi"}},
      {&kLiteral, false, {"hi"}},
      {&kLiteral, true, {"--splice-substitute", "--beta", "2.5", "hi"}},
  };
  for (const Case& c : cases) {
    const std::string& weights = c.domain_variant ? domain_variant_weights_path() : synthetic_weights_path();
    std::vector<std::string> with_probe = {"--probe", probe};
    with_probe.insert(with_probe.end(), c.args.begin(), c.args.end());
    const RunResult embedded = korvane_run_program(*c.program, weights, c.args);
    const RunResult loaded = korvane_run_program(*c.program, weights, with_probe);
    const std::string what = *c.program + " " + c.args[0];
    ASSERT_EQ(embedded.status, 0) << what << embedded.err;
    ASSERT_EQ(loaded.status, 0) << what << loaded.out;
    EXPECT_GT(embedded.out.size(), 2000u) << what;  // a whole report (or record), not a start-up failure
    EXPECT_EQ(loaded.out, embedded.out) << what;
  }
}

TEST(ProbeFileE2E, APerDepthProbeReadsEveryRowWithItsOwnTables) {
  // Two axes whose directions, biases and baselines differ from depth to depth.
  Probe p;
  p.axes = 2;
  snprintf(p.names[0], sizeof p.names[0], "alpha");
  snprintf(p.names[1], sizeof p.names[1], "Beta");
  memcpy(p.labels, p.names, sizeof p.labels);
  p.tables.assign(kProbeDepthTables, ProbeTable{});
  uint32_t seed = 12345;
  const auto next = [&seed] {
    seed = seed * 1664525u + 1013904223u;
    return static_cast<float>(static_cast<int32_t>(seed) / 2147483648.0);
  };
  for (ProbeTable& t : p.tables) {
    for (int a = 0; a < 2; a++)
      for (int j = 0; j < kProbeDim; j++) t.weights[a][j] = next() * 0.03f;
    t.bias[0] = next() * 0.1f;
    t.bias[1] = next() * 0.1f;
    for (int j = 0; j < kProbeDim; j++) t.baseline[j] = next() * 0.5f;
  }
  const std::string probe = kept_probe_file(probe_file_bytes(p));
  // alpha is the truth axis here (row 15's note); the records carry every f32 exactly.
  const RunResult run =
      korvane_run_program(kShared, synthetic_weights_path(), {"--probe", probe, "--truth-axis", "alpha", "--json", "-", "hi"});
  ASSERT_EQ(run.status, 0) << run.err;
  const nlohmann::json telemetry = nlohmann::json::parse(run.out)["telemetry"];
  ASSERT_EQ(telemetry.size(), 18u);
  const RunResult console = korvane_run_program(kShared, synthetic_weights_path(), {"--probe", probe, "--truth-axis", "alpha", "hi"});
  ASSERT_EQ(console.status, 0) << console.err;
  EXPECT_NE(console.out.find("Layer      | alpha      | Beta       | State Hash (32b)  | Station Status"), std::string::npos);

  build_token_index();
  std::vector<int32_t> ids(256);
  ids.resize(static_cast<size_t>(tokenize_prompt("hi", ids.data(), 256)));
  ASSERT_EQ(synthetic_engine().status, WeightsStatus::ok);
  ModelBuffers m;
  for (int h = 0; h < 18; h++) {
    m.ctx.layer_limit = uint64_t(h + 1);
    prefill_pass(token_step_fn, &m.ctx, ids.data(), static_cast<int32_t>(ids.size()));
    char hash[16];
    snprintf(hash, sizeof hash, "0x%08X", state_hash(m.hidden.data()));
    ASSERT_EQ(telemetry[h]["hash"], hash) << "row " << h;  // the same state the program read
    // The reading, one rounded step at a time in double, with row h's tables.
    const ProbeTable& t = p.tables[size_t(h)];
    std::vector<float> d(kProbeDim);
    float s = 0.0f;
    for (int j = 0; j < kProbeDim; j++) {
      d[j] = f32(double(m.hidden[j]) - t.baseline[j]);
      s = f32(double(s) + f32(double(d[j]) * d[j]));
    }
    const float n = f32(std::sqrt(double(s)));
    ASSERT_GT(n, 1e-8f);
    for (float& v : d) v = f32(double(v) / n);
    for (int a = 0; a < 2; a++) {
      float acc = t.bias[a];
      for (int j = 0; j < kProbeDim; j++) acc = f32(double(acc) + f32(double(d[j]) * t.weights[a][j]));
      EXPECT_EQ(telemetry[h][p.names[a]].get<float>(), acc) << "row " << h << " axis " << p.names[a];
      char shown[32];
      snprintf(shown, sizeof shown, "%+10.4f   |", double(acc));
      char row[16];
      snprintf(row, sizeof row, "Layer %02d   |", h);
      const size_t line = console.out.find(row);
      ASSERT_NE(line, std::string::npos);
      EXPECT_NE(console.out.substr(line, console.out.find('\n', line) - line).find(shown), std::string::npos) << row;
    }
  }
}
