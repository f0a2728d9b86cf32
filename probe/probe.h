// Reading a hidden state with the four-axis probe, and the 32-bit fingerprint of a state.
#pragma once

#include <cstdint>

#include "probe/probe_tables.h"

// One reading, one field per axis, always in this order.
struct ProbeReading {
  float truth;
  float safety;
  float cert;
  float domain;
};

// Needs: load_probe_tables has run; hidden is 2048 f32 (caller's, read only). Returns each
// axis's bias plus the projection of the centred, unit-scaled state on that axis. Pure: it
// writes nothing but its own 8 KiB scratch on the stack.
ProbeReading read_probe(const float* hidden);

// Needs: hidden is 2048 f32 (caller's, read only). Returns the FNV-1a hash of its 8192 bytes
// in memory order, so states that differ in any bit (the sign of a zero, a NaN payload)
// hash differently.
uint32_t state_hash(const float* hidden);
