// SHA-256 of a byte stream fed in pieces, so the converter can hash the output while it
// writes it instead of reading five gigabytes back.
#pragma once

#include <cstdint>
#include <string>

struct Sha256 {
  uint32_t state[8];
  uint8_t block[64];  // pending bytes of the current block
  uint64_t block_len;
  uint64_t total_len;  // bytes fed so far
};

// Needs: nothing. Writes the initial state into *h.
void sha256_init(Sha256* h);
// Needs: an initialised *h, data with n bytes. Feeds them.
void sha256_update(Sha256* h, const void* data, uint64_t n);
// Needs: an initialised *h (consumed). Returns the digest as 64 lowercase hex digits.
std::string sha256_final_hex(Sha256* h);

// Needs: len readable bytes at data. The digest of those bytes as 64 lowercase hex digits.
std::string sha256_hex(const void* data, uint64_t len);
