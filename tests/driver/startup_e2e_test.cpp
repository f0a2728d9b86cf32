// Start-up through the real binary, in a temporary directory of its own.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/run_binary.h"
#include "tests/support/temp_dir.h"

namespace {
const std::string kBinary = KORVANE_BINARY;
const uint64_t kWeightsEnd = 5012496384ull;
const std::string kMissing1 =
    "\xE2\x9D\x8C [FATAL] Model weight file not found: gemma2b_fp16.bin (Error Code: 2)\n";
const std::string kMissing2 =
    "[*] Please place official Google Gemma-2-2B-it FP16 weights ('gemma2b_fp16.bin') in this directory.\n";

std::string profile_block(const std::string& profile, const std::string& prompt) {
  return "[*] Execution Mode  : Standalone Native Binary (Zero-Python, Zero-CUDA, Zero-Runtime)\n"
         "[*] Pipeline Profile: " + profile + "\n[*] Input Prompt    : \"" + prompt + "\"\n\n";
}

bool ends_with(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// A sparse file of the given size: no disk blocks, reads as zeros.
void make_sparse(const std::string& path, uint64_t size) {
  { std::ofstream(path, std::ios::binary); }
  std::filesystem::resize_file(path, size);
}
}  // namespace

TEST(StartupE2E, MissingWeightsPrintsBannerProfileAndBothFatalLines) {
  TempDir dir;
  RunResult r = run_binary({kBinary}, dir.path);
  EXPECT_EQ(r.status, 1);
  // The banner comes first, then a newline and the profile lines.
  EXPECT_EQ(r.out.rfind("  _  __", 0), 0u);
  const std::string profile =
      profile_block("Standard Baseline Forward Inference (Full Precision FP16)",
                    "\xE8\xAB\x8B\xE5\x95\x8F\xE5\x8F\xB0\xE7\x81\xA3\xE5\x8A\xA0\xE5\x80\xBC\xE5\x9E\x8B"
                    "\xE7\x87\x9F\xE6\xA5\xAD\xE7\xA8\x85\xE6\xB3\x95\xE5\xAE\x9A\xE7\xA8\x85\xE7\x8E\x87"
                    "\xE6\x98\xAF\xE5\xA4\x9A\xE5\xB0\x91\xEF\xBC\x9F");
  size_t at = r.out.find(profile);
  ASSERT_NE(at, std::string::npos) << r.out;
  EXPECT_EQ(r.out[at - 1], '\n');
  EXPECT_TRUE(ends_with(r.out, kMissing1 + kMissing2)) << r.out;
  EXPECT_EQ(r.out.find("[3/5]"), std::string::npos);
  EXPECT_EQ(r.out.find("\r"), std::string::npos);
  EXPECT_TRUE(r.err.empty()) << r.err;
}

TEST(StartupE2E, ProfileLineFollowsTheMode) {
  TempDir dir;
  RunResult audit = run_binary({kBinary, "--splice-substitute", "hello", "--audit-heads"}, dir.path);
  EXPECT_NE(audit.out.find(profile_block("Causal Attention Head Knockout Audit (Layer 14)", "hello")),
            std::string::npos);
  RunResult splice = run_binary({kBinary, "--splice-substitute", "--beta", "2", "x y"}, dir.path);
  EXPECT_NE(splice.out.find(profile_block(
                "Dynamic Orthogonal State Splicing Active (beta = 2.00)", "x y")),
            std::string::npos);
  RunResult junk = run_binary({kBinary, "--splice-substitute", "--beta", "abc"}, dir.path);
  EXPECT_NE(junk.out.find("(beta = 0.00)"), std::string::npos);
  EXPECT_EQ(audit.status, 1);
}

TEST(StartupE2E, NestedModelsFolderIsUsedAndNamed) {
  TempDir dir;
  std::filesystem::create_directories(dir.file("korvane/models"));
  make_sparse(dir.file("korvane/models/gemma2b_fp16.bin"), 4096);
  RunResult r = run_binary({kBinary}, dir.path);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("\xE2\x9D\x8C [FATAL] Model weight file is truncated: "
                       "korvane/models/gemma2b_fp16.bin (4096 bytes, expected at least 5012496384)\n"),
            std::string::npos)
      << r.out;
}

