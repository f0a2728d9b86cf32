#include "tools/convert/gguf_reader.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>

namespace {

// Takes the F32, F16 and BF16 tensors of the table; refuses any other element type.
uint64_t converter_element_bytes(const GgufTensor& t, const GgufParse& p, void*, std::string* err) {
  if (t.type == kGgufTypeF32) return dtype_size(DType::f32);
  if (t.type == kGgufTypeF16) return dtype_size(DType::f16);
  if (t.type == kGgufTypeBF16) return dtype_size(DType::bf16);
  *err = p.name + ": tensor " + t.name + " has type " + std::to_string(t.type) +
         " (quantized or unsupported); only F32, F16 and BF16 are taken";
  return 0;
}

bool parse(const std::string& path, GgufParse* c, const ModelGeometry& g, SourceModel* model, std::string* err) {
  if (!gguf_read_metadata(c, err)) return false;
  const std::map<std::string, GgufValue>& meta = c->meta;

  // The architecture and the sizes it implies.
  auto arch = meta.find("general.architecture");
  if (arch == meta.end() || !arch->second.is_string) {
    *err = path + ": metadata has no general.architecture string";
    return false;
  }
  if (arch->second.text != "gemma") {
    *err = path + ": general.architecture is \"" + arch->second.text + "\", this converter takes \"gemma\"";
    return false;
  }
  const struct {
    const char* key;
    uint64_t want;
    bool required;
  } sizes[] = {{"gemma.block_count", g.layers, true},
               {"gemma.embedding_length", g.dim, true},
               {"gemma.feed_forward_length", g.ffn_dim, true},
               {"gemma.attention.head_count", g.heads, true},
               {"gemma.attention.head_count_kv", g.kv_heads, true},
               {"gemma.attention.key_length", g.head_dim, false},
               {"gemma.attention.value_length", g.head_dim, false},
               {"gemma.rope.dimension_count", g.head_dim, false}};
  for (const auto& s : sizes) {
    auto it = meta.find(s.key);
    if (it == meta.end()) {
      if (!s.required) continue;
      *err = path + ": metadata key " + s.key + " is missing";
      return false;
    }
    if (!it->second.is_int || it->second.integer < 0 || uint64_t(it->second.integer) != s.want) {
      std::string shown = it->second.is_int ? std::to_string(it->second.integer) : "not an integer";
      *err = path + ": " + s.key + " is " + shown + ", this model needs " + std::to_string(s.want);
      return false;
    }
  }
  if (!gguf_read_tensors(c, converter_element_bytes, nullptr, err)) return false;
  for (const GgufTensor& e : c->tensors) {
    SourceTensor t;
    t.name = e.name;
    t.dtype = e.type == kGgufTypeF32 ? DType::f32 : e.type == kGgufTypeF16 ? DType::f16 : DType::bf16;
    t.shape.assign(e.dims.rbegin(), e.dims.rend());  // outermost first
    t.bytes = e.bytes;
    t.offset = e.offset;
    t.file = 0;
    model->tensors.push_back(std::move(t));
  }
  model->norms_hold_one = true;
  return true;
}

}  // namespace

bool read_gguf(const std::string& path, const ModelGeometry& g, SourceModel* model, std::string* err) {
  *model = SourceModel{};
  model->format = SourceFormat::gguf;
  model->files.push_back(path);
  uint64_t size;
  if (!file_size_of(path, &size, err)) return false;
  model->file_sizes.push_back(size);
  if (size < 24) {
    *err = path + ": too short for a GGUF header (" + std::to_string(size) + " bytes)";
    return false;
  }
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *err = path + ": " + strerror(errno);
    return false;
  }
  // Mapped only while the header is parsed; only the pages it touches are read.
  void* map = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  close(fd);
  if (map == MAP_FAILED) {
    *err = path + ": cannot map: " + strerror(errno);
    return false;
  }
  GgufParse c;
  c.base = static_cast<const unsigned char*>(map);
  c.size = size;
  c.name = path;
  bool ok = parse(path, &c, g, model, err);
  munmap(map, size);
  return ok;
}
