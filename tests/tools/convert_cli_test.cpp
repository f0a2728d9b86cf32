// The korvane-convert program itself: usage, exit statuses, one-line reasons, and that a
// refused run leaves nothing in the output folder. Inputs are tiny files, refused by the real
// geometry before any writing starts.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

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
    for (const char* part : {"google/gemma-2b-it", "Gemma Terms of Use", "README", "nearest, ties to even",
                             "An existing regular file there is replaced", "5,012,496,384 bytes free",
                             "Exit status: 0", "2 for a usage error"})
      EXPECT_NE(r.out.find(part), std::string::npos) << part;
  }
  RunResult version = run_convert({"--version"}, dir.path);
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("korvane-convert ", 0), 0u) << version.out;
  EXPECT_EQ(version.out.find('\n'), version.out.size() - 1) << version.out;
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

// Runs the converter through the shell, for redirections and limits: `shell` is run with the
// program as "$0" and args as "$@".
RunResult run_convert_in_shell(const std::string& shell, const std::vector<std::string>& args,
                               const std::string& cwd) {
  std::vector<std::string> argv = {"/bin/sh", "-c", shell, KORVANE_CONVERT_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_binary(argv, cwd);
}

TEST(ConvertCli, OutputThatIsAnInputOrNotARegularFileIsRefusedBeforeAnyWork) {
  TempDir dir;
  // A folder checkpoint that the real geometry refuses only when binding its tensors, after
  // the output has been compared with every file read.
  ASSERT_EQ(mkdir(dir.file("ckpt").c_str(), 0755), 0);
  write_safetensors(dir.file("ckpt/model.safetensors"), tiny_tensors(kTinyGeometry, false, DType::f16, DType::f32, 1));
  FILE* f = fopen(dir.file("ckpt/config.json").c_str(), "w");
  fputs("{\"model_type\": \"gemma\"}", f);
  fclose(f);
  write_gguf(dir.file("m.gguf"), gemma_gguf_metadata(kTinyGeometry),
             tiny_tensors(kTinyGeometry, true, DType::f16, DType::f32, 1));
  ASSERT_EQ(symlink("m.gguf", dir.file("soft.bin").c_str()), 0);
  ASSERT_EQ(link(dir.file("m.gguf").c_str(), dir.file("hard.bin").c_str()), 0);
  ASSERT_EQ(symlink("ckpt/model.safetensors", dir.file("shard-link.bin").c_str()), 0);
  ASSERT_EQ(mkfifo(dir.file("fifo.out").c_str(), 0644), 0);
  const std::vector<unsigned char> gguf = read_whole_file(dir.file("m.gguf"));
  const std::vector<unsigned char> config = read_whole_file(dir.file("ckpt/config.json"));
  struct {
    std::vector<std::string> args;
    const char* reason;
  } cases[] = {
      {{"m.gguf", "m.gguf"}, "the output is the input file m.gguf"},
      {{"m.gguf", "soft.bin"}, "the output is the input file m.gguf"},
      {{"m.gguf", "hard.bin"}, "the output is the input file m.gguf"},
      {{"ckpt", "ckpt/config.json"}, "the output is the input file ckpt/config.json"},
      {{"ckpt", "shard-link.bin"}, "the output is the input file ckpt/model.safetensors"},
      {{"m.gguf", "/dev/null"}, "/dev/null: the output exists and is a character device"},
      {{"m.gguf", "fifo.out"}, "fifo.out: the output exists and is a FIFO"},
      {{"m.gguf", ""}, "the output path is empty"},
  };
  for (const auto& c : cases) expect_one_line_reason(run_convert(c.args, dir.path), c.reason);
  EXPECT_EQ(read_whole_file(dir.file("m.gguf")), gguf);
  EXPECT_EQ(read_whole_file(dir.file("ckpt/config.json")), config);
  EXPECT_EQ(entries(dir.path), 6u);
  EXPECT_EQ(entries(dir.file("ckpt")), 2u);
}

TEST(ConvertCli, InputThatIsNeitherAFileNorAFolderIsRefusedWithoutWaiting) {
  TempDir dir;
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0644), 0);
  expect_one_line_reason(run_convert({"fifo"}, dir.path), "fifo: is a FIFO, not a checkpoint file or folder");
  expect_one_line_reason(run_convert({"/dev/zero"}, dir.path), "/dev/zero: is a character device");
  // Inside a folder: the checkpoint file itself.
  ASSERT_EQ(mkdir(dir.file("ckpt").c_str(), 0755), 0);
  ASSERT_EQ(mkfifo(dir.file("ckpt/model.safetensors").c_str(), 0644), 0);
  expect_one_line_reason(run_convert({"ckpt"}, dir.path), "model.safetensors: is a FIFO, not a regular file");
  EXPECT_EQ(entries(dir.path), 2u);
}

TEST(ConvertCli, HeaderMemoryIsBoundedUnderAMemoryLimit) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "the address sanitizer reserves more address space than the limit allows";
#endif
  TempDir dir;
  // 4 MiB of "0," in the metadata: 2 million values, about 440 MB as a tree before the bound.
  std::string header = "{\"__metadata__\":[";
  for (int i = 0; i < (1 << 21); i++) header += "0,";
  header += "0]}";
  write_safetensors_raw(dir.file("values.safetensors"), header, {});
  expect_one_line_reason(run_convert_in_shell("ulimit -v 200000 && exec \"$0\" \"$@\"", {"values.safetensors"},
                                              dir.path),
                         "more than 262144 values");
  // A header of the largest accepted length (sparse) under a limit below it: the allocation
  // fails and is refused like any other input.
  FILE* f = fopen(dir.file("long.safetensors").c_str(), "wb");
  uint64_t len = 100ull << 20;
  fwrite(&len, 8, 1, f);
  fputc('{', f);
  fclose(f);
  ASSERT_EQ(truncate(dir.file("long.safetensors").c_str(), off_t(8 + len + 8)), 0);
  expect_one_line_reason(run_convert_in_shell("ulimit -v 60000 && exec \"$0\" \"$@\"", {"long.safetensors"},
                                              dir.path),
                         "out of memory");
  EXPECT_EQ(entries(dir.path), 2u);
}

TEST(ConvertCli, StandardOutputThatCannotBeWrittenIsAnError) {
  TempDir dir;
  for (const char* flag : {"--help", "--version"}) {
    RunResult r = run_convert_in_shell("exec \"$0\" \"$@\" >/dev/full", {flag}, dir.path);
    EXPECT_EQ(r.status, 1) << flag;
    EXPECT_NE(r.err.find("korvane-convert: cannot write to standard output: No space left on device"),
              std::string::npos)
        << r.err;
  }
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
