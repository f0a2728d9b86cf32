// korvane-lab's data commands on the synthetic weights: a probe trained to see a word, a control
// vector made from prompt pairs checked against the program's own state file, and the steering
// gate opening and closing on planted readings.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>

#include <nlohmann/json.hpp>

#include "driver/control_vectors.h"
#include "platform/gguf_file.h"
#include "probe/probe_file.h"
#include "tests/support/gguf_writer.h"
#include "tests/support/korvane_runs.h"
#include "tests/support/synthetic_weights.h"
#include "tests/support/temp_dir.h"

namespace {
using nlohmann::json;

std::string slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

RunResult lab(const TempDir& dir, std::vector<std::string> args) {
  args.insert(args.begin(), KORVANE_LAB_BINARY);
  args.insert(args.end(), {"-m", synthetic_weights_path()});
  return run_binary(args, dir.path);
}

const char* const kWords[] = {"river", "stone", "cloud", "apple", "window", "garden", "paper", "music", "winter", "bridge"};
}  // namespace

TEST(LabE2E, ATrainedProbeSeesAWordAndReversedLabelsFlipIt) {
  TempDir dir;
  std::ofstream data(dir.file("d.jsonl"));
  for (int i = 0; i < 10; i++) {
    const bool has = i % 2 == 0;
    data << json{{"prompt", std::string("the ") + kWords[i] + (has ? " and the zebra" : " and the table")},
                 {"labels", {{"zebra", int(has)}, {"reversed", int(!has)}}}}.dump()
         << "\n";
  }
  data.close();
  const RunResult r = lab(dir, {"train-probe", "--data", dir.file("d.jsonl"), "-o", dir.file("p.safetensors"), "--json",
                                dir.file("a.json")});
  ASSERT_EQ(r.status, 0) << r.err;
  const json acc = json::parse(slurp(dir.file("a.json")));
  for (const char* axis : {"zebra", "reversed"}) {
    const json& a = acc["axes"][axis];
    EXPECT_EQ(a["cross_validated"][a["best_depth"].get<int>()], 1.0) << axis;
  }
  EXPECT_NE(r.out.find(" best"), std::string::npos);

  Probe p;
  ASSERT_EQ(read_probe_file(dir.file("p.safetensors").c_str(), &p), "");
  ASSERT_EQ(p.axes, 2);
  ASSERT_EQ(p.tables.size(), 18u);
  for (const ProbeTable& t : p.tables) {
    EXPECT_EQ(t.bias[1], -t.bias[0]);
    for (int i = 0; i < kProbeDim; i++) ASSERT_EQ(t.weights[1][i], -t.weights[0][i]) << i;
  }
}

TEST(LabE2E, AMadeVectorIsTheMeanDifferenceOfTheStateFilesResiduals) {
  TempDir dir;
  const std::vector<std::pair<std::string, std::string>> pairs = {{"a happy cat", "a sad cat"}, {"good news", "bad news"}};
  std::ofstream data(dir.file("pairs.jsonl")), prompts(dir.file("prompts.txt"));
  for (const auto& [pos, neg] : pairs) {
    data << json{{"positive", pos}, {"negative", neg}}.dump() << "\n";
    prompts << pos << "\n" << neg << "\n";
  }
  data.close();
  prompts.close();
  for (const char* flag : {"", "--unit"}) {
    std::vector<std::string> args = {"make-vector", "--data", dir.file("pairs.jsonl"), "-o", dir.file(std::string("v") + flag + ".gguf")};
    if (flag[0]) args.push_back(flag);
    const RunResult r = lab(dir, args);
    ASSERT_EQ(r.status, 0) << r.err;
  }
  const RunResult run = korvane_run(synthetic_weights_path(), {"--prompts", dir.file("prompts.txt"), "--states", dir.file("s.safetensors")});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string states = slurp(dir.file("s.safetensors"));
  uint64_t header = 0;
  memcpy(&header, states.data(), 8);
  const json h = json::parse(states.substr(8, header));
  auto residual = [&](int prompt, int layer) {
    const uint64_t at = 8 + header + h[std::to_string(prompt) + ".residual"]["data_offsets"][0].get<uint64_t>();
    return reinterpret_cast<const float*>(states.data() + at) + layer * 2048;
  };

  for (const bool unit : {false, true}) {
    const std::string bytes = slurp(dir.file(unit ? "v--unit.gguf" : "v.gguf"));
    GgufParse g;
    g.base = reinterpret_cast<const unsigned char*>(bytes.data());
    g.size = bytes.size();
    g.name = "v";
    std::string err;
    ASSERT_TRUE(gguf_read_metadata(&g, &err)) << err;
    ASSERT_TRUE(gguf_read_tensors(&g, [](const GgufTensor&, const GgufParse&, void*, std::string*) -> uint64_t { return 4; }, nullptr, &err)) << err;
    EXPECT_EQ(g.meta["general.architecture"].text, "controlvector");
    EXPECT_EQ(g.meta["controlvector.model_hint"].text, "gemma");
    EXPECT_EQ(g.meta["controlvector.layer_count"].integer, 17);
    ASSERT_EQ(g.tensors.size(), 17u);
    for (int n = 1; n <= 17; n++) {
      const GgufTensor& t = g.tensors[size_t(n - 1)];
      ASSERT_EQ(t.name, "direction." + std::to_string(n));
      std::vector<double> d(2048, 0.0);
      double length = 0.0;
      for (size_t k = 0; k < pairs.size(); k++) {
        for (int i = 0; i < 2048; i++) d[size_t(i)] += double(residual(int(2 * k), n)[i]) - double(residual(int(2 * k + 1), n)[i]);
      }
      for (double& x : d) {
        x /= double(pairs.size());
        length += x * x;
      }
      length = std::sqrt(length);
      const float* got = reinterpret_cast<const float*>(bytes.data() + t.offset);
      for (int i = 0; i < 2048; i++) ASSERT_EQ(got[i], float(unit ? d[size_t(i)] / length : d[size_t(i)])) << n << " " << i;
    }
    // The program takes the file as a control vector for layers 1 .. 17.
    ControlTable table;
    std::vector<std::string> warnings;
    ASSERT_TRUE(add_control_vector("v", bytes, 1.0f, 0, 17, &table, &warnings, &err)) << err;
    EXPECT_EQ(table.mask, 0x3FFFEu);
    EXPECT_TRUE(warnings.empty());
  }
}