TEST(StartupE2E, ShortAndEmptyFilesAreRefused) {
  for (uint64_t size : {uint64_t{0}, uint64_t{1}, kWeightsEnd - 1}) {
    TempDir dir;
    make_sparse(dir.file("gemma2b_fp16.bin"), size);
    RunResult r = run_binary({kBinary}, dir.path);
    EXPECT_EQ(r.status, 1) << size;
    EXPECT_NE(r.out.find("Model weight file is truncated: gemma2b_fp16.bin (" + std::to_string(size) +
                         " bytes, expected at least 5012496384)"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("[3/5]"), std::string::npos);
  }
}

TEST(StartupE2E, DirectoryInPlaceOfTheFileIsRefused) {
  TempDir dir;
  std::filesystem::create_directory(dir.file("gemma2b_fp16.bin"));
  RunResult r = run_binary({kBinary}, dir.path);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("\xE2\x9D\x8C [FATAL] Model weight file not found: gemma2b_fp16.bin (Error Code: 21)\n"),
            std::string::npos)
      << r.out;
}

TEST(StartupE2E, HelpAndVersionLoadNothing) {
  TempDir dir;
  RunResult h = run_binary({kBinary, "--help"}, dir.path);
  EXPECT_EQ(h.status, 0);
  EXPECT_EQ(h.out.rfind("usage: korvane", 0), 0u);
  EXPECT_EQ(h.out.find("[FATAL]"), std::string::npos);
  RunResult v = run_binary({kBinary, "--version"}, dir.path);
  EXPECT_EQ(v.status, 0);
  EXPECT_EQ(v.out.rfind("korvane ", 0), 0u);
}

// --tokenize needs no weights (the folder has none): the ids alone on standard output, one
// line per prompt, with either tokenizer; a refused prompt-file line leaves an empty line.
TEST(StartupE2E, TokenizePrintsPrefillIdsWithoutTheWeights) {
  TempDir dir;
  RunResult greedy = run_binary({kBinary, "--tokenize", "hello", "world"}, dir.path);
  EXPECT_EQ(greedy.status, 0);
  EXPECT_EQ(greedy.out, "2 3 106 1645 108 17534 2134 107 108 106 2516 108\n");
  RunResult model = run_binary({kBinary, "--tokenizer", "model", "--tokenize", "hello world"}, dir.path);
  EXPECT_EQ(model.status, 0);
  EXPECT_EQ(model.out, "2 106 1645 108 17534 2134 107 108 106 2516 108\n");
  { std::ofstream(dir.file("p.jsonl")) << "{\"prompt\":\"hello\"}\n{\"prompt\":\"\"}\n{\"prompt\":\"world\"}\n"; }
  RunResult batch = run_binary({kBinary, "--tokenizer", "model", "--tokenize", "--prompts", "p.jsonl"}, dir.path);
  EXPECT_EQ(batch.status, 3);
  EXPECT_EQ(batch.out, "2 106 1645 108 17534 107 108 106 2516 108\n\n2 106 1645 108 9097 107 108 106 2516 108\n");
  EXPECT_NE(batch.err.find("Prompt 1 (line 2) refused"), std::string::npos);
  std::vector<std::string> long_run = {kBinary, "--tokenizer", "model", "--tokenize"};
  long_run.insert(long_run.end(), 300, "word");
  RunResult cut = run_binary(long_run, dir.path);
  EXPECT_EQ(cut.status, 0);
  EXPECT_EQ(std::count(cut.out.begin(), cut.out.end(), ' '), 245);
  EXPECT_NE(cut.err.find("limit of 246 ids"), std::string::npos);
  for (const std::vector<std::string>& refused : {std::vector<std::string>{kBinary, "--tokenizer", "bpe", "--tokenize", "x"},
                                                   std::vector<std::string>{kBinary, "--tokenize", "--json", "o.jsonl", "x"}}) {
    RunResult r = run_binary(refused, dir.path);
    EXPECT_EQ(r.status, 1) << refused[2];
    EXPECT_NE((r.out + r.err).find("[FATAL]"), std::string::npos) << refused[2];
  }
}

TEST(StartupE2E, ReadOnlyWeightsFileIsAccepted) {
  if (geteuid() != 0 || access("/usr/sbin/runuser", X_OK) != 0) GTEST_SKIP() << "needs root and runuser";
  TempDir dir;
  chmod(dir.path.c_str(), 0755);
  make_sparse(dir.file("gemma2b_fp16.bin"), kWeightsEnd);
  chmod(dir.file("gemma2b_fp16.bin").c_str(), 0444);
  // As an unprivileged user the file is readable but not writable.
  RunResult probe = run_binary({"/usr/bin/test", "-w", dir.file("gemma2b_fp16.bin")}, dir.path, "nobody");
  ASSERT_NE(probe.status, 0) << "the file should not be writable by nobody";
  // A copy of the program inside the directory, so that nobody can reach it wherever the build is.
  std::filesystem::copy_file(kBinary, dir.file("korvane"));
  chmod(dir.file("korvane").c_str(), 0755);
  // The file maps; the run itself (minutes over zeros) is cut short after the next step.
  RunResult run = run_binary({dir.file("korvane"), "hi"}, dir.path, "nobody",
                             "\xE2\x9C\x94 [4/5] 4-Core SMP Micro-Kernel Thread Pool & RoPE Table Initialized!\n");
  EXPECT_NE(run.out.find("\xE2\x9C\x94 [3/5] Gemma-2B Model Core (4.3 GB) Mapped Successfully!\n"),
            std::string::npos)
      << run.out;
  EXPECT_EQ(run.out.find("[FATAL]"), std::string::npos) << run.out;
}

