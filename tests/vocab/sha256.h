// SHA-256 for the tests that check the embedded data against its recorded checksum.
#pragma once

#include <cstdint>
#include <string>

// Needs: len readable bytes at data. Returns the digest as 64 lower-case hex digits.
std::string sha256_hex(const void* data, uint64_t len);
