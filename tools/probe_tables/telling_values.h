// The published values the probe tables must carry: pinned entries of every weight row, the
// bias bit patterns and the baseline's pinned entries and length. Everything else is ours.
#pragma once

#include <cstdint>

#include "model/weights_layout.h"

inline constexpr int kAxes = 4;
inline constexpr int kDim = int(geom::kDim);

struct PinnedRow {
  float first[4];  // elements 0 to 3
  int max_index;   // where the largest-magnitude element sits
  float max_value; // and its value; every other element is strictly smaller in magnitude
};

// Row order: truth, safety, cert, domain. Literals round to the nearest f32.
inline constexpr PinnedRow kPinnedRows[kAxes] = {
    {{0.0241304804f, 0.0256732609f, 0.00261879526f, -0.0099189952f}, 1713, -0.224290028f},
    {{-0.00357412663f, 0.00314184581f, 0.00800457969f, 0.00314947544f}, 51, 0.181829408f},
    {{-0.00109901547f, 0.00762459915f, 0.0385443978f, -0.0194423292f}, 940, 0.129965171f},
    {{-0.0253009852f, 0.00689113233f, 0.00155207713f, 0.0126267634f}, 50, -0.129642382f},
};

inline constexpr uint32_t kBiasBits[kAxes] = {0x3CB0B6D6u, 0x3DD46184u, 0xBE5FEC50u, 0xBE1F6BC1u};

inline constexpr float kBaselineFirst[4] = {0.00605840702f, 0.00715185702f, -0.0129780341f,
                                            -0.0055323923f};
inline constexpr int kBaselineMaxIndex = 50;
inline constexpr float kBaselineMaxValue = -0.363443375f;
inline constexpr double kBaselineNorm = 0.85116;

// Bounds the weight rows must meet, and the tighter targets the generator aims for so that
// the stated bounds hold with room to spare. Each bound is checked two ways on the final f32
// values: exactly (squares and products of floats are exact in double, and the double sums
// err far below these bounds), and as the program itself computes it (rounded squares or
// products added in ascending order to one f32 accumulator, then sqrtf). The f32 sum of
// squares of every row is required to be exactly 1.0f, so the unit Truth direction the
// splicer derives from row 0 is row 0 itself.
inline constexpr double kNormBound = 3e-8;    // | ||row|| - 1 |
inline constexpr double kDotBound = 4e-8;     // |row_k . row_l|, k != l
inline constexpr double kNormTarget = 1e-8;   // exact evaluation over the f32 values
inline constexpr double kDotTarget = 1e-8;
inline constexpr double kDot32Target = 2e-8;  // single-precision ascending evaluation
inline constexpr double kFreeLimit = 0.1;     // free entries stay below every pinned maximum
