// Many prompts in one process on the synthetic weights: the console against single runs byte
// for byte, the records against their console reports value for value, shards and resume.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "kernels/kernels.h"
#include "model/weights_layout.h"
#include "model/fp16.h"
#include "model/run_limits.h"
#include "probe/probe.h"
#include "probe/probe_file.h"
#include "tests/support/gguf_writer.h"
#include "tests/support/korvane_runs.h"
#include "tests/support/run_binary.h"
#include "tests/support/synthetic_weights.h"
#include "tests/support/temp_dir.h"

namespace {
using nlohmann::json;

// Prompts 0 and 2 run; 1 (cut JSON) and 3 (no prompt string) are refused.
const char* const kPromptFile =
    "{\"id\":\"a\",\"prompt\":\"Hi\"}\n{\"prompt\":\"Hi\"\n{\"id\":7,\"prompt\":\"tax\"}\r\n\n{\"prompt\":5}\n";
const char* const kPrompts[] = {"Hi", "tax"};

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

std::string fmt(const char* format, double v) {
  char b[64];
  snprintf(b, sizeof b, format, v);
  return b;
}

// A run of the real program over the prompt file in dir, records to dir/out.jsonl.
RunResult batch_run(const TempDir& dir, std::vector<std::string> args, const std::string& stop_after = "") {
  std::vector<std::string> argv = {KORVANE_BINARY, "--weights", synthetic_weights_path(), "--prompts",
                                   dir.file("p.jsonl"), "--json", dir.file("out.jsonl")};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_binary(argv, dir.path, "", stop_after);
}

// Checks one record against the console report of a single run with its prompt.
void expect_record_matches(const json& r, const std::string& out, const std::string& mode) {
  std::smatch m;
  ASSERT_TRUE(std::regex_search(out, m, std::regex(R"(Prefill Length: (\d+) Tokens)")));
  EXPECT_EQ(r["prefill_ids"].size(), std::stoul(m[1]));
  EXPECT_EQ(r["mode"], mode);
  if (mode == "audit") {
    const auto& rows = r["audit"]["rows"];
    ASSERT_EQ(rows.size(), 9u);
    for (size_t i = 0; i < rows.size(); i++) {
      const std::string label = i == 0 ? "Baseline" : "Head #0" + std::to_string(i - 1);
      const std::string prefix = label + "   | " +
                                 fmt("%+12.4f", rows[i]["t14"].get<double>()) + "   | " +
                                 fmt("%+12.4f", rows[i]["t15"].get<double>()) + "   | " +
                                 fmt("%+12.4f", rows[i]["delta"].get<double>()) + "   | ";
      const size_t at = out.find(prefix);
      ASSERT_NE(at, std::string::npos) << prefix;
      const std::string id = "(ID:" + std::to_string(rows[i]["first_token_id"].get<int>()) + ")";
      EXPECT_NE(out.find(id, at), std::string::npos);
      EXPECT_NE(out.find(rows[i]["verdict"].get<std::string>(), at), std::string::npos);
    }
    EXPECT_NE(out.find("Head #" + fmt("%02.0f", r["audit"]["best_head"].get<double>()) +
                       " (Layer 15 真實度回彈最大: ΔT = " + fmt("%+8.4f", r["audit"]["best_delta"].get<double>())),
              std::string::npos);
    return;
  }
  if (mode == "splice") {
    EXPECT_EQ(r["splice"]["decision"], "closed");
    EXPECT_NE(out.find("(Domain: " + fmt("%+6.4f", r["splice"]["domain"].get<double>()) + " <= 0)"), std::string::npos);
  }
  const auto& rows = r["telemetry"];
  ASSERT_EQ(rows.size(), 18u);
  for (int h = 0; h < 18; h++) {
    const auto& d = rows[h];
    char row[256];
    snprintf(row, sizeof row, "Layer %02d   | %+10.4f   | %+10.4f   | %+10.4f   | %+10.4f   | [%s]", h,
             d["truth"].get<double>(), d["safety"].get<double>(), d["cert"].get<double>(),
             d["domain"].get<double>(), d["hash"].get<std::string>().c_str());
    EXPECT_NE(out.find(row), std::string::npos) << row;
  }
  const auto& a = r["answer"];
  for (size_t u = 0; u < a["ids"].size(); u++) {
    char tok[160];
    snprintf(tok, sizeof tok, "Token #%02zu: ID = %-8d (Logit = %+8.4f) -> '", u + 1, a["ids"][u].get<int>(),
             a["logits"][u].get<double>());
    EXPECT_NE(out.find(std::string(tok) + a["texts"][u].get<std::string>() + "'\n"), std::string::npos) << tok;
  }
  const bool full = a["ids"].size() == 25;
  EXPECT_EQ(a["stop"] == "limit", full);
}

// One tensor of a safetensors file's bytes: its shape and data as floats or ints.
struct Tensor {
  std::vector<int64_t> shape;
  const char* data;
};
Tensor tensor_of(const std::string& file, const std::string& name) {
  uint64_t n = 0;
  memcpy(&n, file.data(), 8);
  const json h = json::parse(file.substr(8, n));
  const auto& t = h.at(name);
  return {t["shape"].get<std::vector<int64_t>>(), file.data() + 8 + n + t["data_offsets"][0].get<uint64_t>()};
}

// The single run's output cut into what comes before its Input Prompt line, that line with
// its blank line, start-up steps 1-4, and the rest from step 5 on.
struct SingleParts {
  std::string before, input, steps, rest;
};
SingleParts parts_of(const std::string& out) {
  const size_t p = out.find("[*] Input Prompt"), q1 = out.find("\xE2\x9C\x94 [1/5]"), q5 = out.find("\xE2\x9C\x94 [5/5]");
  return {out.substr(0, p), out.substr(p, q1 - p), out.substr(q1, q5 - q1), out.substr(q5)};
}
}  // namespace

