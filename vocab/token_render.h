// The two console renderings of a token: in the generated answer and in report labels.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

inline constexpr int kTokenLabelBytes = 32;  // label buffer, at most 31 bytes of text

// Needs: a built index. Writes the token's text to out with every U+2581 as one space.
// Writes nothing for an id outside the vocabulary, nor for a text that begins with '<' and
// ends with '>' (special tokens, byte tokens, HTML tags).
void render_answer_token(int32_t id, FILE* out = stdout);

// Needs: a built index. Writes into label the token's text with every U+2581 as one space,
// cut after 31 bytes (even inside a character) and NUL-terminated; "<UNK:id>" for an id
// outside the vocabulary.
void render_token_label(int32_t id, char label[kTokenLabelBytes]);

// Needs: a built index. The bytes render_answer_token writes, as a string.
std::string answer_token_text(int32_t id);

// Needs: a built index. The token's whole text with every U+2581 as one space (the label
// before its cut); "<UNK:id>" outside the vocabulary.
std::string token_label_text(int32_t id);
