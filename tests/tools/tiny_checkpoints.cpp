#include "tests/tools/tiny_checkpoints.h"

#include <immintrin.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include "tools/convert/tensor_binding.h"

namespace {

// A small deterministic generator (splitmix64).
uint64_t mix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// Matrix value i of tensor p: a full-precision f32 in about [-3, 3], with every 7th value
// tiny (below fp16's normal range) so the subnormal path is exercised too.
float matrix_value(uint32_t seed, size_t p, uint64_t i) {
  uint64_t r = mix(seed * 1000003ull + p * 7919ull + i);
  float unit = float(r >> 40) / float(1u << 24) * 2.0f - 1.0f;
  return i % 7 == 3 ? unit * 1e-5f : unit * 3.0f;
}

// Norm value i of tensor p: k / 64 for k in [-60, 190], exact in all three types, as is 1 + w.
float norm_value(uint32_t seed, size_t p, uint64_t i) {
  int k = int(mix(seed * 31ull + p * 131ull + i) % 251) - 60;
  return float(k) / 64.0f;
}

void put_value(std::vector<unsigned char>* out, DType t, float f) {
  if (t == DType::f32) {
    unsigned char b[4];
    memcpy(b, &f, 4);
    out->insert(out->end(), b, b + 4);
    return;
  }
  uint16_t h;
  if (t == DType::f16) {
    h = _cvtss_sh(f, _MM_FROUND_TO_NEAREST_INT);
  } else {
    uint32_t bits;
    memcpy(&bits, &f, 4);
    h = static_cast<uint16_t>(bits >> 16);  // truncation: any bf16 pattern will do as a source
  }
  out->push_back(static_cast<unsigned char>(h & 0xFF));
  out->push_back(static_cast<unsigned char>(h >> 8));
}

float get_value(DType t, const unsigned char* p) {
  if (t == DType::f32) {
    float f;
    memcpy(&f, p, 4);
    return f;
  }
  uint16_t h = static_cast<uint16_t>(p[0] | p[1] << 8);
  if (t == DType::f16) return _cvtsh_ss(h);
  uint32_t bits = uint32_t(h) << 16;
  float f;
  memcpy(&f, &bits, 4);
  return f;
}

void write_bytes(const std::string& path, const std::vector<unsigned char>& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<std::streamsize>(bytes.size()));
}

std::string shape_json(const std::vector<uint64_t>& shape) {
  std::string s = "[";
  for (size_t i = 0; i < shape.size(); i++) {
    if (i) s += ",";
    s += std::to_string(shape[i]);
  }
  return s + "]";
}

void put_u32(std::vector<unsigned char>* out, uint32_t v) {
  for (int i = 0; i < 4; i++) out->push_back(static_cast<unsigned char>(v >> (8 * i)));
}
void put_u64(std::vector<unsigned char>* out, uint64_t v) {
  for (int i = 0; i < 8; i++) out->push_back(static_cast<unsigned char>(v >> (8 * i)));
}
void put_string(std::vector<unsigned char>* out, const std::string& s) {
  put_u64(out, s.size());
  out->insert(out->end(), s.begin(), s.end());
}

}  // namespace

std::vector<TinyTensor> tiny_tensors(const ModelGeometry& g, bool gguf, DType dtype, DType norm_dtype,
                                     uint32_t seed) {
  std::vector<TinyTensor> out;
  std::vector<PlannedTensor> plan = output_plan(g);
  for (size_t p = 0; p < plan.size(); p++) {
    TinyTensor t;
    t.planned = plan[p];
    t.name = source_tensor_name(gguf ? SourceFormat::gguf : SourceFormat::safetensors, plan[p]);
    bool norm = is_norm(plan[p].kind);
    t.dtype = norm ? norm_dtype : dtype;
    t.shape = norm ? std::vector<uint64_t>{plan[p].cols} : std::vector<uint64_t>{plan[p].rows, plan[p].cols};
    uint64_t n = plan[p].rows * plan[p].cols;
    for (uint64_t i = 0; i < n; i++) {
      float v = norm ? norm_value(seed, p, i) + (gguf ? 1.0f : 0.0f) : matrix_value(seed, p, i);
      put_value(&t.data, t.dtype, v);
    }
    out.push_back(std::move(t));
  }
  return out;
}

std::vector<unsigned char> expected_output_bytes(const TinyTensor& t, bool gguf) {
  std::vector<unsigned char> out;
  uint64_t each = dtype_size(t.dtype);
  for (uint64_t at = 0; at < t.data.size(); at += each) {
    float v = get_value(t.dtype, t.data.data() + at);
    if (is_norm(t.planned.kind)) {
      put_value(&out, DType::f32, gguf ? v - 1.0f : v);
    } else {
      // The processor's own conversion is the reference for round-to-nearest-even.
      put_value(&out, DType::f16, v);
    }
  }
  return out;
}

HalfStats reference_half_stats(const std::vector<TinyTensor>& tensors) {
  HalfStats s;
  for (const TinyTensor& t : tensors) {
    if (is_norm(t.planned.kind) || t.dtype == DType::f16) continue;
    for (uint64_t at = 0; at < t.data.size(); at += dtype_size(t.dtype)) {
      float f = get_value(t.dtype, t.data.data() + at);
      uint16_t mag = _cvtss_sh(f, _MM_FROUND_TO_NEAREST_INT) & 0x7FFF;
      if (mag == 0x7C00) s.overflowed++;
      else if (mag == 0 && f != 0.0f) s.zeroed++;
      else if (mag != 0 && mag < 0x400) s.subnormal++;
    }
  }
  return s;
}

