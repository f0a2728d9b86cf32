#include "reports/state_file.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "tests/support/run_binary.h"
#include "tests/support/temp_dir.h"

namespace {

struct PromptStates {
  int64_t index;
  std::vector<float> normed, residual;
  std::vector<int32_t> ids;
};

// Arbitrary bit patterns, NaNs, infinities and negative zeros among them: bytes must survive.
PromptStates make_prompt(int64_t index, int32_t n) {
  PromptStates p{index, std::vector<float>(kStateFloats), std::vector<float>(kStateFloats), {}};
  uint64_t s = 0x9E3779B97F4A7C15ull * uint64_t(index + 1);
  auto next = [&s] { s ^= s << 13; s ^= s >> 7; s ^= s << 17; return uint32_t(s >> 16); };
  for (uint64_t i = 0; i < kStateFloats; i++) {
    uint32_t a = next(), b = next();
    memcpy(&p.normed[i], &a, 4);
    memcpy(&p.residual[i], &b, 4);
  }
  for (int32_t i = 0; i < n; i++) p.ids.push_back(int32_t(next()));
  return p;
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> names_in(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(folder)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

const std::string kPromptsJson = R"([{"index":4,"prompt":"caf\u00e9 \u0000 \"q\""},{"index":0,"prompt":"x"},{"index":9,"id":7,"prompt":"y"}])";
const std::string kRunJson = R"({"version":"0.1.0","kernels":"AVX2","threads":2})";

// A reader of the layout written by hand here: checks the header and offsets and compares every
// tensor's bytes with what was added.
void check_file(const std::string& path, const std::vector<PromptStates>& prompts) {
  const std::string file = slurp(path);
  ASSERT_GE(file.size(), 8u);
  uint64_t n = 0;
  for (int i = 7; i >= 0; i--) n = n << 8 | uint8_t(file[size_t(i)]);
  ASSERT_EQ(n % 8, 0u);
  ASSERT_LE(8 + n, file.size());
  const std::string header = file.substr(8, n);
  nlohmann::json h = nlohmann::json::parse(header, nullptr, false);
  ASSERT_FALSE(h.is_discarded()) << header;
  EXPECT_EQ(header.find_last_not_of(' ') + 1, header.rfind('}') + 1);  // only spaces after the object
  EXPECT_EQ(h["__metadata__"]["prompts"], kPromptsJson);
  EXPECT_EQ(h["__metadata__"]["run"], kRunJson);
  EXPECT_EQ(h.size(), 1 + 3 * prompts.size());
  std::vector<std::pair<uint64_t, uint64_t>> spans;
  for (const PromptStates& p : prompts) {
    const std::string stem = std::to_string(p.index);
    struct Want { std::string name; const char* dtype; nlohmann::json shape; const void* data; size_t bytes; };
    const Want wants[] = {
        {stem + ".normed", "F32", {18, 2048}, p.normed.data(), kStateTensorBytes},
        {stem + ".residual", "F32", {18, 2048}, p.residual.data(), kStateTensorBytes},
        {stem + ".ids", "I32", nlohmann::json::array({p.ids.size()}), p.ids.data(), 4 * p.ids.size()}};
    for (const Want& w : wants) {
      SCOPED_TRACE(w.name);
      ASSERT_TRUE(h.contains(w.name));
      const nlohmann::json& t = h[w.name];
      EXPECT_EQ(t["dtype"], w.dtype);
      EXPECT_EQ(t["shape"], w.shape);
      uint64_t b = t["data_offsets"][0], e = t["data_offsets"][1];
      ASSERT_EQ(e - b, w.bytes);
      ASSERT_LE(8 + n + e, file.size());
      EXPECT_EQ(memcmp(file.data() + 8 + n + b, w.data, w.bytes), 0);
      spans.push_back({b, e});
    }
  }
  std::sort(spans.begin(), spans.end());
  uint64_t at = 0;
  for (auto [b, e] : spans) {
    EXPECT_EQ(b, at);
    at = e;
  }
  EXPECT_EQ(8 + n + at, file.size());
}

// numpy alone, as an analyst would load the file; compares with the expected bytes.
const char kNumpyReader[] = R"(import json, sys, numpy as np
raw = open(sys.argv[1], 'rb').read()
n = int.from_bytes(raw[:8], 'little')
h = json.loads(raw[8:8 + n])
meta = h.pop('__metadata__')
json.loads(meta['prompts']); json.loads(meta['run'])
data = raw[8 + n:]
want = open(sys.argv[2], 'rb').read()
got = b''
for key in sys.argv[3:]:
    t = h[key]; b, e = t['data_offsets']
    a = np.frombuffer(data[b:e], dtype={'F32': '<f4', 'I32': '<i4'}[t['dtype']]).reshape(t['shape'])
    got += a.tobytes()