TEST(PromptBatchE2E, ConsoleAndRecordsMatchSingleRunsInEveryMode) {
  const std::vector<std::pair<std::string, std::string>> modes = {
      {"default", ""}, {"splice", "--splice-substitute"}, {"audit", "--audit-heads"}};
  for (const auto& [mode, flag] : modes) {
    SCOPED_TRACE(mode);
    TempDir dir;
    std::ofstream(dir.file("p.jsonl"), std::ios::binary) << kPromptFile;
    std::vector<std::string> flags;
    if (!flag.empty()) flags.push_back(flag);
    const RunResult batch = batch_run(dir, flags);
    EXPECT_EQ(batch.status, 3) << batch.err;
    EXPECT_NE(batch.err.find("Prompt 1 (line 2) refused"), std::string::npos) << batch.err;
    EXPECT_NE(batch.err.find("Prompt 3 (line 5) refused"), std::string::npos) << batch.err;
    std::string expected;
    std::vector<std::string> singles;
    for (const char* prompt : kPrompts) {
      std::vector<std::string> args = flags;
      args.push_back(prompt);
      const RunResult single = korvane_run(synthetic_weights_path(), args);
      ASSERT_EQ(single.status, 0);
      singles.push_back(single.out);
      const SingleParts s = parts_of(single.out);
      if (expected.empty()) expected = s.before + s.steps;
      expected += s.input + s.rest;
    }
    EXPECT_EQ(batch.out, expected);
    const auto records = lines_of(slurp(dir.file("out.jsonl")));
    ASSERT_EQ(records.size(), 4u);
    for (size_t i = 0; i < 4; i++) {
      const json r = json::parse(records[i]);
      EXPECT_EQ(r["index"], i);
      EXPECT_EQ(r.contains("error"), i % 2 == 1);
      EXPECT_EQ(r["run"]["weights_path"], synthetic_weights_path());
      if (i % 2 == 0) expect_record_matches(r, singles[i / 2], mode);
    }
    EXPECT_EQ(json::parse(records[0])["id"], "a");
    EXPECT_EQ(json::parse(records[2])["id"], 7);
  }
}

