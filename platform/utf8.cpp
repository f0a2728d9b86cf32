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
