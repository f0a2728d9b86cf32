#include "platform/utf8.h"

size_t utf8_fit(const char* s, size_t len, size_t limit) {
  if (len <= limit) return len;
  size_t cut = limit;
  // Walk back over continuation bytes to the lead byte of the character at the cut.
  size_t lead = cut;
  while (lead > 0 && (static_cast<unsigned char>(s[lead]) & 0xC0) == 0x80 && cut - lead < 3) lead--;
  if (lead == cut) return cut;  // the cut falls on a character boundary
  unsigned char b = static_cast<unsigned char>(s[lead]);
  size_t need = (b >= 0xF0 && b < 0xF8) ? 4 : (b >= 0xE0) ? 3 : (b >= 0xC0) ? 2 : 1;
  // A lead byte whose character would run past the cut is dropped with its tail.
  if (need > 1 && lead + need > cut) return lead;
  return cut;
}

size_t utf8_char_length(const char* s, size_t len) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(s);
  const unsigned c = p[0];
  if (c < 0x80) return 1;
  size_t n;
  unsigned min, cp;
  if ((c & 0xE0) == 0xC0) { n = 2; min = 0x80; cp = c & 0x1F; }
  else if ((c & 0xF0) == 0xE0) { n = 3; min = 0x800; cp = c & 0x0F; }
  else if ((c & 0xF8) == 0xF0) { n = 4; min = 0x10000; cp = c & 0x07; }
  else return 0;
  if (len < n) return 0;
  for (size_t i = 1; i < n; i++) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (p[i] & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return n;
}

bool utf8_valid(const char* s, size_t len) {
  for (size_t i = 0; i < len;) {
    const size_t n = utf8_char_length(s + i, len - i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}
