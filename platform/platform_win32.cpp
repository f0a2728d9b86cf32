// Windows implementation of the platform interface (Windows 10 or later, x86-64).
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0A00  // WaitOnAddress and WakeByAddressSingle need Windows 8 or later
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <shellapi.h>

#include <fcntl.h>
#include <io.h>
#include <malloc.h>

#include <cstdio>
#include <cstring>

#include "platform/fault_report.h"
#include "platform/platform.h"

bool console_setup() {
  if (setvbuf(stdout, nullptr, _IONBF, 0) != 0) return false;
  // Both calls fail when there is no console (output to a file or a pipe); the bytes the
  // program writes are UTF-8 either way, so that is not an error.
  SetConsoleOutputCP(CP_UTF8);
  SetConsoleCP(CP_UTF8);
  return true;
}

bool stream_is_terminal(FILE* stream) { return _isatty(_fileno(stream)) != 0; }

FILE* take_standard_output() {
  const int records = _dup(_fileno(stdout));
  if (records < 0) return nullptr;
  FILE* out = _fdopen(records, "wb");
  if (!out || _dup2(_fileno(stderr), _fileno(stdout)) != 0) {
    if (out) fclose(out); else _close(records);
    return nullptr;
  }
  return out;
}

namespace {
// Set once by silence_standard_output; read by fatal_stream and the fault filter.
volatile LONG output_silenced = 0;
}  // namespace

bool silence_standard_output() {
  const int null_fd = _open("NUL", _O_WRONLY);
  if (null_fd < 0) return false;
  const bool ok = _dup2(null_fd, _fileno(stdout)) == 0;
  _close(null_fd);
  if (ok) output_silenced = 1;
  return ok;
}

FILE* fatal_stream() { return output_silenced ? stderr : stdout; }

bool args_acquire(ArgList* list, int, char**) {
  // The wide command line, not main's argv: argv is in the ANSI code page, which may not be
  // able to spell the user's words.
  int count = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!argv || count <= 0) {
    if (argv) LocalFree(argv);
    list->count = 0;
    list->native = nullptr;
    return false;
  }
  list->count = count;
  list->native = argv;
  return true;
}

namespace {
// Needs: a NUL-terminated UTF-16 string. Returns how many of its code units convert to at
// most `limit` bytes of UTF-8 without splitting a character; *bytes receives that length.
// A lone surrogate converts to U+FFFD (3 bytes), as WideCharToMultiByte does.
int units_that_fit(const wchar_t* w, size_t limit, size_t* bytes) {
  size_t used = 0;
  int i = 0;
  while (w[i]) {
    unsigned u = w[i];
    int step = 1;
    size_t size = u < 0x80 ? 1 : u < 0x800 ? 2 : 3;
    if (u >= 0xD800 && u < 0xDC00 && w[i + 1] >= 0xDC00 && w[i + 1] < 0xE000) {
      step = 2;
      size = 4;
    }
    if (used + size > limit) break;
    used += size;
    i += step;
  }
  *bytes = used;
  return i;
}
}  // namespace

size_t args_get_utf8(const ArgList* list, int index, char* buf, size_t cap) {
  const wchar_t* arg = static_cast<LPWSTR*>(list->native)[index];
  size_t bytes = 0;
  int units = units_that_fit(arg, cap - 1, &bytes);
  int written = units ? WideCharToMultiByte(CP_UTF8, 0, arg, units, buf, static_cast<int>(cap - 1), nullptr, nullptr)
                      : 0;
  if (written < 0) written = 0;
  buf[written] = '\0';
  return static_cast<size_t>(written);
}

void args_release(ArgList* list) {
  if (list->native) LocalFree(list->native);
  list->count = 0;
  list->native = nullptr;
}

