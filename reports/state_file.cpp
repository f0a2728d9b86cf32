#include "reports/state_file.h"

#include <cerrno>
#include <cstring>
#include <exception>
#include <nlohmann/json.hpp>

#include "platform/platform.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// The spill's copy into the finished file goes through a buffer of this size.
constexpr size_t kCopyChunk = size_t(1) << 20;

std::string error_text(unsigned long code) {
  char buf[256];
  system_error_text(code, buf, sizeof buf);
  return buf;
}

std::string folder_of(const std::string& path) {
#if defined(_WIN32)
  size_t slash = path.find_last_of("/\\");
#else
  size_t slash = path.rfind('/');
#endif
  if (slash == std::string::npos) return ".";
  return slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
}

std::string base_of(const std::string& path) {
#if defined(_WIN32)
  size_t slash = path.find_last_of("/\\");
#else
  size_t slash = path.rfind('/');
#endif
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Hidden names in the target's folder start with this: ".<name>.partial-".
std::string hidden_stem(const std::string& path) {
  return folder_of(path) + kPathSeparator + "." + base_of(path) + ".partial-";
}

// The finished file while it is being written: a descriptor or handle and, while it has one,
// its temporary name.
struct TempOut {
  intptr_t h = -1;
  std::string name;
};

// ---- The operating-system steps. Each returns "" or a reason naming `shown`. ----

#if defined(_WIN32)

std::wstring wide(const std::string& utf8) {
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
  std::wstring w(size_t(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), w.data(), n);
  return w;
}

// Needs: a name stem. Creates a fresh file stem + <pid>-<n> with the given attributes.
std::string create_fresh(const std::string& stem, DWORD access, DWORD flags, intptr_t* h, std::string* name) {
  DWORD last = 0;
  for (int attempt = 0; attempt < 100; attempt++) {
    *name = stem + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(attempt);
    HANDLE got = CreateFileW(wide(*name).c_str(), access, 0, nullptr, CREATE_NEW, flags, nullptr);
    if (got != INVALID_HANDLE_VALUE) {
      *h = reinterpret_cast<intptr_t>(got);
      return "";
    }
    last = GetLastError();
    if (last != ERROR_FILE_EXISTS && last != ERROR_ALREADY_EXISTS) break;
  }
  return folder_of(stem) + ": cannot create a temporary file: " + error_text(last);
}

std::string spill_create(const std::string& path, intptr_t* h) {
  std::string name;
  return create_fresh(hidden_stem(path) + "spill-", GENERIC_READ | GENERIC_WRITE,
                      FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, h, &name);
}

std::string out_create(const std::string& path, TempOut* out) {
  return create_fresh(hidden_stem(path), GENERIC_WRITE, FILE_ATTRIBUTE_NORMAL, &out->h, &out->name);
}

void file_close(intptr_t* h) {
  if (*h != -1) CloseHandle(reinterpret_cast<HANDLE>(*h));
  *h = -1;
}

bool write_all(intptr_t h, const void* data, uint64_t n, std::string* why) {
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    DWORD step = n > (1u << 30) ? (1u << 30) : DWORD(n), put = 0;
    if (!WriteFile(reinterpret_cast<HANDLE>(h), p, step, &put, nullptr) || put == 0) {
      *why = error_text(GetLastError());
      return false;
    }
    p += put;
    n -= put;
  }
  return true;
}

// Reads exactly n bytes at offset.
bool read_at(intptr_t h, void* buf, size_t n, uint64_t offset, std::string* why) {
  char* p = static_cast<char*>(buf);
  while (n > 0) {
    OVERLAPPED at{};
    at.Offset = DWORD(offset);
    at.OffsetHigh = DWORD(offset >> 32);
    DWORD got = 0;
    if (!ReadFile(reinterpret_cast<HANDLE>(h), p, DWORD(n), &got, &at)) {
      *why = error_text(GetLastError());
      return false;
    }
    if (got == 0) {
      *why = "the spilled data ended early";
      return false;
    }
    p += got;
    n -= got;
    offset += got;
  }
  return true;
}

void out_discard(TempOut* out) {
  file_close(&out->h);
  if (!out->name.empty()) DeleteFileW(wide(out->name).c_str());
  out->name.clear();
}

