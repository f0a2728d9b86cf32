// The korvane-convert program itself: usage, exit statuses, one-line reasons, and that a
// refused run leaves nothing in the output folder. Inputs are tiny files, refused by the real
// geometry before any writing starts.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/run_binary.h"
#include "tests/support/temp_dir.h"
#include "tests/tools/tiny_checkpoints.h"
#include "tools/convert/progress.h"

namespace {

RunResult run_convert(const std::vector<std::string>& args, const std::string& cwd) {
  std::vector<std::string> argv = {KORVANE_CONVERT_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_binary(argv, cwd);
}

size_t entries(const std::string& dir) {
  size_t n = 0;
  DIR* d = opendir(dir.c_str());
  while (dirent* e = readdir(d)) n += std::string(e->d_name) != "." && std::string(e->d_name) != "..";
  closedir(d);
  return n;
}

// A failure is exactly one line on standard error, beginning with the program's name.
void expect_one_line_reason(const RunResult& r, const std::string& part) {
  EXPECT_EQ(r.status, 1);
  ASSERT_FALSE(r.err.empty());
  EXPECT_EQ(r.err.rfind("korvane-convert: ", 0), 0u) << r.err;
  EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
  EXPECT_NE(r.err.find(part), std::string::npos) << r.err;
  EXPECT_EQ(r.out, "");
}

TEST(ConvertCli, HelpAndUsageErrors) {
  TempDir dir;
  for (const char* flag : {"--help", "-h"}) {
    RunResult r = run_convert({flag}, dir.path);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("usage: korvane-convert INPUT [OUTPUT]\n", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("gemma2b_fp16.bin"), std::string::npos);
  }
  RunResult none = run_convert({}, dir.path);
  EXPECT_EQ(none.status, 2);
  EXPECT_NE(none.err.find("expected INPUT [OUTPUT]"), std::string::npos) << none.err;
  RunResult three = run_convert({"a", "b", "c"}, dir.path);
  EXPECT_EQ(three.status, 2);
  RunResult unknown = run_convert({"--fast", "x"}, dir.path);
  EXPECT_EQ(unknown.status, 2);
  EXPECT_NE(unknown.err.find("unknown option --fast"), std::string::npos) << unknown.err;
  EXPECT_EQ(entries(dir.path), 0u);
}

TEST(ConvertCli, MissingInputAndUnrecognisedFolders) {
  TempDir dir;
  expect_one_line_reason(run_convert({"nowhere.safetensors"}, dir.path), "nowhere.safetensors: No such file");
  ASSERT_EQ(mkdir(dir.file("empty").c_str(), 0755), 0);
  expect_one_line_reason(run_convert({"empty"}, dir.path), "neither model.safetensors.index.json nor model.safetensors");
  EXPECT_EQ(entries(dir.path), 1u);
}

TEST(ConvertCli, OtherModelsAreRefusedNamingTheKeyOrTensor) {
  TempDir dir;
  // A well-formed tiny gemma in both formats: right architecture, wrong sizes.
  write_gguf(dir.file("tiny.gguf"), gemma_gguf_metadata(kTinyGeometry),
             tiny_tensors(kTinyGeometry, true, DType::f16, DType::f32, 1));
  expect_one_line_reason(run_convert({"tiny.gguf"}, dir.path), "gemma.block_count is 2, this model needs 18");
  write_safetensors(dir.file("model.safetensors"), tiny_tensors(kTinyGeometry, false, DType::bf16, DType::bf16, 1));
  expect_one_line_reason(run_convert({"model.safetensors", "out.bin"}, dir.path),
                         "model.embed_tokens.weight has shape [40, 16], this model needs [256000, 2048]");
  // Another architecture.
  auto meta = gemma_gguf_metadata(kTinyGeometry);
  meta[0].text = "qwen2";
  write_gguf(dir.file("other.gguf"), meta, tiny_tensors(kTinyGeometry, true, DType::f16, DType::f32, 1));
  expect_one_line_reason(run_convert({"other.gguf"}, dir.path), "general.architecture is \"qwen2\"");
  // Nothing but the three inputs: no output, no temporary file.
  EXPECT_EQ(entries(dir.path), 3u);
}

TEST(ConvertCli, ProgressTexts) {
  // 2.5 GB of 5 GB after 5 s: half done, 500 MB/s.
  EXPECT_EQ(progress_text(2500000000ull, 5000000000ull, 5.0, true),
            "[###############...............]  50%  2.50/5.00 GB  500 MB/s");
  EXPECT_EQ(progress_text(2500000000ull, 5000000000ull, 5.0, false), "converted 2.50 of 5.00 GB (50%), 500 MB/s");
  EXPECT_EQ(progress_text(5000000000ull, 5000000000ull, 10.0, true),
            "[##############################] 100%  5.00/5.00 GB  500 MB/s");
  EXPECT_EQ(progress_text(0, 5000000000ull, 0.0, false), "converted 0.00 of 5.00 GB (0%), 0 MB/s");

  // Plain mode prints once per tenth: a stream of updates gives 11 lines (0% .. 100%).
  FILE* sink = tmpfile();
  ASSERT_NE(sink, nullptr);
  Progress p;
  progress_start(&p, sink, false);
  for (uint64_t done = 0; done <= 1000; done += 5) progress_update(&p, done, 1000);
  progress_finish(&p);
  long size = ftell(sink);
  std::string text(static_cast<size_t>(size), '\0');
  rewind(sink);
  ASSERT_EQ(fread(text.data(), 1, text.size(), sink), text.size());
  fclose(sink);
  size_t lines = 0;
  for (char c : text) lines += c == '\n';
  EXPECT_EQ(lines, 11u) << text;
  EXPECT_NE(text.find("(100%)"), std::string::npos) << text;
}

}  // namespace
