// Measures the model tokenizer's start-up cost (the merge table's build: the first one in a
// process, which touches the tables for the first time, and warm ones) and its time on a
// 4000-byte prompt of mixed text. Not a test; run it by hand:
//   build/tests/vocab/model_tokenizer_timing [runs]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "vocab/merge_table.h"
#include "vocab/model_tokenizer.h"
#include "vocab/token_index.h"

namespace {
double now_ms() {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Sorted copy's minimum, median and maximum, as "min a ms, median b ms, max c ms".
void print_spread(const char* what, std::vector<double> ms) {
  std::sort(ms.begin(), ms.end());
  printf("%s: %zu runs: min %.3f ms, median %.3f ms, max %.3f ms\n", what, ms.size(), ms.front(), ms[ms.size() / 2],
         ms.back());
}
}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 20;
  build_token_index();
  double t = now_ms();
  if (!build_merge_table()) return 1;
  printf("merge table: %u merges; first build %.3f ms\n", merge_count(), now_ms() - t);
  std::vector<double> builds;
  for (int i = 0; i < runs; ++i) {
    t = now_ms();
    build_merge_table();
    builds.push_back(now_ms() - t);
  }
  print_spread("warm merge table builds", builds);

  const std::string piece = "The quick brown fox, 請問台灣稅率？ Übermäßig\tcode(x) + 42; ";
  std::string prompt;
  while (prompt.size() + piece.size() <= 4000) prompt += piece;
  std::vector<int32_t> ids(4096);
  std::vector<double> passes;
  int32_t n = 0;
  for (int i = 0; i < runs; ++i) {
    t = now_ms();
    n = tokenize_prompt_model(prompt.c_str(), ids.data(), 1 << 20);  // no id limit: the whole prompt
    passes.push_back(now_ms() - t);
  }
  printf("prompt of %zu bytes: %d ids (templated, cut where its marked spaces pass 4000 bytes)\n", prompt.size(), n);
  print_spread("model tokenizer passes", passes);
  std::vector<double> merges;
  for (int i = 0; i < runs; ++i) {
    t = now_ms();
    n = merge_text(prompt.data(), static_cast<int32_t>(prompt.size()), ids.data());
    merges.push_back(now_ms() - t);
  }
  printf("the whole %zu bytes merged as one text: %d ids\n", prompt.size(), n);
  print_spread("merge passes", merges);
  return 0;
}