std::string out_place(TempOut* out, const std::string& path) {
  const std::string shown = out->name;
  if (!FlushFileBuffers(reinterpret_cast<HANDLE>(out->h))) {
    std::string why = error_text(GetLastError());
    out_discard(out);
    return shown + ": cannot flush: " + why;
  }
  file_close(&out->h);
  if (!MoveFileExW(wide(out->name).c_str(), wide(path).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    std::string why = error_text(GetLastError());
    out_discard(out);
    return path + ": cannot rename the finished file into place: " + why;
  }
  out->name.clear();
  return "";
}

#else

// Needs: a folder and O_RDWR (a spill, never named) or O_WRONLY (linked in later). A file there
// without a name, or -1 (no O_TMPFILE support, or no /proc to link it through).
int create_unnamed(const std::string& folder, int rw) {
#ifdef O_TMPFILE
  int fd = open(folder.c_str(), O_TMPFILE | rw | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  if (rw == O_WRONLY && access(("/proc/self/fd/" + std::to_string(fd)).c_str(), F_OK) != 0) {
    close(fd);
    return -1;
  }
  return fd;
#else
  (void)folder;
  (void)rw;
  return -1;
#endif
}

std::string spill_create(const std::string& path, intptr_t* h) {
  int fd = create_unnamed(folder_of(path), O_RDWR);
  if (fd < 0) {
    // A hidden name, dropped at once: the open descriptor keeps the data.
    std::string name = hidden_stem(path) + "spill-XXXXXX";
    fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) return folder_of(path) + ": cannot create a temporary file: " + error_text(errno);
    unlink(name.c_str());
  }
  *h = fd;
  return "";
}

std::string out_create(const std::string& path, TempOut* out) {
  int fd = create_unnamed(folder_of(path), O_WRONLY);
  if (fd < 0) {
    std::string name = hidden_stem(path) + "XXXXXX";
    fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) return folder_of(path) + ": cannot create a temporary file: " + error_text(errno);
    out->name = name;
  }
  out->h = fd;
  return "";
}

void file_close(intptr_t* h) {
  if (*h != -1) close(int(*h));
  *h = -1;
}

bool write_all(intptr_t h, const void* data, uint64_t n, std::string* why) {
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    ssize_t put = write(int(h), p, n);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      *why = put < 0 ? error_text(errno) : "nothing written";
      return false;
    }
    p += put;
    n -= uint64_t(put);
  }
  return true;
}

