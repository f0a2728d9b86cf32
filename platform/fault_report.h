// What the handler for faults inside the weights mapping reports. A signal handler or an
// exception filter takes no argument of ours, so the record lives in one static of each
// platform file: written once before the handler is installed, only read afterwards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

struct FaultReport {
  uintptr_t begin, end;  // the mapped range
  const char* line;      // the fatal line, NUL-terminated, living for the process
  size_t length;         // its bytes
};

// Needs: line lives for the process. The record of a mapping of `size` bytes at base.
inline FaultReport fault_report_of(const void* base, uint64_t size, const char* line) {
  const uintptr_t begin = reinterpret_cast<uintptr_t>(base);
  return FaultReport{begin, begin + size, line, strlen(line)};
}

// Whether the faulting address lies in the mapping.
inline bool fault_is_ours(const FaultReport& r, uintptr_t at) { return at >= r.begin && at < r.end; }
