// The operating-system services the program uses, behind one small interface.
// platform_posix.cpp implements it for Linux; a Win32 implementation sits beside it
// with the same declarations. Nothing here exposes an operating-system type.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "platform/abi.h"

// Directory separator of the host's paths.
#if defined(_WIN32)
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// Needs: nothing. Does: makes standard output unbuffered and the console UTF-8 (output
// first, then input). A missing console is not an error. Returns false only when the
// output stream cannot be switched to unbuffered mode.
bool console_setup();

// True when the stream is an interactive terminal (a console on Windows).
bool stream_is_terminal(FILE* stream);

// Needs: nothing written to standard output yet. Gives the records a stream of their own on
// what standard output was, and points standard output at standard error, so that start-up
// lines and fatal lines are still seen. Returns null when that cannot be done.
FILE* take_standard_output();

// Points standard output at the null device; false when that cannot be done. From then on
// fatal lines, the weights fault's among them, go to standard error.
bool silence_standard_output();

// Where a fatal line goes: standard output, or standard error once it is silenced.
FILE* fatal_stream();

// The process's argument list, element 0 being the program.
struct ArgList {
  int count;       // number of arguments, 0 when the list could not be obtained
  void* native;    // owned by the implementation until args_release
};

// Needs: the argc/argv that main received (used where the system passes arguments that
// way). Writes: list. Returns false when no list can be obtained (count is then 0).
bool args_acquire(ArgList* list, int argc, char** argv);

// Needs: 0 <= index < list->count, cap >= 1. Writes argument `index` as NUL-terminated
// UTF-8 into buf; an argument that does not fit in cap - 1 bytes is cut at the last whole
// UTF-8 character that fits. Returns the number of bytes written before the NUL.
size_t args_get_utf8(const ArgList* list, int index, char* buf, size_t cap);

// Releases what args_acquire obtained; the list is empty afterwards.
void args_release(ArgList* list);

// True when a file-system entry (file or directory) exists at path.
bool path_exists(const char* path);

// What a path names, as far as mapping it goes: only a regular file can be mapped.
enum class FileKind { regular, directory, fifo, socket, device, other };

// A whole file mapped privately into memory; the file is never written through it.
struct MappedFile {
  const uint8_t* base;  // first byte of the view, null when not mapped
  uint64_t size;        // the file's size in bytes
  FileKind kind;        // what the path named (regular when it could not be told)
};

enum class MapStatus { ok, open_failed, map_failed };

// Needs: a path. Looks at what the path names first, then opens the file read-only (sharing
// reading and writing with others) and maps the whole of it as a private view. Writes out on
// success; *error receives the system's error number when the open fails (2 = not found, as
// on every supported system). A directory or other non-regular file is never opened (a FIFO
// would block): it counts as an open failure, out->kind says what it is and *error is the
// system's "is a directory" or "no such device" number.
MapStatus map_file_private(const char* path, MappedFile* out, unsigned long* error);

// Writes the system's own one-line description of error number `code` into buf (cap >= 1,
// NUL-terminated, no line end).
void system_error_text(unsigned long code, char* buf, size_t cap);

// Needs: a mapping from map_file_private and a NUL-terminated line that outlives the
// process's use of it. From now on a read of [base, base + size) that faults because the file
// shrank under the mapping writes `line` to standard output and ends the process with status
// 1, from whichever thread made the read. Other faults keep their default effect. Returns
// false when the handler cannot be installed.
bool report_mapping_faults(const void* base, uint64_t size, const char* line);

// Committed, zero-filled, read-write pages of at least size bytes, page-aligned.
// Returns null on failure. Never freed.
void* pages_alloc(size_t size);

// Copies len bytes of machine code into fresh pages of at least alloc bytes (alloc >= len),
// then makes them read-execute: the memory is never writable and executable at once.
// Returns the first byte of the copy, or null on failure. Never freed.
void* exec_memory_create(const void* code, size_t len, size_t alloc);

// The start routine of a worker thread: takes the thread parameter, returns an exit code.
typedef uint32_t(KV_ABI* ThreadRoutine)(void* param);

// Starts a detached thread that runs routine(param) at once with the default stack size.
// Returns false when the thread cannot be created.
bool thread_start(ThreadRoutine routine, void* param);

// Number of hardware threads the process may run on (at least 1).
unsigned hardware_threads();

// Blocks while *addr == expected (it may also return spuriously). Used by parked workers.
void KV_ABI address_wait(uint32_t* addr, uint32_t expected);
// Wakes one thread blocked in address_wait on addr.
void KV_ABI address_wake_one(uint32_t* addr);

// CPU time (user + system) the whole process has used so far, in microseconds.
uint64_t process_cpu_micros();

// A zero-filled heap block of size bytes aligned to 64 bytes, or null. Never freed.
void* aligned_alloc64(size_t size);