print('equal' if got == want else 'differ', len(h))
)";

std::string python_with_numpy() {
  for (const char* py : {"python3", "/usr/bin/python3"})
    if (run_binary({"/usr/bin/env", py, "-c", "import numpy"}, ".").status == 0) return py;
  return "";
}

std::string write_states(const std::string& path, const std::vector<PromptStates>& prompts) {
  StateFile f;
  std::string why = state_file_open(&f, path);
  for (const PromptStates& p : prompts)
    if (why.empty())
      why = state_file_add_prompt(&f, p.index, p.normed.data(), p.residual.data(), p.ids.data(), int32_t(p.ids.size()));
  return why.empty() ? state_file_finish(&f, kPromptsJson, kRunJson) : why;
}

TEST(StateFile, ReadsBackBitExactWithOurReaderAndNumpy) {
  TempDir dir;
  const std::string path = dir.file("states.safetensors");
  std::ofstream(path) << "an older file";
  const std::vector<PromptStates> prompts = {make_prompt(4, 7), make_prompt(0, 1), make_prompt(9, 246)};
  ASSERT_EQ(write_states(path, prompts), "");
  EXPECT_EQ(names_in(dir.path), std::vector<std::string>{"states.safetensors"});
  check_file(path, prompts);

  const std::string py = python_with_numpy();
  if (py.empty()) GTEST_SKIP() << "no python3 with numpy: the numpy reading was not tried";
  std::ofstream(dir.file("reader.py")) << kNumpyReader;
  std::ofstream want(dir.file("want.bin"), std::ios::binary);
  std::vector<std::string> argv = {"/usr/bin/env", py, dir.file("reader.py"), path, dir.file("want.bin")};
  for (const PromptStates& p : prompts) {
    want.write(reinterpret_cast<const char*>(p.normed.data()), kStateTensorBytes);
    want.write(reinterpret_cast<const char*>(p.residual.data()), kStateTensorBytes);
    want.write(reinterpret_cast<const char*>(p.ids.data()), std::streamsize(4 * p.ids.size()));
    for (const char* part : {".normed", ".residual", ".ids"}) argv.push_back(std::to_string(p.index) + part);
  }
  want.close();
  RunResult r = run_binary(argv, dir.path);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "equal 9\n") << r.err;
}

// Every way of failing leaves the target as it was (absent or the older file) and nothing beside it.
TEST(StateFile, FailuresLeaveNothingUnderTheName) {
  const std::vector<PromptStates> prompts = {make_prompt(0, 3), make_prompt(1, 5), make_prompt(2, 9)};
  const uint64_t data = 6 * kStateTensorBytes + 4 * (3 + 5 + 9);
  struct Case { const char* what; std::string (*run)(const std::string& path, const std::vector<PromptStates>&); };
  const Case cases[] = {
      {"folder missing", [](const std::string& p, const auto& ps) { return write_states(p + ".d/x", ps); }},
      {"folder is a file", [](const std::string& p, const auto& ps) { return write_states(p + "/x", ps); }},
      {"finish never called", [](const std::string& p, const auto& ps) {
         StateFile f;
         state_file_open(&f, p);
         state_file_add_prompt(&f, 0, ps[0].normed.data(), ps[0].residual.data(), ps[0].ids.data(), 3);
         state_file_abandon(&f);
         return std::string("abandoned");
       }},
      {"index twice", [](const std::string& p, const auto& ps) {
         std::vector<PromptStates> twice = {ps[0], ps[1], ps[0]};
         return write_states(p, twice);
       }},
      {"bad metadata", [](const std::string& p, const auto& ps) {
         StateFile f;
         state_file_open(&f, p);
         state_file_add_prompt(&f, 0, ps[0].normed.data(), ps[0].residual.data(), ps[0].ids.data(), 3);
         return state_file_finish(&f, "[{", kRunJson);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    const std::string path = dir.file("states.safetensors");
    std::ofstream(path) << "an older file";
    EXPECT_NE(c.run(path, prompts), "");
    EXPECT_EQ(slurp(path), "an older file");
    EXPECT_EQ(names_in(dir.path), std::vector<std::string>{"states.safetensors"});
  }
  // Writes refused by a file-size limit: while spilling, and while copying behind the header.
  for (uint64_t limit : {data - 100, data + 16}) {
    SCOPED_TRACE(limit);
    TempDir dir;
    const std::string path = dir.file("states.safetensors");
    pid_t child = fork();
    if (child == 0) {
      signal(SIGXFSZ, SIG_IGN);
      rlimit lim{limit, limit};
      setrlimit(RLIMIT_FSIZE, &lim);
      std::string why = write_states(path, prompts);
      _exit(why.find("write") != std::string::npos ? 0 : 1);
    }
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(names_in(dir.path).empty());
  }
}

}  // namespace
