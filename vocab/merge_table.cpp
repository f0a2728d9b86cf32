#include "vocab/merge_table.h"

#include <cstring>

#include "vocab/token_index.h"

namespace {
// A slot holds left (18 bits), right (18 bits) and rank (20 bits); all ones when empty.
constexpr uint64_t kEmptySlot = ~uint64_t{0};
constexpr uint32_t kSlots = 1u << kMergeSlotBits;
constexpr int kIdBits = 18;
constexpr int kRankBits = 20;
static_assert(kVocabularyCapacity <= (1u << kIdBits) && kMergeCapacity <= (1u << kRankBits));
static_assert(2 * kIdBits + kRankBits < 64, "an empty slot must differ from every entry");

// Fixed-size tables in static storage: 8 MB of slots and 2.3 MB of results.
uint64_t g_slots[kSlots];
int32_t g_results[kMergeCapacity];
uint32_t g_count;

uint32_t read_u24(const uint8_t* p) { return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16; }

uint64_t pair_key(uint32_t left, uint32_t right) { return uint64_t{left} << kIdBits | right; }

// The first slot tried for a pair: the multiplicative hash's top bits.
uint32_t home_slot(uint64_t key) { return static_cast<uint32_t>((key * 0x9E3779B97F4A7C15ull) >> (64 - kMergeSlotBits)); }

// Needs: 0 <= left, right < vocabulary().count. The id of the two texts joined, or -1.
int32_t joined_token(uint32_t left, uint32_t right) {
  char joined[2 * 128];  // the longest text is 93 bytes
  const char* a = token_text(static_cast<int32_t>(left));
  const char* b = token_text(static_cast<int32_t>(right));
  const size_t la = strlen(a), lb = strlen(b);
  if (la + lb > sizeof joined) return -1;
  memcpy(joined, a, la);
  memcpy(joined + la, b, lb);
  return lookup_token(joined, la + lb);
}
}  // namespace

bool build_merge_table() {
  const uint8_t* image = merge_image_bytes;
  uint32_t count;
  memcpy(&count, image, sizeof count);
  g_count = 0;
  if (count > kMergeCapacity || merge_image_length != kMergeHeaderBytes + kMergeEntryBytes * count) return false;
  memset(g_slots, 0xFF, sizeof g_slots);
  const uint32_t tokens = vocabulary().count;
  for (uint32_t rank = 0; rank < count; ++rank) {
    const uint8_t* e = image + kMergeHeaderBytes + kMergeEntryBytes * rank;
    const uint32_t left = read_u24(e), right = read_u24(e + 3);
    if (left >= tokens || right >= tokens) return false;
    g_results[rank] = joined_token(left, right);
    if (g_results[rank] < 0) return false;
    const uint64_t key = pair_key(left, right);
    uint32_t s = home_slot(key);
    while (g_slots[s] != kEmptySlot) {
      if (g_slots[s] >> kRankBits == key) return false;  // a pair twice: the table is not the extracted one
      s = (s + 1) & (kSlots - 1);
    }
    g_slots[s] = key << kRankBits | rank;
  }
  g_count = count;
  return true;
}

uint32_t merge_count() { return g_count; }

int32_t merge_rank(int32_t left, int32_t right) {
  if (g_count == 0) return -1;  // not built (or refused): every slot would be searched
  const uint64_t key = pair_key(static_cast<uint32_t>(left), static_cast<uint32_t>(right));
  for (uint32_t s = home_slot(key);; s = (s + 1) & (kSlots - 1)) {
    const uint64_t slot = g_slots[s];
    if (slot == kEmptySlot) return -1;
    if (slot >> kRankBits == key) return static_cast<int32_t>(slot & ((1u << kRankBits) - 1));
  }
}

int32_t merge_result(int32_t rank) { return g_results[rank]; }
