// Linux implementation of the platform interface.
#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/fault_report.h"
#include "platform/platform.h"
#include "platform/utf8.h"

bool console_setup() {
  // A POSIX terminal takes the program's UTF-8 bytes as they are: no code page to set.
  return setvbuf(stdout, nullptr, _IONBF, 0) == 0;
}

bool stream_is_terminal(FILE* stream) { return isatty(fileno(stream)) == 1; }

FILE* take_standard_output() {
  const int records = dup(STDOUT_FILENO);
  if (records < 0) return nullptr;
  FILE* out = fdopen(records, "wb");
  if (!out || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
    if (out) fclose(out); else close(records);
    return nullptr;
  }
  fcntl(records, F_SETFD, FD_CLOEXEC);
  return out;
}

namespace {
// Set once by silence_standard_output; read by fatal_stream and the fault handler.
volatile sig_atomic_t output_silenced = 0;
}  // namespace

bool silence_standard_output() {
  const int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null_fd < 0) return false;
  const bool ok = dup2(null_fd, STDOUT_FILENO) >= 0;
  close(null_fd);
  if (ok) output_silenced = 1;
  return ok;
}

FILE* fatal_stream() { return output_silenced ? stderr : stdout; }

bool args_acquire(ArgList* list, int argc, char** argv) {
  list->count = (argc > 0 && argv) ? argc : 0;
  list->native = list->count ? argv : nullptr;
  return list->count > 0;
}

size_t args_get_utf8(const ArgList* list, int index, char* buf, size_t cap) {
  const char* arg = static_cast<char**>(list->native)[index];
  size_t len = utf8_fit(arg, strlen(arg), cap - 1);
  memcpy(buf, arg, len);
  buf[len] = '\0';
  return len;
}

void args_release(ArgList* list) {
  list->count = 0;
  list->native = nullptr;
}

bool path_exists(const char* path) {
  struct stat st;
  return stat(path, &st) == 0;
}

namespace {
FileKind kind_of(mode_t mode) {
  if (S_ISREG(mode)) return FileKind::regular;
  if (S_ISDIR(mode)) return FileKind::directory;
  if (S_ISFIFO(mode)) return FileKind::fifo;
  if (S_ISSOCK(mode)) return FileKind::socket;
  if (S_ISCHR(mode) || S_ISBLK(mode)) return FileKind::device;
  return FileKind::other;
}

// Records what a non-regular path is and the error number that stands for it.
MapStatus refuse_kind(const struct stat& st, MappedFile* out, unsigned long* error) {
  out->kind = kind_of(st.st_mode);
  *error = out->kind == FileKind::directory ? EISDIR : ENODEV;
  return MapStatus::open_failed;
}
}  // namespace

MapStatus map_file_private(const char* path, MappedFile* out, unsigned long* error) {
  out->base = nullptr;
  out->size = 0;
  out->kind = FileKind::regular;
  // The type first: opening a FIFO would wait for a writer, opening a device may act on it.
  struct stat st;
  if (stat(path, &st) != 0) {
    *error = static_cast<unsigned long>(errno);
    return MapStatus::open_failed;
  }
  if (!S_ISREG(st.st_mode)) return refuse_kind(st, out, error);
  // Non-blocking, in case a FIFO took the file's place since the look; it is checked again.
  int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    *error = static_cast<unsigned long>(errno);
    return MapStatus::open_failed;
  }
  if (fstat(fd, &st) != 0) {
    *error = static_cast<unsigned long>(errno);
    close(fd);
    return MapStatus::open_failed;
  }
  if (!S_ISREG(st.st_mode)) {
    close(fd);
    return refuse_kind(st, out, error);
  }
  out->size = static_cast<uint64_t>(st.st_size);
  if (out->size == 0) {  // nothing to map; the caller's size check refuses it
    close(fd);
    return MapStatus::ok;
  }
  // Private and read-only: the program never writes the weights, and a stray write
  // faults instead of silently copying a page.
  void* view = mmap(nullptr, out->size, PROT_READ, MAP_PRIVATE | MAP_NORESERVE, fd, 0);
  close(fd);  // the mapping keeps the file alive
  if (view == MAP_FAILED) {
    *error = static_cast<unsigned long>(errno);
    out->size = 0;
    return MapStatus::map_failed;
  }
  // Every token streams the whole file, so the fewer translations the better: where the kernel
  // keeps the file's cache in 2 MiB pages (read in through a mapping so marked), they are
  // mapped whole, the first touch costs one fault per 2 MiB instead of 512, and the products
  // read about a tenth faster. Only a hint: where it is not supported nothing changes.
  madvise(view, out->size, MADV_HUGEPAGE);
  out->base = static_cast<const uint8_t*>(view);
  return MapStatus::ok;
}

