#include "tools/probe_tables/table_file.h"

#include <bit>
#include <cstdio>

namespace {
// Needs: a cursor into a buffer with 4 bytes left. Writes v little-endian and advances it.
void put_f32(float v, uint8_t** at) {
  const uint32_t bits = std::bit_cast<uint32_t>(v);
  for (int b = 0; b < 4; b++) *(*at)++ = static_cast<uint8_t>(bits >> (8 * b));
}
}  // namespace

void encode_probe_tables(const ProbeTableSet& tables, uint8_t* out) {
  uint8_t* at = out;
  for (int k = 0; k < kAxes; k++)
    for (int j = 0; j < kDim; j++) put_f32(tables.weights[k][j], &at);
  for (int k = 0; k < kAxes; k++) put_f32(tables.bias[k], &at);
  for (int j = 0; j < kDim; j++) put_f32(tables.baseline[j], &at);
}

bool write_bytes(const char* path, const uint8_t* bytes, int n) {
  FILE* f = fopen(path, "wb");
  if (!f) return false;
  const bool wrote = fwrite(bytes, 1, n, f) == static_cast<size_t>(n);
  return fclose(f) == 0 && wrote;
}
