#include "tests/support/korvane_runs.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "model/weights_layout.h"
#include "probe/probe_tables.h"
#include "tests/support/synthetic_weights.h"
#include "tests/support/temp_dir.h"
#include "vocab/fnv1a.h"

namespace {
namespace fs = std::filesystem;

// Holds an exclusive lock on a file for the lifetime of the object.
struct FileLock {
  int fd;
  explicit FileLock(const std::string& path) : fd(open(path.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644)) {
    if (fd >= 0) flock(fd, LOCK_EX);
  }
  ~FileLock() {
    if (fd >= 0) close(fd);
  }
};

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void write_file(const std::string& path, const std::string& data) {
  std::string tmp = path + ".tmp";
  std::ofstream(tmp, std::ios::binary) << data;
  fs::rename(tmp, path);
}

uint16_t float_to_half(float f) {
  // Round to nearest even through the F16C-free path: values here are normal and small.
  uint32_t bits;
  memcpy(&bits, &f, 4);
  uint32_t sign = (bits >> 16) & 0x8000u;
  int32_t exp = int32_t((bits >> 23) & 0xFF) - 127 + 15;
  uint32_t mant = bits & 0x7FFFFFu;
  if (exp <= 0) return static_cast<uint16_t>(sign);  // too small for these tests: zero
  uint32_t half = (uint32_t(exp) << 10) | (mant >> 13);
  uint32_t rest = mant & 0x1FFFu;
  if (rest > 0x1000u || (rest == 0x1000u && (half & 1u))) half++;
  return static_cast<uint16_t>(sign | half);
}
}  // namespace

const std::string& domain_variant_weights_path() {
  static const std::string path = [] {
    const std::string& base = synthetic_weights_path();
    std::string variant = base + ".domain";
    FileLock lock(variant + ".lock");
    std::string stamp = read_file(base + ".stamp") + "domain-row-108-x16\n";
    if (fs::exists(variant) && read_file(variant + ".stamp") == stamp) return variant;
    std::string tmp = variant + ".partial";
    fs::copy_file(base, tmp, fs::copy_options::overwrite_existing);
    load_probe_tables();
    const float* domain = probe_weights_row(3);
    uint16_t row[geom::kDim];
    for (uint64_t j = 0; j < geom::kDim; j++) row[j] = float_to_half(16.0f * domain[j]);
    int fd = open(tmp.c_str(), O_WRONLY | O_CLOEXEC);
    off_t at = static_cast<off_t>(file_off::embedding_table + 108 * geom::kDim * 2);
    bool ok = fd >= 0 && pwrite(fd, row, sizeof row, at) == static_cast<ssize_t>(sizeof row);
    if (fd >= 0) close(fd);
    if (!ok) {
      fprintf(stderr, "cannot patch %s\n", tmp.c_str());
      return variant;
    }
    fs::rename(tmp, variant);
    write_file(variant + ".stamp", stamp);
    return variant;
  }();
  return path;
}

namespace {
// Needs: a key naming the run. Runs argv (after any env settings) in a fresh directory with
// the weights linked in, or returns the kept result of the same key.
RunResult kept_run(const std::string& key, const std::string& binary, const std::string& weights,
                   const std::vector<std::string>& args, const std::vector<std::string>& env) {
  char name[32];
  snprintf(name, sizeof name, "%08x", fnv1a32(key.data(), key.size()));
  fs::path dir = fs::path(KORVANE_BUILD_DIR) / "e2e-runs";
  fs::create_directories(dir);
  std::string stem = (dir / name).string();
  FileLock lock(stem + ".lock");
  if (fs::exists(stem + ".key") && read_file(stem + ".key") == key) {
    RunResult r;
    r.out = read_file(stem + ".out");
    r.err = read_file(stem + ".err");
    r.status = std::stoi(read_file(stem + ".status"));
    return r;
  }
  TempDir cwd;
  fs::create_symlink(weights, cwd.file("gemma2b_fp16.bin"));
  std::vector<std::string> argv;
  if (!env.empty()) {
    argv.push_back("/usr/bin/env");
    argv.insert(argv.end(), env.begin(), env.end());
  }
  argv.push_back(binary);
  argv.insert(argv.end(), args.begin(), args.end());
  RunResult r = run_binary(argv, cwd.path);
  write_file(stem + ".out", r.out);
  write_file(stem + ".err", r.err);
  write_file(stem + ".status", std::to_string(r.status));
  write_file(stem + ".key", key);
  return r;
}
}  // namespace

RunResult korvane_run(const std::string& weights, const std::vector<std::string>& args) {
  // The key names the program build, the weights and the arguments.
  struct stat st {};
  stat(KORVANE_BINARY, &st);
  std::string key = std::string(KORVANE_BINARY) + "\n" + std::to_string(st.st_mtim.tv_sec) + "." +
                    std::to_string(st.st_mtim.tv_nsec) + "\n" + std::to_string(st.st_size) + "\n" + weights +
                    "\n" + read_file(weights + ".stamp");
  for (const auto& a : args) key += "\n" + a;
  return kept_run(key, KORVANE_BINARY, weights, args, {});
}

RunResult korvane_run_program(const std::string& binary, const std::string& weights,
                              const std::vector<std::string>& args, const std::vector<std::string>& env) {
  const std::string bytes = read_file(binary);
  std::string key = binary + "\n" + std::to_string(bytes.size()) + ":" +
                    std::to_string(fnv1a32(bytes.data(), bytes.size())) + "\n" + weights + "\n" +
                    read_file(weights + ".stamp");
  for (const auto& e : env) key += "\nenv " + e;
  for (const auto& a : args) key += "\n" + a;
  return kept_run(key, binary, weights, args, env);
}
