// Converts tiny checkpoints written by the tests in every input form and checks each value at
// its offset; then feeds corrupted checkpoints and checks each is refused with its reason and
// leaves nothing behind.
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "model/weights_layout.h"
#include "tests/support/temp_dir.h"
#include "tests/tools/tiny_checkpoints.h"
#include "tools/convert/gguf_reader.h"
#include "platform/strict_json.h"
#include "tools/convert/layout_writer.h"
#include "tools/convert/progress.h"
#include "tools/convert/sha256.h"
#include "tools/convert/source_model.h"
#include "tools/convert/tensor_binding.h"

namespace {

struct Outcome {
  bool ok = false;
  std::string err;
  ConvertReport report;
};

// The converter's three steps, as the program runs them.
Outcome convert(const std::string& input, const ModelGeometry& g, const std::string& out) {
  Outcome o;
  SourceModel model;
  if (!open_source_model(input, g, &model, &o.err)) return o;
  std::vector<PlannedTensor> plan = output_plan(g);
  std::vector<uint32_t> source_of;
  if (!bind_tensors(model, plan, &source_of, &o.err)) return o;
  o.ok = write_converted(model, g, plan, source_of, out, nullptr, nullptr, &o.report, &o.err);
  return o;
}

std::vector<std::string> files_in(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (!d) return names;
  while (dirent* e = readdir(d)) {
    std::string n = e->d_name;
    if (n != "." && n != "..") names.push_back(n);
  }
  closedir(d);
  return names;
}

// Checks the converted file byte for byte: every tensor's expected bytes at its offset.
void expect_converted(const std::string& out, const std::vector<TinyTensor>& tensors, bool gguf,
                      const ModelGeometry& g, const ConvertReport& report) {
  std::vector<unsigned char> file = read_whole_file(out);
  ASSERT_EQ(file.size(), output_bytes(g));
  EXPECT_EQ(report.bytes, output_bytes(g));
  for (const TinyTensor& t : tensors) {
    std::vector<unsigned char> want = expected_output_bytes(t, gguf);
    ASSERT_LE(t.planned.offset + want.size(), file.size()) << t.name;
    const unsigned char* have = file.data() + t.planned.offset;
    for (size_t i = 0; i < want.size(); i++) {
      if (have[i] != want[i]) {
        ADD_FAILURE() << t.name << ": byte " << i << " of the tensor (file offset " << t.planned.offset + i
                      << ") is " << int(have[i]) << ", expected " << int(want[i]);
        break;
      }
    }
  }
  Sha256 h;
  sha256_init(&h);
  sha256_update(&h, file.data(), file.size());
  EXPECT_EQ(report.sha256, sha256_final_hex(&h));
}

enum class Form { single, sharded, gguf };
struct Case {
  const char* name;
  Form form;
  DType dtype;
  DType norm_dtype;
  int shards;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class TinyConversion : public ::testing::TestWithParam<Case> {};

TEST_P(TinyConversion, EveryValueLandsAtItsOffset) {
  const Case& c = GetParam();
  TempDir dir;
  bool gguf = c.form == Form::gguf;
  std::vector<TinyTensor> tensors = tiny_tensors(kTinyGeometry, gguf, c.dtype, c.norm_dtype, 7);
  std::string input;
  if (c.form == Form::single) {
    input = dir.file("model.safetensors");
    write_safetensors(input, tensors);
  } else if (c.form == Form::sharded) {
    write_sharded_safetensors(dir.path, tensors, c.shards);
    input = dir.path;  // the folder: the index is found there
  } else {
    input = dir.file("tiny.gguf");
    write_gguf(input, gemma_gguf_metadata(kTinyGeometry), tensors);
  }
  std::string out = dir.file("out.bin");
  Outcome o = convert(input, kTinyGeometry, out);
  ASSERT_TRUE(o.ok) << o.err;
  expect_converted(out, tensors, gguf, kTinyGeometry, o.report);
  // Every seventh matrix value lies below fp16's normal range; f16 sources hold them as they are.
  HalfStats want = reference_half_stats(tensors);
  if (c.dtype == DType::f16) {
    EXPECT_EQ(o.report.half.subnormal + o.report.half.zeroed, 0u);
  } else {
    EXPECT_GT(want.subnormal, 0u);
    EXPECT_EQ(o.report.half.subnormal, want.subnormal);
    EXPECT_EQ(o.report.half.zeroed, want.zeroed);
  }
  EXPECT_EQ(o.report.half.overflowed, 0u);
  EXPECT_EQ(o.report.inexact_norms, 0u);
  for (const std::string& name : files_in(dir.path)) EXPECT_EQ(name.find(".partial"), std::string::npos) << name;
}

INSTANTIATE_TEST_SUITE_P(
    AllForms, TinyConversion,
    ::testing::Values(Case{"SafetensorsF32", Form::single, DType::f32, DType::f32, 1},
                      Case{"SafetensorsF16", Form::single, DType::f16, DType::f16, 1},
                      Case{"SafetensorsBF16", Form::single, DType::bf16, DType::bf16, 1},
                      Case{"ShardedF32", Form::sharded, DType::f32, DType::f32, 3},
                      Case{"ShardedF16", Form::sharded, DType::f16, DType::f32, 2},
                      Case{"ShardedBF16", Form::sharded, DType::bf16, DType::bf16, 2},
                      Case{"GgufF32", Form::gguf, DType::f32, DType::f32, 1},
                      Case{"GgufF16", Form::gguf, DType::f16, DType::f32, 1},
                      Case{"GgufBF16", Form::gguf, DType::bf16, DType::bf16, 1},
                      Case{"GgufF16Norms", Form::gguf, DType::f16, DType::f16, 1}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST(TinyConversionPlan, OffsetsFollowTheLayoutRules) {
  // Worked by hand for the tiny geometry: norms 16 f32 each, then wq 16x16, wk 8x16, wv 8x16,
  // wo 16x16, gate 24x16, up 24x16, down 16x24 in fp16.
  std::vector<PlannedTensor> plan = output_plan(kTinyGeometry);
  const uint64_t want[] = {0, 64, 128, 640, 896, 1152, 1664, 2432, 3200};
  ASSERT_EQ(plan.size(), 2 * 9 + 2u);
  for (uint64_t l = 0; l < 2; l++)
    for (int k = 0; k < 9; k++) EXPECT_EQ(plan[l * 9 + k].offset, l * 3968 + want[k]) << l << " " << k;
  EXPECT_EQ(plan[18].offset, 7936u);
  EXPECT_EQ(plan[19].offset, 8000u);
  EXPECT_EQ(output_bytes(kTinyGeometry), 9280u);
}

TEST(TinyConversionPlan, RealGeometryMatchesTheEngineOffsets) {
  std::vector<PlannedTensor> plan = output_plan(kModelGeometry);
  const uint64_t in_block[] = {layer_off::attn_norm, layer_off::ffn_norm, layer_off::wq,
                               layer_off::wk,        layer_off::wv,       layer_off::wo,
                               layer_off::w_gate,    layer_off::w_up,     layer_off::w_down};
  ASSERT_EQ(plan.size(), 18 * 9 + 2u);
  for (uint64_t l = 0; l < 18; l++)
    for (int k = 0; k < 9; k++) EXPECT_EQ(plan[l * 9 + k].offset, l * layer_off::block_size + in_block[k]);
  EXPECT_EQ(plan[162].offset, file_off::final_norm);
  EXPECT_EQ(plan[163].offset, file_off::embedding_table);
  EXPECT_EQ(plan[163].rows, 256000u);
  EXPECT_EQ(output_bytes(kModelGeometry), 5012496384ull);
  // Names the checkpoints use for a few of them.
  EXPECT_EQ(source_tensor_name(SourceFormat::safetensors, plan[9 * 3 + 2]), "model.layers.3.self_attn.q_proj.weight");
  EXPECT_EQ(source_tensor_name(SourceFormat::gguf, plan[9 * 17 + 8]), "blk.17.ffn_down.weight");
  EXPECT_EQ(source_tensor_name(SourceFormat::gguf, plan[163]), "token_embd.weight");
  EXPECT_EQ(source_tensor_name(SourceFormat::safetensors, plan[162]), "model.norm.weight");
}

TEST(TinyConversionChunks, TensorLargerThanOneStepCrossesChunksIntact) {
  // 65600 x 16 = 1,049,600 values: one full step of 2^20 and a remainder of 1,024.
  const ModelGeometry g{1, 16, 2, 8, 1, 24, 65600};
  TempDir dir;
  std::vector<TinyTensor> tensors = tiny_tensors(g, false, DType::bf16, DType::f32, 3);
  write_safetensors(dir.file("model.safetensors"), tensors);
  Outcome o = convert(dir.file("model.safetensors"), g, dir.file("out.bin"));
  ASSERT_TRUE(o.ok) << o.err;
  expect_converted(dir.file("out.bin"), tensors, false, g, o.report);
}

TEST(TinyConversionCounts, OverflowSubnormalZeroAndInexactNormsAreCounted) {
  TempDir dir;
  std::vector<TinyTensor> tensors = tiny_tensors(kTinyGeometry, true, DType::f32, DType::f32, 5);
  // Matrix values of layer 0 wq: 70000 and 65520 overflow, 65519 rounds down to 65504.
  TinyTensor& wq = tensors[2];
  const float special[] = {70000.0f, 65520.0f, 65519.0f, -1e-6f, 1e-9f, 0.0f};
  for (int i = 0; i < 6; i++) memcpy(wq.data.data() + 4 * i, &special[i], 4);
  // Norm value 0.1 stored as 1 + w: 0.1 - 1 rounds in f32.
  const float tenth = 0.1f;
  memcpy(tensors[0].data.data(), &tenth, 4);
  std::string input = dir.file("m.gguf");
  write_gguf(input, gemma_gguf_metadata(kTinyGeometry), tensors);
  Outcome o = convert(input, kTinyGeometry, dir.file("out.bin"));
  ASSERT_TRUE(o.ok) << o.err;
  HalfStats want = reference_half_stats(tensors);
  EXPECT_EQ(o.report.half.overflowed, 2u);
  EXPECT_EQ(want.overflowed, 2u);
  EXPECT_GE(want.zeroed, 1u);
  EXPECT_EQ(o.report.half.zeroed, want.zeroed);
  EXPECT_EQ(o.report.half.subnormal, want.subnormal);
  EXPECT_EQ(o.report.inexact_norms, 1u);
  std::vector<unsigned char> file = read_whole_file(dir.file("out.bin"));
  ASSERT_EQ(file.size(), output_bytes(kTinyGeometry));
  uint16_t h[6];
  memcpy(h, file.data() + wq.planned.offset, sizeof h);
  EXPECT_EQ(h[0], 0x7C00);
  EXPECT_EQ(h[1], 0x7C00);
  EXPECT_EQ(h[2], 0x7BFF);
  EXPECT_EQ(h[3], 0x8011);  // -1e-6 = -16.78 x 2^-24: subnormal 17 units
  EXPECT_EQ(h[4], 0x0000);
  EXPECT_EQ(h[5], 0x0000);
  float w;
  memcpy(&w, file.data() + tensors[0].planned.offset, 4);
  EXPECT_EQ(w, 0.1f - 1.0f);
  EXPECT_NE(double(w), double(0.1f) - 1.0);
}

// ---- Refusals: each names its cause and leaves the output folder without any new file.

struct Refusal {
  Outcome o;
  std::vector<std::string> left;  // files in the folder afterwards besides the inputs
};

Refusal refuse(const TempDir& dir, const std::string& input, const std::vector<std::string>& inputs,
               const ModelGeometry& g = kTinyGeometry) {
  Refusal r;
  r.o = convert(input, g, dir.file("out.bin"));
  for (const std::string& name : files_in(dir.path)) {
    bool is_input = false;
    for (const auto& i : inputs) is_input |= i == name;
    if (!is_input) r.left.push_back(name);
  }
  return r;
}

#define EXPECT_REFUSED(r, ...)                                                          \
  do {                                                                                  \
    EXPECT_FALSE((r).o.ok);                                                             \
    for (const char* part : {__VA_ARGS__}) EXPECT_NE((r).o.err.find(part), std::string::npos) << (r).o.err; \
    EXPECT_TRUE((r).left.empty()) << (r).left.front();                                 \
    EXPECT_EQ((r).o.err.find('\n'), std::string::npos);                                 \
  } while (0)

TEST(TinyConversionRefusals, TruncatedSafetensorsData) {
  TempDir dir;
  auto tensors = tiny_tensors(kTinyGeometry, false, DType::f16, DType::f32, 1);
  std::string in = dir.file("model.safetensors");
  write_safetensors(in, tensors);
  std::vector<unsigned char> bytes = read_whole_file(in);
  ASSERT_EQ(truncate(in.c_str(), off_t(bytes.size() - 3)), 0);
  // Data is stored in reverse order, so the first tensor is the last in the file.
  Refusal r = refuse(dir, in, {"model.safetensors"});
  EXPECT_REFUSED(r, "model.safetensors", tensors[0].name.c_str(), "past the end");
}

TEST(TinyConversionRefusals, HeaderLengthPastTheEnd) {
  TempDir dir;
  std::string in = dir.file("model.safetensors");
  write_safetensors(in, tiny_tensors(kTinyGeometry, false, DType::f16, DType::f32, 1));
  std::vector<unsigned char> bytes = read_whole_file(in);
  uint64_t huge = bytes.size();  // one past what the file can hold after the length field
  FILE* f = fopen(in.c_str(), "r+b");
  ASSERT_NE(f, nullptr);
  fwrite(&huge, 8, 1, f);
  fclose(f);
  Refusal r = refuse(dir, in, {"model.safetensors"});
  EXPECT_REFUSED(r, "model.safetensors", "header length", "past the end");
}

TEST(TinyConversionRefusals, FileShorterThanTheLengthField) {
  TempDir dir;
  std::string in = dir.file("model.safetensors");
  write_safetensors_raw(in, "", {});
  ASSERT_EQ(truncate(in.c_str(), 5), 0);
  Refusal r = refuse(dir, in, {"model.safetensors"});
  EXPECT_REFUSED(r, "model.safetensors", "too short");
}

TEST(TinyConversionRefusals, OverlappingTensors) {
  TempDir dir;
  auto tensors = tiny_tensors(kTinyGeometry, false, DType::f32, DType::f32, 1);
  // Two norm vectors of 64 bytes both claim bytes 0..63.
  std::string header = "{";
  std::vector<unsigned char> data(64 * 2, 0);
  header += "\"" + tensors[0].name + "\":{\"dtype\":\"F32\",\"shape\":[16],\"data_offsets\":[0,64]},";
  header += "\"" + tensors[1].name + "\":{\"dtype\":\"F32\",\"shape\":[16],\"data_offsets\":[32,96]}}";
  std::string in = dir.file("model.safetensors");
  write_safetensors_raw(in, header, data);
  Refusal r = refuse(dir, in, {"model.safetensors"});
  EXPECT_REFUSED(r, "overlap", tensors[0].name.c_str(), tensors[1].name.c_str());
}

TEST(TinyConversionRefusals, MissingTensorInEachFormat) {
  for (bool gguf : {false, true}) {
    TempDir dir;
    auto tensors = tiny_tensors(kTinyGeometry, gguf, DType::f16, DType::f32, 1);
    std::string missing = tensors[13].name;  // layer 1 wv
    tensors.erase(tensors.begin() + 13);
    std::string name = gguf ? "m.gguf" : "model.safetensors";
    if (gguf) write_gguf(dir.file(name), gemma_gguf_metadata(kTinyGeometry), tensors);
    else write_safetensors(dir.file(name), tensors);
    Refusal r = refuse(dir, dir.file(name), {name});
    EXPECT_REFUSED(r, missing.c_str(), "missing");
  }
}

TEST(TinyConversionRefusals, WrongShapesInEachFormat) {
  for (bool gguf : {false, true}) {
    TempDir dir;
    auto tensors = tiny_tensors(kTinyGeometry, gguf, DType::f32, DType::f32, 1);
    // Layer 0 wk with two key heads: 16 rows instead of 8.
    TinyTensor& wk = tensors[3];
    wk.shape = {16, 16};
    wk.data.resize(16 * 16 * 4);
    std::string name = gguf ? "m.gguf" : "model.safetensors";
    if (gguf) write_gguf(dir.file(name), gemma_gguf_metadata(kTinyGeometry), tensors);
    else write_safetensors(dir.file(name), tensors);
    Refusal r = refuse(dir, dir.file(name), {name});
    EXPECT_REFUSED(r, wk.name.c_str(), "[16, 16]", "[8, 16]");
  }
}

TEST(TinyConversionRefusals, TransposedMatrixIsRefused) {
  TempDir dir;
  auto tensors = tiny_tensors(kTinyGeometry, false, DType::f32, DType::f32, 1);
  tensors[8].shape = {24, 16};  // w_down stored as [ffn][dim]
  write_safetensors(dir.file("model.safetensors"), tensors);
  Refusal r = refuse(dir, dir.file("model.safetensors"), {"model.safetensors"});
  EXPECT_REFUSED(r, "model.layers.0.mlp.down_proj.weight", "[24, 16]", "[16, 24]");
}

TEST(TinyConversionRefusals, NonGemmaArchitectureAndOtherSizes) {
  {
    TempDir dir;
    auto meta = gemma_gguf_metadata(kTinyGeometry);
    meta[0].text = "llama";
    write_gguf(dir.file("m.gguf"), meta, tiny_tensors(kTinyGeometry, true, DType::f16, DType::f32, 1));
    Refusal r = refuse(dir, dir.file("m.gguf"), {"m.gguf"});
    EXPECT_REFUSED(r, "m.gguf", "general.architecture", "\"llama\"");
  }
  {
    TempDir dir;
    auto meta = gemma_gguf_metadata(kTinyGeometry);
    meta[4].number = 3;  // gemma.block_count
    write_gguf(dir.file("m.gguf"), meta, tiny_tensors(kTinyGeometry, true, DType::f16, DType::f32, 1));
    Refusal r = refuse(dir, dir.file("m.gguf"), {"m.gguf"});
    EXPECT_REFUSED(r, "gemma.block_count is 3, this model needs 2");
  }
  {
    // A consistent tiny gemma is still not the real model.
    TempDir dir;
    write_gguf(dir.file("m.gguf"), gemma_gguf_metadata(kTinyGeometry),
               tiny_tensors(kTinyGeometry, true, DType::f16, DType::f32, 1));
    Refusal r = refuse(dir, dir.file("m.gguf"), {"m.gguf"}, kModelGeometry);
    EXPECT_REFUSED(r, "gemma.block_count is 2, this model needs 18");
  }
  {
    TempDir dir;
    write_safetensors(dir.file("model.safetensors"), tiny_tensors(kTinyGeometry, false, DType::f16, DType::f32, 1));
    std::string config = "{\"model_type\": \"gemma2\", \"hidden_size\": 16}";
    FILE* f = fopen(dir.file("config.json").c_str(), "w");
    fputs(config.c_str(), f);
    fclose(f);
    Refusal r = refuse(dir, dir.file("model.safetensors"), {"model.safetensors", "config.json"});
    EXPECT_REFUSED(r, "config.json", "model_type", "gemma2");
  }
}

TEST(TinyConversionRefusals, ExtraAndDuplicateTensors) {
  {
    TempDir dir;
    auto tensors = tiny_tensors(kTinyGeometry, false, DType::f16, DType::f32, 1);
    TinyTensor extra = tensors.back();
    extra.name = "lm_head.weight";
    tensors.push_back(extra);
    write_safetensors(dir.file("model.safetensors"), tensors);
    Refusal r = refuse(dir, dir.file("model.safetensors"), {"model.safetensors"});
    EXPECT_REFUSED(r, "lm_head.weight", "does not belong");
  }
  {
    TempDir dir;
    auto tensors = tiny_tensors(kTinyGeometry, true, DType::f16, DType::f32, 1);
    tensors.push_back(tensors[5]);
    write_gguf(dir.file("m.gguf"), gemma_gguf_metadata(kTinyGeometry), tensors);
    Refusal r = refuse(dir, dir.file("m.gguf"), {"m.gguf"});
    EXPECT_REFUSED(r, tensors[5].name.c_str(), "more than once");
  }
  {
    // In safetensors a repeated name is a repeated JSON key.
    TempDir dir;
    auto tensors = tiny_tensors(kTinyGeometry, false, DType::f16, DType::f32, 1);
    tensors.push_back(tensors[5]);
    write_safetensors(dir.file("model.safetensors"), tensors);
    Refusal r = refuse(dir, dir.file("model.safetensors"), {"model.safetensors"});
    EXPECT_REFUSED(r, "duplicate key", tensors[5].name.c_str());
  }
}

TEST(TinyConversionRefusals, UnsupportedTypes) {
  {
    TempDir dir;
    std::string header = "{\"model.norm.weight\":{\"dtype\":\"F64\",\"shape\":[16],\"data_offsets\":[0,128]}}";
    write_safetensors_raw(dir.file("model.safetensors"), header, std::vector<unsigned char>(128));
    Refusal r = refuse(dir, dir.file("model.safetensors"), {"model.safetensors"});
    EXPECT_REFUSED(r, "model.norm.weight", "F64");
  }
  {
    // A quantized GGUF tensor (type 8): the table entry names the type.
    TempDir dir;
    auto tensors = tiny_tensors(kTinyGeometry, true, DType::f16, DType::f32, 1);
    std::string in = dir.file("m.gguf");
    write_gguf(in, gemma_gguf_metadata(kTinyGeometry), tensors);
    std::vector<unsigned char> bytes = read_whole_file(in);
    // Find the first tensor's type field: after its name and 1 dimension.
    std::string name = tensors[0].name;
    auto at = std::search(bytes.begin(), bytes.end(), name.begin(), name.end());
    ASSERT_NE(at, bytes.end());
    size_t type_at = size_t(at - bytes.begin()) + name.size() + 4 + 8;
    bytes[type_at] = 8;
    FILE* f = fopen(in.c_str(), "wb");
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
    Refusal r = refuse(dir, in, {"m.gguf"});
    EXPECT_REFUSED(r, name.c_str(), "type 8", "quantized");
  }
}

TEST(TinyConversionRefusals, TruncatedGgufAnywhere) {
  TempDir dir;
  auto tensors = tiny_tensors(kTinyGeometry, true, DType::f16, DType::f32, 1);
  std::string in = dir.file("m.gguf");
  write_gguf(in, gemma_gguf_metadata(kTinyGeometry), tensors);
  std::vector<unsigned char> bytes = read_whole_file(in);
  // Cut at many points: inside the header, the metadata, the token list, the table, the data.
  for (size_t cut : {size_t(10), size_t(30), size_t(200), size_t(700), bytes.size() / 3, bytes.size() - 1}) {
    FILE* f = fopen(in.c_str(), "wb");
    fwrite(bytes.data(), 1, cut, f);
    fclose(f);
    Refusal r = refuse(dir, in, {"m.gguf"});
    EXPECT_FALSE(r.o.ok) << cut;
    EXPECT_NE(r.o.err.find("m.gguf"), std::string::npos) << r.o.err;
    EXPECT_TRUE(r.o.err.find("ends ") != std::string::npos ||
                r.o.err.find("past the end") != std::string::npos || r.o.err.find("too short") != std::string::npos)
        << cut << ": " << r.o.err;
    EXPECT_TRUE(r.left.empty());
  }
}

TEST(TinyConversionRefusals, ShardIndexDisagreements) {
  {
    TempDir dir;
    auto tensors = tiny_tensors(kTinyGeometry, false, DType::bf16, DType::bf16, 1);
    write_sharded_safetensors(dir.path, tensors, 2);
    unlink(dir.file("model-00002-of-00002.safetensors").c_str());
    Refusal r = refuse(dir, dir.path, {"model-00001-of-00002.safetensors", "model.safetensors.index.json"});
    EXPECT_REFUSED(r, "model-00002-of-00002.safetensors");
  }
  {
    // A tensor stored in both shards: the one the index does not name is refused.
    TempDir dir;
    auto tensors = tiny_tensors(kTinyGeometry, false, DType::bf16, DType::bf16, 1);
    write_sharded_safetensors(dir.path, tensors, 2);
    std::vector<TinyTensor> second;
    for (size_t i = 1; i < tensors.size(); i += 2) second.push_back(tensors[i]);
    second.push_back(tensors[0]);
    write_safetensors(dir.file("model-00002-of-00002.safetensors"), second);
    Refusal r = refuse(dir, dir.file("model.safetensors.index.json"),
                       {"model-00001-of-00002.safetensors", "model-00002-of-00002.safetensors",
                        "model.safetensors.index.json"});
    EXPECT_REFUSED(r, tensors[0].name.c_str(), "index names model-00001-of-00002.safetensors");
  }
}

TEST(TinyConversionRefusals, NanOrInfinityInTheValuesLeavesNoFile) {
  struct Bad {
    DType t;
    uint32_t bits;
    const char* word;
  };
  for (Bad b : {Bad{DType::f32, 0x7FC00000u, "NaN"}, Bad{DType::f16, 0xFC00u, "infinite"},
                Bad{DType::bf16, 0x7F80u, "infinite"}, Bad{DType::bf16, 0xFFC1u, "NaN"}}) {
    TempDir dir;
    auto tensors = tiny_tensors(kTinyGeometry, false, b.t, DType::f32, 1);
    // Value 37 of layer 1 w_up.
    TinyTensor& up = tensors[16];
    memcpy(up.data.data() + 37 * dtype_size(b.t), &b.bits, dtype_size(b.t));
    write_safetensors(dir.file("model.safetensors"), tensors);
    // An earlier file of the same name must survive a failed run untouched.
    FILE* f = fopen(dir.file("out.bin").c_str(), "wb");
    fputs("old", f);
    fclose(f);
    Outcome o = convert(dir.file("model.safetensors"), kTinyGeometry, dir.file("out.bin"));
    EXPECT_FALSE(o.ok);
    EXPECT_NE(o.err.find(up.name + ": value 37 is " + b.word), std::string::npos) << o.err;
    std::vector<unsigned char> old = read_whole_file(dir.file("out.bin"));
    EXPECT_EQ(std::string(old.begin(), old.end()), "old");
    EXPECT_EQ(files_in(dir.path).size(), 2u);
  }
}

TEST(TinyConversionRefusals, NotEnoughFreeSpace) {
  TempDir dir;
  std::string err;
  EXPECT_TRUE(check_free_space(dir.path, 1, &err)) << err;
  EXPECT_FALSE(check_free_space(dir.path, uint64_t(1) << 62, &err));
  EXPECT_NE(err.find("not enough free space"), std::string::npos) << err;
  EXPECT_NE(err.find(dir.path), std::string::npos) << err;
}

// The n low bytes of v, little-endian, as GGUF stores its numbers.
std::string le(uint64_t v, int n) { return std::string(reinterpret_cast<const char*>(&v), size_t(n)); }

// Writes bytes to path, then extends the file (sparse) to `size` bytes when that is larger.
void write_bytes(const std::string& path, const std::string& bytes, uint64_t size = 0) {
  FILE* f = fopen(path.c_str(), "wb");
  fwrite(bytes.data(), 1, bytes.size(), f);
  fclose(f);
  if (size > bytes.size()) {
    EXPECT_EQ(truncate(path.c_str(), off_t(size)), 0);
  }
}

TEST(TinyConversionRefusals, HeadersCannotMakeTheReaderHoldMore) {
  // As many JSON values as a tree may hold, then one more.
  std::string doc = "[";
  for (uint64_t i = 1; i < kMaxJsonValues - 1; i++) doc += "0,";
  Json v;
  std::string err;
  EXPECT_TRUE(parse_json(doc + "0]", &v, &err)) << err;
  EXPECT_FALSE(parse_json(doc + "0,0]", &v, &err));
  EXPECT_NE(err.find("more than 262144 values"), std::string::npos) << err;
  // GGUF: more pairs than taken (in a file long enough to hold them); a 65 MiB key (sparse),
  // refused before it is copied.
  TempDir dir;
  std::string in = dir.file("m.gguf");
  const std::string counts = "GGUF" + le(3, 4) + le(0, 8);
  write_bytes(in, counts + le(kMaxGgufPairs + 1, 8), 16 * kMaxGgufPairs);
  Refusal r = refuse(dir, in, {"m.gguf"});
  EXPECT_REFUSED(r, "declares 65537 metadata pairs");
  write_bytes(in, counts + le(1, 8) + le(65 << 20, 8), (65 << 20) + 64);
  r = refuse(dir, in, {"m.gguf"});
  EXPECT_REFUSED(r, "m.gguf: a string in the metadata", "longer than 64 MiB");
}

TEST(TinyConversionRefusals, MisleadingInputsAreNamedForWhatTheyAre) {
  TempDir dir;
  auto tensors = tiny_tensors(kTinyGeometry, true, DType::f16, DType::f32, 1);
  std::string in = dir.file("m.gguf");
  // A wrong magic: what was found, not a safetensors header error.
  write_gguf(in, gemma_gguf_metadata(kTinyGeometry), tensors);
  std::vector<unsigned char> bytes = read_whole_file(in);
  bytes[3] = 'X';
  write_bytes(in, std::string(bytes.begin(), bytes.end()));
  Refusal r = refuse(dir, in, {"m.gguf"});
  EXPECT_REFUSED(r, "m.gguf: starts with bytes 47 47 55 58 03 00 00 00", "\"GGUX", "neither the GGUF magic");
  auto meta = gemma_gguf_metadata(kTinyGeometry);
  meta.push_back(meta[4]);  // gemma.block_count again
  write_gguf(in, meta, tensors);
  r = refuse(dir, in, {"m.gguf"});
  EXPECT_REFUSED(r, "m.gguf: metadata key gemma.block_count appears more than once");
  // Arrays of arrays six levels deep, each holding one: a nesting error, not an early end.
  std::string pairs = le(4, 8) + "deep" + le(9, 4);
  for (int level = 0; level < 6; level++) pairs += le(9, 4) + le(1, 8);
  write_bytes(in, "GGUF" + le(3, 4) + le(0, 8) + le(1, 8) + pairs, 4096);
  r = refuse(dir, in, {"m.gguf"});
  EXPECT_REFUSED(r, "m.gguf: metadata key deep has arrays nested deeper than 5 levels");
  unlink(in.c_str());
  // data_offsets ending near 2^64: the count shown is the one written, not wrapped around.
  write_safetensors_raw(dir.file("model.safetensors"),
                        "{\"model.norm.weight\":{\"dtype\":\"F32\",\"shape\":[16],"
                        "\"data_offsets\":[0,18446744073709551615]}}",
                        std::vector<unsigned char>(64));
  r = refuse(dir, dir.file("model.safetensors"), {"model.safetensors"});
  EXPECT_REFUSED(r, "data_offsets end at 18446744073709551615, the data area holds 64 bytes");
}

// Runs the tiny checkpoint's conversion into out.bin in a child, after the program's signal
// setup and under a file-size limit, progress lines going to progress_fd; at the third
// progress step the child raises `sig` (0: none). Returns its wait status.
int run_child_conversion(const TempDir& dir, int progress_fd, int sig, rlim_t file_limit) {
  pid_t pid = fork();
  if (pid == 0) {
    rlimit fsize{file_limit, file_limit}, no_core{0, 0};  // SIGQUIT would dump one
    setrlimit(RLIMIT_FSIZE, &fsize);
    setrlimit(RLIMIT_CORE, &no_core);
    remove_partial_output_on_signal();
    struct Step {
      Progress progress;
      int sig, steps;
    } step{{}, sig, 0};
    FILE* out = fdopen(progress_fd, "w");
    setvbuf(out, nullptr, _IONBF, 0);
    progress_start(&step.progress, out, false);
    auto on_step = [](void* ctx, uint64_t done, uint64_t total) {
      Step* s = static_cast<Step*>(ctx);
      progress_update(&s->progress, done, total);
      if (++s->steps == 3 && s->sig) raise(s->sig);
    };
    SourceModel model;
    std::vector<uint32_t> source_of;
    std::vector<PlannedTensor> plan = output_plan(kTinyGeometry);
    ConvertReport report;
    std::string err;
    bool ok = open_source_model(dir.file("model.safetensors"), kTinyGeometry, &model, &err) &&
              bind_tensors(model, plan, &source_of, &err) &&
              write_converted(model, kTinyGeometry, plan, source_of, dir.file("out.bin"), on_step, &step, &report,
                              &err);
    _exit(ok ? 0 : err.find("File too large") != std::string::npos ? 3 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return status;
}

TEST(TinyConversionSignals, TheTemporaryFileNeverOutlivesTheRun) {
  TempDir dir;
  write_safetensors(dir.file("model.safetensors"), tiny_tensors(kTinyGeometry, false, DType::f16, DType::f32, 1));
  const std::vector<std::string> only_input = {"model.safetensors"};
  int devnull = open("/dev/null", O_WRONLY);
  // Ending signals mid-write: the process ends by the signal and leaves no file. SIGKILL
  // cannot be handled: only an unnamed temporary file survives it.
  int probe = open(dir.path.c_str(), O_TMPFILE | O_WRONLY, 0600);
  bool unnamed = probe >= 0;
  if (unnamed) close(probe);
  for (int sig : {SIGTERM, SIGQUIT, SIGINT, SIGHUP, SIGKILL}) {
    if (sig == SIGKILL && !unnamed) continue;
    int status = run_child_conversion(dir, dup(devnull), sig, RLIM_INFINITY);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << strsignal(sig) << " " << status;
    EXPECT_EQ(files_in(dir.path), only_input) << strsignal(sig);
  }
  // A closed progress pipe: the conversion carries on and completes.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);
  int piped = run_child_conversion(dir, fds[1], 0, RLIM_INFINITY);
  close(fds[1]);
  EXPECT_TRUE(WIFEXITED(piped) && WEXITSTATUS(piped) == 0) << piped;
  EXPECT_EQ(read_whole_file(dir.file("out.bin")).size(), output_bytes(kTinyGeometry));
  unlink(dir.file("out.bin").c_str());
  // A file-size limit below the output: a refused write, not a death by SIGXFSZ.
  int limited = run_child_conversion(dir, dup(devnull), 0, 4096);
  EXPECT_TRUE(WIFEXITED(limited) && WEXITSTATUS(limited) == 3) << limited;
  EXPECT_EQ(files_in(dir.path), only_input);
  close(devnull);
}

}  // namespace
