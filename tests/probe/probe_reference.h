// Plain references for the probe tests, written independently of the code under test: every
// single-precision step is done in double and rounded to float on its own (exact for + - * /
// and sqrt, since double has more than twice float's precision), so the order of operations
// is spelled out and no float expression can be reassociated.
#pragma once

#include <cstdint>
#include <string>

#include "probe/probe.h"

// Rounds a double to the nearest float: one single-precision step.
inline float f32(double v) { return static_cast<float>(v); }

// Needs: n floats at v. The ascending one-accumulator f32 sum of rounded squares.
float reference_sum_squares(const float* v, int n);

// Needs: n floats at a and b. The ascending one-accumulator f32 dot of rounded products.
float reference_dot(const float* a, const float* b, int n);

// Needs: the probe tables loaded; hidden is 2048 f32. The reading as described: centre,
// length, divide when the length is above 1e-8f, project from the bias.
ProbeReading reference_read_probe(const float* hidden);

// Needs: len bytes at data. FNV-1a 32 over the bytes, a byte at a time.
uint32_t reference_fnv1a32(const uint8_t* data, uint64_t len);

// The float with the given bit pattern, and the bit pattern of a float.
float from_bits(uint32_t bits);
uint32_t to_bits(float v);

// Needs: a readable file. Its whole contents.
std::string read_whole_file(const std::string& path);
