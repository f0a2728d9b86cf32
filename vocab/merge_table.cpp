#include "vocab/merge_table.h"

#include <cstring>

#include "vocab/token_index.h"

namespace {
// A slot holds rank + 1 of the merge placed there, 0 when empty; the pair itself is read
// back from the image, which keeps the hash at 4 MB (start-up touches every page of it).
constexpr uint32_t kSlots = 1u << kMergeSlotBits;
static_assert(kMergeCapacity < kSlots);

// The pair hash in static storage. Results are looked up when a merge is applied, not here:
// start-up then pays only the inserts.
uint32_t g_slots[kSlots];
uint32_t g_count;

uint32_t read_u24(const uint8_t* p) { return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16; }

// The image's entry of a merge: left id, then right id.
const uint8_t* entry(uint32_t rank) { return merge_image_bytes + kMergeHeaderBytes + kMergeEntryBytes * rank; }

uint64_t pair_key(uint32_t left, uint32_t right) { return uint64_t{left} << 32 | right; }
uint64_t key_of(uint32_t rank) { return pair_key(read_u24(entry(rank)), read_u24(entry(rank) + 3)); }

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
  uint32_t count;
  memcpy(&count, merge_image_bytes, sizeof count);
  g_count = 0;
  if (count > kMergeCapacity || merge_image_length != kMergeHeaderBytes + kMergeEntryBytes * count) return false;
  memset(g_slots, 0, sizeof g_slots);
  const uint32_t tokens = vocabulary().count;
  // The slots are touched in random order: each insert asks for the slot of the merge
  // kAhead ranks on, so that the memory's latency overlaps instead of adding up.
  constexpr uint32_t kAhead = 16;
  for (uint32_t rank = 0; rank < count; ++rank) {
    if (rank + kAhead < count) __builtin_prefetch(&g_slots[home_slot(key_of(rank + kAhead))], 1);
    const uint32_t left = read_u24(entry(rank)), right = read_u24(entry(rank) + 3);
    if (left >= tokens || right >= tokens) return false;
    // A pair given twice is not found here: the extraction refuses such a table.
    uint32_t s = home_slot(pair_key(left, right));
    while (g_slots[s] != 0) s = (s + 1) & (kSlots - 1);
    g_slots[s] = rank + 1;
  }
  g_count = count;
  return true;
}

uint32_t merge_count() { return g_count; }

int32_t merge_rank(int32_t left, int32_t right) {
  if (g_count == 0) return -1;  // not built (or refused)
  const uint64_t key = pair_key(static_cast<uint32_t>(left), static_cast<uint32_t>(right));
  for (uint32_t s = home_slot(key);; s = (s + 1) & (kSlots - 1)) {
    if (g_slots[s] == 0) return -1;
    if (key_of(g_slots[s] - 1) == key) return static_cast<int32_t>(g_slots[s] - 1);
  }
}

int32_t merge_result(int32_t rank) {
  return joined_token(read_u24(entry(static_cast<uint32_t>(rank))), read_u24(entry(static_cast<uint32_t>(rank)) + 3));
}
