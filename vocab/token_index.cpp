#include "vocab/token_index.h"

#include <cstring>

#include "vocab/fnv1a.h"

namespace {
// Fixed-size tables in static storage: about 9 MB, never allocated, never freed.
Vocabulary g_vocab;
TokenIndex g_index;

uint32_t read_u32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);  // the image is little-endian like the host
  return v;
}

// True when the NUL-terminated text is exactly the len bytes at s. Stops at the text's
// NUL, so a short text near the end of the pool is never read past.
bool text_equals(const char* text, const char* s, uint64_t len) {
  for (uint64_t i = 0; i < len; ++i) {
    if (text[i] == '\0' || text[i] != s[i]) return false;
  }
  return text[len] == '\0';
}
}  // namespace

VocabularySummary build_token_index_from(const uint8_t* image) {
  g_vocab.count = read_u32(image);
  g_vocab.pool_size = read_u32(image + 4);
  const uint8_t* offsets = image + kVocabularyHeaderBytes;  // u32[count], unaligned reads
  for (uint32_t i = 0; i < g_vocab.count; ++i) g_vocab.offsets[i] = read_u32(offsets + 4 * uint64_t{i});
  g_vocab.pool = reinterpret_cast<const char*>(offsets + 4 * uint64_t{g_vocab.count});

  for (uint32_t b = 0; b < kTokenIndexBuckets; ++b) g_index.heads[b] = nullptr;
  g_index.used = 0;
  for (uint32_t i = 0; i < g_vocab.count; ++i) {
    const char* text = g_vocab.pool + g_vocab.offsets[i];
    const size_t len = std::strlen(text);
    if (len == 0) continue;  // an empty text keeps its id -> text entry but is never matched
    const uint32_t bucket = fnv1a32(text, len) & kTokenIndexBucketMask;
    TokenIndexEntry* e = &g_index.entries[g_index.used++];
    e->id = static_cast<int32_t>(i);
    e->next = g_index.heads[bucket];  // front insertion: chains run in decreasing id order
    g_index.heads[bucket] = e;
  }
  return {g_vocab.count, g_vocab.pool_size};
}

VocabularySummary build_token_index() { return build_token_index_from(vocabulary_image_bytes); }

void print_vocabulary_line(FILE* out) {
  // Single precision throughout: the pool size rounded to f32, then scaled by 2^-20.
  const float mib = static_cast<float>(g_vocab.pool_size) * 0x1p-20f;
  fprintf(out, "\xE2\x9C\x94 [1/5] Embedded 256k Vocabulary Mapped (Total Tokens: %u, String Pool: %.2f MB)\n",
          g_vocab.count, static_cast<double>(mib));
}

const Vocabulary& vocabulary() { return g_vocab; }
const TokenIndex& token_index() { return g_index; }

const char* token_text(int32_t id) { return g_vocab.pool + g_vocab.offsets[id]; }

int32_t lookup_token(const char* text, uint64_t len) {
  const uint32_t bucket = fnv1a32(text, len) & kTokenIndexBucketMask;
  for (const TokenIndexEntry* e = g_index.heads[bucket]; e; e = e->next) {
    if (text_equals(token_text(e->id), text, len)) return e->id;
  }
  return -1;
}
