// How much of a mapping the kernel maps in 2 MiB pages: the decode figures depend on it for the
// weights (4 KiB pages cost about a tenth of the products' speed), and the read reference on it
// for the fresh buffer, so the benchmarks print both.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace bench {

// What backs a mapping: a file's cached pages, or anonymous memory.
enum class PageKind { file, anonymous };

// Needs: base, the start of a mapping of this process. Returns the bytes of that mapping
// mapped in 2 MiB pages, or -1 when the kernel does not tell (no /proc/self/smaps).
inline int64_t large_page_bytes(const void* base, PageKind kind = PageKind::file) {
  const char* field = kind == PageKind::file ? "FilePmdMapped: %lld kB" : "AnonHugePages: %lld kB";
  std::FILE* f = std::fopen("/proc/self/smaps", "r");
  if (!f) return -1;
  char line[512];
  bool in_mapping = false;
  int64_t result = -1;
  while (std::fgets(line, sizeof line, f)) {
    unsigned long long start = 0, end = 0;
    // A mapping's header line: "start-end perms offset dev inode [path]".
    if (std::sscanf(line, "%llx-%llx ", &start, &end) == 2 && std::strchr(line, '-') < std::strchr(line, ' ')) {
      in_mapping = start == reinterpret_cast<uintptr_t>(base);
      continue;
    }
    long long kib = 0;
    if (in_mapping && std::sscanf(line, field, &kib) == 1) {
      result = kib * 1024;
      break;
    }
  }
  std::fclose(f);
  return result;
}

// Needs: the weights mapping (base, bytes), already read in. Prints its share in 2 MiB pages.
inline void print_large_pages(const void* base, uint64_t bytes) {
  const int64_t large = large_page_bytes(base);
  if (large < 0) {
    std::printf("weights mapping: page sizes unknown\n");
    return;
  }
  std::printf("weights mapping: %.1f %% in 2 MiB pages%s\n", 100.0 * double(large) / double(bytes),
              large * 10 < int64_t(bytes) * 9 ? " (the file's cached pages are 4 KiB ones, see the README)" : "");
}

}  // namespace bench
