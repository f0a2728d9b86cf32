#include "probe_reference.h"

#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>

float reference_sum_squares(const float* v, int n) {
  float s = 0.0f;
  for (int j = 0; j < n; j++) s = f32(static_cast<double>(s) + f32(static_cast<double>(v[j]) * v[j]));
  return s;
}

float reference_dot(const float* a, const float* b, int n) {
  float s = 0.0f;
  for (int j = 0; j < n; j++) s = f32(static_cast<double>(s) + f32(static_cast<double>(a[j]) * b[j]));
  return s;
}

ProbeReading reference_read_probe(const float* hidden) {
  static float d[kProbeDim];
  const float* base = probe_baseline_values();
  for (int j = 0; j < kProbeDim; j++) d[j] = f32(static_cast<double>(hidden[j]) - base[j]);
  const float s = reference_sum_squares(d, kProbeDim);
  const float n = f32(std::sqrt(static_cast<double>(s)));
  if (n > 1e-8f)
    for (int j = 0; j < kProbeDim; j++) d[j] = f32(static_cast<double>(d[j]) / n);
  float out[kProbeAxes];
  for (int k = 0; k < kProbeAxes; k++) {
    const float* w = probe_weights_row(k);
    float acc = probe_bias_values()[k];
    for (int j = 0; j < kProbeDim; j++) acc = f32(static_cast<double>(acc) + f32(static_cast<double>(d[j]) * w[j]));
    out[k] = acc;
  }
  return ProbeReading{{out[0], out[1], out[2], out[3]}};
}

uint32_t reference_fnv1a32(const uint8_t* data, uint64_t len) {
  uint32_t h = 2166136261u;
  for (uint64_t i = 0; i < len; i++) {
    h ^= data[i];
    h *= 16777619u;
  }
  return h;
}

float from_bits(uint32_t bits) {
  float v;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

uint32_t to_bits(float v) {
  uint32_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  return bits;
}

std::string read_whole_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
