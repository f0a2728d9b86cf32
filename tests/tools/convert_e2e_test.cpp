// Full size, end to end: the synthetic weights are repacked as a sharded fp16 safetensors
// checkpoint (the form the model is published in), the real converter turns it back into the
// flat file, which must be byte-identical to the synthetic one, and the program run on it must
// print exactly what it prints on the synthetic file.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/korvane_runs.h"
#include "tests/support/run_binary.h"
#include "tests/support/synthetic_weights.h"
#include "tests/support/temp_dir.h"
#include "tools/convert/model_geometry.h"
#include "tools/convert/tensor_binding.h"

namespace {

bool copy_range(int from, uint64_t from_at, int to, uint64_t to_at, uint64_t n) {
  loff_t in = static_cast<loff_t>(from_at), out = static_cast<loff_t>(to_at);
  while (n > 0) {
    ssize_t moved = copy_file_range(from, &in, to, &out, n, 0);
    if (moved <= 0) return false;
    n -= static_cast<uint64_t>(moved);
  }
  return true;
}

// Needs: the synthetic file and a folder. Writes model-0000k-of-00002.safetensors (shard 1:
// the embedding and layers 0-8; shard 2: layers 9-17 and the final norm; tensors sorted by
// name inside each, as published checkpoints are) and the index. Returns false on failure.
bool write_checkpoint(const std::string& synthetic, const std::string& folder) {
  const ModelGeometry& g = kModelGeometry;
  std::vector<PlannedTensor> plan = output_plan(g);
  int src = open(synthetic.c_str(), O_RDONLY | O_CLOEXEC);
  if (src < 0) return false;
  std::string index = "{\"metadata\":{\"total_size\":" + std::to_string(output_bytes(g)) + "},\"weight_map\":{";
  bool ok = true;
  for (int s = 0; s < 2 && ok; s++) {
    std::string shard = "model-0000" + std::to_string(s + 1) + "-of-00002.safetensors";
    std::vector<std::pair<std::string, const PlannedTensor*>> part;
    for (const PlannedTensor& t : plan) {
      bool first = t.kind == TensorKind::embedding_table || (t.kind != TensorKind::final_norm && t.layer < 9);
      if (first == (s == 0)) part.push_back({source_tensor_name(SourceFormat::safetensors, t), &t});
    }
    std::sort(part.begin(), part.end());
    std::string header = "{\"__metadata__\":{\"format\":\"pt\"}";
    uint64_t at = 0;
    for (const auto& [name, t] : part) {
      uint64_t bytes = tensor_bytes(g, t->kind);
      std::string shape = "[";
      if (!is_norm(t->kind)) shape += std::to_string(t->rows) + ",";
      shape += std::to_string(t->cols);
      shape += "]";
      header += ",\"" + name + "\":{\"dtype\":\"" + (is_norm(t->kind) ? "F32" : "F16") + "\",\"shape\":" + shape +
                ",\"data_offsets\":[" + std::to_string(at) + "," + std::to_string(at + bytes) + "]}";
      at += bytes;
      index += std::string(index.back() == '{' ? "" : ",") + "\"" + name + "\":\"" + shard + "\"";
    }
    header += "}";
    while (header.size() % 8) header += ' ';
    int dst = open((folder + "/" + shard).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (dst < 0) {
      ok = false;
      break;
    }
    uint64_t len = header.size();
    ok = write(dst, &len, 8) == 8 && write(dst, header.data(), len) == static_cast<ssize_t>(len);
    uint64_t data_at = 8 + len;
    for (const auto& [name, t] : part) {
      if (!ok) break;
      uint64_t bytes = tensor_bytes(g, t->kind);
      ok = copy_range(src, t->offset, dst, data_at, bytes);
      data_at += bytes;
    }
    close(dst);
  }
  close(src);
  index += "}}";
  FILE* f = fopen((folder + "/model.safetensors.index.json").c_str(), "w");
  if (!f) return false;
  ok = ok && fputs(index.c_str(), f) >= 0;
  fclose(f);
  return ok;
}

// Needs: two paths. Returns the first offset where the files differ, or -1 when identical
// (a length difference counts at the shorter length).
int64_t first_difference(const std::string& a, const std::string& b) {
  FILE* fa = fopen(a.c_str(), "rb");
  FILE* fb = fopen(b.c_str(), "rb");
  if (!fa || !fb) {
    if (fa) fclose(fa);
    if (fb) fclose(fb);
    return 0;
  }
  std::vector<char> ba(8 << 20), bb(8 << 20);
  int64_t at = 0, result = -1;
  for (;;) {
    size_t na = fread(ba.data(), 1, ba.size(), fa);
    size_t nb = fread(bb.data(), 1, bb.size(), fb);
    size_t n = na < nb ? na : nb;
    if (memcmp(ba.data(), bb.data(), n) != 0) {
      size_t i = 0;
      while (ba[i] == bb[i]) i++;
      result = at + int64_t(i);
      break;
    }
    if (na != nb) {
      result = at + int64_t(n);
      break;
    }
    if (na == 0) break;
    at += int64_t(n);
  }
  fclose(fa);
  fclose(fb);
  return result;
}

std::string line_starting(const std::string& text, const std::string& prefix) {
  size_t at = text.find("\n" + prefix);
  at = text.compare(0, prefix.size(), prefix) == 0 ? 0 : (at == std::string::npos ? at : at + 1);
  if (at == std::string::npos) return "";
  size_t end = text.find('\n', at);
  return text.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

std::vector<std::string> names_in(const std::string& folder) {
  std::vector<std::string> names;
  DIR* d = opendir(folder.c_str());
  if (!d) return names;
  while (dirent* e = readdir(d)) {
    std::string n = e->d_name;
    if (n != "." && n != "..") names.push_back(n);
  }
  closedir(d);
  return names;
}

// Needs: a checkpoint folder and an empty output folder. Starts a conversion, stops it with
// `sig` once it has begun writing, and returns the child's wait status.
int interrupted_conversion(const std::string& checkpoint, const std::string& out_folder, int sig) {
  int err_pipe[2];
  if (pipe(err_pipe) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(err_pipe[1], 2);
    rlimit no_core{0, 0};  // SIGQUIT would dump one
    setrlimit(RLIMIT_CORE, &no_core);
    close(err_pipe[0]);
    execl(KORVANE_CONVERT_BINARY, KORVANE_CONVERT_BINARY, checkpoint.c_str(), out_folder.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  close(err_pipe[1]);
  // The temporary file may have no name, so the "writing" line tells when it exists; a little
  // longer and data is flowing.
  std::string said;
  char buf[256];
  ssize_t got;
  while (said.find("; writing ") == std::string::npos && (got = read(err_pipe[0], buf, sizeof buf)) > 0)
    said.append(buf, size_t(got));
  usleep(300000);
  kill(pid, sig);
  close(err_pipe[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return status;
}

bool unnamed_files_supported(const std::string& folder) {
  int fd = open(folder.c_str(), O_TMPFILE | O_WRONLY, 0600);
  if (fd < 0) return false;
  close(fd);
  return true;
}

TEST(ConvertE2E, ShardedF16CheckpointConvertsBackToTheSyntheticFileAndRunsTheSame) {
  const std::string& synthetic = synthetic_weights_path();
  TempDir dir;
  ASSERT_EQ(mkdir(dir.file("checkpoint").c_str(), 0755), 0);
  ASSERT_TRUE(write_checkpoint(synthetic, dir.file("checkpoint")));

  // Interrupted runs leave nothing behind: the ending signals remove the temporary file, and
  // SIGKILL can leave only the hidden ".partial" one where the file system cannot make an
  // unnamed one.
  for (int sig : {SIGINT, SIGTERM, SIGQUIT, SIGKILL}) {
    std::string out = dir.file("interrupted");
    ASSERT_EQ(mkdir(out.c_str(), 0755), 0);
    int status = interrupted_conversion(dir.file("checkpoint"), out, sig);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << sig << " " << status;
    std::vector<std::string> left = names_in(out);
    if (sig == SIGKILL && !unnamed_files_supported(out)) {
      ASSERT_EQ(left.size(), 1u);
      EXPECT_EQ(left[0].rfind(".gemma2b_fp16.bin.partial-", 0), 0u) << left[0];
      unlink((out + "/" + left[0]).c_str());
    } else {
      EXPECT_TRUE(left.empty()) << sig << ": " << left.front();
    }
    rmdir(out.c_str());
  }

  const std::string converted = dir.file("gemma2b_fp16.bin");
  RunResult conv = run_binary({KORVANE_CONVERT_BINARY, "checkpoint"}, dir.path);
  ASSERT_EQ(conv.status, 0) << conv.err;
  printf("%s%s", conv.err.c_str(), conv.out.c_str());  // the converter's own report, for the log
  // The checkpoint is no longer needed: free its five gigabytes before the comparisons.
  for (const char* shard : {"model-00001-of-00002.safetensors", "model-00002-of-00002.safetensors"})
    unlink((dir.file("checkpoint") + "/" + shard).c_str());

  EXPECT_EQ(first_difference(converted, synthetic), -1);
  EXPECT_EQ(line_starting(conv.out, "fp16 rounding:"),
            "fp16 rounding: 0 values overflowed to infinity, 0 became subnormal, 0 became zero");
  // The last line is the SHA-256, which must match an independent tool's.
  ASSERT_FALSE(conv.out.empty());
  std::string last = conv.out.substr(conv.out.rfind('\n', conv.out.size() - 2) + 1);
  RunResult sum = run_binary({"/usr/bin/sha256sum", converted}, dir.path);
  ASSERT_EQ(sum.status, 0);
  EXPECT_EQ(last, "SHA-256: " + sum.out.substr(0, 64) + "\n");
  // Streaming keeps the converter small.
  std::string memory = line_starting(conv.out, "peak memory: ");
  ASSERT_FALSE(memory.empty()) << conv.out;
  EXPECT_LT(std::stol(memory.substr(13)), 1024) << memory;
  EXPECT_EQ(access((dir.file("checkpoint") + "/gemma2b_fp16.bin").c_str(), F_OK), -1);

  RunResult on_converted = korvane_run(converted, {"hi"});
  RunResult on_synthetic = korvane_run(synthetic, {"hi"});
  EXPECT_EQ(on_converted.status, 0) << on_converted.err;
  EXPECT_EQ(on_converted.status, on_synthetic.status);
  EXPECT_EQ(on_converted.out, on_synthetic.out);
}

}  // namespace
