// The embedded vocabulary image and its layout.
//
//   offset 0            u32 count of tokens
//   offset 4            u32 pool size in bytes
//   offset 8            u32 offset[count]: each token's text, from the start of the pool
//   offset 8 + 4*count  pool: the texts in id order, UTF-8, each ended by one NUL
// All little-endian. Texts write a space as U+2581 (E2 96 81).
#pragma once

#include <cstdint>

inline constexpr uint32_t kVocabularyCapacity = 256000;  // most tokens the tables can hold
inline constexpr uint64_t kVocabularyHeaderBytes = 8;    // count and pool size

extern "C" {
// The whole image, vocabulary_image_length bytes, in the program's read-only data.
extern const uint8_t vocabulary_image_bytes[];
extern const uint64_t vocabulary_image_length;
}
