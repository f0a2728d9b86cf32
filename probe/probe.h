// Reading a hidden state with the probe in use, and the 32-bit fingerprint of a state.
#pragma once

#include <cstdint>

#include "probe/probe_tables.h"

// One reading: value[a] is axis a's, for the probe's axes in its order; the rest are zero.
struct ProbeReading {
  float value[kMaxProbeAxes];
};

// Needs: a probe in use; hidden is 2048 f32 (caller's, read only); row 0 .. 17, the telemetry
// row the state belongs to (it picks the tables of a per-depth probe). Returns each axis's
// bias plus the projection of the centred, unit-scaled state on that axis. Pure: it writes
// nothing but its own 8 KiB scratch on the stack.
ProbeReading read_probe(const float* hidden, int row);

// The reading's two steps, for any tables. d (2048 f32, caller's) = state - baseline, divided by
// its length when that is above 1e-8; the rounded squares and quotients in ascending order.
void probe_centre_unit(const float* state, const float* baseline, float* d);
// bias plus the rounded products d[j] * w[j] added in ascending order (2048 of each).
float probe_axis_value(const float* d, const float* w, float bias);

// Needs: hidden is 2048 f32 (caller's, read only). Returns the FNV-1a hash of its 8192 bytes
// in memory order, so states that differ in any bit (the sign of a zero, a NaN payload)
// hash differently.
uint32_t state_hash(const float* hidden);
