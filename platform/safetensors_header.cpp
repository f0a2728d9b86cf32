#include "platform/safetensors_header.h"

#include "platform/strict_json.h"

namespace {
struct DtypeSize {
  const char* name;
  uint64_t bytes;
};
constexpr DtypeSize kDtypes[] = {{"BOOL", 1}, {"U8", 1},  {"I8", 1},   {"F8_E5M2", 1}, {"F8_E4M3", 1},
                                 {"I16", 2},  {"U16", 2}, {"F16", 2},  {"BF16", 2},    {"I32", 4},
                                 {"U32", 4},  {"F32", 4}, {"F64", 8},  {"I64", 8},     {"U64", 8}};

std::string joined(const std::vector<std::string>& names) {
  std::string s;
  for (const std::string& n : names) s += (s.empty() ? "" : ", ") + n;
  return s;
}

bool is_accepted(const std::string& dtype, const std::vector<std::string>& accepted) {
  if (accepted.empty()) return safetensors_dtype_size(dtype) != 0;
  for (const std::string& a : accepted)
    if (a == dtype) return true;
  return false;
}
}  // namespace

uint64_t safetensors_dtype_size(std::string_view dtype) {
  for (const DtypeSize& d : kDtypes)
    if (dtype == d.name) return d.bytes;
  return 0;
}

bool parse_safetensors_header(std::string_view text, uint64_t data_size, const std::vector<std::string>& accepted,
                              SafetensorsHeader* out, std::string* err) {
  *out = SafetensorsHeader{};
  Json header;
  std::string why;
  if (!parse_json(text, &header, &why)) {
    *err = "header is not valid JSON (" + why + ")";
    return false;
  }
  if (!header.is_object()) {
    *err = "header is not a JSON object";
    return false;
  }
  for (const auto& [name, entry] : header.items()) {
    if (name == "__metadata__") {
      // Only string values are metadata; readers of the format ignore anything else there.
      if (entry.is_object())
        for (const auto& [key, value] : entry.items())
          if (value.is_string()) out->metadata.emplace_back(key, value.get<std::string>());
      continue;
    }
    const std::string where = "tensor " + name;
    const Json* dtype = json_member(entry, "dtype");
    const Json* shape = json_member(entry, "shape");
    const Json* offsets = json_member(entry, "data_offsets");
    if (!dtype || !dtype->is_string() || !shape || !shape->is_array() || !offsets || !offsets->is_array() ||
        offsets->size() != 2 || !(*offsets)[0].is_number_unsigned() || !(*offsets)[1].is_number_unsigned()) {
      *err = where + ": header entry lacks dtype, shape or data_offsets";
      return false;
    }
    SafetensorsTensor t;
    t.name = name;
    t.dtype = dtype->get<std::string>();
    if (!is_accepted(t.dtype, accepted) || safetensors_dtype_size(t.dtype) == 0) {
      *err = where + ": dtype " + t.dtype + " is not one of " +
             (accepted.empty() ? std::string("the format's dtypes") : joined(accepted));
      return false;
    }
    uint64_t count = 1;
    for (const auto& d : *shape) {
      const uint64_t n = d.is_number_unsigned() ? d.get<uint64_t>() : 0;
      if (!d.is_number_unsigned() || (n != 0 && count > UINT64_MAX / 8 / n)) {
        *err = where + ": shape is not a list of sizes";
        return false;
      }
      t.shape.push_back(n);
      count *= n;
    }
    t.begin = (*offsets)[0].get<uint64_t>();
    t.end = (*offsets)[1].get<uint64_t>();
    if (t.end < t.begin) {
      *err = where + ": data_offsets end before they begin";
      return false;
    }
    if (t.end > data_size) {
      // Said without adding the header's size to `end`, which may be near 2^64.
      *err = where + ": data runs past the end of the file (data_offsets end at " + std::to_string(t.end) +
             ", the data area holds " + std::to_string(data_size) + " bytes)";
      return false;
    }
    const uint64_t need = count * safetensors_dtype_size(t.dtype);
    if (t.end - t.begin != need) {
      *err = where + ": data_offsets span " + std::to_string(t.end - t.begin) + " bytes but the shape needs " +
             std::to_string(need);
      return false;
    }
    out->tensors.push_back(std::move(t));
  }
  return true;
}

std::string safetensors_header_bytes(const SafetensorsHeader& h) {
  Json o = Json::object();
  if (!h.metadata.empty()) {
    Json m = Json::object();
    for (const auto& [key, value] : h.metadata) m[key] = value;
    o["__metadata__"] = m;
  }
  for (const SafetensorsTensor& t : h.tensors)
    o[t.name] = Json{{"dtype", t.dtype}, {"shape", t.shape}, {"data_offsets", {t.begin, t.end}}};
  std::string text = o.dump();
  text.append((8 - text.size() % 8) % 8, ' ');
  std::string bytes(8, '\0');
  for (int i = 0; i < 8; i++) bytes[size_t(i)] = char((uint64_t(text.size()) >> (8 * i)) & 0xFF);
  return bytes + text;
}
