// The probe's tables: four unit directions (Truth, Safety, Cert, Domain), four biases and the
// baseline state, embedded in the program and copied once at start-up into working tables.
#pragma once

#include <cstdint>

#include "model/weights_layout.h"

inline constexpr int kProbeAxes = 4;
inline constexpr int kProbeDim = int(geom::kDim);
// States and directions are scaled to unit length only when their norm is above this.
inline constexpr float kUnitNormThreshold = 1e-8f;

// Layout of the embedded blob: little-endian f32 weights (4 x 2048, row-major), bias (4),
// baseline (2048).
inline constexpr uint64_t kProbeWeightsOffset = 0;
inline constexpr uint64_t kProbeBiasOffset = 4 * kProbeAxes * kProbeDim;
inline constexpr uint64_t kProbeBaselineOffset = kProbeBiasOffset + 4 * kProbeAxes;
inline constexpr uint64_t kProbeTablesBytes = kProbeBaselineOffset + 4 * kProbeDim;

extern "C" {
extern const uint8_t probe_tables_bytes[];  // the embedded blob, 64-byte aligned, read-only
extern const uint64_t probe_tables_length;  // its length, kProbeTablesBytes
}

// Needs: nothing. Copies the embedded weights, biases and baseline into the working tables.
// Start-up calls it once, before any reading and before the splice vector is built.
void load_probe_tables();

// Needs: load_probe_tables has run. Returns row `axis` (0 truth, 1 safety, 2 cert, 3 domain)
// of the working probe_weights: 2048 f32, owned by this module, read-only.
const float* probe_weights_row(int axis);

// Needs: load_probe_tables has run. Returns the working probe_bias: 4 f32, owned here.
const float* probe_bias_values();

// Needs: load_probe_tables has run. Returns the working probe_baseline: 2048 f32, owned here.
const float* probe_baseline_values();
