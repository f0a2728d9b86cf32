#include "probe/probe_tables.h"

#include <cstdio>
#include <cstring>
#include <utility>

namespace {
// The probe in use and the axes the modes read: the module's only state, set at start-up.
Probe in_use;
ProbeRoles roles;

char lower(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

bool same_name(const char* a, const char* b) {
  for (; *a && *b; a++, b++)
    if (lower(*a) != lower(*b)) return false;
  return *a == *b;
}
}  // namespace

void load_probe_tables() {
  static const char* const kNames[kProbeAxes] = {"truth", "safety", "cert", "domain"};
  static const char* const kLabels[kProbeAxes] = {"Truth (T)", "Safety (S)", "Cert (C)", "Domain (D)"};
  Probe p;
  p.axes = kProbeAxes;
  for (int a = 0; a < kProbeAxes; a++) {
    snprintf(p.names[a], sizeof p.names[a], "%s", kNames[a]);
    snprintf(p.labels[a], sizeof p.labels[a], "%s", kLabels[a]);
  }
  p.tables.resize(1);
  ProbeTable& t = p.tables[0];
  memset(&t, 0, sizeof t);
  // The blob is little-endian f32 and so is the machine: a plain copy is the decoding. The
  // assembler has already refused a blob of the wrong length.
  for (int a = 0; a < kProbeAxes; a++)
    memcpy(t.weights[a], probe_tables_bytes + kProbeWeightsOffset + 4 * uint64_t(a) * kProbeDim, 4 * kProbeDim);
  memcpy(t.bias, probe_tables_bytes + kProbeBiasOffset, 4 * kProbeAxes);
  memcpy(t.baseline, probe_tables_bytes + kProbeBaselineOffset, sizeof t.baseline);
  use_probe(std::move(p));
}

void use_probe(Probe p) {
  in_use = std::move(p);
  const int gate = probe_axis_index("domain"), truth = probe_axis_index("truth");
  roles = ProbeRoles{gate >= 0 ? gate : 0, truth >= 0 ? truth : 0, truth >= 0 ? truth : 0};
}

int probe_axis_count() { return in_use.axes; }

const char* probe_axis_name(int axis) { return in_use.names[axis]; }

const char* probe_axis_label(int axis) { return in_use.labels[axis]; }

int probe_axis_index(const char* name) {
  for (int a = 0; a < in_use.axes; a++)
    if (same_name(in_use.names[a], name)) return a;
  return -1;
}

const ProbeTable& probe_table(int row) { return in_use.tables.size() == 1 ? in_use.tables[0] : in_use.tables[size_t(row)]; }

const Probe& probe_in_use() { return in_use; }

void set_probe_roles(const ProbeRoles& r) { roles = r; }

const ProbeRoles& probe_roles() { return roles; }

const float* probe_weights_row(int axis) { return probe_table(0).weights[axis]; }

const float* probe_bias_values() { return probe_table(0).bias; }

const float* probe_baseline_values() { return probe_table(0).baseline; }
