#include "tools/probe_tables/weight_rows.h"

#include <cmath>

#include "tools/probe_tables/f32_sums.h"
#include "tools/probe_tables/random_normal.h"

namespace {
constexpr int kMaxDraws = 100000;

// Needs: two 2048-element vectors. Their dot product in double.
double dot(const double* a, const double* b) {
  double s = 0.0;
  for (int j = 0; j < kDim; j++) s += a[j] * b[j];
  return s;
}

// Needs: count orthonormal vectors in basis. Removes their components from v (twice, so the
// result is orthogonal to the last bits of a double).
void project_out(double* v, const double basis[kAxes][kDim], int count) {
  for (int pass = 0; pass < 2; pass++)
    for (int b = 0; b < count; b++) {
      const double c = dot(v, basis[b]);
      for (int j = 0; j < kDim; j++) v[j] -= c * basis[b][j];
    }
}

// Needs: row k rounded to f32 and rows 0..k-1 accepted. True when row k meets every bound
// on its own and against the earlier rows.
bool row_passes(const float rows[kAxes][kDim], int k, const bool free_mask[kDim]) {
  const float* row = rows[k];
  if (f32_sum_squares(row, kDim) != 1.0f) return false;
  if (std::fabs(std::sqrt(exact_sum_squares(row, kDim)) - 1.0) >= kNormTarget) return false;
  for (int j = 0; j < kDim; j++)
    if (free_mask[j] && std::fabs(row[j]) > kFreeLimit) return false;
  for (int l = 0; l < k; l++) {
    if (std::fabs(exact_dot(row, rows[l], kDim)) >= kDotTarget) return false;
    if (std::fabs(static_cast<double>(f32_dot(row, rows[l], kDim))) >= kDot32Target) return false;
  }
  return true;
}
}  // namespace

bool build_weight_rows(uint64_t seed, float rows[kAxes][kDim], bool free_mask[kDim], WeightRowStats* stats) {
  SplitMix64 rng{seed};
  const double sigma = 1.0 / std::sqrt(static_cast<double>(kDim));

  for (int j = 0; j < kDim; j++) free_mask[j] = j >= 4;
  for (int k = 0; k < kAxes; k++) free_mask[kPinnedRows[k].max_index] = false;

  // Pinned part a_k: the published entries, and small random values where another row has
  // its maximum. These never change.
  static double pinned[kAxes][kDim];
  for (int k = 0; k < kAxes; k++) {
    for (int j = 0; j < kDim; j++) pinned[k][j] = 0.0;
    for (int l = 0; l < kAxes; l++)
      if (l != k) pinned[k][kPinnedRows[l].max_index] = sigma * next_normal(&rng);
    for (int j = 0; j < 4; j++) pinned[k][j] = kPinnedRows[k].first[j];
    pinned[k][kPinnedRows[k].max_index] = kPinnedRows[k].max_value;
  }

  // Free part f_k, zero on pinned entries. Row k = a_k + f_k is orthogonal to row l < k when
  // <f_k, f_l> = -<a_k, a_l>: f_k is a fixed combination of the earlier free parts that meets
  // these, plus a random direction h orthogonal to all of them that brings the length to 1.
  static double free_part[kAxes][kDim];
  static double basis[kAxes][kDim];  // orthonormal basis of the earlier free parts
  static double h[kDim];
  for (int k = 0; k < kAxes; k++) {
    // Solve gram * c = target for the combination (k <= 3 unknowns; Gaussian elimination).
    double gram[kAxes][kAxes + 1];
    for (int l = 0; l < k; l++) {
      for (int m = 0; m < k; m++) gram[l][m] = dot(free_part[l], free_part[m]);
      gram[l][k] = -dot(pinned[k], pinned[l]);
    }
    for (int p = 0; p < k; p++)
      for (int l = p + 1; l < k; l++) {
        const double f = gram[l][p] / gram[p][p];
        for (int m = p; m <= k; m++) gram[l][m] -= f * gram[p][m];
      }
    double c[kAxes];
    for (int l = k - 1; l >= 0; l--) {
      double s = gram[l][k];
      for (int m = l + 1; m < k; m++) s -= gram[l][m] * c[m];
      c[l] = s / gram[l][l];
    }
    static double fixed[kDim];
    for (int j = 0; j < kDim; j++) {
      fixed[j] = 0.0;
      for (int l = 0; l < k; l++) fixed[j] += c[l] * free_part[l][j];
    }
    const double room = 1.0 - dot(pinned[k], pinned[k]) - dot(fixed, fixed);
    if (room <= 0.0) return false;

    bool accepted = false;
    for (int draw = 1; draw <= kMaxDraws && !accepted; draw++) {
      for (int j = 0; j < kDim; j++) h[j] = free_mask[j] ? next_normal(&rng) : 0.0;
      project_out(h, basis, k);
      const double scale = std::sqrt(room / dot(h, h));
      for (int j = 0; j < kDim; j++) {
        free_part[k][j] = fixed[j] + scale * h[j];
        rows[k][j] = static_cast<float>(pinned[k][j] + free_part[k][j]);
      }
      accepted = row_passes(rows, k, free_mask);
      stats->draws[k] = draw;
    }
    if (!accepted) return false;

    // Extend the orthonormal basis with this row's free part.
    for (int j = 0; j < kDim; j++) basis[k][j] = free_part[k][j];
    project_out(basis[k], basis, k);
    const double n = std::sqrt(dot(basis[k], basis[k]));
    for (int j = 0; j < kDim; j++) basis[k][j] /= n;
  }
  return true;
}
