#include "engine/cpu_features.h"

#include <cpuid.h>

#include <cstdint>
#include <cstring>

namespace {
uint64_t read_xcr0() {
  uint32_t lo, hi;
  __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
  return (uint64_t(hi) << 32) | lo;
}

void append(char* buf, size_t cap, const char* name) {
  if (buf[0]) strncat(buf, ", ", cap - strlen(buf) - 1);
  strncat(buf, name, cap - strlen(buf) - 1);
}
}  // namespace

const char* missing_cpu_features() {
  static char missing[96];
  missing[0] = '\0';
  unsigned a = 0, b = 0, c = 0, d = 0;
  unsigned max_leaf = __get_cpuid_max(0, nullptr);
  if (max_leaf < 7 || !__get_cpuid(1, &a, &b, &c, &d)) return "AVX2, FMA, F16C (no extended CPUID)";
  bool fma = c & bit_FMA, f16c = c & bit_F16C, avx = c & bit_AVX, osxsave = c & bit_OSXSAVE;
  __cpuid_count(7, 0, a, b, c, d);
  bool avx2 = b & bit_AVX2;
  bool os_ymm = osxsave && (read_xcr0() & 0x6) == 0x6;  // XMM and YMM state enabled by the OS
  if (!avx2 || !avx) append(missing, sizeof missing, "AVX2");
  if (!fma) append(missing, sizeof missing, "FMA");
  if (!f16c) append(missing, sizeof missing, "F16C");
  if (!os_ymm) append(missing, sizeof missing, "operating-system support for 256-bit registers");
  return missing[0] ? missing : nullptr;
}

bool wide_kernels_supported() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (__get_cpuid_max(0, nullptr) < 7 || !__get_cpuid(1, &a, &b, &c, &d)) return false;
  if (!(c & bit_OSXSAVE) || missing_cpu_features() != nullptr) return false;
  // XMM, YMM, the opmask registers and both halves of the upper ZMM state.
  if ((read_xcr0() & 0xE6) != 0xE6) return false;
  __cpuid_count(7, 0, a, b, c, d);
  return (b & bit_AVX512F) && (b & bit_AVX512DQ) && (b & bit_AVX512VL) && (b & bit_AVX512BW);
}

bool wide_passes_preferred() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (!__get_cpuid(0, &a, &b, &c, &d)) return false;
  char vendor[13];
  std::memcpy(vendor, &b, 4);
  std::memcpy(vendor + 4, &d, 4);
  std::memcpy(vendor + 8, &c, 4);
  vendor[12] = '\0';
  if (std::strcmp(vendor, "AuthenticAMD") != 0 || !__get_cpuid(1, &a, &b, &c, &d)) return false;
  const unsigned family = ((a >> 8) & 0xF) + ((a >> 20) & 0xFF);  // base family 0xF plus the extended one
  return family == 0x19;
}
