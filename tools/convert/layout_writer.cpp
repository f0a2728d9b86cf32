#include "tools/convert/source_model.h"
#include "tools/convert/layout_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "tools/convert/sha256.h"
#include "tools/convert/tensor_binding.h"

namespace {

// Path of the temporary output while it exists, for the signal handler. Plain storage: the
// handler may only read it and call unlink.
char g_partial_path[4096];
std::atomic<bool> g_partial_set{false};

void on_signal(int sig) {
  if (g_partial_set.load()) unlink(g_partial_path);
  signal(sig, SIG_DFL);
  raise(sig);
}

std::string folder_of(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string base_of(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}


bool write_all(int fd, const void* data, uint64_t n) {
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    ssize_t put = write(fd, p, n);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    p += put;
    n -= static_cast<uint64_t>(put);
  }
  return true;
}

// Everything the streaming loop owns; released by finish().
struct Job {
  std::vector<int> inputs;  // one fd per model file
  int out = -1;
  std::string partial;      // temporary output path, empty once renamed or removed
};

void finish(Job* job, bool keep) {
  for (int fd : job->inputs)
    if (fd >= 0) close(fd);
  job->inputs.clear();
  if (job->out >= 0) close(job->out);
  job->out = -1;
  if (!keep && !job->partial.empty()) unlink(job->partial.c_str());
  g_partial_set.store(false);
  job->partial.clear();
}

const char* bad_value_kind(DType t, const unsigned char* src, uint64_t i) {
  uint32_t bits = 0;
  if (t == DType::f32) {
    memcpy(&bits, src + 4 * i, 4);
    return (bits & 0x7FFFFFu) ? "NaN" : "infinite";
  }
  uint16_t h;
  memcpy(&h, src + 2 * i, 2);
  uint16_t mant_mask = t == DType::f16 ? 0x3FFu : 0x7Fu;
  return (h & mant_mask) ? "NaN" : "infinite";
}

}  // namespace

bool check_free_space(const std::string& folder, uint64_t needed, std::string* err) {
  struct statvfs fs {};
  if (statvfs(folder.c_str(), &fs) != 0) {
    *err = folder + ": " + strerror(errno);
    return false;
  }
  uint64_t avail = uint64_t(fs.f_bavail) * uint64_t(fs.f_frsize);
  if (avail < needed) {
    *err = folder + ": not enough free space: " + std::to_string(needed) + " bytes needed, " +
           std::to_string(avail) + " available";
    return false;
  }
  return true;
}

void remove_partial_output_on_signal() {
  signal(SIGINT, on_signal);
  signal(SIGTERM, on_signal);
  signal(SIGHUP, on_signal);
}

bool write_converted(const SourceModel& model, const ModelGeometry& g, const std::vector<PlannedTensor>& plan,
                     const std::vector<uint32_t>& source_of, const std::string& out_path, ProgressFn progress,
                     void* progress_ctx, ConvertReport* report, std::string* err) {
  *report = ConvertReport{};
  const uint64_t total = output_bytes(g);
  const std::string folder = folder_of(out_path);
  if (!check_free_space(folder, total, err)) return false;

  Job job;
  for (const auto& path : model.files) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      *err = path + ": " + strerror(errno);
      finish(&job, false);
      return false;
    }
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    job.inputs.push_back(fd);
  }
  std::string tmpl = folder + "/." + base_of(out_path) + ".partial-XXXXXX";
  job.out = mkstemp(tmpl.data());
  if (job.out < 0) {
    *err = folder + ": cannot create a temporary file: " + strerror(errno);
    finish(&job, false);
    return false;
  }
  job.partial = tmpl;
  if (job.partial.size() < sizeof g_partial_path) {
    memcpy(g_partial_path, job.partial.c_str(), job.partial.size() + 1);
    g_partial_set.store(true);
  }
  // Reserve the space up front so a full disk shows at once rather than after gigabytes.
  int rc = posix_fallocate(job.out, 0, static_cast<off_t>(total));
  if (rc != 0 && rc != EOPNOTSUPP && rc != EINVAL) {
    *err = job.partial + ": cannot reserve " + std::to_string(total) + " bytes: " + strerror(rc);
    finish(&job, false);
    return false;
  }

  std::vector<unsigned char> in_buf(kChunkValues * 4);  // source values of one step, any type
  std::vector<unsigned char> out_buf(kChunkValues * 4);  // converted values (fp16 or f32)
  Sha256 hash;
  sha256_init(&hash);
  uint64_t written = 0;
  for (size_t p = 0; p < plan.size(); p++) {
    const PlannedTensor& dst = plan[p];
    const SourceTensor& src = model.tensors[source_of[p]];
    const std::string where = model.files[src.file] + ": tensor " + src.name;
    if (written != dst.offset) {
      *err = "internal error: " + planned_tensor_label(dst) + " would land at " + std::to_string(written) +
             " instead of " + std::to_string(dst.offset);
      finish(&job, false);
      return false;
    }
    const uint64_t count = dst.rows * dst.cols;
    const uint64_t in_size = dtype_size(src.dtype);
    const bool norm = is_norm(dst.kind);
    for (uint64_t first = 0; first < count; first += kChunkValues) {
      uint64_t n = count - first < kChunkValues ? count - first : kChunkValues;
      if (!read_exact(job.inputs[src.file], in_buf.data(), n * in_size, src.offset + first * in_size)) {
        *err = where + ": file ends or cannot be read inside the tensor's data";
        finish(&job, false);
        return false;
      }
      uint64_t bad;
      uint64_t out_size;
      if (norm) {
        bad = convert_to_f32(src.dtype, in_buf.data(), n, reinterpret_cast<float*>(out_buf.data()),
                             model.norms_hold_one, &report->inexact_norms);
        out_size = 4 * n;
      } else {
        bad = convert_to_f16(src.dtype, in_buf.data(), n, reinterpret_cast<uint16_t*>(out_buf.data()),
                             &report->half);
        out_size = 2 * n;
      }
      if (bad != n) {
        *err = where + ": value " + std::to_string(first + bad) + " is " +
               bad_value_kind(src.dtype, in_buf.data(), bad);
        finish(&job, false);
        return false;
      }
      if (!write_all(job.out, out_buf.data(), out_size)) {
        *err = job.partial + ": write failed: " + strerror(errno);
        finish(&job, false);
        return false;
      }
      sha256_update(&hash, out_buf.data(), out_size);
      written += out_size;
      if (progress) progress(progress_ctx, written, total);
    }
  }
  if (written != total) {
    *err = "internal error: wrote " + std::to_string(written) + " bytes, the layout has " + std::to_string(total);
    finish(&job, false);
    return false;
  }
  if (fsync(job.out) != 0) {
    *err = job.partial + ": cannot flush: " + strerror(errno);
    finish(&job, false);
    return false;
  }
  // The written pages are handed back, so that the program's first run reads the file in
  // through its own mapping, which asks for 2 MiB pages: pages left over from writing stay
  // 4 KiB ones for as long as they are cached, and every token then reads about a tenth slower.
  posix_fadvise(job.out, 0, 0, POSIX_FADV_DONTNEED);
  mode_t mask = umask(0);
  umask(mask);
  fchmod(job.out, 0666 & ~mask);
  if (rename(job.partial.c_str(), out_path.c_str()) != 0) {
    *err = out_path + ": cannot rename the finished file into place: " + strerror(errno);
    finish(&job, false);
    return false;
  }
  job.partial.clear();
  finish(&job, true);
  // Make the rename itself durable.
  int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  report->bytes = written;
  report->sha256 = sha256_final_hex(&hash);
  return true;
}
