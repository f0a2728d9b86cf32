// Start-up through the real binary, in a temporary directory of its own.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

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
