// Control-vector files: what the table holds after summing them, and every refusal through the
// real program (each refused before any weights are looked for).
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "driver/control_vectors.h"
#include "tests/support/gguf_writer.h"
#include "tests/support/run_binary.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr uint64_t kWidth = 2048;

const std::vector<std::pair<std::string, std::string>> kGemmaMeta = {
    {"general.architecture", "controlvector"}, {"controlvector.model_hint", "gemma"}};

GgufTestTensor f32_direction(int n, float base) {
  return {"direction." + std::to_string(n), {kWidth}, 0, f32_bytes(kWidth, [&](uint64_t i) { return base * float(int(i % 13) - 6); })};
}

// Half bit patterns and their exact values: zero, one, the smallest subnormal, the largest
// finite, a negative fraction.
const struct {
  uint16_t bits;
  float value;
} kHalves[] = {{0x0000, 0.0f}, {0x3C00, 1.0f}, {0x0001, 0x1p-24f}, {0x7BFF, 65504.0f}, {0xB800, -0.5f}};

GgufTestTensor f16_direction(int n) {
  std::string data(kWidth * 2, '\0');
  for (uint64_t i = 0; i < kWidth; i++) memcpy(&data[i * 2], &kHalves[i % 5].bits, 2);
  return {"direction." + std::to_string(n), {kWidth}, 1, data};
}

}  // namespace

TEST(ControlVectors, FilesAreSummedInOrderEachTimesItsScale) {
  ControlTable table;
  std::vector<std::string> warnings;
  std::string err;
  const std::string a = gguf_test_file(kGemmaMeta, {f32_direction(3, 0.1f), f32_direction(17, 0.25f)});
  const std::string b = gguf_test_file(kGemmaMeta, {f16_direction(3)}, 2);
  ASSERT_TRUE(add_control_vector("a.gguf", a, 0.5f, 0, 17, &table, &warnings, &err)) << err;
  ASSERT_TRUE(add_control_vector("b.gguf", b, -3.0f, 0, 17, &table, &warnings, &err)) << err;
  EXPECT_TRUE(warnings.empty());
  EXPECT_EQ(table.mask, (uint64_t(1) << 3) | (uint64_t(1) << 17));
  for (uint64_t l = 0; l < 18; l++) {
    for (uint64_t i = 0; i < kWidth; i++) {
      float want = 0.0f;
      if (l == 3) want = (0.0f + 0.5f * (0.1f * float(int(i % 13) - 6))) + -3.0f * kHalves[i % 5].value;
      if (l == 17) want = 0.0f + 0.5f * (0.25f * float(int(i % 13) - 6));
      ASSERT_EQ(table.rows[l * kWidth + i], want) << "layer " << l << ", element " << i;
    }
  }
}

TEST(ControlVectors, LayersOutsideTheRangeOrTheModelAreLeftOut) {
  ControlTable table;
  std::vector<std::string> warnings;
  std::string err;
  const std::string file = gguf_test_file({{"general.architecture", "controlvector"}, {"controlvector.model_hint", "llama"}},
                                          {f32_direction(5, 1.0f), f32_direction(12, 1.0f), f32_direction(18, 1.0f)});
  ASSERT_TRUE(add_control_vector("v.gguf", file, 1.0f, 6, 17, &table, &warnings, &err)) << err;
  EXPECT_EQ(table.mask, uint64_t(1) << 12);
  EXPECT_EQ(table.rows[5 * kWidth], 0.0f);
  EXPECT_EQ(table.rows[12 * kWidth], -6.0f);
  ASSERT_EQ(warnings.size(), 2u);
  EXPECT_NE(warnings[0].find("\"llama\", not \"gemma\""), std::string::npos) << warnings[0];
  EXPECT_NE(warnings[1].find("direction.18 ignored"), std::string::npos) << warnings[1];
}

TEST(ControlVectors, EveryRefusalIsOneFatalLineBeforeAnythingLoads) {
  TempDir dir;
  auto direction = [](const std::string& name, uint64_t n, uint32_t type) {
    return GgufTestTensor{name, {n}, type, std::string(n * (type == 1 ? 2 : 4), '\0')};
  };
  const struct {
    const char* what;
    std::string file;     // written to v.gguf when not empty
    const char* value;    // --control-vector's value
    const char* layers;   // --control-vector-layers' value, or null
    const char* says;     // part of the fatal line
  } cases[] = {
      {"wrong tensor name", gguf_test_file(kGemmaMeta, {direction("steer.4", kWidth, 0)}), "v.gguf", nullptr,
       "tensor steer.4 is not a control vector direction"},
      {"direction.0", gguf_test_file(kGemmaMeta, {direction("direction.0", kWidth, 0)}), "v.gguf", nullptr,
       "direction.0: directions start at 1"},
      {"wrong length", gguf_test_file(kGemmaMeta, {direction("direction.2", 2304, 0)}), "v.gguf", nullptr,
       "shape [2304], not the model's width [2048]"},
      {"wrong dtype", gguf_test_file(kGemmaMeta, {direction("direction.2", kWidth, 30)}), "v.gguf", nullptr,
       "has type 30; only F32 and F16"},
      {"wrong architecture", gguf_test_file({{"general.architecture", "gemma"}}, {direction("direction.2", kWidth, 0)}),
       "v.gguf", nullptr, "general.architecture is \"gemma\", not \"controlvector\""},
      {"not GGUF", "direction.1 = 0.5\n", "v.gguf", nullptr, "v.gguf: not a GGUF file"},
      {"cut short", gguf_test_file(kGemmaMeta, {direction("direction.2", kWidth, 0)}).substr(0, 4000), "v.gguf",
       nullptr, "data runs past the end of the file"},
      {"bad scale", "", "v.gguf:strong", nullptr, "scale must be a finite number"},
      {"infinite scale", "", "v.gguf:1e39", nullptr, "scale must be a finite number"},
      {"bad layer range", "", "v.gguf", "9-4", "--control-vector-layers must be A-B with 0 <= A <= B <= 17"},
      {"layer past the model", "", "v.gguf", "3-18", "--control-vector-layers must be A-B"},
      {"missing file", "", "absent.gguf", nullptr, "absent.gguf: No such file or directory"},
  };
  for (const auto& c : cases) {
    if (!c.file.empty()) std::ofstream(dir.file("v.gguf"), std::ios::binary) << c.file;
    std::vector<std::string> argv = {KORVANE_BINARY, "--control-vector", c.value};
    if (c.layers) argv.insert(argv.end(), {"--control-vector-layers", c.layers});
    argv.push_back("hi");
    const RunResult r = run_binary(argv, dir.path);
    EXPECT_EQ(r.status, 1) << c.what;
    EXPECT_EQ(r.out.rfind("\xE2\x9D\x8C [FATAL] ", 0), 0u) << c.what << ": " << r.out;
    EXPECT_NE(r.out.find(c.says), std::string::npos) << c.what << ": " << r.out;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << c.what << ": " << r.out;
  }
}
