// libFuzzer target for the prompt tokenizers (greedy and model): any bytes as a prompt (cut at
// the first NUL and at 4095 bytes, as the command line delivers it), any capacity from 1 to 300.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "vocab/merge_table.h"
#include "vocab/model_tokenizer.h"
#include "vocab/prompt_tokenizer.h"
#include "vocab/token_index.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool built = (build_token_index(), build_merge_table());
  (void)built;
  if (size < 2) return 0;
  const int32_t capacity = 1 + (data[0] | data[1] << 8) % 300;
  data += 2;
  size -= 2;
  char prompt[4096];  // the prompt buffer of the command line: at most 4095 bytes + NUL
  const size_t len = size < sizeof prompt - 1 ? size : sizeof prompt - 1;
  std::memcpy(prompt, data, len);
  prompt[len] = '\0';

  std::unique_ptr<int32_t[]> out(new int32_t[capacity]);  // exactly capacity ids
  const int32_t n = tokenize_prompt(prompt, out.get(), capacity);
  const int32_t most = capacity > 11 ? capacity - 10 : 1;
  if (n < 1 || n > most || out[0] != 2) abort();
  for (int32_t i = 0; i < n; ++i) {
    if (out[i] < 0 || out[i] >= 256000) abort();
  }
  // The template's leading plain space has no token; then "<start_of_turn>" and "user".
  const int32_t head[] = {2, 3, 106, 1645};
  for (int32_t i = 0; i < n && i < 4; ++i) {
    if (out[i] != head[i]) abort();
  }
  // The model tokenizer: the same limit, "<bos>", "<start_of_turn>", "user" first (the "\n"
  // after them joins newlines that begin the prompt into one added token).
  const int32_t m = tokenize_prompt_model(prompt, out.get(), capacity);
  if (!built || m < 1 || m > most) abort();
  const int32_t model_head[] = {2, 106, 1645};
  for (int32_t i = 0; i < m; ++i) {
    if (out[i] < 0 || out[i] >= 256000 || (i < 3 && out[i] != model_head[i])) abort();
  }
  return 0;
}
