#include "platform/gguf_file.h"

#include <cstring>

namespace {

enum GgufValueType : uint32_t {
  kU8 = 0, kI8 = 1, kU16 = 2, kI16 = 3, kU32 = 4, kI32 = 5, kF32 = 6, kBool = 7,
  kString = 8, kArray = 9, kU64 = 10, kI64 = 11, kF64 = 12,
};

// Bounds-checked reads over the file's bytes. Every read fails cleanly at the end.
bool take(GgufParse* c, void* out, uint64_t n) {
  if (n > c->size - c->pos) return false;
  memcpy(out, c->base + c->pos, n);
  c->pos += n;
  return true;
}
bool skip(GgufParse* c, uint64_t n) {
  if (n > c->size - c->pos) return false;
  c->pos += n;
  return true;
}
bool u32(GgufParse* c, uint32_t* v) { return take(c, v, 4); }
bool u64(GgufParse* c, uint64_t* v) { return take(c, v, 8); }
bool string(GgufParse* c, std::string* s) {
  uint64_t n;
  if (!u64(c, &n) || n > c->size - c->pos) return false;
  if (n > kMaxGgufKeptBytes) {
    c->too_long = true;
    return false;
  }
  s->assign(reinterpret_cast<const char*>(c->base + c->pos), n);
  c->pos += n;
  return true;
}
bool skip_string(GgufParse* c) {
  uint64_t n;
  return u64(c, &n) && skip(c, n);
}

uint64_t scalar_size(uint32_t type) {
  switch (type) {
    case kU8: case kI8: case kBool: return 1;
    case kU16: case kI16: return 2;
    case kU32: case kI32: case kF32: return 4;
    case kU64: case kI64: case kF64: return 8;
    default: return 0;
  }
}

// Needs: the reader at a value of the given type. Reads it into *out (scalars and strings) or
// steps over it (arrays, nested up to kMaxGgufArrayDepth, their strings not copied). Returns
// false at the end of the file, or with *why set for an unknown type or too deep a nesting.
bool read_value(GgufParse* c, uint32_t type, GgufValue* out, int depth, std::string* why) {
  if (type == kString) {
    out->is_string = true;
    return depth > 0 ? skip_string(c) : string(c, &out->text);
  }
  if (type == kArray) {
    uint32_t elem;
    uint64_t count;
    if (depth >= kMaxGgufArrayDepth) {
      *why = "arrays nested deeper than " + std::to_string(kMaxGgufArrayDepth) + " levels";
      return false;
    }
    if (!u32(c, &elem) || !u64(c, &count)) return false;
    uint64_t each = scalar_size(elem);
    if (each != 0) return count <= (c->size - c->pos) / each && skip(c, count * each);
    if (elem != kString && elem != kArray) {
      *why = "array of unknown type " + std::to_string(elem);
      return false;
    }
    GgufValue ignored;
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
  if (!take(c, raw, n)) return false;
  if (type == kF32 || type == kF64) return true;
  uint64_t u = 0;
  memcpy(&u, raw, n);
  bool is_signed = type == kI8 || type == kI16 || type == kI32 || type == kI64;
  if (is_signed && n < 8 && (u >> (8 * n - 1)) & 1) u |= ~uint64_t(0) << (8 * n);
  out->is_int = true;
  out->integer = static_cast<int64_t>(u);
  return true;
}

// The reason for a read that ran out of file (or kept too long a string) inside `what`.
bool short_file(const GgufParse* c, const std::string& what, std::string* err) {
  if (c->too_long) {
    *err = c->name + ": a string in the " + what + " (at byte " + std::to_string(c->pos) + ") is longer than " +
           std::to_string(kMaxGgufKeptBytes >> 20) + " MiB";
    return false;
  }
  *err = c->name + ": file ends inside the " + what + " (at byte " + std::to_string(c->pos) + ")";
  return false;
}

// Counts more kept bytes; true (with *err set) once they pass the limit.
bool too_much_kept(GgufParse* c, uint64_t more, std::string* err) {
  c->kept += more;
  if (c->kept <= kMaxGgufKeptBytes) return false;
  *err = c->name + ": metadata keys, texts and tensor names take more than " +
         std::to_string(kMaxGgufKeptBytes >> 20) + " MiB";
  return true;
}

}  // namespace

bool gguf_read_metadata(GgufParse* c, std::string* err) {
  char magic[4];
  if (!take(c, magic, 4) || memcmp(magic, "GGUF", 4) != 0) {
    *err = c->name + ": not a GGUF file";
    return false;
  }
  if (!u32(c, &c->version) || !u64(c, &c->tensor_count) || !u64(c, &c->kv_count)) return short_file(c, "header", err);
  if (c->version != 2 && c->version != 3) {
    *err = c->name + ": GGUF version " + std::to_string(c->version) + " is not supported (2 or 3)";
    return false;
  }
  // Each pair or tensor entry takes at least 12 bytes, which bounds the counts by the file.
  if (c->tensor_count > c->size / 12 || c->kv_count > c->size / 12) {
    *err = c->name + ": file ends too early to hold " + std::to_string(c->kv_count) + " metadata pairs and " +
           std::to_string(c->tensor_count) + " tensors";
    return false;
  }
  if (c->tensor_count > kMaxGgufTensors || c->kv_count > kMaxGgufPairs) {
    *err = c->name + ": header declares " + std::to_string(c->kv_count) + " metadata pairs and " +
           std::to_string(c->tensor_count) + " tensors, more than the " + std::to_string(kMaxGgufPairs) + " and " +
           std::to_string(kMaxGgufTensors) + " taken";
    return false;
  }
  for (uint64_t i = 0; i < c->kv_count; i++) {
    std::string key;
    uint32_t type;
    if (!string(c, &key) || !u32(c, &type)) return short_file(c, "metadata", err);
    GgufValue v;
    std::string why;
    if (!read_value(c, type, &v, 0, &why)) {
      if (!why.empty()) {
        *err = c->name + ": metadata key " + key + " has " + why;
        return false;
      }
      return short_file(c, "metadata value of " + key, err);
    }
    if (too_much_kept(c, key.size() + v.text.size(), err)) return false;
    if (c->meta.count(key)) {
      *err = c->name + ": metadata key " + key + " appears more than once";
      return false;
    }
    c->meta.emplace(std::move(key), std::move(v));
  }
  return true;
}

bool gguf_read_tensors(GgufParse* c, GgufElementBytes element_bytes, void* user, std::string* err) {
  uint64_t alignment = 32;
  if (auto a = c->meta.find("general.alignment"); a != c->meta.end()) {
    if (!a->second.is_int || a->second.integer <= 0 || (a->second.integer & (a->second.integer - 1)) != 0) {
      *err = c->name + ": general.alignment is not a power of two";
      return false;
    }
    alignment = static_cast<uint64_t>(a->second.integer);
  }
  // Offsets are relative to the data area, known only after the table.
  for (uint64_t i = 0; i < c->tensor_count; i++) {
    GgufTensor t;
    uint32_t n_dims;
    if (!string(c, &t.name) || !u32(c, &n_dims)) return short_file(c, "tensor table", err);
    if (too_much_kept(c, t.name.size(), err)) return false;
    if (n_dims == 0 || n_dims > 4) {
      *err = c->name + ": tensor " + t.name + " has " + std::to_string(n_dims) + " dimensions";
      return false;
    }
    t.dims.resize(n_dims);
    for (auto& d : t.dims)
      if (!u64(c, &d)) return short_file(c, "tensor table", err);
    if (!u32(c, &t.type) || !u64(c, &t.offset)) return short_file(c, "tensor table", err);
    const uint64_t each = element_bytes(t, *c, user, err);
    if (each == 0) return false;
    uint64_t count = 1;
    for (uint64_t d : t.dims) {
      if (d != 0 && count > UINT64_MAX / 8 / d) {
        *err = c->name + ": tensor " + t.name + " has an impossible shape";
        return false;
      }
      count *= d;
    }
    t.bytes = count * each;
    if (t.offset % alignment != 0) {
      *err = c->name + ": tensor " + t.name + " offset " + std::to_string(t.offset) + " is not a multiple of " +
             std::to_string(alignment);
      return false;
    }
    c->tensors.push_back(std::move(t));
  }
  const uint64_t data_start = (c->pos + alignment - 1) / alignment * alignment;
  for (auto& t : c->tensors) {
    if (t.offset > c->size || data_start > c->size - t.offset || t.bytes > c->size - data_start - t.offset) {
      *err = c->name + ": tensor " + t.name + ": data runs past the end of the file (file has " +
             std::to_string(c->size) + " bytes)";
      return false;
    }
    t.offset += data_start;
  }
  return true;
}

namespace {
void put_u32(std::string* s, uint32_t v) { s->append(reinterpret_cast<const char*>(&v), 4); }  // little-endian, as the machine
void put_u64(std::string* s, uint64_t v) { s->append(reinterpret_cast<const char*>(&v), 8); }
void put_text(std::string* s, const std::string& t) {
  put_u64(s, t.size());
  s->append(t);
}
void pad_to_32(std::string* s) { s->append((32 - s->size() % 32) % 32, '\0'); }
}  // namespace

std::string gguf_bytes(const GgufOut& f) {
  std::string s = "GGUF";
  put_u32(&s, 3);
  put_u64(&s, f.vectors.size());
  put_u64(&s, f.texts.size() + f.counts.size());
  for (const auto& [key, text] : f.texts) {
    put_text(&s, key);
    put_u32(&s, kString);
    put_text(&s, text);
  }
  for (const auto& [key, count] : f.counts) {
    put_text(&s, key);
    put_u32(&s, kU32);
    put_u32(&s, count);
  }
  uint64_t offset = 0;  // from the data area's start
  for (const auto& [name, values] : f.vectors) {
    put_text(&s, name);
    put_u32(&s, 1);
    put_u64(&s, values.size());
    put_u32(&s, kGgufTypeF32);
    put_u64(&s, offset);
    offset += (values.size() * 4 + 31) / 32 * 32;
  }
  for (const auto& [name, values] : f.vectors) {
    pad_to_32(&s);
    s.append(reinterpret_cast<const char*>(values.data()), values.size() * 4);
  }
  pad_to_32(&s);
  return s;
}