bool read_at(intptr_t h, void* buf, size_t n, uint64_t offset, std::string* why) {
  char* p = static_cast<char*>(buf);
  while (n > 0) {
    ssize_t got = pread(int(h), p, n, off_t(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      *why = got < 0 ? error_text(errno) : "the spilled data ended early";
      return false;
    }
    p += got;
    n -= size_t(got);
    offset += uint64_t(got);
  }
  return true;
}

void out_discard(TempOut* out) {
  file_close(&out->h);
  if (!out->name.empty()) unlink(out->name.c_str());
  out->name.clear();
}

// Needs: an unnamed file. Gives it a fresh hidden name (a link cannot replace a file, a rename can).
std::string link_unnamed(TempOut* out, const std::string& path) {
  const std::string proc = "/proc/self/fd/" + std::to_string(out->h);
  for (int attempt = 0; attempt < 100; attempt++) {
    std::string name = hidden_stem(path) + std::to_string(getpid()) + "-" + std::to_string(attempt);
    if (linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      out->name = name;
      return "";
    }
    if (errno != EEXIST) break;
  }
  return folder_of(path) + ": cannot give the finished file a name: " + error_text(errno);
}

std::string out_place(TempOut* out, const std::string& path) {
  std::string shown = out->name.empty() ? "the temporary file in " + folder_of(path) : out->name;
  if (fsync(int(out->h)) != 0) {
    std::string why = error_text(errno);
    out_discard(out);
    return shown + ": cannot flush: " + why;
  }
  mode_t mask = umask(0);
  umask(mask);
  fchmod(int(out->h), 0666 & ~mask);
  std::string why = out->name.empty() ? link_unnamed(out, path) : "";
  if (!why.empty()) {
    out_discard(out);
    return why;
  }
  // Some file systems report a failed write only at close: checked before anything is replaced.
  int closed = close(int(out->h));
  out->h = -1;
  if (closed != 0) {
    why = error_text(errno);
    out_discard(out);
    return shown + ": write failed when closing: " + why;
  }
  if (rename(out->name.c_str(), path.c_str()) != 0) {
    why = error_text(errno);
    out_discard(out);
    return path + ": cannot rename the finished file into place: " + why;
  }
  out->name.clear();
  // Make the rename itself durable.
  int dir = open(folder_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  return "";
}

#endif

// Records the first failure, releases the spill and returns the failure.
std::string fail(StateFile* f, const std::string& why) {
  state_file_abandon(f);
  f->error = why;
  return why;
}

// Needs: the added prompts and the metadata texts. The header's JSON, padded with spaces to a
// multiple of 8 bytes, so that the data starts 8-aligned.
std::string header_text(const StateFile& f, const std::string& prompts_json, const std::string& run_json) {
  nlohmann::json h = nlohmann::json::object();
  h["__metadata__"] = {{"prompts", prompts_json}, {"run", run_json}};
  uint64_t at = 0;
  auto put = [&](const std::string& name, const char* dtype, nlohmann::json shape, uint64_t bytes) {
    h[name] = {{"dtype", dtype}, {"shape", std::move(shape)}, {"data_offsets", nlohmann::json::array({at, at + bytes})}};
    at += bytes;
  };
  for (const StatePromptEntry& e : f.prompts) {
    const std::string stem = std::to_string(e.index);
    put(stem + ".normed", "F32", nlohmann::json::array({kStateRows, geom::kDim}), kStateTensorBytes);
    put(stem + ".residual", "F32", nlohmann::json::array({kStateRows, geom::kDim}), kStateTensorBytes);
    put(stem + ".ids", "I32", nlohmann::json::array({e.id_count}), uint64_t(e.id_count) * 4);
  }
  std::string text = h.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  text.append((8 - text.size() % 8) % 8, ' ');
  return text;
}

}  // namespace

std::string state_file_open(StateFile* f, const std::string& path) {
  *f = StateFile{};
  f->path = path;
  f->folder = folder_of(path);
  if (path.empty() || base_of(path).empty()) return fail(f, "'" + path + "': not a file name");
  std::string why = spill_create(path, &f->spill);
  if (!why.empty()) return fail(f, why);
  return "";
}

std::string state_file_add_prompt(StateFile* f, int64_t index, const float* normed, const float* residual,
                                  const int32_t* ids, int32_t n) {
  if (!f->error.empty()) return f->error;
  if (f->spill == -1) return fail(f, f->path + ": the state file is not open");
  if (index < 0 || n < 1) return fail(f, f->path + ": prompt " + std::to_string(index) + " has no valid index or ids");
  if (f->indices.count(index)) return fail(f, f->path + ": prompt " + std::to_string(index) + " added twice");
  std::string why;
  if (!write_all(f->spill, normed, kStateTensorBytes, &why) || !write_all(f->spill, residual, kStateTensorBytes, &why) ||
      !write_all(f->spill, ids, uint64_t(n) * 4, &why))
    return fail(f, f->path + ": cannot write the states of prompt " + std::to_string(index) + ": " + why);
  f->data_bytes += 2 * kStateTensorBytes + uint64_t(n) * 4;
  f->prompts.push_back({index, n});
  f->indices.insert(index);
  return "";
}

std::string state_file_finish(StateFile* f, const std::string& prompts_json, const std::string& run_json) {
  if (!f->error.empty()) return f->error;
  if (f->spill == -1) return fail(f, f->path + ": the state file is not open");
  if (!nlohmann::json::accept(prompts_json) || !nlohmann::json::accept(run_json))
    return fail(f, f->path + ": the metadata is not valid JSON");
  std::string header;
  std::vector<char> buf;
  try {
    header = header_text(*f, prompts_json, run_json);
    buf.resize(kCopyChunk);
  } catch (const std::exception& e) {
    return fail(f, f->path + ": cannot build the header: " + e.what());
  }
  unsigned char length[8];
  for (int i = 0; i < 8; i++) length[i] = static_cast<unsigned char>(uint64_t(header.size()) >> (8 * i));

  TempOut out;
  std::string why = out_create(f->path, &out);
  if (!why.empty()) return fail(f, why);
  const std::string shown = out.name.empty() ? "the temporary file in " + f->folder : out.name;
  bool ok = write_all(out.h, length, 8, &why) && write_all(out.h, header.data(), header.size(), &why);
  for (uint64_t at = 0; ok && at < f->data_bytes; at += kCopyChunk) {
    size_t n = f->data_bytes - at < kCopyChunk ? size_t(f->data_bytes - at) : kCopyChunk;
    ok = read_at(f->spill, buf.data(), n, at, &why) && write_all(out.h, buf.data(), n, &why);
  }
  if (!ok) {
    out_discard(&out);
    return fail(f, shown + ": write failed: " + why);
  }
  why = out_place(&out, f->path);
  if (!why.empty()) return fail(f, why);
  state_file_abandon(f);
  return "";
}

void state_file_abandon(StateFile* f) {
  file_close(&f->spill);
  f->prompts.clear();
  f->indices.clear();
  f->data_bytes = 0;
}
