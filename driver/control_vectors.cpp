#include "driver/control_vectors.h"

#include <cstring>
#include <filesystem>

#include "driver/prompt_file.h"
#include "model/fp16.h"
#include "platform/gguf_file.h"
#include "platform/platform.h"

namespace {

constexpr uint64_t kMaxControlFileBytes = 64u << 20;  // real files hold 17 directions: about 140 KB

// The N of "direction.N" (decimal, no sign or leading zero), or -1 for any other name.
int64_t direction_layer(const std::string& name) {
  static const char kPrefix[] = "direction.";
  const size_t prefix = sizeof kPrefix - 1;
  if (name.compare(0, prefix, kPrefix) != 0 || name.size() == prefix || name.size() > prefix + 9) return -1;
  if (name[prefix] == '0' && name.size() > prefix + 1) return -1;
  int64_t n = 0;
  for (size_t i = prefix; i < name.size(); i++) {
    if (name[i] < '0' || name[i] > '9') return -1;
    n = n * 10 + (name[i] - '0');
  }
  return n;
}

// Takes direction.N (N >= 1) of 2048 F32 or F16 elements; refuses every other entry.
uint64_t direction_bytes(const GgufTensor& t, const GgufParse& p, void*, std::string* err) {
  const int64_t n = direction_layer(t.name);
  if (n < 0) {
    *err = p.name + ": tensor " + t.name + " is not a control vector direction (direction.N, N >= 1)";
    return 0;
  }
  if (n == 0) {
    *err = p.name + ": tensor direction.0: directions start at 1 (direction.N is added after layer N)";
    return 0;
  }
  if (t.type != kGgufTypeF32 && t.type != kGgufTypeF16) {
    *err = p.name + ": tensor " + t.name + " has type " + std::to_string(t.type) + "; only F32 and F16 are taken";
    return 0;
  }
  if (t.dims.size() != 1 || t.dims[0] != geom::kDim) {
    std::string shape;
    for (uint64_t d : t.dims) shape += (shape.empty() ? "" : " x ") + std::to_string(d);
    *err = p.name + ": tensor " + t.name + " has shape [" + shape + "], not the model's width [" +
           std::to_string(geom::kDim) + "]";
    return 0;
  }
  return t.type == kGgufTypeF32 ? 4 : 2;
}

// Element i of a checked direction tensor, widened exactly.
float direction_value(const unsigned char* data, uint32_t type, uint64_t i) {
  if (type == kGgufTypeF16) {
    uint16_t h;
    memcpy(&h, data + 2 * i, 2);
    return half_to_float(h);
  }
  float f;
  memcpy(&f, data + 4 * i, 4);
  return f;
}

}  // namespace

bool add_control_vector(const std::string& path, const std::string& bytes, float scale, int first, int last,
                        ControlTable* table, std::vector<std::string>* warnings, std::string* err) {
  GgufParse p;
  p.base = reinterpret_cast<const unsigned char*>(bytes.data());
  p.size = bytes.size();
  p.name = path;
  if (!gguf_read_metadata(&p, err)) return false;
  auto arch = p.meta.find("general.architecture");
  if (arch == p.meta.end() || !arch->second.is_string) {
    *err = path + ": metadata has no general.architecture string";
    return false;
  }
  if (arch->second.text != "controlvector") {
    *err = path + ": general.architecture is \"" + arch->second.text + "\", not \"controlvector\"";
    return false;
  }
  if (!gguf_read_tensors(&p, direction_bytes, nullptr, err)) return false;
  if (p.tensors.empty()) {
    *err = path + ": holds no direction.N tensor";
    return false;
  }
  uint64_t seen = 0;  // bit N: direction.N met (N < 64; larger ones are never added)
  for (const GgufTensor& t : p.tensors) {
    const int64_t n = direction_layer(t.name);
    if (n < 64 && ((seen >> n) & 1) != 0) {
      *err = path + ": tensor " + t.name + " appears more than once";
      return false;
    }
    if (n < 64) seen |= uint64_t(1) << n;
  }

  auto hint = p.meta.find("controlvector.model_hint");
  if (hint == p.meta.end() || !hint->second.is_string) {
    warnings->push_back("Control vector " + path + " names no model (no controlvector.model_hint); used as made for gemma");
  } else if (hint->second.text != "gemma") {
    warnings->push_back("Control vector " + path + " was made for \"" + hint->second.text + "\", not \"gemma\"");
  }
  for (const GgufTensor& t : p.tensors) {
    const int64_t n = direction_layer(t.name);
    if (n >= int64_t(geom::kLayers)) {
      warnings->push_back("Control vector " + path + ": " + t.name + " ignored: the model's layers are 0-" +
                          std::to_string(geom::kLayers - 1));
      continue;
    }
    if (n < first || n > last) continue;
    const unsigned char* data = p.base + t.offset;
    float* row = table->rows.data() + uint64_t(n) * geom::kDim;
    for (uint64_t i = 0; i < geom::kDim; i++) row[i] = row[i] + scale * direction_value(data, t.type, i);
    table->mask |= uint64_t(1) << n;
  }
  return true;
}

bool build_control_table(const RunOptions& opts, ControlTable* table, std::vector<std::string>* warnings,
                         std::string* err) {
  *table = ControlTable{};
  for (int k = 0; k < opts.control_vector_count; k++) {
    const ControlVectorArg& v = opts.control_vectors[k];
    // Looked at before it is opened: a FIFO would block, a huge file is no control vector.
    std::error_code ec;
    const auto status = std::filesystem::status(v.path, ec);
    if (!ec && std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
      *err = std::string(v.path) + ": not a regular file";
      return false;
    }
    const auto size = std::filesystem::file_size(v.path, ec);
    if (!ec && size > kMaxControlFileBytes) {
      *err = std::string(v.path) + ": " + std::to_string(size) + " bytes, more than a control vector's " +
             std::to_string(kMaxControlFileBytes >> 20) + " MiB";
      return false;
    }
    std::string bytes;
    unsigned long error = 0;
    if (!read_whole_file(v.path, &bytes, &error)) {
      char text[256];
      system_error_text(error, text, sizeof text);
      *err = std::string(v.path) + ": " + text;
      return false;
    }
    if (!add_control_vector(v.path, bytes, v.scale, opts.control_first_layer, opts.control_last_layer, table,
                            warnings, err)) {
      return false;
    }
  }
  return true;
}
