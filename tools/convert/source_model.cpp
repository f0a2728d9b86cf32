#include "tools/convert/source_model.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tools/convert/gguf_reader.h"
#include "tools/convert/path_checks.h"
#include "tools/convert/safetensors_reader.h"

const char* source_format_name(SourceFormat f) { return f == SourceFormat::gguf ? "GGUF" : "safetensors"; }

bool file_size_of(const std::string& path, uint64_t* size, std::string* err) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    *err = path + ": " + strerror(errno);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    *err = path + ": is " + file_kind_name(st.st_mode) + ", not a regular file";
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

enum class Start { gguf, safetensors, too_short, other };

// Needs: a regular file's path. Reads its first bytes (up to 9) into *head and says which
// format they begin: the GGUF magic, or a safetensors header length followed by '{'.
Start sniff_start(const std::string& path, std::string* head) {
  char bytes[9] = {};
  ssize_t got = -1;
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd >= 0) {
    got = pread(fd, bytes, sizeof bytes, 0);
    close(fd);
  }
  if (got < 0) return Start::other;  // the reader that opens it names the error
  head->assign(bytes, size_t(got));
  if (got >= 4 && memcmp(bytes, "GGUF", 4) == 0) return Start::gguf;
  if (got < 9) return Start::too_short;
  return bytes[8] == '{' ? Start::safetensors : Start::other;
}

// Needs: some bytes. Returns them in hex and as text, e.g. 47 47 55 58 ("GGUX").
std::string shown_bytes(const std::string& b) {
  std::string hex, text;
  char two[4];
  for (unsigned char c : b) {
    snprintf(two, sizeof two, "%s%02x", hex.empty() ? "" : " ", c);
    hex += two;
    text += c >= 0x20 && c < 0x7f ? char(c) : '.';
  }
  return hex + " (\"" + text + "\")";
}

bool ends_with(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}
}  // namespace

bool open_source_model(const std::string& path, const ModelGeometry& g, SourceModel* model, std::string* err) {
  if (!check_input_kind(path, err)) return false;
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    *err = path + ": " + strerror(errno);
    return false;
  }
  bool ok;
  std::string head;
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
  } else if (Start start = sniff_start(path, &head); start == Start::gguf) {
    ok = read_gguf(path, g, model, err);
  } else if (ends_with(path, ".json")) {
    ok = read_safetensors_index(path, g, model, err);
  } else if (start == Start::other && head.size() == 9) {
    *err = path + ": starts with bytes " + shown_bytes(head) +
           ", neither the GGUF magic \"GGUF\" nor a safetensors header (an 8-byte length, then '{')";
    return false;
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
