#include "driver/probe_setup.h"

#include <string>

#include "driver/startup.h"
#include "probe/probe_file.h"
#include "probe/probe_tables.h"

namespace {
// The index of the axis `given` (or `fallback` when no name was given) names; fatal when the
// probe has none of that name.
int axis_for(const char* given, const char* fallback, const char* role) {
  const char* name = given[0] != '\0' ? given : fallback;
  const int axis = probe_axis_index(name);
  if (axis < 0) {
    std::string axes;
    for (int a = 0; a < probe_axis_count(); a++) axes += std::string(a ? ", " : "") + probe_axis_name(a);
    fatal("The probe has no axis named \"%.40s\" for %s (its axes: %s)", name, role, axes.c_str());
  }
  return axis;
}
}  // namespace

void set_up_probe(const RunOptions& opts) {
  if (opts.probe_path[0] == '\0') {
    load_probe_tables();
  } else {
    Probe p;
    const std::string why = read_probe_file(opts.probe_path, &p);
    if (!why.empty()) fatal("The probe file %s is refused: %s", opts.probe_path, why.c_str());
    use_probe(std::move(p));
  }
  ProbeRoles roles = probe_roles();
  roles.truth = axis_for(opts.truth_axis, "truth", "the splice vector and Truth readings (--truth-axis NAME)");
  if ((opts.splice_substitute && !opts.audit_heads) || steering_gated(opts)) {
    roles.gate = axis_for(opts.gate_axis, "domain", "the splice's gate (--gate NAME)");
  }
  if (opts.audit_heads) roles.audit = axis_for(opts.audit_axis, "truth", "the audit (--audit-axis NAME)");
  set_probe_roles(roles);
}
