// The model tokenizer's ranked merges: the embedded table (data/merges.bin) and the hash of
// ranked pairs built from it once at start-up, read-only afterwards, main thread only.
//
//   offset 0   u32 count of merges
//   offset 4   count entries of 6 bytes, in rank order: left id, right id (each u24)
// All little-endian. Merge `rank` joins the pair into the token whose text is the two texts
// joined; a lower rank is applied first.
#pragma once

#include <cstdint>

inline constexpr uint32_t kMergeCapacity = 580604;    // merges the tables can hold
inline constexpr uint32_t kMergeSlotBits = 20;        // the pair hash: 2^20 slots
inline constexpr uint64_t kMergeHeaderBytes = 4;
inline constexpr uint64_t kMergeEntryBytes = 6;

extern "C" {
// The whole table, merge_image_length bytes, in the program's read-only data.
extern const uint8_t merge_image_bytes[];
extern const uint64_t merge_image_length;
}

// Needs: a built token index. Fills the pair hash from the embedded table; allocates nothing.
// Returns false (tables unusable) when the table does not fit the vocabulary: an id out of
// range. (That no pair comes twice and each joined text is a token, the extraction checked.)
bool build_merge_table();

// Needs: a built merge table. The number of merges in it.
uint32_t merge_count();

// Needs: a built merge table. Returns the rank of the merge of left then right, or -1 when
// the pair is not merged.
int32_t merge_rank(int32_t left, int32_t right);

// Needs: a built merge table and 0 <= rank < merge_count(). The id the merge produces (the
// token of the two texts joined, looked up), or -1 when no token has that text.
int32_t merge_result(int32_t rank);