TEST(PromptBatchE2E, ShardsMergeAndResumeGiveTheUnshardedRecords) {
  TempDir dir;
  std::ofstream(dir.file("p.jsonl"), std::ios::binary) << kPromptFile;
  ASSERT_EQ(batch_run(dir, {}).status, 3);
  const std::string whole = slurp(dir.file("out.jsonl"));

  std::vector<std::pair<int64_t, std::string>> merged;
  for (const char* shard : {"0/2", "1/2"}) {
    const RunResult r = run_binary({KORVANE_BINARY, "--weights", synthetic_weights_path(), "--prompts",
                                    dir.file("p.jsonl"), "--json", "-", "--shard", shard},
                                   dir.path);
    EXPECT_EQ(r.status, shard[0] == '1' ? 3 : 0);  // shard 1 holds the refused lines 1 and 3
    for (const std::string& l : lines_of(r.out)) merged.emplace_back(json::parse(l)["index"].get<int64_t>(), l);
  }
  std::sort(merged.begin(), merged.end());
  std::string joined;
  for (const auto& m : merged) joined += m.second + "\n";
  EXPECT_EQ(joined, whole);

  // The same shards through GNU parallel, merged by the README's script.
  const std::string command = "parallel " KORVANE_BINARY " --weights " + synthetic_weights_path() + " --prompts " +
                              dir.file("p.jsonl") + " --shard {}/2 --json " + dir.file("out.{}.jsonl") + " ::: 0 1";
  const RunResult par = run_binary({"/bin/sh", "-c", command}, dir.path);
  EXPECT_EQ(par.status, 1) << par.err;  // one job (shard 1) ended with 3
  const RunResult merge = run_binary({"/bin/bash", KORVANE_SOURCE_DIR "/tools/merge-shards.sh", dir.file("out.0.jsonl"),
                                      dir.file("out.1.jsonl")}, dir.path);
  EXPECT_EQ(merge.out, whole) << merge.err;

  // Stopped as the third line's prompt begins, then a torn line as a kill mid-write leaves.
  const RunResult stopped = batch_run(dir, {}, "[*] Input Prompt    : \"tax\"");
  EXPECT_EQ(stopped.status, 128 + 9);
  const auto whole_lines = lines_of(whole);
  ASSERT_EQ(slurp(dir.file("out.jsonl")), whole_lines[0] + "\n" + whole_lines[1] + "\n");
  std::ofstream(dir.file("out.jsonl"), std::ios::binary | std::ios::app) << whole_lines[2].substr(0, 40);
  const RunResult resumed = batch_run(dir, {"--resume"});
  EXPECT_EQ(resumed.status, 3) << resumed.err;
  EXPECT_EQ(resumed.out.find("\"Hi\""), std::string::npos);  // the kept prompt is not run again
  EXPECT_EQ(slurp(dir.file("out.jsonl")), whole);
}

