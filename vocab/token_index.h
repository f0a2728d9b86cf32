// The vocabulary's working tables: id -> text through the offset table, text -> id through
// a hash index of 2^19 buckets. Built once at start-up from the embedded image, read-only
// afterwards, main thread only.
#pragma once

#include <cstdint>
#include <cstdio>

#include "vocab/vocabulary_image.h"

inline constexpr uint32_t kTokenIndexBuckets = 524288;  // bucket = fnv1a32(text) & 0x7FFFF
inline constexpr uint32_t kTokenIndexBucketMask = kTokenIndexBuckets - 1;

struct TokenIndexEntry {
  int32_t id;             // token id
  TokenIndexEntry* next;  // next entry of the same bucket (lower id), null at the end
};

struct TokenIndex {
  TokenIndexEntry* heads[kTokenIndexBuckets];        // chain of each bucket, null when empty
  TokenIndexEntry entries[kVocabularyCapacity];      // entries[0 .. used) are in use
  uint32_t used;                                     // entries in use
};

struct Vocabulary {
  uint32_t count;                          // tokens in the image
  uint32_t pool_size;                      // bytes of the string pool
  uint32_t offsets[kVocabularyCapacity];   // offsets[0 .. count): text of id i at pool + offsets[i]
  const char* pool;                        // the image's own pool, used in place, not owned
};

// What the first start-up line shows.
struct VocabularySummary {
  uint32_t count;      // number of tokens
  uint32_t pool_size;  // string pool in bytes
};

// Needs: nothing. Fills the vocabulary tables and the token index from the embedded image;
// allocates nothing. Returns the count and pool size.
VocabularySummary build_token_index();

// Needs: a well-formed image (layout in vocabulary_image.h) with count <= kVocabularyCapacity,
// which must outlive every later use of the tables (its pool is used in place). Same as
// build_token_index for that image; tests use it to build small vocabularies.
VocabularySummary build_token_index_from(const uint8_t* image);

// Needs: a built index. Writes the first start-up line (token count, pool size in MiB) to out.
void print_vocabulary_line(FILE* out = stdout);

// Needs: a built index. The working tables, read-only.
const Vocabulary& vocabulary();
const TokenIndex& token_index();

// Needs: a built index and 0 <= id < vocabulary().count (callers test it). Returns the
// token's NUL-terminated text inside the pool.
const char* token_text(int32_t id);

// Needs: a built index and len readable bytes at text. Returns the id of the token whose
// text is exactly those bytes, or -1 when no token has that text.
int32_t lookup_token(const char* text, uint64_t len);
