#include "probe/probe_tables.h"

#include <cstring>

namespace {
// The working tables: the module's only state, written once by load_probe_tables.
alignas(64) float probe_weights[kProbeAxes][kProbeDim];  // row k = direction of axis k
float probe_bias[kProbeAxes];
alignas(64) float probe_baseline[kProbeDim];
}  // namespace

void load_probe_tables() {
  // The blob is little-endian f32 and so is the machine: a plain copy is the decoding. The
  // assembler has already refused a blob of the wrong length.
  memcpy(probe_weights, probe_tables_bytes + kProbeWeightsOffset, sizeof probe_weights);
  memcpy(probe_bias, probe_tables_bytes + kProbeBiasOffset, sizeof probe_bias);
  memcpy(probe_baseline, probe_tables_bytes + kProbeBaselineOffset, sizeof probe_baseline);
}

const float* probe_weights_row(int axis) { return probe_weights[axis]; }

const float* probe_bias_values() { return probe_bias; }

const float* probe_baseline_values() { return probe_baseline; }