void write_safetensors_raw(const std::string& path, const std::string& header, const std::vector<unsigned char>& data) {
  std::vector<unsigned char> bytes;
  put_u64(&bytes, header.size());
  bytes.insert(bytes.end(), header.begin(), header.end());
  bytes.insert(bytes.end(), data.begin(), data.end());
  write_bytes(path, bytes);
}

void write_safetensors(const std::string& path, const std::vector<TinyTensor>& tensors) {
  std::string header = "{\"__metadata__\":{\"format\":\"pt\"}";
  std::vector<unsigned char> data;
  for (size_t k = tensors.size(); k-- > 0;) {
    const TinyTensor& t = tensors[k];
    uint64_t begin = data.size();
    data.insert(data.end(), t.data.begin(), t.data.end());
    header += ",\"" + t.name + "\":{\"dtype\":\"" + dtype_name(t.dtype) + "\",\"shape\":" + shape_json(t.shape) +
              ",\"data_offsets\":[" + std::to_string(begin) + "," + std::to_string(data.size()) + "]}";
  }
  header += "}";
  while (header.size() % 8) header += ' ';  // writers pad the header with spaces
  write_safetensors_raw(path, header, data);
}

void write_sharded_safetensors(const std::string& folder, const std::vector<TinyTensor>& tensors, int shards) {
  std::string index = "{\"metadata\":{\"total_size\":0},\"weight_map\":{";
  for (int s = 0; s < shards; s++) {
    char name[64];
    snprintf(name, sizeof name, "model-%05d-of-%05d.safetensors", s + 1, shards);
    std::vector<TinyTensor> part;
    for (size_t i = 0; i < tensors.size(); i++) {
      if (int(i % size_t(shards)) != s) continue;
      part.push_back(tensors[i]);
      index += std::string(index.back() == '{' ? "" : ",") + "\"" + tensors[i].name + "\":\"" + name + "\"";
    }
    write_safetensors(folder + "/" + name, part);
  }
  index += "}}";
  write_bytes(folder + "/model.safetensors.index.json", std::vector<unsigned char>(index.begin(), index.end()));
}

std::vector<GgufKv> gemma_gguf_metadata(const ModelGeometry& g) {
  std::vector<GgufKv> m;
  m.push_back({"general.architecture", GgufKv::string, 0, "gemma", {}});
  m.push_back({"general.name", GgufKv::string, 0, "tiny", {}});
  m.push_back({"gemma.context_length", GgufKv::u32, 8192, "", {}});
  m.push_back({"gemma.embedding_length", GgufKv::u32, uint32_t(g.dim), "", {}});
  m.push_back({"gemma.block_count", GgufKv::u32, uint32_t(g.layers), "", {}});
  m.push_back({"gemma.feed_forward_length", GgufKv::u32, uint32_t(g.ffn_dim), "", {}});
  m.push_back({"gemma.attention.head_count", GgufKv::u32, uint32_t(g.heads), "", {}});
  m.push_back({"gemma.attention.head_count_kv", GgufKv::u32, uint32_t(g.kv_heads), "", {}});
  m.push_back({"gemma.attention.key_length", GgufKv::u32, uint32_t(g.head_dim), "", {}});
  m.push_back({"gemma.attention.value_length", GgufKv::u32, uint32_t(g.head_dim), "", {}});
  GgufKv tokens{"tokenizer.ggml.tokens", GgufKv::strings, 0, "", {}};
  for (uint64_t i = 0; i < g.vocab; i++) tokens.texts.push_back("tok" + std::to_string(i));
  m.push_back(tokens);
  return m;
}

void write_gguf(const std::string& path, const std::vector<GgufKv>& meta, const std::vector<TinyTensor>& tensors) {
  const uint64_t align = 32;
  std::vector<unsigned char> b;
  b.insert(b.end(), {'G', 'G', 'U', 'F'});
  put_u32(&b, 3);
  put_u64(&b, tensors.size());
  put_u64(&b, meta.size());
  for (const auto& kv : meta) {
    put_string(&b, kv.key);
    if (kv.kind == GgufKv::u32) {
      put_u32(&b, 4);
      put_u32(&b, kv.number);
    } else if (kv.kind == GgufKv::string) {
      put_u32(&b, 8);
      put_string(&b, kv.text);
    } else {
      put_u32(&b, 9);
      put_u32(&b, 8);
      put_u64(&b, kv.texts.size());
      for (const auto& s : kv.texts) put_string(&b, s);
    }
  }
  // Data in reverse order of the table, each tensor aligned.
  std::vector<uint64_t> offsets(tensors.size());
  uint64_t at = 0;
  for (size_t k = tensors.size(); k-- > 0;) {
    offsets[k] = at;
    at = (at + tensors[k].data.size() + align - 1) / align * align;
  }
  for (size_t k = 0; k < tensors.size(); k++) {
    const TinyTensor& t = tensors[k];
    put_string(&b, t.name);
    put_u32(&b, static_cast<uint32_t>(t.shape.size()));
    for (size_t d = t.shape.size(); d-- > 0;) put_u64(&b, t.shape[d]);  // innermost first
    put_u32(&b, t.dtype == DType::f32 ? 0 : t.dtype == DType::f16 ? 1 : 30);
    put_u64(&b, offsets[k]);
  }
  b.resize((b.size() + align - 1) / align * align, 0);
  uint64_t data_start = b.size();
  b.resize(data_start + at, 0);
  for (size_t k = 0; k < tensors.size(); k++)
    memcpy(b.data() + data_start + offsets[k], tensors[k].data.data(), tensors[k].data.size());
  write_bytes(path, b);
}

std::vector<unsigned char> read_whole_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
