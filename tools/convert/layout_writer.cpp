#include "tools/convert/source_model.h"
#include "tools/convert/layout_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "tools/convert/sha256.h"
#include "tools/convert/tensor_binding.h"

namespace {

// Path of the named temporary output while it exists, for the signal handler. Plain storage:
// the handler may only read it and call unlink.
char g_partial_path[4096];
volatile sig_atomic_t g_partial_set = 0;

// The signals whose default action ends the process and that a user or a shell may send.
const int kEndingSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGALRM, SIGUSR1, SIGUSR2};

void on_signal(int sig) {
  if (g_partial_set) unlink(g_partial_path);
  // SA_RESETHAND has put the default action back and SA_NODEFER lets it act at once.
  raise(sig);
}

// Needs: nothing. Blocks the signals the handler serves, storing the previous mask in *before.
void hold_ending_signals(sigset_t* before) {
  sigset_t ending;
  sigemptyset(&ending);
  for (int sig : kEndingSignals) sigaddset(&ending, sig);
  sigprocmask(SIG_BLOCK, &ending, before);
}

// Needs: the named temporary output's path. Makes it the one the signal handler removes.
void set_partial_path(const std::string& path) {
  g_partial_set = 0;
  if (path.size() >= sizeof g_partial_path) return;
  memcpy(g_partial_path, path.c_str(), path.size() + 1);
  g_partial_set = 1;
}

// Needs: a folder and the new file's mode. Returns a file created there without a name, to
// be linked in once complete, or -1 when the file system (or a missing /proc, through which
// it is linked) does not allow that.
int create_unnamed(const std::string& folder, mode_t mode) {
#ifdef O_TMPFILE
  int fd = open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
  if (fd < 0) return -1;
  if (access(("/proc/self/fd/" + std::to_string(fd)).c_str(), F_OK) != 0) {
    close(fd);
    return -1;
  }
  return fd;
#else
  (void)folder;
  (void)mode;
  return -1;
#endif
}

// Needs: an unnamed file made by create_unnamed and a free name pattern's stem. Gives the
// file a fresh hidden name in its folder (a link cannot replace a file, a rename can) and
// stores it in *name; returns false with errno set.
bool link_unnamed(int fd, const std::string& stem, std::string* name) {
  const std::string proc = "/proc/self/fd/" + std::to_string(fd);
  for (int attempt = 0; attempt < 100; attempt++) {
    *name = stem + std::to_string(getpid()) + "-" + std::to_string(attempt);
    if (linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, name->c_str(), AT_SYMLINK_FOLLOW) == 0) return true;
    if (errno != EEXIST) return false;
  }
  return false;
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
  std::string partial;      // named temporary output path, empty when unnamed, renamed or removed
  std::string shown;        // how messages name the temporary output
};

void finish(Job* job, bool keep) {
  for (int fd : job->inputs)
    if (fd >= 0) close(fd);
  job->inputs.clear();
  if (job->out >= 0) close(job->out);
  job->out = -1;
  g_partial_set = 0;
  if (!keep && !job->partial.empty()) unlink(job->partial.c_str());
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
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
  for (int sig : kEndingSignals) {
    struct sigaction old {};
    if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;  // e.g. under nohup
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sa.sa_flags = SA_RESETHAND | SA_NODEFER;
    sigemptyset(&sa.sa_mask);
    sigaction(sig, &sa, nullptr);
  }
}

void remove_partial_output_now() {
  if (g_partial_set) unlink(g_partial_path);
  g_partial_set = 0;
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
  std::vector<unsigned char> in_buf(kChunkValues * 4);   // source values of one step, any type
  std::vector<unsigned char> out_buf(kChunkValues * 4);  // converted values (fp16 or f32)
  mode_t mask = umask(0);
  umask(mask);
  const std::string stem = folder + "/." + base_of(out_path) + ".partial-";
  job.out = create_unnamed(folder, 0666 & ~mask);
  if (job.out >= 0) {
    job.shown = "the temporary file in " + folder;
  } else {
    // Created and made known to the signal handler with the signals held back, so that no
    // signal comes between the two.
    std::string tmpl = stem + "XXXXXX";
    sigset_t before;
    hold_ending_signals(&before);
    job.out = mkostemp(tmpl.data(), O_CLOEXEC);
    int made_errno = errno;
    if (job.out >= 0) set_partial_path(tmpl);
    sigprocmask(SIG_SETMASK, &before, nullptr);
    if (job.out < 0) {
      *err = folder + ": cannot create a temporary file: " + strerror(made_errno);
      finish(&job, false);
      return false;
    }
    job.partial = job.shown = tmpl;
  }
  // Reserve the space up front so a full disk shows at once rather than after gigabytes.
  int rc = posix_fallocate(job.out, 0, static_cast<off_t>(total));
  if (rc != 0 && rc != EOPNOTSUPP && rc != EINVAL) {
    *err = job.shown + ": cannot reserve " + std::to_string(total) + " bytes: " + strerror(rc);
    finish(&job, false);
    return false;
  }

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
        *err = job.shown + ": write failed: " + strerror(errno);
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
    *err = job.shown + ": cannot flush: " + strerror(errno);
    finish(&job, false);
    return false;
  }
  // The written pages are handed back, so that the program's first run reads the file in
  // through its own mapping, which asks for 2 MiB pages: pages left over from writing stay
  // 4 KiB ones for as long as they are cached, and every token then reads about a tenth slower.
  posix_fadvise(job.out, 0, 0, POSIX_FADV_DONTNEED);
  fchmod(job.out, 0666 & ~mask);
  // Naming, closing and renaming run with the ending signals held back, so that no signal can
  // strike between them and leave the new name behind; one that comes meanwhile acts afterwards.
  sigset_t before;
  hold_ending_signals(&before);
  bool named = !job.partial.empty() || link_unnamed(job.out, stem, &job.partial);
  int named_errno = errno;
  // Some file systems report a failed write only at close: checked before anything is replaced.
  int closed = close(job.out);
  int close_errno = errno;
  job.out = -1;
  bool placed = named && closed == 0 && rename(job.partial.c_str(), out_path.c_str()) == 0;
  int rename_errno = errno;
  if (placed) job.partial.clear();
  finish(&job, placed);
  sigprocmask(SIG_SETMASK, &before, nullptr);
  if (!named) {
    *err = job.shown + ": cannot give the finished file a name: " + strerror(named_errno);
    return false;
  }
  if (closed != 0) {
    *err = job.shown + ": write failed when closing: " + strerror(close_errno);
    return false;
  }
  if (!placed) {
    *err = out_path + ": cannot rename the finished file into place: " + strerror(rename_errno);
    return false;
  }
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
