// Geometry of the model and byte layout of the flat weights file. The file has no header:
// every tensor sits at a fixed offset that follows from these constants.
#pragma once

#include <cstdint>

namespace geom {
inline constexpr uint64_t kLayers = 18;
inline constexpr uint64_t kDim = 2048;           // model width, length of `hidden`
inline constexpr uint64_t kHeads = 8;            // query heads
inline constexpr uint64_t kHeadDim = 256;        // 8 x 256 = 2048
inline constexpr uint64_t kKvDim = 256;          // one key/value head shared by all queries
inline constexpr uint64_t kRotaryPairs = 128;    // dimension d pairs with d + 128
inline constexpr uint64_t kFfnDim = 16384;
inline constexpr uint64_t kVocab = 256000;
inline constexpr uint64_t kMaxPositions = 2048;  // cache rows per layer
inline constexpr float kNormEps = 0x1.4f8b58p-17f;    // 0.00001, bits 0x3727C5AC
inline constexpr float kEmbedScale = 0x1.6a09e6p+5f;  // sqrt(2048), bits 0x423504F3
inline constexpr float kScoreScale = 0.0625f;         // 1/sqrt(256), bits 0x3D800000
}  // namespace geom

// Offsets inside one layer block, in bytes from the block's first byte.
namespace layer_off {
inline constexpr uint64_t attn_norm = 0x0000000;  // f32 [2048]
inline constexpr uint64_t ffn_norm = 0x0002000;   // f32 [2048]
inline constexpr uint64_t wq = 0x0004000;         // fp16 [2048][2048]
inline constexpr uint64_t wk = 0x0804000;         // fp16 [256][2048]
inline constexpr uint64_t wv = 0x0904000;         // fp16 [256][2048]
inline constexpr uint64_t wo = 0x0A04000;         // fp16 [2048][2048]
inline constexpr uint64_t w_gate = 0x1204000;     // fp16 [16384][2048]
inline constexpr uint64_t w_up = 0x5204000;       // fp16 [16384][2048]
inline constexpr uint64_t w_down = 0x9204000;     // fp16 [2048][16384]
inline constexpr uint64_t block_size = 0xD204000; // 220,217,344 bytes
}  // namespace layer_off

// Offsets in the file, in bytes from its first byte.
namespace file_off {
inline constexpr uint64_t final_norm = 0xEC448000;       // f32 [2048]
inline constexpr uint64_t embedding_table = 0xEC44A000;  // fp16 [256000][2048]
inline constexpr uint64_t end = 0x12AC4A000;             // 5,012,496,384: end of what is read
}  // namespace file_off

namespace layout_checks {
using namespace geom;
inline constexpr uint64_t kNormBytes = kDim * 4;
static_assert(layer_off::ffn_norm == layer_off::attn_norm + kNormBytes);
static_assert(layer_off::wq == layer_off::ffn_norm + kNormBytes);
static_assert(layer_off::wk == layer_off::wq + kDim * kDim * 2);
static_assert(layer_off::wv == layer_off::wk + kKvDim * kDim * 2);
static_assert(layer_off::wo == layer_off::wv + kKvDim * kDim * 2);
static_assert(layer_off::w_gate == layer_off::wo + kDim * kDim * 2);
static_assert(layer_off::w_up == layer_off::w_gate + kFfnDim * kDim * 2);
static_assert(layer_off::w_down == layer_off::w_up + kFfnDim * kDim * 2);
static_assert(layer_off::block_size == layer_off::w_down + kDim * kFfnDim * 2);
static_assert(layer_off::block_size == 220217344);
static_assert(file_off::final_norm == kLayers * layer_off::block_size);
static_assert(file_off::final_norm == 3963912192ull);
static_assert(file_off::embedding_table == file_off::final_norm + kNormBytes);
static_assert(file_off::embedding_table == 3963920384ull);
static_assert(file_off::end == file_off::embedding_table + kVocab * kDim * 2);
static_assert(file_off::end == 5012496384ull);
// Values per layer, then the whole parameter count.
static_assert(2 * kDim + 2 * kDim * kDim + 2 * kKvDim * kDim + 3 * kFfnDim * kDim == 110104576ull);
static_assert(kLayers * 110104576ull + kDim + kVocab * kDim == 2506172416ull);
static_assert(kHeads * kHeadDim == kDim && 2 * kRotaryPairs == kHeadDim && kKvDim == kHeadDim);
// The scales by their exact bits: the printed numbers depend on every one.
static_assert(__builtin_bit_cast(uint32_t, kNormEps) == 0x3727C5ACu);
static_assert(__builtin_bit_cast(uint32_t, kEmbedScale) == 0x423504F3u);
static_assert(__builtin_bit_cast(uint32_t, kScoreScale) == 0x3D800000u);
}  // namespace layout_checks
