// The model's own tokenization: the tokens named by the added texts matched whole, byte-pair
// merges by rank on the rest (spaces written as U+2581), byte fallback, and the chat template
// the model was trained with.
#pragma once

#include <cstdint>

inline constexpr int32_t kAddedTokenCount = 217;  // ids 0 .. 216: special and other added texts

// Needs: a built token index and merge table, a NUL-terminated prompt, capacity >= 1 ids at
// out. Writes the ids of "<bos><start_of_turn>user\n" PROMPT "<end_of_turn>\n<start_of_turn>model\n",
// the prompt cut where mark_prompt_spaces stops, at most max(1, capacity - 10) ids; returns
// how many it wrote. When `cut` is given it tells whether the id limit left ids out.
int32_t tokenize_prompt_model(const char* prompt, int32_t* out, int32_t capacity, bool* cut = nullptr);

// Needs: a built token index and merge table, len readable bytes at text (no added texts in
// them), room for len ids at out. Writes the merged ids of the text, its spaces written as
// U+2581 and characters that are no token as their bytes' <0xNN> tokens; returns how many.
int32_t merge_text(const char* text, int32_t len, int32_t* out);
