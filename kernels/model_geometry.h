// The shape of the model and its fixed scales, as the kernels compute with them: the one home
// of these numbers inside kernels/. Each float is given by its exact bits, since the printed
// numbers depend on every one of them.
//
// Image code: header only, constants only.
#pragma once

#include <stdint.h>

namespace model_geometry {

inline constexpr uint64_t kLayers = 18;
inline constexpr uint64_t kDim = 2048;           // model width, length of the residual stream
inline constexpr uint64_t kHeads = 8;            // query heads
inline constexpr uint64_t kHeadDim = 256;        // width of one head
inline constexpr uint64_t kKvDim = 256;          // one key/value head shared by all queries
inline constexpr uint64_t kRotaryPairs = 128;    // dimension d of a head pairs with d + 128
inline constexpr uint64_t kFfnDim = 16384;       // feed-forward width
inline constexpr uint64_t kVocab = 256000;
inline constexpr uint64_t kMaxPositions = 2048;  // cache rows per layer

inline constexpr float kNormEps = 0x1.4f8b58p-17f;    // 0.00001, bits 0x3727C5AC
inline constexpr float kEmbedScale = 0x1.6a09e6p+5f;  // sqrt(2048), bits 0x423504F3
inline constexpr float kScoreScale = 0.0625f;         // 1/sqrt(256), bits 0x3D800000

static_assert(kHeads * kHeadDim == kDim && 2 * kRotaryPairs == kHeadDim && kKvDim == kHeadDim);
static_assert(__builtin_bit_cast(uint32_t, kNormEps) == 0x3727C5ACu);
static_assert(__builtin_bit_cast(uint32_t, kEmbedScale) == 0x423504F3u);
static_assert(__builtin_bit_cast(uint32_t, kScoreScale) == 0x3D800000u);

}  // namespace model_geometry
