// The probe tables as one little-endian f32 blob: weights (4 x 2048, row-major), bias (4),
// baseline (2048). This is the file the program embeds.
#pragma once

#include <cstdint>

#include "tools/probe_tables/telling_values.h"

inline constexpr int kTableFloats = kAxes * kDim + kAxes + kDim;
inline constexpr int kTableBytes = 4 * kTableFloats;  // 40976

struct ProbeTableSet {
  float weights[kAxes][kDim];  // row k = direction of axis k
  float bias[kAxes];
  float baseline[kDim];
};

// Needs: the tables. Writes kTableBytes bytes to out (caller's), each float as its four
// little-endian IEEE-754 bytes, whatever the host's byte order.
void encode_probe_tables(const ProbeTableSet& tables, uint8_t* out);

// Needs: a path and n bytes. Writes the file; returns false on any failure.
bool write_bytes(const char* path, const uint8_t* bytes, int n);