namespace {
const std::string kMapped = "\xE2\x9C\x94 [3/5] Gemma-2B Model Core (4.3 GB) Mapped Successfully!\n";
const std::string kTokenized = "\xE2\x9C\x94 [5/5] Prompt Tokenization Complete";

// The run's output from its first fatal line on, or "" when there is none.
std::string from_fatal(const RunResult& r) {
  size_t at = r.out.find("\xE2\x9D\x8C [FATAL]");
  return at == std::string::npos ? "" : r.out.substr(at);
}

std::string open_failure(const std::string& path, int code, const std::string& reason) {
  return "\xE2\x9D\x8C [FATAL] Model weight file not found: " + path + " (Error Code: " + std::to_string(code) +
         ")\n[*] Please place official Google Gemma-2-2B-it FP16 weights ('gemma2b_fp16.bin') in this directory.\n" +
         reason;
}
}  // namespace

TEST(StartupE2E, WhatStandsInPlaceOfTheWeightsIsNamedAndNeverWaitedOn) {
  struct Case {
    const char* what;
    std::function<void(const std::string&)> make;
    int code;
    std::string reason;
  } cases[] = {
      {"directory", [](const std::string& p) { std::filesystem::create_directory(p); }, 21,
       "[*] gemma2b_fp16.bin is a directory, not a regular file.\n"},
      {"fifo", [](const std::string& p) { ASSERT_EQ(mkfifo(p.c_str(), 0644), 0); }, 19,
       "[*] gemma2b_fp16.bin is a FIFO (named pipe), not a regular file.\n"},
      {"socket",
       [](const std::string& p) {
         int fd = socket(AF_UNIX, SOCK_STREAM, 0);
         sockaddr_un addr{};
         addr.sun_family = AF_UNIX;
         snprintf(addr.sun_path, sizeof addr.sun_path, "%s", p.c_str());
         ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << p;
         close(fd);
       },
       19, "[*] gemma2b_fp16.bin is a socket, not a regular file.\n"},
      {"device", [](const std::string& p) { std::filesystem::create_symlink("/dev/null", p); }, 19,
       "[*] gemma2b_fp16.bin is a device, not a regular file.\n"},
      {"symlink loop", [](const std::string& p) { std::filesystem::create_symlink("gemma2b_fp16.bin", p); }, 40,
       "[*] gemma2b_fp16.bin: Too many levels of symbolic links\n"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    c.make(dir.file("gemma2b_fp16.bin"));
    RunResult r = run_binary({kBinary}, dir.path);
    EXPECT_EQ(r.status, 1) << c.what;
    EXPECT_EQ(from_fatal(r), open_failure("gemma2b_fp16.bin", c.code, c.reason)) << c.what;
  }
}

TEST(StartupE2E, WeightsOptionNamesTheFileToMap) {
  TempDir dir;
  std::filesystem::create_directories(dir.file("elsewhere"));
  make_sparse(dir.file("elsewhere/w.bin"), kWeightsEnd);
  for (const char* option : {"--weights", "-m"}) {
    RunResult good = run_binary({kBinary, option, dir.file("elsewhere/w.bin"), "hi"}, dir.path, "", kMapped);
    EXPECT_NE(good.out.find(kMapped), std::string::npos) << option << good.out;
    EXPECT_EQ(good.out.find("[FATAL]"), std::string::npos) << good.out;
    EXPECT_NE(good.out.find("[*] Input Prompt    : \"hi\""), std::string::npos);
  }
  RunResult missing = run_binary({kBinary, "-m", "elsewhere/none.bin"}, dir.path);
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(from_fatal(missing), open_failure("elsewhere/none.bin", 2, ""));
  RunResult folder = run_binary({kBinary, "--weights", "elsewhere"}, dir.path);
  EXPECT_EQ(folder.status, 1);
  EXPECT_EQ(from_fatal(folder),
            open_failure("elsewhere", 21, "[*] elsewhere is a directory, not a regular file.\n"));
}

TEST(StartupE2E, WeightsThatShrinkDuringTheRunEndWithOneFatalLine) {
  TempDir dir;
  const std::string weights = dir.file("gemma2b_fp16.bin");
  make_sparse(weights, kWeightsEnd);
  // Once start-up is done the model's first pass reads the weights: cut the file under it.
  RunResult r = run_binary_acting({kBinary, "hi"}, dir.path, kTokenized,
                                  [&] { std::filesystem::resize_file(weights, 4096); });
  EXPECT_EQ(r.status, 1);
  const std::string line = "\xE2\x9D\x8C [FATAL] The weights file changed size while it was in use: gemma2b_fp16.bin\n";
  EXPECT_EQ(from_fatal(r), line);
  // With the records on standard output the report is silenced, but not the fatal line: it
  // goes to standard error (cut once the first prompt's record is out).
  make_sparse(weights, kWeightsEnd);
  std::ofstream(dir.file("p.txt")) << "hi\nho\n";
  r = run_binary_acting({kBinary, "--prompts", "p.txt", "--json", "-"}, dir.path, "\"index\":0",
                        [&] { std::filesystem::resize_file(weights, 4096); });
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.substr(r.err.size() - std::min(r.err.size(), line.size())), line) << r.err;
}

