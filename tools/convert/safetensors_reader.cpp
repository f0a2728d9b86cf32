#include "tools/convert/source_model.h"
#include "tools/convert/safetensors_reader.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>

#include "platform/safetensors_header.h"
#include "platform/strict_json.h"

namespace {

std::string folder_of(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
}


bool read_text_file(const std::string& path, std::string* text, std::string* err) {
  uint64_t size;
  if (!file_size_of(path, &size, err)) return false;
  if (size > kMaxSafetensorsHeader) {
    *err = path + ": file too large for an index (" + std::to_string(size) + " bytes)";
    return false;
  }
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *err = path + ": " + strerror(errno);
    return false;
  }
  text->resize(size);
  bool ok = read_exact(fd, text->data(), size, 0);
  close(fd);
  if (!ok) *err = path + ": read failed";
  return ok;
}

bool parse_dtype(const std::string& s, DType* t) {
  if (s == "F32") *t = DType::f32;
  else if (s == "F16") *t = DType::f16;
  else if (s == "BF16") *t = DType::bf16;
  else return false;
  return true;
}

// Needs: a shard path and its index in model->files (already pushed). Appends its tensors.
bool read_shard(const std::string& path, uint32_t file, SourceModel* model, std::string* err) {
  uint64_t size;
  if (!file_size_of(path, &size, err)) return false;
  model->file_sizes[file] = size;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *err = path + ": " + strerror(errno);
    return false;
  }
  unsigned char len_bytes[8];
  if (size < 8 || !read_exact(fd, len_bytes, 8, 0)) {
    close(fd);
    *err = path + ": too short for a safetensors header (" + std::to_string(size) + " bytes)";
    return false;
  }
  uint64_t header_len = 0;
  for (int i = 7; i >= 0; i--) header_len = header_len << 8 | len_bytes[i];
  if (header_len > size - 8) {
    close(fd);
    *err = path + ": header length " + std::to_string(header_len) + " runs past the end of the file (" +
           std::to_string(size) + " bytes)";
    return false;
  }
  if (header_len > kMaxSafetensorsHeader) {
    close(fd);
    *err = path + ": header length " + std::to_string(header_len) + " is implausibly large";
    return false;
  }
  std::string text(header_len, '\0');
  bool ok = read_exact(fd, text.data(), header_len, 8);
  close(fd);
  if (!ok) {
    *err = path + ": header read failed";
    return false;
  }
  const uint64_t data_start = 8 + header_len;
  SafetensorsHeader header;
  if (!parse_safetensors_header(text, size - data_start, {"F32", "F16", "BF16"}, &header, err)) {
    *err = path + ": " + *err;
    return false;
  }
  for (const SafetensorsTensor& entry : header.tensors) {
    SourceTensor t;
    t.name = entry.name;
    t.file = file;
    parse_dtype(entry.dtype, &t.dtype);
    t.shape = entry.shape;
    t.offset = data_start + entry.begin;
    t.bytes = entry.end - entry.begin;
    model->tensors.push_back(std::move(t));
  }
  return true;
}

// Needs: a JSON value. Writes it as a u64 into *out when it is a non-negative integer.
bool config_uint(const Json& config, const char* key, uint64_t* out) {
  const Json* v = json_member(config, key);
  if (!v || !v->is_number_unsigned()) return false;
  *out = v->get<uint64_t>();
  return true;
}

// Needs: a checkpoint folder whose config.json (if any) was checked. Lists it among the files read.
void note_config_read(const std::string& folder, SourceModel* model) {
  std::string path = folder + "/config.json";
  if (access(path.c_str(), F_OK) == 0) model->also_read.push_back(path);
}

}  // namespace

