// Small UTF-8 helpers shared by the platform implementations.
#pragma once

#include <cstddef>

// Needs: s holds len bytes. Returns the largest length <= min(len, limit) that does not
// end inside a multi-byte UTF-8 character (continuation bytes 10xxxxxx are never left
// without their lead byte). Bytes that are not valid UTF-8 are treated as whole characters.
size_t utf8_fit(const char* s, size_t len, size_t limit);

// Needs: s holds len bytes. True when they are well-formed UTF-8 (no overlong forms, no
// surrogates, nothing past U+10FFFF).
bool utf8_valid(const char* s, size_t len);

// Needs: s holds len bytes. Returns the length of the well-formed UTF-8 character at s, or 0
// when the byte at s does not begin one (len >= 1).
size_t utf8_char_length(const char* s, size_t len);
