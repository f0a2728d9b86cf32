#include "vocab/token_render.h"

#include <cstring>

#include "vocab/token_index.h"

namespace {
bool in_vocabulary(int32_t id) { return id >= 0 && static_cast<uint32_t>(id) < vocabulary().count; }

// True when the three bytes of U+2581 begin at s (stops early at a NUL).
bool space_mark_at(const char* s) {
  return s[0] == '\xE2' && s[1] == '\x96' && s[2] == '\x81';
}

// text with every U+2581 as one space.
std::string spaced_text(const char* text) {
  std::string out;
  for (size_t i = 0; text[i] != '\0';) {
    if (space_mark_at(text + i)) {
      out += ' ';
      i += 3;
    } else {
      out += text[i++];
    }
  }
  return out;
}
}  // namespace

void render_answer_token(int32_t id, FILE* out) {
  if (!in_vocabulary(id)) return;
  const char* text = token_text(id);
  const size_t len = std::strlen(text);
  if (text[0] == '<' && text[len - 1] == '>') return;
  // Collected and written in runs: the bytes reach out in the same order as one at a time,
  // but a console never sees a character split across writes.
  char run[256];  // rendered bytes not yet written
  size_t held = 0;
  for (size_t i = 0; i < len;) {
    if (space_mark_at(text + i)) {
      run[held++] = ' ';
      i += 3;
    } else {
      run[held++] = text[i++];
    }
    if (held == sizeof run) {
      fwrite(run, 1, held, out);
      held = 0;
    }
  }
  if (held) fwrite(run, 1, held, out);
}

void render_token_label(int32_t id, char label[kTokenLabelBytes]) {
  if (!in_vocabulary(id)) {
    snprintf(label, kTokenLabelBytes, "<UNK:%d>", id);
    return;
  }
  const char* text = token_text(id);
  int held = 0;
  for (size_t i = 0; text[i] != '\0' && held < kTokenLabelBytes - 1;) {
    if (space_mark_at(text + i)) {
      label[held++] = ' ';
      i += 3;
    } else {
      label[held++] = text[i++];
    }
  }
  label[held] = '\0';
}

std::string answer_token_text(int32_t id) {
  if (!in_vocabulary(id)) return {};
  const char* text = token_text(id);
  const size_t len = std::strlen(text);
  if (text[0] == '<' && text[len - 1] == '>') return {};
  return spaced_text(text);
}

std::string token_label_text(int32_t id) {
  if (!in_vocabulary(id)) return "<UNK:" + std::to_string(id) + ">";
  return spaced_text(token_text(id));
}
