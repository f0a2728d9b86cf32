// The command-line rules, driven through the parser with argument lists made here.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "driver/run_options.h"
#include "platform/utf8.h"

namespace {
// Reads from a vector of strings the way the platform reads the process's arguments: each
// argument cut at the last whole UTF-8 character that fits the buffer.
size_t read_vector(void* source, int index, char* buf, size_t cap) {
  const auto& args = *static_cast<const std::vector<std::string>*>(source);
  const std::string& a = args[static_cast<size_t>(index)];
  size_t len = utf8_fit(a.data(), a.size(), cap - 1);
  memcpy(buf, a.data(), len);
  buf[len] = '\0';
  return len;
}

RunOptions parse(std::vector<std::string> words) {
  words.insert(words.begin(), "korvane");
  RunOptions opts;
  parse_run_options(&opts, static_cast<int>(words.size()), read_vector, &words);
  return opts;
}

struct Case {
  const char* name;
  std::vector<std::string> args;
  std::string prompt;
  bool audit;
  bool splice;
  float beta;
};
}  // namespace

TEST(RunOptions, TableOfCommandLines) {
  const std::string def = kDefaultPrompt;
  const Case cases[] = {
      {"no arguments", {}, def, false, false, 4.5f},
      {"only an option", {"--splice-substitute"}, def, false, true, 4.5f},
      {"beta value", {"--splice-substitute", "--beta", "2"}, def, false, true, 2.0f},
      {"beta last is a word", {"hi", "--beta"}, "hi --beta", false, false, 4.5f},
      {"beta eats audit", {"--beta", "--audit-heads"}, def, false, false, 0.0f},
      {"later beta wins", {"--beta", "1", "--beta", "3.25"}, def, false, false, 3.25f},
      {"non-numeric beta", {"--beta", "abc"}, def, false, false, 0.0f},
      {"leading number", {"--beta", "1.5xyz"}, def, false, false, 1.5f},
      {"beta exponent", {"--beta", "-2e1"}, def, false, false, -20.0f},
      {"both flags", {"--audit-heads", "--splice-substitute"}, def, true, true, 4.5f},
      {"options between words", {"hello", "--audit-heads", "world"}, "hello world", true, false, 4.5f},
      {"empty argument inside", {"a", "", "b"}, "a  b", false, false, 4.5f},
      {"empty first argument", {"", "b"}, "b", false, false, 4.5f},
      {"only empty arguments", {"", ""}, def, false, false, 4.5f},
      {"unknown option is a word", {"--verbose", "x"}, "--verbose x", false, false, 4.5f},
      {"case matters", {"--Audit-Heads"}, "--Audit-Heads", false, false, 4.5f},
      {"non-ascii words", {"台灣", "稅率"}, "台灣 稅率", false, false, 4.5f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RunOptions o = parse(c.args);
    EXPECT_EQ(std::string(o.prompt), c.prompt);
    EXPECT_EQ(o.audit_heads, c.audit);
    EXPECT_EQ(o.splice_substitute, c.splice);
    EXPECT_EQ(o.beta, c.beta);
    EXPECT_FALSE(o.show_help);
  }
}

TEST(RunOptions, HelpAndVersionAreNotPromptWords) {
  RunOptions o = parse({"what", "--help"});
  EXPECT_TRUE(o.show_help);
  EXPECT_EQ(std::string(o.prompt), "what");
  EXPECT_TRUE(parse({"-h"}).show_help);
  EXPECT_TRUE(parse({"--version"}).show_version);
  // As the value of --beta it is a value, not an option.
  RunOptions b = parse({"--beta", "--help"});
  EXPECT_FALSE(b.show_help);
  EXPECT_EQ(b.beta, 0.0f);
}

TEST(RunOptions, PromptLimitDropsWholeWords) {
  // Four 1000-byte words joined by spaces: 4003 bytes.
  const std::vector<std::string> four(4, std::string(1000, 'x'));
  std::string base;
  for (const auto& w : four) base += (base.empty() ? "" : " ") + w;
  ASSERT_EQ(base.size(), 4003u);
  auto with = [&](std::vector<std::string> tail) {
    std::vector<std::string> args = four;
    args.insert(args.end(), tail.begin(), tail.end());
    return std::string(parse(args).prompt);
  };
  // 4003 + 1 + 91 = 4095 fits exactly; at 4095 neither a space nor "z" fits.
  EXPECT_EQ(with({std::string(91, 'y'), "z"}), base + " " + std::string(91, 'y'));
  // At 4093 the space still fits, "abcd" is dropped whole and its space stays; "q" gets a
  // space (4095) and is dropped.
  EXPECT_EQ(with({std::string(89, 'y'), "abcd", "q"}), base + " " + std::string(89, 'y') + "  ");
  // A dropped word does not stop later words that fit.
  EXPECT_EQ(with({std::string(200, 'w'), "later"}), base + "  later");
  EXPECT_EQ(with({std::string(92, 'y')}), base + " ");  // 4004 + 92 = 4096: dropped
}

TEST(RunOptions, OverlongArgumentsAreCutAtWholeCharacters) {
  // 400 three-byte characters = 1200 bytes; the 1024-byte buffer takes 341 whole characters.
  std::string wide;
  for (int i = 0; i < 400; i++) wide += "稅";
  RunOptions o = parse({wide});
  EXPECT_EQ(strlen(o.prompt), 1023u);
  std::string ascii(2000, 'a');
  EXPECT_EQ(strlen(parse({ascii}).prompt), 1023u);
  // A --beta value longer than 63 bytes is cut too: the digits that remain are read.
  RunOptions b = parse({"--beta", std::string(70, '1')});
  EXPECT_EQ(b.beta, static_cast<float>(atof(std::string(63, '1').c_str())));
}

TEST(RunOptions, WeightsTimingsAndRefusals) {
  RunOptions w = parse({"hi", "--weights", "/x/w.bin", "--timings", "there"});
  EXPECT_STREQ(w.weights_path, "/x/w.bin");
  EXPECT_TRUE(w.show_timings);
  EXPECT_EQ(std::string(w.prompt), "hi there");
  EXPECT_EQ(std::string(w.refusal), "");
  RunOptions m = parse({"-m", "--audit-heads"});  // the path is never an option
  EXPECT_STREQ(m.weights_path, "--audit-heads");
  EXPECT_FALSE(m.audit_heads);
  EXPECT_STREQ(parse({"--timing"}).prompt, "--timing");  // only the exact names are options
  EXPECT_EQ(std::string(parse({"hi", "-m"}).refusal), "-m needs the path of a weights file after it");
  EXPECT_NE(std::string(parse({"--weights", std::string(1024, 'p')}).refusal), "");
  // --beta: an f32 that is not finite is refused; finite values, zero and negatives are not.
  // (The value is read as the C runtime's atof reads it: the Windows runtime reads "nan" and
  // "inf" as 0, which is finite.)
  for (const char* bad : {"nan", "inf", "-inf", "1e40", "-1e39"}) {
    const bool finite = std::isfinite(static_cast<float>(atof(bad)));
    EXPECT_EQ(std::string(parse({"--beta", bad}).refusal),
              finite ? std::string() : std::string("--beta must be a finite number, not \"") + bad + "\"")
        << bad;
  }
  for (const char* good : {"0", "-3", "3e38", "abc"}) EXPECT_EQ(std::string(parse({"--beta", good}).refusal), "") << good;
  EXPECT_EQ(std::string(parse({"--beta", "nan", "--beta", "1"}).refusal), "");  // the last one counts
}

TEST(RunOptions, CutAndDroppedWordsAreCounted) {
  RunOptions plain = parse({"a", std::string(1023, 'b')});
  EXPECT_EQ(plain.cut_arguments + plain.dropped_arguments, 0);
  // 1024 bytes are cut; five 1000-byte words: the fifth passes 4095 bytes and is left out.
  RunOptions cut = parse({std::string(1024, 'c'), "--beta", std::string(70, '1')});
  EXPECT_EQ(cut.cut_arguments, 1);  // the --beta value is no prompt word
  EXPECT_EQ(cut.dropped_arguments, 0);
  const std::vector<std::string> five(5, std::string(1000, 'x'));
  RunOptions dropped = parse(five);
  EXPECT_EQ(dropped.dropped_arguments, 1);
  EXPECT_EQ(dropped.cut_arguments, 0);
}

TEST(RunOptions, PromptFileOptionsAndTheirRefusals) {
  RunOptions o = parse({"--prompts", "p.txt", "--json", "-", "--shard", "1/3"});
  EXPECT_STREQ(o.prompts_path, "p.txt");
  EXPECT_STREQ(o.json_path, "-");
  EXPECT_EQ(o.shard_index, 1);
  EXPECT_EQ(o.shard_count, 3);
  EXPECT_TRUE(o.show_progress);  // on by default with a prompt file
  EXPECT_STREQ(o.refusal, "");
  EXPECT_TRUE(parse({"--prompts", "p", "--json", "o", "--resume"}).resume);
  EXPECT_TRUE(parse({"--progress", "hi"}).show_progress);
  EXPECT_STREQ(parse({"--states", "s.safetensors", "--splice-substitute", "hi"}).states_path, "s.safetensors");
  EXPECT_FALSE(parse({"hi"}).show_progress);
  const std::vector<std::vector<std::string>> refused = {
      {"--prompts"}, {"--json"}, {"--prompts", "p", "--shard", "3/3"}, {"--prompts", "p", "--shard", "1/"},
      {"--prompts", "p", "--shard", "-1/2"}, {"--prompts", "p", "--shard", "1/2x"}, {"--prompts", "p", "word"},
      {"--shard", "0/2", "hi"}, {"--resume", "--json", "o"}, {"--prompts", "p", "--resume"},
      {"--prompts", "p", "--resume", "--json", "-"}, {"--states"}, {"--states", "-", "hi"},
      {"--audit-heads", "--states", "s"}, {"--batch", "2", "hi"}, {"--prompts", "p", "--batch", "0"},
      {"--prompts", "p", "--batch", "65"}, {"--prompts", "p", "--batch", "8x"}, {"--prompts", "p", "--batch"}};
  for (const auto& args : refused) {
    EXPECT_STRNE(parse(args).refusal, "") << args.back();
  }
  EXPECT_EQ(prompts_in_flight(parse({"--prompts", "p"})), kDefaultBatch);
  EXPECT_EQ(prompts_in_flight(parse({"--prompts", "p", "--batch", "64"})), 64);
}

TEST(RunOptions, TokenizerChoiceAndTokenizeOnly) {
  EXPECT_FALSE(parse({"hi"}).model_tokenizer);
  EXPECT_FALSE(parse({"hi"}).tokenize_only);
  EXPECT_TRUE(parse({"--tokenizer", "model", "hi"}).model_tokenizer);
  EXPECT_FALSE(parse({"--tokenizer", "model", "--tokenizer", "greedy"}).model_tokenizer);  // the last one counts
  const RunOptions o = parse({"--tokenize", "--prompts", "p", "--shard", "0/2"});
  EXPECT_TRUE(o.tokenize_only);
  EXPECT_STREQ(o.refusal, "");
  const std::vector<std::vector<std::string>> refused = {
      {"--tokenizer"}, {"--tokenizer", "Model"}, {"--tokenizer", "--tokenize"}, {"--tokenize", "--json", "-"},
      {"--tokenize", "--states", "s", "hi"}, {"--tokenize", "--prompts", "p", "--json", "o", "--resume"}};
  for (const auto& args : refused) EXPECT_STRNE(parse(args).refusal, "") << args.back();
}

TEST(RunOptions, UnknownOptionsStayPromptText) {
  RunOptions o = parse({"--verbose", "hi", "--colour", "--beta"});
  EXPECT_STREQ(o.prompt, "--verbose hi --colour --beta");
  EXPECT_EQ(o.unknown_options, 2);  // a --beta with no value is known, only misplaced
  EXPECT_STREQ(o.unknown_option, "--verbose");
  EXPECT_EQ(parse({"--", "-x", "hi"}).unknown_options, 0);
}

TEST(RunOptions, ProbeOptionsTakeTheirValuesAndNeedOne) {
  const RunOptions o = parse({"--probe", "p.safetensors", "--gate", "tax", "--truth-axis", "--x", "--audit-axis", "a", "hi"});
  EXPECT_STREQ(o.probe_path, "p.safetensors");
  EXPECT_STREQ(o.gate_axis, "tax");
  EXPECT_STREQ(o.truth_axis, "--x");  // a value is never read as an option
  EXPECT_STREQ(o.audit_axis, "a");
  EXPECT_STREQ(o.prompt, "hi");
  EXPECT_EQ(o.unknown_options, 0);
  EXPECT_EQ(parse({"hi"}).probe_path[0], '\0');
  for (const char* name : {"--probe", "--gate", "--truth-axis", "--audit-axis"})
    EXPECT_EQ(std::string(parse({"hi", name}).refusal).rfind(std::string(name) + " needs ", 0), 0u) << name;
}

TEST(RunOptions, ControlVectorsKeepTheirOrderScalesAndRange) {
  const RunOptions o = parse({"--control-vector", "a.gguf", "--control-vector", "dir/b.gguf:-0.25", "--control-vector",
                              "C:\\v\\c.gguf", "--control-vector-layers", "4-12", "hi"});
  EXPECT_EQ(o.refusal[0], '\0') << o.refusal;
  ASSERT_EQ(o.control_vector_count, 3);
  EXPECT_STREQ(o.control_vectors[0].path, "a.gguf");
  EXPECT_EQ(o.control_vectors[0].scale, 1.0f);
  EXPECT_STREQ(o.control_vectors[1].path, "dir/b.gguf");
  EXPECT_EQ(o.control_vectors[1].scale, -0.25f);
  EXPECT_STREQ(o.control_vectors[2].path, "C:\\v\\c.gguf");  // a drive letter is no scale
  EXPECT_EQ(o.control_vectors[2].scale, 1.0f);
  EXPECT_EQ(o.control_first_layer, 4);
  EXPECT_EQ(o.control_last_layer, 12);
  EXPECT_STREQ(o.prompt, "hi");
  EXPECT_EQ(o.unknown_options, 0);
  const RunOptions plain = parse({"hi"});
  EXPECT_EQ(plain.control_vector_count, 0);
  EXPECT_EQ(plain.control_first_layer, 0);
  EXPECT_EQ(plain.control_last_layer, 17);
  std::vector<std::string> many;
  for (int k = 0; k <= kMaxControlVectors; k++) many.insert(many.end(), {"--control-vector", "v.gguf"});
  EXPECT_NE(std::string(parse(many).refusal).find("at most 16 files"), std::string::npos);
  EXPECT_NE(std::string(parse({"--control-vector", ":2"}).refusal).find("needs a file"), std::string::npos);
  EXPECT_NE(std::string(parse({"--control-vector"}).refusal).find("needs a file"), std::string::npos);
}

TEST(RunOptions, TheGateSteersOnlyWithControlVectorsAndTakesADepthFrom1To18) {
  const RunOptions gated = parse({"--gate", "topic", "--control-vector", "v.gguf", "--gate-depth", "18", "hi"});
  EXPECT_EQ(gated.refusal[0], '\0') << gated.refusal;
  EXPECT_TRUE(steering_gated(gated));
  EXPECT_EQ(steering_gate_layers(gated), 18);
  EXPECT_EQ(steering_gate_layers(parse({"--gate", "topic", "--control-vector", "v.gguf"})), 16);
  EXPECT_FALSE(steering_gated(parse({"--gate", "topic", "hi"})));  // the splice's gate only
  EXPECT_FALSE(steering_gated(parse({"--control-vector", "v.gguf", "hi"})));
  for (const char* depth : {"0", "19", "-1", "3x", ""}) {
    const RunOptions o = parse({"--gate", "t", "--control-vector", "v.gguf", "--gate-depth", depth});
    EXPECT_EQ(std::string(o.refusal).rfind("--gate-depth must be a number of layers from 1 to 18", 0), 0u) << depth;
  }
  EXPECT_STREQ(parse({"--gate-depth", "3", "--control-vector", "v.gguf"}).refusal,
               "--gate-depth needs --gate NAME with --control-vector FILE");
}

TEST(RunOptions, AuditLayerAblationAndLensTakeTheirValuesAndModes) {
  const RunOptions none = parse({"hi"});
  EXPECT_EQ(none.audit_layer, 14);
  EXPECT_FALSE(none.audit_all || none.ablate_mean || none.lens != 0);
  const RunOptions layer = parse({"--audit-heads", "--audit-layer", "0", "--ablate", "mean", "hi"});
  EXPECT_STREQ(layer.refusal, "");
  EXPECT_EQ(layer.audit_layer, 0);
  EXPECT_TRUE(layer.ablate_mean);
  const RunOptions all = parse({"--audit-all", "--ablate", "zero"});
  EXPECT_STREQ(all.refusal, "");
  EXPECT_TRUE(all.audit_all && all.audit_heads && !all.ablate_mean);
  EXPECT_EQ(parse({"--splice-substitute", "--lens", "20"}).lens, 20);
  const std::vector<std::vector<std::string>> refused = {
      {"--audit-heads", "--audit-layer", "18"}, {"--audit-heads", "--audit-layer", "-1"}, {"--audit-heads", "--audit-layer"},
      {"--audit-layer", "3"},                   {"--audit-all", "--audit-heads", "--audit-layer", "3"},
      {"--audit-heads", "--ablate", "half"},    {"--ablate", "mean"},
      {"--lens", "0"},                          {"--lens", "21"}, {"--lens", "5x"},
      {"--audit-heads", "--lens", "3"},         {"--audit-all", "--lens", "3"},
      {"--audit-all", "--states", "s.safetensors"}};
  for (const auto& args : refused) EXPECT_STRNE(parse(args).refusal, "") << args[0] << " " << args[1];
}
