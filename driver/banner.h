// The start-up banner.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

extern const std::array<unsigned char, 439> kBannerScrambled;  // banner bytes XOR the key
extern const uint64_t kBannerLength;

// Needs: cap >= 1. Writes the unscrambled banner (at most cap - 1 bytes) and a NUL.
void unscramble_banner(char* text, size_t cap);

// Unscrambles the banner into a 1024-byte buffer and prints it with a newline.
void print_banner();
