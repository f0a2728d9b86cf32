#include <cmath>

#include "probe/probe.h"

// Every step below is one rounded single-precision operation in a fixed order; the printed
// readings depend on it, so the loops stay scalar and nothing is reassociated or fused.
void probe_centre_unit(const float* state, const float* baseline, float* d) {
  for (int j = 0; j < kProbeDim; j++) d[j] = state[j] - baseline[j];

  // Length: rounded squares summed in ascending order in one accumulator.
  float s = 0.0f;
  for (int j = 0; j < kProbeDim; j++) {
    const float sq = d[j] * d[j];
    s = s + sq;
  }
  const float n = std::sqrt(s);

  // A state (almost) at the baseline is read as it is rather than blown up to unit length;
  // a NaN length fails the test too and the NaNs then reach every field.
  if (n > kUnitNormThreshold) {
    for (int j = 0; j < kProbeDim; j++) d[j] = d[j] / n;  // true division, not * (1/n)
  }
}

float probe_axis_value(const float* d, const float* w, float bias) {
  float acc = bias;
  for (int j = 0; j < kProbeDim; j++) {
    const float p = d[j] * w[j];
    acc = acc + p;
  }
  return acc;
}

ProbeReading read_probe(const float* hidden, int row) {
  const ProbeTable& table = probe_table(row);
  float d[kProbeDim];  // the centred state, 8 KiB scratch
  probe_centre_unit(hidden, table.baseline, d);
  ProbeReading r{};
  for (int k = 0; k < probe_axis_count(); k++) r.value[k] = probe_axis_value(d, table.weights[k], table.bias[k]);
  return r;
}