bool path_exists(const char* path) { return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

MapStatus map_file_private(const char* path, MappedFile* out, unsigned long* error) {
  out->base = nullptr;
  out->size = 0;
  out->kind = FileKind::regular;
  // A directory is refused before any open, with the number the open would give (access denied).
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    out->kind = FileKind::directory;
    *error = ERROR_ACCESS_DENIED;
    return MapStatus::open_failed;
  }
  // Read access is all the view needs: a copy-on-write mapping asks only for GENERIC_READ,
  // so a read-only weights file opens too.
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = GetLastError();
    return MapStatus::open_failed;
  }
  // A device or pipe name ("CON", "\\.\pipe\...") opens but is no file to map.
  const DWORD type = GetFileType(file);
  if (type != FILE_TYPE_DISK) {
    out->kind = type == FILE_TYPE_PIPE ? FileKind::fifo : FileKind::device;
    *error = ERROR_BAD_DEVICE;
    CloseHandle(file);
    return MapStatus::open_failed;
  }
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file, &size)) {
    *error = GetLastError();
    CloseHandle(file);
    return MapStatus::open_failed;
  }
  out->size = static_cast<uint64_t>(size.QuadPart);
  // An empty file cannot be mapped at all; the caller's size check refuses it.
  if (out->size == 0) {
    CloseHandle(file);
    return MapStatus::ok;
  }
  // The handle, the mapping and the view live until the process ends. A failed mapping shows
  // as a failed view.
  HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_WRITECOPY, 0, 0, nullptr);
  void* view = mapping ? MapViewOfFile(mapping, FILE_MAP_COPY, 0, 0, 0) : nullptr;
  if (!view) {
    *error = GetLastError();
    out->size = 0;
    return MapStatus::map_failed;
  }
  out->base = static_cast<const uint8_t*>(view);
  return MapStatus::ok;
}

void system_error_text(unsigned long code, char* buf, size_t cap) {
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buf,
                           static_cast<DWORD>(cap), nullptr);
  if (n == 0) {
    snprintf(buf, cap, "system error %lu", code);
    return;
  }
  // The system's text ends with a line end (and often a full stop): one line is wanted.
  while (n > 0 && (buf[n - 1] == '\r' || buf[n - 1] == '\n' || buf[n - 1] == ' ' || buf[n - 1] == '.')) buf[--n] = '\0';
}

namespace {
FaultReport fault_report;

LONG WINAPI on_page_error(EXCEPTION_POINTERS* info) {
  const EXCEPTION_RECORD* record = info->ExceptionRecord;
  // A page of the view that cannot be read in: the file behind it shrank or went away.
  if (record->ExceptionCode == EXCEPTION_IN_PAGE_ERROR && record->NumberParameters >= 2) {
    const uintptr_t at = static_cast<uintptr_t>(record->ExceptionInformation[1]);
    if (fault_is_ours(fault_report, at)) {
      DWORD written = 0;
      WriteFile(GetStdHandle(output_silenced ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE), fault_report.line, static_cast<DWORD>(fault_report.length), &written,
                nullptr);
      ExitProcess(1);
    }
  }
  return EXCEPTION_CONTINUE_SEARCH;
}
}  // namespace

bool report_mapping_faults(const void* base, uint64_t size, const char* line) {
  fault_report = fault_report_of(base, size, line);
  return AddVectoredExceptionHandler(1, on_page_error) != nullptr;
}

void* pages_alloc(size_t size) { return VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE); }

void* exec_memory_create(const void* code, size_t len, size_t alloc) {
  if (alloc < len) return nullptr;
  void* p = pages_alloc(alloc);
  if (!p) return nullptr;
  memcpy(p, code, len);
  DWORD old = 0;
  if (!VirtualProtect(p, alloc, PAGE_EXECUTE_READ, &old)) {
    VirtualFree(p, 0, MEM_RELEASE);
    return nullptr;
  }
  FlushInstructionCache(GetCurrentProcess(), p, len);
  return p;
}

bool thread_start(ThreadRoutine routine, void* param) {
  // A ThreadRoutine is already a Windows thread start routine: one pointer argument and a
  // 32-bit result in the Microsoft convention, so the thread starts at its first byte.
  auto start = reinterpret_cast<LPTHREAD_START_ROUTINE>(reinterpret_cast<void*>(routine));
  HANDLE thread = CreateThread(nullptr, 0, start, param, 0, nullptr);
  if (!thread) return false;
  CloseHandle(thread);  // the thread runs on; nothing ever waits for it
  return true;
}

unsigned hardware_threads() {
  DWORD_PTR process_mask = 0, system_mask = 0;
  if (GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask) && process_mask) {
    return static_cast<unsigned>(__builtin_popcountll(process_mask));
  }
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwNumberOfProcessors > 0 ? info.dwNumberOfProcessors : 1u;
}

void address_wait(uint32_t* addr, uint32_t expected) { WaitOnAddress(addr, &expected, sizeof expected, INFINITE); }

void address_wake_one(uint32_t* addr) { WakeByAddressSingle(addr); }

uint64_t process_cpu_micros() {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
  auto ticks = [](const FILETIME& t) { return (uint64_t(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
  return (ticks(kernel) + ticks(user)) / 10;  // 100-nanosecond ticks
}

void* aligned_alloc64(size_t size) {
  void* p = _aligned_malloc(size, 64);
  if (p) memset(p, 0, size);
  return p;
}
