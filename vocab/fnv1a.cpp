#include "vocab/fnv1a.h"

uint32_t fnv1a32(const void* data, uint64_t len) {
  const uint8_t* bytes = static_cast<const uint8_t*>(data);  // len bytes, caller's
  uint32_t hash = 0x811C9DC5u;
  for (uint64_t i = 0; i < len; ++i) {
    hash ^= bytes[i];
    hash *= 0x01000193u;  // unsigned wrap-around is the modulo 2^32
  }
  return hash;
}
