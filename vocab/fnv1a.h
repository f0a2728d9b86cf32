// The 32-bit FNV-1a hash, shared by the token index and the state hash of the probe.
#pragma once

#include <cstdint>

// Needs: len readable bytes at data (data may be null when len is 0). Returns the 32-bit
// FNV-1a hash of the bytes in order; an empty range gives 0x811C9DC5.
uint32_t fnv1a32(const void* data, uint64_t len);
