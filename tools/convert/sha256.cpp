#include "tools/convert/sha256.h"

#include <cstring>

namespace {
constexpr uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

inline uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

// Needs: p with 64 bytes. Mixes one block into the state.
void compress(uint32_t* state, const uint8_t* p) {
  uint32_t w[64];
  for (int i = 0; i < 16; i++)
    w[i] = uint32_t(p[4 * i]) << 24 | uint32_t(p[4 * i + 1]) << 16 | uint32_t(p[4 * i + 2]) << 8 | p[4 * i + 3];
  for (int i = 16; i < 64; i++) {
    uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
    uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
  for (int i = 0; i < 64; i++) {
    uint32_t t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + kRound[i] + w[i];
    uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  state[4] += e;
  state[5] += f;
  state[6] += g;
  state[7] += h;
}
}  // namespace

void sha256_init(Sha256* h) {
  static constexpr uint32_t kInit[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                        0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  memcpy(h->state, kInit, sizeof kInit);
  h->block_len = 0;
  h->total_len = 0;
}

void sha256_update(Sha256* h, const void* data, uint64_t n) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  h->total_len += n;
  if (h->block_len > 0) {
    uint64_t take = 64 - h->block_len < n ? 64 - h->block_len : n;
    memcpy(h->block + h->block_len, p, take);
    h->block_len += take;
    p += take;
    n -= take;
    if (h->block_len < 64) return;
    compress(h->state, h->block);
    h->block_len = 0;
  }
  for (; n >= 64; p += 64, n -= 64) compress(h->state, p);
  memcpy(h->block, p, n);
  h->block_len = n;
}

std::string sha256_final_hex(Sha256* h) {
  uint64_t bits = h->total_len * 8;
  uint8_t pad[72] = {0x80};
  uint64_t pad_len = (h->block_len < 56 ? 56 : 120) - h->block_len;
  for (int i = 0; i < 8; i++) pad[pad_len + i] = uint8_t(bits >> (56 - 8 * i));
  uint64_t saved = h->total_len;
  sha256_update(h, pad, pad_len + 8);
  h->total_len = saved;
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (uint32_t word : h->state)
    for (int i = 28; i >= 0; i -= 4) out.push_back(kHex[(word >> i) & 0xF]);
  return out;
}

std::string sha256_hex(const void* data, uint64_t len) {
  Sha256 h;
  sha256_init(&h);
  sha256_update(&h, data, len);
  return sha256_final_hex(&h);
}
