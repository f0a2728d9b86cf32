#include "tools/convert/source_model.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "tools/convert/gguf_reader.h"
#include "tools/convert/safetensors_reader.h"

const char* source_format_name(SourceFormat f) { return f == SourceFormat::gguf ? "GGUF" : "safetensors"; }

bool file_size_of(const std::string& path, uint64_t* size, std::string* err) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    *err = path + ": " + strerror(errno);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    *err = path + ": not a regular file";
    return false;
  }
  *size = static_cast<uint64_t>(st.st_size);
  return true;
}

bool check_no_overlap(const SourceModel& model, std::string* err) {
  std::vector<const SourceTensor*> order;
  for (const auto& t : model.tensors) order.push_back(&t);
  std::sort(order.begin(), order.end(), [](const SourceTensor* a, const SourceTensor* b) {
    return a->file != b->file ? a->file < b->file : a->offset < b->offset;
  });
  for (size_t i = 1; i < order.size(); i++) {
    const SourceTensor* a = order[i - 1];
    const SourceTensor* b = order[i];
    if (a->file == b->file && a->offset + a->bytes > b->offset && a->bytes > 0 && b->bytes > 0) {
      *err = model.files[a->file] + ": tensors " + a->name + " and " + b->name + " overlap";
      return false;
    }
  }
  return true;
}

namespace {
bool starts_with_gguf_magic(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char magic[4] = {};
  bool yes = pread(fd, magic, 4, 0) == 4 && memcmp(magic, "GGUF", 4) == 0;
  close(fd);
  return yes;
}

bool ends_with(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}
}  // namespace

bool open_source_model(const std::string& path, const ModelGeometry& g, SourceModel* model, std::string* err) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    *err = path + ": " + strerror(errno);
    return false;
  }
  bool ok;
  if (S_ISDIR(st.st_mode)) {
    std::string index = path + "/model.safetensors.index.json";
    std::string single = path + "/model.safetensors";
    if (access(index.c_str(), F_OK) == 0) {
      ok = read_safetensors_index(index, g, model, err);
    } else if (access(single.c_str(), F_OK) == 0) {
      ok = read_safetensors(single, g, model, err);
    } else {
      *err = path + ": folder holds neither model.safetensors.index.json nor model.safetensors";
      return false;
    }
  } else if (starts_with_gguf_magic(path)) {
    ok = read_gguf(path, g, model, err);
  } else if (ends_with(path, ".json")) {
    ok = read_safetensors_index(path, g, model, err);
  } else {
    ok = read_safetensors(path, g, model, err);
  }
  return ok && check_no_overlap(*model, err);
}

bool read_exact(int fd, void* out, uint64_t n, uint64_t offset) {
  char* p = static_cast<char*>(out);
  while (n > 0) {
    ssize_t got = pread(fd, p, n, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    p += got;
    n -= static_cast<uint64_t>(got);
    offset += static_cast<uint64_t>(got);
  }
  return true;
}