bool check_hf_config(const std::string& folder, const ModelGeometry& g, std::string* err) {
  std::string path = folder + "/config.json";
  if (access(path.c_str(), F_OK) != 0) return true;
  std::string text, why;
  if (!read_text_file(path, &text, err)) return false;
  Json config;
  if (!parse_json(text, &config, &why)) {
    *err = path + ": not valid JSON (" + why + ")";
    return false;
  }
  const Json* type = json_member(config, "model_type");
  if (type && type->is_string() && *type != "gemma") {
    *err = path + ": model_type is \"" + type->get<std::string>() + "\", not \"gemma\"";
    return false;
  }
  const struct {
    const char* key;
    uint64_t want;
  } sizes[] = {{"num_hidden_layers", g.layers},   {"hidden_size", g.dim},
               {"num_attention_heads", g.heads},  {"num_key_value_heads", g.kv_heads},
               {"head_dim", g.head_dim},          {"intermediate_size", g.ffn_dim},
               {"vocab_size", g.vocab}};
  for (const auto& s : sizes) {
    uint64_t have;
    if (json_member(config, s.key) && (!config_uint(config, s.key, &have) || have != s.want)) {
      const Json* v = json_member(config, s.key);
      std::string shown = v->is_number_unsigned() ? std::to_string(v->get<uint64_t>()) : "not a size";
      *err = path + ": " + s.key + " is " + shown + ", this model needs " + std::to_string(s.want);
      return false;
    }
  }
  return true;
}

bool read_safetensors(const std::string& path, const ModelGeometry& g, SourceModel* model, std::string* err) {
  *model = SourceModel{};
  model->format = SourceFormat::safetensors;
  model->files.push_back(path);
  model->file_sizes.push_back(0);
  if (!check_hf_config(folder_of(path), g, err)) return false;
  note_config_read(folder_of(path), model);
  return read_shard(path, 0, model, err);
}

bool read_safetensors_index(const std::string& path, const ModelGeometry& g, SourceModel* model, std::string* err) {
  *model = SourceModel{};
  model->format = SourceFormat::safetensors;
  std::string folder = folder_of(path);
  if (!check_hf_config(folder, g, err)) return false;
  note_config_read(folder, model);
  model->also_read.push_back(path);
  std::string text, why;
  if (!read_text_file(path, &text, err)) return false;
  Json index;
  if (!parse_json(text, &index, &why)) {
    *err = path + ": not valid JSON (" + why + ")";
    return false;
  }
  const Json* map = json_member(index, "weight_map");
  if (!map || !map->is_object()) {
    *err = path + ": no weight_map object";
    return false;
  }
  // Shards in order of first mention; each tensor's expected shard.
  std::map<std::string, uint32_t> shard_of_name;
  std::map<std::string, std::string> expected;
  for (const auto& [name, entry] : map->items()) {
    const std::string shard = entry.is_string() ? entry.get<std::string>() : "";
    if (shard.empty() || shard[0] == '/' || shard.find("..") != std::string::npos) {
      *err = path + ": weight_map entry for " + name + " is not a shard file name";
      return false;
    }
    expected[name] = shard;
    if (!shard_of_name.count(shard)) {
      shard_of_name[shard] = static_cast<uint32_t>(model->files.size());
      model->files.push_back(folder + "/" + shard);
      model->file_sizes.push_back(0);
    }
  }
  for (uint32_t f = 0; f < model->files.size(); f++)
    if (!read_shard(model->files[f], f, model, err)) return false;
  std::map<std::string, uint32_t> found;
  for (const auto& t : model->tensors) {
    auto e = expected.find(t.name);
    if (e == expected.end()) {
      *err = model->files[t.file] + ": tensor " + t.name + " is not in the index's weight_map";
      return false;
    }
    if (model->files[t.file] != folder + "/" + e->second) {
      *err = model->files[t.file] + ": tensor " + t.name + " is in this shard but the index names " + e->second;
      return false;
    }
    found[t.name]++;
  }
  for (const auto& [name, shard] : expected) {
    if (!found.count(name)) {
      *err = folder + "/" + shard + ": tensor " + name + " named by the index is missing from the shard";
      return false;
    }
  }
  return true;
}