// The state file of a splice run that arms: every row's normed state reproduces the record's
// reading and hash bit for bit, and is the final norm of the residual kept beside it.
TEST(PromptBatchE2E, StateFileHoldsWhatEveryRowRead) {
  TempDir dir;
  std::ofstream(dir.file("p.jsonl"), std::ios::binary) << kPromptFile;
  const RunResult run = run_binary({KORVANE_BINARY, "--weights", domain_variant_weights_path(), "--prompts",
                                    dir.file("p.jsonl"), "--json", dir.file("out.jsonl"), "--splice-substitute",
                                    "--states", dir.file("s.safetensors")},
                                   dir.path);
  ASSERT_EQ(run.status, 3) << run.err;
  const std::string file = slurp(dir.file("s.safetensors"));
  std::vector<float> norm(geom::kDim);
  std::ifstream weights(domain_variant_weights_path(), std::ios::binary);
  weights.seekg(static_cast<std::streamoff>(file_off::final_norm));
  weights.read(reinterpret_cast<char*>(norm.data()), geom::kDim * sizeof(float));
  load_probe_tables();
  int checked = 0;
  for (const std::string& line : lines_of(slurp(dir.file("out.jsonl")))) {
    const json r = json::parse(line);
    if (r.contains("error")) continue;
    EXPECT_EQ(r["splice"]["decision"], "armed");
    const std::string stem = std::to_string(r["index"].get<int>());
    const Tensor ids = tensor_of(file, stem + ".ids"), normed = tensor_of(file, stem + ".normed"),
                 residual = tensor_of(file, stem + ".residual");
    ASSERT_EQ(ids.shape, std::vector<int64_t>{int64_t(r["prefill_ids"].size())});
    ASSERT_EQ(normed.shape, (std::vector<int64_t>{18, 2048}));
    ASSERT_EQ(residual.shape, normed.shape);
    EXPECT_EQ(memcmp(ids.data, r["prefill_ids"].get<std::vector<int32_t>>().data(), 4 * r["prefill_ids"].size()), 0);
    for (int h = 0; h < 18; h++) {
      SCOPED_TRACE(h);
      std::vector<float> state(geom::kDim), from_residual(geom::kDim);
      memcpy(state.data(), normed.data + h * geom::kDim * 4, geom::kDim * 4);
      memcpy(from_residual.data(), residual.data + h * geom::kDim * 4, geom::kDim * 4);
      rms_norm(from_residual.data(), norm.data(), from_residual.data(), geom::kDim, geom::kNormEps);
      EXPECT_EQ(memcmp(from_residual.data(), state.data(), geom::kDim * 4), 0);
      const json& row = r["telemetry"][h];
      char hash[16];
      snprintf(hash, sizeof hash, "0x%08X", state_hash(state.data()));
      EXPECT_EQ(row["hash"], hash);
      const ProbeReading p = read_probe(state.data(), h);
      EXPECT_EQ(fmt("%.9g", p.value[0]) + fmt("%.9g", p.value[3]), fmt("%.9g", row["truth"].get<double>()) +
                                                                 fmt("%.9g", row["domain"].get<double>()));
    }
    checked++;
  }
  EXPECT_EQ(checked, 2);

  // Never over the prompt file, the records or the weights, whatever name reaches them.
  std::filesystem::create_symlink(domain_variant_weights_path(), dir.file("w.bin"));
  for (const char* target : {"p.jsonl", "out.jsonl", "w.bin"}) {
    const RunResult refused = run_binary({KORVANE_BINARY, "--weights", domain_variant_weights_path(), "--prompts",
                                          dir.file("p.jsonl"), "--json", dir.file("out.jsonl"), "--states",
                                          dir.file(target)}, dir.path);
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.out.find("\xE2\x9D\x8C [FATAL] --states would overwrite"), std::string::npos) << target;
  }
  EXPECT_EQ(slurp(dir.file("p.jsonl")), kPromptFile);
}