TEST(LabE2E, TheSteeringGateOpensAndClosesOnPlantedReadings) {
  TempDir dir;
  // Three axes with zero directions: their readings are their biases at every depth.
  Probe p;
  p.axes = 3;
  const char* names[3] = {"truth", "up", "down"};
  p.tables.resize(1);
  p.tables[0] = ProbeTable{};
  for (int a = 0; a < 3; a++) {
    snprintf(p.names[a], sizeof p.names[a], "%s", names[a]);
    snprintf(p.labels[a], sizeof p.labels[a], "%s", names[a]);
  }
  p.tables[0].bias[0] = 0.25f;
  p.tables[0].bias[1] = 1.0f;
  p.tables[0].bias[2] = -1.0f;
  std::ofstream(dir.file("p.safetensors"), std::ios::binary) << probe_file_bytes(p);
  std::vector<GgufTestTensor> tensors = {
      {"direction.5", {2048}, 0, f32_bytes(2048, [](uint64_t i) { return 0.5f * float(int(i % 7) - 3); })}};
  std::ofstream(dir.file("v.gguf"), std::ios::binary)
      << gguf_test_file({{"general.architecture", "controlvector"}, {"controlvector.model_hint", "gemma"}}, tensors);

  const std::vector<std::string> probe = {"--probe", dir.file("p.safetensors"), "hello"};
  auto run = [&](const std::vector<std::string>& extra, const std::string& binary = KORVANE_BINARY) {
    std::vector<std::string> args = extra;
    args.insert(args.end(), probe.begin(), probe.end());
    const RunResult r = korvane_run_program(binary, synthetic_weights_path(), args);
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
  };
  auto from_step5 = [](const std::string& out) { return out.substr(out.find("\xE2\x9C\x94 [5/5]")); };
  auto without_gate_lines = [](std::string out) {  // the two lines and their blank line
    const size_t at = out.find(" STEERING GATE ");
    const size_t begin = out.rfind('\n', at) + 1;
    return at == std::string::npos ? out : out.erase(begin, out.find("\n\n", at) + 2 - begin);
  };
  const std::string plain = run({}), steered = run({"--control-vector", dir.file("v.gguf")});
  ASSERT_NE(from_step5(plain), from_step5(steered));

  const std::string open = run({"--gate", "up", "--control-vector", dir.file("v.gguf")});
  EXPECT_NE(open.find("[\xE2\x9A\xA1 STEERING GATE OPEN] The probe's up axis reads +1.0000 after 16 layers (> 0)\n"),
            std::string::npos)
      << open;
  EXPECT_EQ(without_gate_lines(from_step5(open)), from_step5(steered)) << open;
  const std::string closed = run({"--gate", "down", "--gate-depth", "3", "--control-vector", dir.file("v.gguf")});
  EXPECT_NE(closed.find("STEERING GATE CLOSED] The probe's down axis reads -1.0000 after 3 layers (<= 0)\n"),
            std::string::npos)
      << closed;
  EXPECT_EQ(without_gate_lines(from_step5(closed)), from_step5(plain));
  EXPECT_EQ(run({"--gate", "up", "--control-vector", dir.file("v.gguf")}, KORVANE_LITERAL_BINARY), open);
}