TEST(StartupE2E, StandardOutputThatCannotBeWrittenEndsWithStatusOne) {
  TempDir dir;
  make_sparse(dir.file("gemma2b_fp16.bin"), kWeightsEnd);
  // --version, a refused start-up and a run that has its weights: each to a full device.
  for (const char* args : {"--version", "--beta nan", "hi"}) {
    RunResult r = run_binary({"/bin/sh", "-c", std::string("exec \"$0\" ") + args + " >/dev/full", kBinary}, dir.path);
    EXPECT_EQ(r.status, 1) << args;
    EXPECT_EQ(r.err, "\xE2\x9D\x8C [FATAL] Standard output could not be written: the report is incomplete\n") << args;
  }
}

TEST(StartupE2E, NonFiniteBetaIsRefusedBeforeAnything) {
  TempDir dir;
  RunResult r = run_binary({kBinary, "--splice-substitute", "--beta", "1e40"}, dir.path);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "\xE2\x9D\x8C [FATAL] --beta must be a finite number, not \"1e40\"\n");
}

TEST(StartupE2E, PromptCutsAreWarnedOnStandardErrorOnly) {
  TempDir dir;
  make_sparse(dir.file("gemma2b_fp16.bin"), kWeightsEnd);
  const std::string warn = "\xE2\x9A\xA0 [WARNING] Prompt cut: ";
  // A 2,052-byte prompt of short words passes both tokenizer limits; nothing is cut for "hi".
  std::vector<std::string> words = {kBinary};
  for (int i = 0; i < 1026; i++) words.push_back("a");
  RunResult cut = run_binary(words, dir.path, "", kTokenized);
  EXPECT_EQ(cut.err, warn + "only its first 4000 bytes (spaces marked) are tokenized; the rest is left out\n" +
                         warn + "the tokens reached the limit of 246 ids; the rest of the prompt and the chat "
                                "template's closing turn markers are left out\n");
  // 1100 bytes are cut to 1023; three words of 1000 bytes bring the prompt to 4026, so the
  // fourth is left out.
  const std::string k(1000, 'y');
  RunResult args = run_binary({kBinary, std::string(1100, 'x'), k, k, k, k}, dir.path, "", kMapped);
  EXPECT_EQ(args.err, warn + "1 word(s) longer than 1023 bytes kept only their first 1023 bytes\n" + warn +
                          "1 word(s) left out, since the prompt would have passed 4095 bytes\n");
  RunResult plain = run_binary({kBinary, "hi"}, dir.path, "", kTokenized);
  EXPECT_EQ(plain.err, "");
  for (const RunResult* r : {&cut, &args}) EXPECT_EQ(r->out.find("WARNING"), std::string::npos);
}

TEST(StartupE2E, TimingsFollowTheReportOnStandardErrorOnly) {
  TempDir dir;
  make_sparse(dir.file("gemma2b_fp16.bin"), kWeightsEnd);
  // Over zeros every logit is 0: the first answer token is id 0, then its penalty leaves <eos>.
  RunResult r = run_binary({kBinary, "--timings", "hi"}, dir.path);
  ASSERT_EQ(r.status, 0) << r.out;
  const std::regex lines(
      "prompt eval: 11 tokens, [0-9]+\\.[0-9]{2} s\n"
      "generation: 1 tokens, [0-9]+\\.[0-9]{2} s, [0-9]+\\.[0-9]{2} tokens/s\n"
      "total: [0-9]+\\.[0-9]{2} s\n");
  EXPECT_TRUE(std::regex_match(r.err, lines)) << r.err;
  EXPECT_EQ(r.out.find("tokens/s"), std::string::npos);
  EXPECT_TRUE(ends_with(r.out, "[DONE] Standalone Native Inference Complete \xC2\xB7 Verified Silicon Trace\n" +
                                   std::string(100, '=') + "\n"));
}
