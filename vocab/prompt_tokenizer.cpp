#include "vocab/prompt_tokenizer.h"

#include <cstdio>

#include "vocab/token_index.h"

namespace {
// The chat template. Its first byte is a plain space, which no token covers: every sequence
// therefore starts 2, 3, 106.
constexpr const char* kChatTemplate = " <start_of_turn>user\n%s<end_of_turn>\n<start_of_turn>model\n";
}  // namespace

int32_t mark_prompt_spaces(const char* prompt, char* marked) {
  int32_t w = 0;
  for (const char* p = prompt; *p != '\0'; ++p) {
    if (w >= kMarkedPromptStop) break;
    if (*p == ' ') {
      marked[w++] = '\xE2';
      marked[w++] = '\x96';
      marked[w++] = '\x81';
    } else {
      marked[w++] = *p;
    }
  }
  marked[w] = '\0';
  return w;
}

int32_t apply_chat_template(const char* marked, char* text) {
  return snprintf(text, kTemplatedPromptBytes, kChatTemplate, marked);
}

int32_t tokenize_prompt(const char* prompt, int32_t* out, int32_t capacity, bool* cut) {
  char marked[kMarkedPromptBytes];   // the space-marked prompt, at most 4002 bytes + NUL
  char text[kTemplatedPromptBytes];  // the templated prompt, at most 4058 bytes + NUL
  mark_prompt_spaces(prompt, marked);
  const int n = apply_chat_template(marked, text);

  out[0] = kBosId;
  int32_t count = 1;
  const int32_t limit = capacity - kOutputReserve;
  int p = 0;
  while (count < limit && p < n) {
    const int longest = n - p < kLongestCandidate ? n - p : kLongestCandidate;
    int32_t id = -1;
    int m = longest;
    for (; m >= 1; --m) {
      id = lookup_token(text + p, static_cast<uint64_t>(m));  // hashed afresh for every length
      if (id >= 0) break;
    }
    if (id >= 0) {
      out[count++] = id;
      p += m;
    } else {
      out[count++] = kFallbackId;
      p += 1;
    }
  }
  if (cut) *cut = p < n;
  return count;
}
