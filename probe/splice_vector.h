// The splice vector: a weighted sum of one token's unit embedding and the probe's unit Truth
// direction, built once at start-up in every mode.
// The Truth direction is the probe's truth axis, from the tables of telemetry row 14 (the
// state the vector is added to).
#pragma once

#include <cstdint>

// Needs: the probe and its roles chosen; out holds 2048 f32; embedding_table is fp16 [256000][2048]
// or null. Writes out = beta * unit(anchor row) + 3.5 * unit(Truth row).
void build_splice_vector(float* out, float beta, const uint16_t* embedding_table);
