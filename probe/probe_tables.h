// The probe in use: k unit directions with their biases and a baseline state, either one set of
// tables read at every depth or one per telemetry row. The embedded probe (four axes: Truth,
// Safety, Cert, Domain; one set of tables) is copied in at start-up unless a probe file replaces
// it; the module's only state is that probe, written once at start-up before any reading.
#pragma once

#include <cstdint>
#include <vector>

#include "model/weights_layout.h"

inline constexpr int kProbeAxes = 4;      // the embedded probe's axes
inline constexpr int kMaxProbeAxes = 8;   // a probe file's most
inline constexpr int kProbeNameBytes = 10;
inline constexpr int kProbeDim = int(geom::kDim);
inline constexpr int kProbeDepthTables = int(geom::kLayers);  // the per-depth form: row h reads table h
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

// One depth's tables (or every depth's); rows and biases past the probe's axes are zero.
struct ProbeTable {
  alignas(64) float weights[kMaxProbeAxes][kProbeDim];  // row a = direction of axis a
  float bias[kMaxProbeAxes];
  alignas(64) float baseline[kProbeDim];
};

// A whole probe: what the embedded blob or a probe file describes.
struct Probe {
  int axes = 0;                                    // k, 1 .. kMaxProbeAxes
  char names[kMaxProbeAxes][kProbeNameBytes + 1];  // matched without regard to case; JSON keys
  char labels[kMaxProbeAxes][kProbeNameBytes + 1]; // the telemetry header's column texts
  std::vector<ProbeTable> tables;                  // 1 (every depth) or kProbeDepthTables
};

// The axes each mode reads, as indexes into the probe's axes.
struct ProbeRoles {
  int gate = 3;   // the splice's decision (default: the axis named domain)
  int truth = 0;  // the splice vector's direction, the Truth shown in the splice line and row 15's note
  int audit = 0;  // the audit's readings
};

// Needs: nothing. Makes the embedded probe (names truth, safety, cert, domain; today's header
// texts) the probe in use, with the default roles. Start-up calls it once unless a probe file
// is given, before any reading and before the splice vector is built.
void load_probe_tables();

// Needs: p complete (1 .. 8 axes, 1 or 18 tables). Makes it the probe in use, default roles
// (which the caller then sets).
void use_probe(Probe p);

// Needs: a probe in use. Its axes, names, header texts; the index of the axis named `name`
// (ASCII case ignored), or -1.
int probe_axis_count();
const char* probe_axis_name(int axis);
const char* probe_axis_label(int axis);
int probe_axis_index(const char* name);

// Needs: a probe in use; row 0 .. 17 (telemetry row h = the state after layers 0 .. h). The
// tables that read that row: the one shared set, or the row's own.
const ProbeTable& probe_table(int row);
// The probe in use as it was given (for writing it out).
const Probe& probe_in_use();

// The roles the modes read; start-up sets them once after choosing the probe.
void set_probe_roles(const ProbeRoles& roles);
const ProbeRoles& probe_roles();

// Needs: a probe in use. Row 0's tables: axis `axis`'s direction (2048 f32), the biases
// (kMaxProbeAxes f32), the baseline (2048 f32); owned by this module, read-only.
const float* probe_weights_row(int axis);
const float* probe_bias_values();
const float* probe_baseline_values();
