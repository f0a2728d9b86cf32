#include "probe/probe_file.h"

#include <cmath>
#include <cstring>

#include "platform/platform.h"
#include "platform/safetensors_header.h"

namespace {
const char* const kTensorNames[3] = {"probe.weight", "probe.bias", "probe.baseline"};

std::string shape_text(const std::vector<uint64_t>& shape) {
  std::string s = "[";
  for (size_t i = 0; i < shape.size(); i++) s += (i ? ", " : "") + std::to_string(shape[i]);
  return s + "]";
}

// Splits a metadata list into 1 .. 8 texts of 1 .. 10 printable ASCII bytes; "" or why not.
std::string split_names(const std::string& text, const char* key, std::vector<std::string>* out) {
  out->clear();
  size_t at = 0;
  while (true) {
    const size_t comma = text.find(',', at);
    out->push_back(text.substr(at, comma == std::string::npos ? std::string::npos : comma - at));
    if (comma == std::string::npos) break;
    at = comma + 1;
  }
  if (out->size() > size_t(kMaxProbeAxes)) {
    return std::string("its \"") + key + "\" metadata names " + std::to_string(out->size()) + " axes; at most " +
           std::to_string(kMaxProbeAxes);
  }
  for (const std::string& n : *out) {
    bool printable = !n.empty() && n.size() <= size_t(kProbeNameBytes);
    for (char c : n) printable = printable && c >= 0x20 && c <= 0x7E;
    if (!printable) {
      return std::string("its \"") + key + "\" metadata has \"" + n.substr(0, 40) +
             "\", not 1 to 10 bytes of printable ASCII";
    }
  }
  return "";
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

std::string lowered(std::string s) {
  for (char& c : s) c = lower(c);
  return s;
}

}  // namespace

std::string axis_names_refusal(const std::string& axes, std::vector<std::string>* names) {
  std::string why = split_names(axes, "axes", names);
  if (!why.empty()) return why;
  for (size_t a = 0; a < names->size(); a++) {
    const std::string name = lowered((*names)[a]);
    if (name == "layer" || name == "depth" || name == "hash") {
      return "its axis \"" + (*names)[a] + "\" would clash with the records' field of that name";
    }
    for (size_t b = 0; b < a; b++) {
      if (lowered((*names)[b]) == name) return "its axes name \"" + (*names)[a] + "\" twice";
    }
  }
  return "";
}

namespace {
// The axes metadata into p's names and labels; "" or why not.
std::string read_axes(const SafetensorsHeader& h, Probe* p) {
  const std::string* axes = nullptr;
  const std::string* labels = nullptr;
  for (const auto& [key, value] : h.metadata) {
    if (key == "axes") axes = &value;
    if (key == "labels") labels = &value;
  }
  if (!axes) return "its __metadata__ has no \"axes\" (the axis names, comma-separated)";
  std::vector<std::string> names, texts;
  std::string why = axis_names_refusal(*axes, &names);
  if (!why.empty()) return why;
  texts = names;
  if (labels) {
    why = split_names(*labels, "labels", &texts);
    if (!why.empty()) return why;
    if (texts.size() != names.size()) {
      return "its \"labels\" metadata has " + std::to_string(texts.size()) + " texts for " +
             std::to_string(names.size()) + " axes";
    }
  }
  p->axes = int(names.size());
  for (int a = 0; a < p->axes; a++) {
    snprintf(p->names[a], sizeof p->names[a], "%s", names[size_t(a)].c_str());
    snprintf(p->labels[a], sizeof p->labels[a], "%s", texts[size_t(a)].c_str());
  }
  return "";
}

// Copies n little-endian f32 from the file into out, refusing NaN and infinity; "" or why not.
std::string copy_values(const uint8_t* from, uint64_t n, const char* tensor, float* out) {
  memcpy(out, from, n * sizeof(float));  // the file is little-endian f32, as the machine is
  for (uint64_t i = 0; i < n; i++) {
    if (!std::isfinite(out[i])) {
      return std::string("tensor ") + tensor + " holds " + (std::isnan(out[i]) ? "NaN" : "an infinity") +
             " (element " + std::to_string(i) + ")";
    }
  }
  return "";
}

// The tensors into p's tables, given the bytes of the data area; "" or why not.
std::string read_tables(const SafetensorsHeader& h, const uint8_t* data, Probe* p) {
  const SafetensorsTensor* found[3] = {};
  for (const SafetensorsTensor& t : h.tensors) {
    int which = -1;
    for (int i = 0; i < 3; i++)
      if (t.name == kTensorNames[i]) which = i;
    if (which < 0) return "tensor " + t.name + " is not one of probe.weight, probe.bias, probe.baseline";
    found[which] = &t;
  }
  for (int i = 0; i < 3; i++) {
    if (!found[i]) return std::string("it has no tensor ") + kTensorNames[i];
    if (found[i]->dtype != "F32") return "tensor " + found[i]->name + " is " + found[i]->dtype + ", not F32";
  }
  // The weights' rank says which form the file has; the other two must have the same.
  const bool per_depth = found[0]->shape.size() == 3;
  const uint64_t k = uint64_t(p->axes), dim = uint64_t(kProbeDim), depths = uint64_t(kProbeDepthTables);
  const std::vector<uint64_t> want[3] = {
      per_depth ? std::vector<uint64_t>{depths, k, dim} : std::vector<uint64_t>{k, dim},
      per_depth ? std::vector<uint64_t>{depths, k} : std::vector<uint64_t>{k},
      per_depth ? std::vector<uint64_t>{depths, dim} : std::vector<uint64_t>{dim}};
  for (int i = 0; i < 3; i++) {
    if (found[i]->shape != want[i]) {
      const std::string must = i == 0 ? shape_text({k, dim}) + " or " + shape_text({depths, k, dim})
                                      : shape_text(want[i]) + " (probe.weight's form)";
      return "tensor " + found[i]->name + " has shape " + shape_text(found[i]->shape) + "; with " +
             std::to_string(k) + " axes it must be " + must;
    }
  }
  p->tables.assign(per_depth ? size_t(depths) : 1, ProbeTable{});
  for (size_t t = 0; t < p->tables.size(); t++) {
    ProbeTable& table = p->tables[t];
    std::string why;
    for (uint64_t a = 0; a < k && why.empty(); a++)
      why = copy_values(data + found[0]->begin + 4 * (t * k + a) * dim, dim, kTensorNames[0], table.weights[a]);
    if (why.empty()) why = copy_values(data + found[1]->begin + 4 * t * k, k, kTensorNames[1], table.bias);
    if (why.empty()) why = copy_values(data + found[2]->begin + 4 * t * dim, dim, kTensorNames[2], table.baseline);
    if (!why.empty()) return why;
  }
  return "";
}
}  // namespace

std::string read_probe_file(const char* path, Probe* out) {
  MappedFile file{};
  unsigned long error = 0;
  if (map_file_private(path, &file, &error) != MapStatus::ok) {
    if (file.kind != FileKind::regular) return "it is not a regular file";
    char text[256];
    system_error_text(error, text, sizeof text);
    return std::string("it cannot be read: ") + text;
  }
  // Mapped, never written; the mapping stays for the life of the process like the weights'.
  if (file.size < 8) return "it is not a safetensors file (" + std::to_string(file.size) + " bytes)";
  uint64_t header_len = 0;
  for (int i = 7; i >= 0; i--) header_len = header_len << 8 | file.base[i];
  if (header_len > file.size - 8) {
    return "it is not a safetensors file (its first 8 bytes give a header of " + std::to_string(header_len) +
           " bytes; the file has " + std::to_string(file.size) + ")";
  }
  SafetensorsHeader h;
  std::string why;
  const std::string_view text(reinterpret_cast<const char*>(file.base + 8), size_t(header_len));
  if (!parse_safetensors_header(text, file.size - 8 - header_len, {}, &h, &why)) {
    return "it is not a safetensors file: " + why;
  }
  Probe p;
  why = read_axes(h, &p);
  if (why.empty()) why = read_tables(h, file.base + 8 + header_len, &p);
  if (!why.empty()) return why;
  *out = std::move(p);
  return "";
}

std::string probe_file_bytes(const Probe& p) {
  const uint64_t k = uint64_t(p.axes), dim = uint64_t(kProbeDim), n = p.tables.size();
  const bool per_depth = n > 1;
  SafetensorsHeader h;
  std::string names, labels;
  bool labelled = false;
  for (int a = 0; a < p.axes; a++) {
    names += std::string(a ? "," : "") + p.names[a];
    labels += std::string(a ? "," : "") + p.labels[a];
    labelled = labelled || strcmp(p.names[a], p.labels[a]) != 0;
  }
  h.metadata.emplace_back("axes", names);
  if (labelled) h.metadata.emplace_back("labels", labels);
  const uint64_t bytes[3] = {4 * n * k * dim, 4 * n * k, 4 * n * dim};
  uint64_t at = 0;
  for (int i = 0; i < 3; i++) {
    SafetensorsTensor t;
    t.name = kTensorNames[i];
    t.dtype = "F32";
    if (per_depth) t.shape.push_back(n);
    if (i < 2) t.shape.push_back(k);
    if (i != 1) t.shape.push_back(dim);
    t.begin = at;
    t.end = at += bytes[i];
    h.tensors.push_back(t);
  }
  std::string out = safetensors_header_bytes(h);
  const auto put = [&out](const float* v, uint64_t count) {
    out.append(reinterpret_cast<const char*>(v), size_t(count * sizeof(float)));
  };
  for (const ProbeTable& t : p.tables)
    for (uint64_t a = 0; a < k; a++) put(t.weights[a], dim);
  for (const ProbeTable& t : p.tables) put(t.bias, k);
  for (const ProbeTable& t : p.tables) put(t.baseline, dim);
  return out;
}