void system_error_text(unsigned long code, char* buf, size_t cap) {
  snprintf(buf, cap, "%s", strerror(static_cast<int>(code)));
}

namespace {
FaultReport fault_report;

void on_bus_error(int sig, siginfo_t* info, void*) {
  const uintptr_t at = reinterpret_cast<uintptr_t>(info->si_addr);
  if (fault_is_ours(fault_report, at)) {
    // A page past the file's new end: the weights shrank under the mapping.
    ssize_t written = write(output_silenced ? STDERR_FILENO : STDOUT_FILENO, fault_report.line, fault_report.length);
    (void)written;  // nothing more can be done about a failed write here
    _exit(1);
  }
  // Not ours: the faulting read runs again under the default action.
  signal(sig, SIG_DFL);
}
}  // namespace

bool report_mapping_faults(const void* base, uint64_t size, const char* line) {
  fault_report = fault_report_of(base, size, line);
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_sigaction = on_bus_error;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  return sigaction(SIGBUS, &action, nullptr) == 0;
}

void* pages_alloc(size_t size) {
  void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}

void* exec_memory_create(const void* code, size_t len, size_t alloc) {
  if (alloc < len) return nullptr;
  void* p = pages_alloc(alloc);
  if (!p) return nullptr;
  memcpy(p, code, len);
  if (mprotect(p, alloc, PROT_READ | PROT_EXEC) != 0) {
    munmap(p, alloc);
    return nullptr;
  }
  __builtin___clear_cache(static_cast<char*>(p), static_cast<char*>(p) + len);
  return p;
}

namespace {
struct ThreadStart {
  ThreadRoutine routine;
  void* param;
};

void* thread_trampoline(void* raw) {
  ThreadStart start = *static_cast<ThreadStart*>(raw);
  delete static_cast<ThreadStart*>(raw);
  // The routine's 32-bit exit code is widened here, never passed on as a raw register.
  uint32_t code = start.routine(start.param);
  return reinterpret_cast<void*>(static_cast<uintptr_t>(code));
}
}  // namespace

bool thread_start(ThreadRoutine routine, void* param) {
  auto* start = new (std::nothrow) ThreadStart{routine, param};
  if (!start) return false;
  pthread_t thread;
  if (pthread_create(&thread, nullptr, thread_trampoline, start) != 0) {
    delete start;
    return false;
  }
  pthread_detach(thread);
  return true;
}

unsigned hardware_threads() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<unsigned>(n);
  }
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<unsigned>(n) : 1u;
}

void address_wait(uint32_t* addr, uint32_t expected) {
  syscall(SYS_futex, addr, FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}

void address_wake_one(uint32_t* addr) {
  syscall(SYS_futex, addr, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

uint64_t process_cpu_micros() {
  struct rusage ru;
  if (getrusage(RUSAGE_SELF, &ru) != 0) return 0;
  auto us = [](const timeval& t) { return uint64_t(t.tv_sec) * 1000000u + uint64_t(t.tv_usec); };
  return us(ru.ru_utime) + us(ru.ru_stime);
}

void* aligned_alloc64(size_t size) {
  void* p = nullptr;
  if (posix_memalign(&p, 64, size) != 0) return nullptr;
  memset(p, 0, size);
  return p;
}
