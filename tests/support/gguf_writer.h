// A small GGUF writer of the tests' own, independent of the program's reader: string metadata,
// then tensors laid out at 32-byte offsets in the order given.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

struct GgufTestTensor {
  std::string name;
  std::vector<uint64_t> dims;  // innermost first
  uint32_t type;               // 0 F32, 1 F16, 30 BF16
  std::string data;            // the values' bytes
};

// The bytes of a GGUF file (version 3 unless told) with these string pairs and tensors.
inline std::string gguf_test_file(const std::vector<std::pair<std::string, std::string>>& meta,
                                  const std::vector<GgufTestTensor>& tensors, uint32_t version = 3) {
  std::string out = "GGUF";
  auto put = [&](uint64_t v, int bytes) { out.append(reinterpret_cast<const char*>(&v), size_t(bytes)); };
  auto text = [&](const std::string& s) { put(s.size(), 8); out += s; };
  put(version, 4);
  put(tensors.size(), 8);
  put(meta.size(), 8);
  for (const auto& [key, value] : meta) {
    text(key);
    put(8, 4);  // string
    text(value);
  }
  uint64_t offset = 0;
  for (const auto& t : tensors) {
    text(t.name);
    put(t.dims.size(), 4);
    for (uint64_t d : t.dims) put(d, 8);
    put(t.type, 4);
    put(offset, 8);
    offset += (t.data.size() + 31) / 32 * 32;
  }
  for (const auto& t : tensors) {
    out.resize((out.size() + 31) / 32 * 32, '\0');
    out += t.data;
  }
  return out;
}

// The bytes of n f32 values f(0) .. f(n-1).
template <typename F>
std::string f32_bytes(uint64_t n, F f) {
  std::string s(n * 4, '\0');
  for (uint64_t i = 0; i < n; i++) {
    const float v = f(i);
    memcpy(&s[i * 4], &v, 4);
  }
  return s;
}