namespace {
TEST(PromptBatchE2E, PromptsInFlightPrintAndRecordWhatTheyGiveOneByOne) {
  // Six prompts of different lengths (one refused between them), so that batches of 2 and 3
  // refill from the file while other answers are at other positions; one and two threads.
  TempDir dir;
  std::ofstream(dir.file("p.jsonl"), std::ios::binary)
      << "{\"prompt\":\"Hi\"}\n{\"prompt\":\"Why is the sky blue at noon but red at dusk?\"}\n{\"prompt\":7}\n"
         "{\"prompt\":\"tax\"}\n{\"prompt\":\"A zebra, a lion and a crow walk into a bar\"}\n{\"prompt\":\"ok\"}\n";
  // A vector steering from layer 4 on, beside the gated end-of-text row below.
  std::ofstream(dir.file("v.gguf"), std::ios::binary) << gguf_test_file(
      {{"general.architecture", "controlvector"}, {"controlvector.model_hint", "gemma"}},
      {{"direction.4", {2048}, 0, f32_bytes(2048, [](uint64_t i) { return 0.5f * float(int(i % 7) - 3); })}});
  // A probe of two more axes, Truth moved down: "gate" reads above 0 after 3 layers, "splice"
  // after 16, for some of the prompts only. The first gates a control row after the last layer
  // along the end-of-text embedding, so that some answers end at their first token while the
  // others run to the limit; the second arms the splice for some prompts only.
  load_probe_tables();
  Probe probe = probe_in_use();
  for (const auto& [name, shift] : {std::pair<const char*, float>{"gate", 0.075f}, {"splice", 0.02f}}) {
    const int a = probe.axes++;
    snprintf(probe.names[a], sizeof probe.names[a], "%s", name);
    snprintf(probe.labels[a], sizeof probe.labels[a], "%s", name);
    memcpy(probe.tables[0].weights[a], probe.tables[0].weights[0], sizeof probe.tables[0].weights[a]);
    probe.tables[0].bias[a] = probe.tables[0].bias[0] - shift;
  }
  std::ofstream(dir.file("gate.safetensors"), std::ios::binary) << probe_file_bytes(probe);
  std::vector<uint16_t> eos(geom::kDim);
  std::ifstream weights(synthetic_weights_path(), std::ios::binary);
  weights.seekg(std::streamoff(file_off::embedding_table + uint64_t(vocab_ids::kEos) * geom::kDim * 2));
  ASSERT_TRUE(weights.read(reinterpret_cast<char*>(eos.data()), std::streamsize(eos.size() * 2)));
  std::ofstream(dir.file("eos.gguf"), std::ios::binary) << gguf_test_file(
      {{"general.architecture", "controlvector"}, {"controlvector.model_hint", "gemma"}},
      {{"direction.17", {2048}, 0, f32_bytes(2048, [&](uint64_t i) { return 1000.0f * half_to_float(eos[i]); })}});
  struct Variant {
    std::vector<std::string> flags;
    std::vector<std::string> widths;
    std::vector<std::string> seen;  // in the single run's console or records
  };
  const Variant variants[] = {
      {{}, {"2", "3", "8"}, {}},
      {{"--probe", dir.file("gate.safetensors"), "--gate", "gate", "--gate-depth", "3", "--control-vector",
        dir.file("v.gguf"), "--control-vector", dir.file("eos.gguf"), "--lens", "2"},
       {"2", "3"},
       {"STEERING GATE OPEN", "STEERING GATE CLOSED", "\"stop\":\"eos\"", "\"stop\":\"limit\""}},
      {{"--probe", dir.file("gate.safetensors"), "--gate", "splice", "--lens", "2", "--splice-substitute"}, {"2", "3"},
       {"BOM SPLICER ACTIVE", "BOM SAFETY VALVE"}}};
  for (const Variant& v : variants) {
    const std::vector<std::string>& flags = v.flags;
    const RunResult alone = batch_run(dir, flags);
    ASSERT_EQ(alone.status, 3) << alone.err;
    const std::string records = slurp(dir.file("out.jsonl"));
    ASSERT_EQ(lines_of(records).size(), 6u);
    for (const std::string& text : v.seen)
      EXPECT_TRUE(alone.out.find(text) != std::string::npos || records.find(text) != std::string::npos) << text;
    for (const std::string& width : v.widths) {
      const std::string mode = flags.empty() ? "" : flags.back() + ", ";
      SCOPED_TRACE(mode + "--batch " + width);
      std::vector<std::string> argv = {"/usr/bin/env", std::string("KORVANE_THREADS=") + (width == "3" ? "1" : "2"),
                                       KORVANE_BINARY, "--weights", synthetic_weights_path(), "--prompts",
                                       dir.file("p.jsonl"), "--json", dir.file("out.jsonl"), "--batch", width,
                                       "--timings"};
      argv.insert(argv.end(), flags.begin(), flags.end());
      const RunResult together = run_binary(argv, dir.path);
      EXPECT_EQ(together.status, 3) << together.err;
      EXPECT_EQ(together.out, alone.out);
      // Shared passes and steps are counted once: their seconds fit within the run's.
      std::smatch t;
      ASSERT_TRUE(std::regex_search(together.err, t, std::regex(R"(prompt eval: \d+ tokens, ([0-9.]+) s\ngeneration: \d+ tokens, ([0-9.]+) s, [0-9.]+ tokens/s\ntotal: ([0-9.]+) s)")))
          << together.err;
      EXPECT_LE(std::stod(t[1]) + std::stod(t[2]), std::stod(t[3]) + 0.02) << together.err;
      // The records name the thread count; all else is the same.
      const std::string got = slurp(dir.file("out.jsonl"));
      EXPECT_EQ(std::regex_replace(got, std::regex("\"threads\":1,"), "\"threads\":2,"), records);
    }
  }
}
}  // namespace
