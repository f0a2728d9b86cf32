#include "vocab/model_tokenizer.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "vocab/merge_table.h"
#include "vocab/prompt_tokenizer.h"
#include "vocab/token_index.h"

namespace {
constexpr const char* kTemplateHead = "<bos><start_of_turn>user\n";
constexpr const char* kTemplateTail = "<end_of_turn>\n<start_of_turn>model\n";
constexpr int32_t kSpaceId = 235248;  // "▁"

// The added tokens grouped by their text's first byte, so that most positions try none.
struct AddedTexts {
  std::vector<int32_t> by_first_byte[256];
};

AddedTexts added_texts() {
  AddedTexts a;
  for (int32_t id = 0; id < kAddedTokenCount; ++id) {
    a.by_first_byte[static_cast<uint8_t>(token_text(id)[0])].push_back(id);
  }
  return a;
}

// The longest added token whose text begins the len bytes at p; -1 when none. *taken: its length.
int32_t match_added(const AddedTexts& a, const char* p, size_t len, size_t* taken) {
  int32_t best = -1;
  *taken = 0;
  for (int32_t id : a.by_first_byte[static_cast<uint8_t>(p[0])]) {
    const char* t = token_text(id);
    const size_t n = strlen(t);
    if (n > *taken && n <= len && memcmp(t, p, n) == 0) {
      best = id;
      *taken = n;
    }
  }
  return best;
}

// Bytes of the UTF-8 character at p (at most len): its lead byte's length when the
// continuation bytes are there, else 1 (a stray byte stands alone).
int32_t char_length(const unsigned char* p, int32_t len) {
  const int32_t n = p[0] < 0x80 ? 1 : (p[0] >> 5) == 0x6 ? 2 : (p[0] >> 4) == 0xE ? 3 : (p[0] >> 3) == 0x1E ? 4 : 1;
  if (n > len) return 1;
  for (int32_t k = 1; k < n; ++k) {
    if ((p[k] & 0xC0) != 0x80) return 1;
  }
  return n;
}

// The <0xNN> token of a byte, or the unknown token when the vocabulary has none.
int32_t byte_token(unsigned char b) {
  char name[8];
  snprintf(name, sizeof name, "<0x%02X>", b);
  const int32_t id = lookup_token(name, 6);
  return id >= 0 ? id : kFallbackId;
}
}  // namespace

int32_t merge_text(const char* text, int32_t len, int32_t* out) {
  // Symbols in text order, at most one per byte; a merge keeps the left symbol's slot, so a
  // slot's index orders equal ranks left to right. Byte-fallback symbols never merge.
  std::vector<int32_t> id;     // [symbols] token id, -1 once merged into its left neighbour
  std::vector<uint8_t> fixed;  // [symbols] 1 for a byte-fallback symbol
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  for (int32_t p = 0; p < len;) {
    if (bytes[p] == ' ') {
      id.push_back(kSpaceId);
      fixed.push_back(0);
      ++p;
      continue;
    }
    const int32_t n = char_length(bytes + p, len - p);
    const int32_t whole = lookup_token(text + p, static_cast<uint64_t>(n));
    if (whole >= 0) {
      id.push_back(whole);
      fixed.push_back(0);
    } else {
      for (int32_t k = 0; k < n; ++k) {
        id.push_back(byte_token(bytes[p + k]));
        fixed.push_back(1);
      }
    }
    p += n;
  }
  const int32_t count = static_cast<int32_t>(id.size());
  std::vector<int32_t> prev(count), next(count);  // [symbols] neighbours among live symbols, -1 at the ends
  for (int32_t i = 0; i < count; ++i) {
    prev[i] = i - 1;
    next[i] = i + 1 < count ? i + 1 : -1;
  }
  // Candidate merges as rank << 32 | left slot, smallest first; stale ones are skipped.
  std::vector<uint64_t> heap;  // owned here, at most 3 * count entries
  const auto offer = [&](int32_t left) {
    const int32_t right = next[left];
    if (right < 0 || fixed[left] || fixed[right]) return;
    const int32_t rank = merge_rank(id[left], id[right]);
    if (rank < 0) return;
    heap.push_back(uint64_t(uint32_t(rank)) << 32 | uint32_t(left));
    std::push_heap(heap.begin(), heap.end(), std::greater<uint64_t>());
  };
  for (int32_t i = 0; i + 1 < count; ++i) offer(i);
  while (!heap.empty()) {
    std::pop_heap(heap.begin(), heap.end(), std::greater<uint64_t>());
    const uint64_t top = heap.back();
    heap.pop_back();
    const int32_t rank = static_cast<int32_t>(top >> 32);
    const int32_t left = static_cast<int32_t>(top & 0xFFFFFFFFu);
    const int32_t right = next[left];
    // Ranks name pairs one to one: the same rank means the same pair is still there.
    if (id[left] < 0 || right < 0 || merge_rank(id[left], id[right]) != rank) continue;
    const int32_t merged = merge_result(rank);
    if (merged < 0) continue;  // not in a checked table: the pair stays as it is
    id[left] = merged;
    id[right] = -1;
    next[left] = next[right];
    if (next[right] >= 0) prev[next[right]] = left;
    if (prev[left] >= 0) offer(prev[left]);
    offer(left);
  }
  int32_t written = 0;
  for (int32_t i = count > 0 ? 0 : -1; i >= 0; i = next[i]) out[written++] = id[i];
  return written;
}

int32_t tokenize_prompt_model(const char* prompt, int32_t* out, int32_t capacity, bool* cut) {
  // The prompt's bytes that space marking takes (its 4000-byte stop), with plain spaces.
  size_t take = 0;
  int32_t marked = 0;
  for (const char* p = prompt; *p != '\0' && marked < kMarkedPromptStop; ++p, ++take) marked += *p == ' ' ? 3 : 1;
  const std::string text = std::string(kTemplateHead) + std::string(prompt, take) + kTemplateTail;

  const AddedTexts added = added_texts();
  std::vector<int32_t> ids(text.size());  // every id covers at least one byte
  int32_t count = 0;
  size_t segment = 0;  // where the text not yet tokenized begins
  for (size_t p = 0; p <= text.size();) {
    size_t taken = 0;
    const int32_t match = p < text.size() ? match_added(added, text.data() + p, text.size() - p, &taken) : -1;
    if (match < 0 && p < text.size()) {
      ++p;
      continue;
    }
    count += merge_text(text.data() + segment, static_cast<int32_t>(p - segment), ids.data() + count);
    if (match < 0) break;
    ids[count++] = match;
    p += taken;
    segment = p;
  }
  const int32_t limit = std::max(1, capacity - kOutputReserve);
  const int32_t kept = std::min(count, limit);
  std::copy(ids.begin(), ids.begin() + kept, out);
  if (cut) *cut = count > limit;
  return kept;
}
