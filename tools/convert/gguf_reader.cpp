#include "tools/convert/gguf_reader.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>

namespace {

enum GgufValueType : uint32_t {
  kU8 = 0, kI8 = 1, kU16 = 2, kI16 = 3, kU32 = 4, kI32 = 5, kF32 = 6, kBool = 7,
  kString = 8, kArray = 9, kU64 = 10, kI64 = 11, kF64 = 12,
};

// A bounds-checked reader over the mapped file. Every read fails cleanly at the end.
struct Cursor {
  const unsigned char* base;  // the mapping, owned by read_gguf
  uint64_t size;
  uint64_t pos;
  bool too_long = false;  // a string to keep was longer than kMaxGgufKeptBytes

  bool take(void* out, uint64_t n) {
    if (n > size - pos) return false;
    memcpy(out, base + pos, n);
    pos += n;
    return true;
  }
  bool skip(uint64_t n) {
    if (n > size - pos) return false;
    pos += n;
    return true;
  }
  bool u32(uint32_t* v) { return take(v, 4); }
  bool u64(uint64_t* v) { return take(v, 8); }
  bool string(std::string* s) {
    uint64_t n;
    if (!u64(&n) || n > size - pos) return false;
    if (n > kMaxGgufKeptBytes) {
      too_long = true;
      return false;
    }
    s->assign(reinterpret_cast<const char*>(base + pos), n);
    pos += n;
    return true;
  }
  bool skip_string() {
    uint64_t n;
    return u64(&n) && skip(n);
  }
};

// A scalar metadata value, kept for the keys the checks look at.
struct MetaValue {
  bool is_int = false;
  bool is_string = false;
  int64_t integer = 0;  // integer keys, sign-extended or zero-extended
  std::string text;
};

uint64_t scalar_size(uint32_t type) {
  switch (type) {
    case kU8: case kI8: case kBool: return 1;
    case kU16: case kI16: return 2;
    case kU32: case kI32: case kF32: return 4;
    case kU64: case kI64: case kF64: return 8;
    default: return 0;
  }
}

// Needs: a cursor at a value of the given type. Reads it into *out (scalars and strings) or
// steps over it (arrays, nested up to kMaxGgufArrayDepth, their strings not copied). Returns
// false at the end of the file, or with *why set for an unknown type or too deep a nesting.
bool read_value(Cursor* c, uint32_t type, MetaValue* out, int depth, std::string* why) {
  if (type == kString) {
    out->is_string = true;
    return depth > 0 ? c->skip_string() : c->string(&out->text);
  }
  if (type == kArray) {
    uint32_t elem;
    uint64_t count;
    if (depth >= kMaxGgufArrayDepth) {
      *why = "arrays nested deeper than " + std::to_string(kMaxGgufArrayDepth) + " levels";
      return false;
    }
    if (!c->u32(&elem) || !c->u64(&count)) return false;
    uint64_t each = scalar_size(elem);
    if (each != 0) return count <= (c->size - c->pos) / each && c->skip(count * each);
    if (elem != kString && elem != kArray) {
      *why = "array of unknown type " + std::to_string(elem);
      return false;
    }
    MetaValue ignored;
    for (uint64_t i = 0; i < count; i++)
      if (!read_value(c, elem, &ignored, depth + 1, why)) return false;
    return true;
  }
  uint64_t n = scalar_size(type);
  if (n == 0) {
    *why = "unknown type " + std::to_string(type);
    return false;
  }
  unsigned char raw[8] = {};
  if (!c->take(raw, n)) return false;
  if (type == kF32 || type == kF64) return true;
  uint64_t u = 0;
  memcpy(&u, raw, n);
  bool is_signed = type == kI8 || type == kI16 || type == kI32 || type == kI64;
  if (is_signed && n < 8 && (u >> (8 * n - 1)) & 1) u |= ~uint64_t(0) << (8 * n);
  out->is_int = true;
  out->integer = static_cast<int64_t>(u);
  return true;
}

bool parse(const std::string& path, Cursor* c, const ModelGeometry& g, SourceModel* model, std::string* err) {
  auto short_file = [&](const std::string& what) {
    if (c->too_long) {
      *err = path + ": a string in the " + what + " (at byte " + std::to_string(c->pos) + ") is longer than " +
             std::to_string(kMaxGgufKeptBytes >> 20) + " MiB";
      return false;
    }
    *err = path + ": file ends inside the " + what + " (at byte " + std::to_string(c->pos) + ")";
    return false;
  };
  char magic[4];
  uint32_t version;
  uint64_t tensor_count, kv_count;
  if (!c->take(magic, 4) || memcmp(magic, "GGUF", 4) != 0) {
    *err = path + ": not a GGUF file";
    return false;
  }
  if (!c->u32(&version) || !c->u64(&tensor_count) || !c->u64(&kv_count)) return short_file("header");
  if (version != 2 && version != 3) {
    *err = path + ": GGUF version " + std::to_string(version) + " is not supported (2 or 3)";
    return false;
  }
  // Each pair or tensor entry takes at least 12 bytes, which bounds the counts by the file.
  if (tensor_count > c->size / 12 || kv_count > c->size / 12) {
    *err = path + ": file ends too early to hold " + std::to_string(kv_count) + " metadata pairs and " +
           std::to_string(tensor_count) + " tensors";
    return false;
  }
  if (tensor_count > kMaxGgufTensors || kv_count > kMaxGgufPairs) {
    *err = path + ": header declares " + std::to_string(kv_count) + " metadata pairs and " +
           std::to_string(tensor_count) + " tensors, more than the " + std::to_string(kMaxGgufPairs) +
           " and " + std::to_string(kMaxGgufTensors) + " taken";
    return false;
  }
  uint64_t kept = 0;  // bytes of the names and texts held so far
  auto too_much_kept = [&](uint64_t more) {
    kept += more;
    if (kept <= kMaxGgufKeptBytes) return false;
    *err = path + ": metadata keys, texts and tensor names take more than " +
           std::to_string(kMaxGgufKeptBytes >> 20) + " MiB";
    return true;
  };
  std::map<std::string, MetaValue> meta;
  for (uint64_t i = 0; i < kv_count; i++) {
    std::string key;
    uint32_t type;
    if (!c->string(&key) || !c->u32(&type)) return short_file("metadata");
    MetaValue v;
    std::string why;
    if (!read_value(c, type, &v, 0, &why)) {
      if (!why.empty()) {
        *err = path + ": metadata key " + key + " has " + why;
        return false;
      }
      return short_file("metadata value of " + key);
    }
    if (too_much_kept(key.size() + v.text.size())) return false;
    if (meta.count(key)) {
      *err = path + ": metadata key " + key + " appears more than once";
      return false;
    }
    meta.emplace(std::move(key), std::move(v));
  }

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
  uint64_t alignment = 32;
  if (auto a = meta.find("general.alignment"); a != meta.end()) {
    if (!a->second.is_int || a->second.integer <= 0 || (a->second.integer & (a->second.integer - 1)) != 0) {
      *err = path + ": general.alignment is not a power of two";
      return false;
    }
    alignment = static_cast<uint64_t>(a->second.integer);
  }

  // The tensor table; offsets are relative to the data area, known only after the table.
  for (uint64_t i = 0; i < tensor_count; i++) {
    SourceTensor t;
    uint32_t n_dims, type;
    if (!c->string(&t.name) || !c->u32(&n_dims)) return short_file("tensor table");
    if (too_much_kept(t.name.size())) return false;
    if (n_dims == 0 || n_dims > 4) {
      *err = path + ": tensor " + t.name + " has " + std::to_string(n_dims) + " dimensions";
      return false;
    }
    std::vector<uint64_t> dims(n_dims);
    for (auto& d : dims)
      if (!c->u64(&d)) return short_file("tensor table");
    if (!c->u32(&type) || !c->u64(&t.offset)) return short_file("tensor table");
    if (type == kGgufTypeF32) t.dtype = DType::f32;
    else if (type == kGgufTypeF16) t.dtype = DType::f16;
    else if (type == kGgufTypeBF16) t.dtype = DType::bf16;
    else {
      *err = path + ": tensor " + t.name + " has type " + std::to_string(type) +
             " (quantized or unsupported); only F32, F16 and BF16 are taken";
      return false;
    }
    uint64_t count = 1;
    for (uint64_t d : dims) {
      if (d != 0 && count > UINT64_MAX / 8 / d) {
        *err = path + ": tensor " + t.name + " has an impossible shape";
        return false;
      }
      count *= d;
    }
    t.shape.assign(dims.rbegin(), dims.rend());  // outermost first
    t.bytes = count * dtype_size(t.dtype);
    t.file = 0;
    if (t.offset % alignment != 0) {
      *err = path + ": tensor " + t.name + " offset " + std::to_string(t.offset) + " is not a multiple of " +
             std::to_string(alignment);
      return false;
    }
    model->tensors.push_back(std::move(t));
  }
  uint64_t data_start = (c->pos + alignment - 1) / alignment * alignment;
  for (auto& t : model->tensors) {
    if (t.offset > c->size || data_start > c->size - t.offset || t.bytes > c->size - data_start - t.offset) {
      *err = path + ": tensor " + t.name + ": data runs past the end of the file (file has " +
             std::to_string(c->size) + " bytes)";
      return false;
    }
    t.offset += data_start;
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
  Cursor c{static_cast<const unsigned char*>(map), size, 0};
  bool ok = parse(path, &c, g, model, err);
  munmap(map, size);
  return ok;
}
