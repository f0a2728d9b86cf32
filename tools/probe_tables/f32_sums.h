// The two single-precision evaluations the program itself performs on these tables: a sum of
// rounded squares and a dot product of rounded products, each in ascending order in one f32
// accumulator. Rows are redrawn until these, not only the exact sums, meet the bounds.
#pragma once

#include <cmath>

// Needs: n floats at v. Returns the ascending one-accumulator f32 sum of rounded squares.
inline float f32_sum_squares(const float* v, int n) {
  float s = 0.0f;
  for (int j = 0; j < n; j++) {
    const float sq = v[j] * v[j];
    s = s + sq;
  }
  return s;
}

// Needs: n floats at a and at b. Returns the ascending one-accumulator f32 dot product.
inline float f32_dot(const float* a, const float* b, int n) {
  float s = 0.0f;
  for (int j = 0; j < n; j++) {
    const float p = a[j] * b[j];
    s = s + p;
  }
  return s;
}

// Needs: n floats at v. Returns the exact sum of squares of the f32 values, in double (each
// square is exact; the sum's error is far below the bounds checked here).
inline double exact_sum_squares(const float* v, int n) {
  double s = 0.0;
  for (int j = 0; j < n; j++) s += static_cast<double>(v[j]) * static_cast<double>(v[j]);
  return s;
}

// Needs: n floats at a and at b. Returns the dot product of the f32 values, in double.
inline double exact_dot(const float* a, const float* b, int n) {
  double s = 0.0;
  for (int j = 0; j < n; j++) s += static_cast<double>(a[j]) * static_cast<double>(b[j]);
  return s;
}
