// The start-up banner, kept in the program's data XOR-scrambled with one key byte.
#include "driver/banner.h"

#include <cstdio>

namespace {
constexpr unsigned char kBannerKey = 0xA7;

// The plain text exists only at compile time; the binary holds the scrambled bytes.
constexpr char kBannerPlain[] =
    "  _  __  ___   ____  __     __  _    _   _  _____\n"
    " | |/ / / _ \\ |  _ \\ \\ \\   / / / \\  | \\ | || ____|\n"
    " | ' / | | | || |_) | \\ \\ / / / _ \\ |  \\| ||  _|\n"
    " | . \\ | |_| ||  _ <   \\ V / / ___ \\| |\\  || |___\n"
    " |_|\\_\\ \\___/ |_| \\_\\   \\_/ /_/   \\_\\_| \\_||_____|\n"
    "\n"
    " korvane :: FP16 transformer on the CPU, read from inside\n"
    " 18 layers x 2048 wide | 8 query heads, 1 KV head | 256k vocab\n"
    " AVX2 + FMA + F16C kernels | 4-axis probe | head knockout | splice";
static_assert(sizeof kBannerPlain - 1 == 439);

constexpr std::array<unsigned char, 439> scramble() {
  std::array<unsigned char, 439> out{};
  for (size_t i = 0; i < out.size(); i++) out[i] = static_cast<unsigned char>(kBannerPlain[i]) ^ kBannerKey;
  return out;
}
}  // namespace

constinit const std::array<unsigned char, 439> kBannerScrambled = scramble();
constinit const uint64_t kBannerLength = kBannerScrambled.size();

void unscramble_banner(char* text, size_t cap) {
  uint64_t n = kBannerLength < cap - 1 ? kBannerLength : cap - 1;
  for (uint64_t i = 0; i < n; i++) text[i] = static_cast<char>(kBannerScrambled[i] ^ kBannerKey);
  text[n] = '\0';
}

void print_banner() {
  char text[1024];
  unscramble_banner(text, sizeof text);
  printf("%s\n", text);
}
