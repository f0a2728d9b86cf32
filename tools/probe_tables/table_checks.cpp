#include "tools/probe_tables/table_checks.h"

#include <bit>
#include <cmath>
#include <cstring>

#include "tools/probe_tables/f32_sums.h"

namespace {
// True when a and b are the same f32, bit for bit.
bool same_bits(float a, float b) { return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b); }

// Needs: n floats. True when v[index] has the given value and every other element is
// strictly smaller in magnitude.
bool unique_maximum(const float* v, int n, int index, float value) {
  if (!same_bits(v[index], value)) return false;
  for (int j = 0; j < n; j++)
    if (j != index && std::fabs(v[j]) >= std::fabs(value)) return false;
  return true;
}

// Prints what failed when ok is false; returns ok.
bool note(FILE* report, bool ok, const char* what) {
  if (!ok) fprintf(report, "FAILED: %s\n", what);
  return ok;
}
}  // namespace

bool check_probe_tables(const ProbeTableSet& t, const bool free_mask[kDim], FILE* report) {
  bool ok = true;
  double worst_norm64 = 0.0, worst_dot64 = 0.0, worst_dot32 = 0.0, largest_free = 0.0;
  for (int k = 0; k < kAxes; k++) {
    const float* row = t.weights[k];
    for (int j = 0; j < 4; j++) ok &= note(report, same_bits(row[j], kPinnedRows[k].first[j]), "pinned entry");
    ok &= note(report, unique_maximum(row, kDim, kPinnedRows[k].max_index, kPinnedRows[k].max_value),
               "row maximum");
    for (int j = 0; j < kDim; j++)
      if (free_mask[j]) largest_free = std::fmax(largest_free, std::fabs(row[j]));

    const double norm64 = std::sqrt(exact_sum_squares(row, kDim));
    const float s32 = f32_sum_squares(row, kDim);
    fprintf(report, "row %d: exact norm - 1 = %+.3e, f32 sum of squares = %.9g (sqrtf %.9g)\n", k,
            norm64 - 1.0, s32, std::sqrt(s32));
    worst_norm64 = std::fmax(worst_norm64, std::fabs(norm64 - 1.0));
    ok &= note(report, std::fabs(norm64 - 1.0) < kNormBound, "exact norm");
    ok &= note(report, std::fabs(static_cast<double>(std::sqrt(s32)) - 1.0) < kNormBound, "f32 norm");

    for (int l = k + 1; l < kAxes; l++) {
      const double d64 = exact_dot(row, t.weights[l], kDim);
      const float d32 = f32_dot(row, t.weights[l], kDim);
      fprintf(report, "rows %d.%d: exact dot %+.3e, f32 dot %+.3e\n", k, l, d64, d32);
      worst_dot64 = std::fmax(worst_dot64, std::fabs(d64));
      worst_dot32 = std::fmax(worst_dot32, std::fabs(static_cast<double>(d32)));
      ok &= note(report, std::fabs(d64) < kDotBound, "exact dot");
      ok &= note(report, std::fabs(static_cast<double>(d32)) < kDotBound, "f32 dot");
    }
  }
  fprintf(report, "worst: |norm-1| %.3e, |dot| %.3e (f32 %.3e), largest free entry %.6f\n",
          worst_norm64, worst_dot64, worst_dot32, largest_free);
  ok &= note(report, largest_free <= kFreeLimit, "free entries below the limit");

  for (int k = 0; k < kAxes; k++)
    ok &= note(report, std::bit_cast<uint32_t>(t.bias[k]) == kBiasBits[k], "bias bits");

  for (int j = 0; j < 4; j++) ok &= note(report, same_bits(t.baseline[j], kBaselineFirst[j]), "baseline entry");
  ok &= note(report, unique_maximum(t.baseline, kDim, kBaselineMaxIndex, kBaselineMaxValue),
             "baseline maximum");
  const double base64 = std::sqrt(exact_sum_squares(t.baseline, kDim));
  const float base32 = std::sqrt(f32_sum_squares(t.baseline, kDim));
  char printed64[32], printed32[32];
  snprintf(printed64, sizeof printed64, "%.5f", base64);
  snprintf(printed32, sizeof printed32, "%.5f", static_cast<double>(base32));
  fprintf(report, "baseline: exact norm %.9f, f32 norm %.9g\n", base64, base32);
  ok &= note(report, strcmp(printed64, "0.85116") == 0 && strcmp(printed32, "0.85116") == 0,
             "baseline norm");
  return ok;
}
