// The converter's number conversions against the processor's own F16C conversion (an
// independent round-to-nearest-even reference), bit for bit, and SHA-256 against published
// digests and the system's sha256sum.
#include <immintrin.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/run_binary.h"
#include "tests/support/temp_dir.h"
#include "tools/convert/half_convert.h"
#include "tools/convert/sha256.h"

namespace {

float from_bits(uint32_t b) {
  float f;
  memcpy(&f, &b, 4);
  return f;
}

uint16_t reference_half(float f) { return _cvtss_sh(f, _MM_FROUND_TO_NEAREST_INT); }

TEST(ConvertHalf, MatchesHardwareOnEveryExponentAndEveryRoundingCase) {
  // For every sign and exponent: all 8192 patterns of the 13 dropped bits under a sweep of
  // kept-mantissa patterns (covers ties to even and odd, carries into the exponent).
  uint64_t checked = 0;
  for (uint32_t sign = 0; sign < 2; sign++) {
    for (uint32_t exp = 0; exp < 256; exp++) {
      for (uint32_t kept : {0u, 1u, 2u, 0x155u, 0x2AAu, 0x3FEu, 0x3FFu}) {
        for (uint32_t low = 0; low < 0x2000u; low++) {
          uint32_t bits = sign << 31 | exp << 23 | kept << 13 | low;
          ASSERT_EQ(f32_to_f16(from_bits(bits)), reference_half(from_bits(bits))) << std::hex << bits;
          checked++;
        }
      }
    }
  }
  EXPECT_EQ(checked, 2u * 256 * 7 * 8192);
}

TEST(ConvertHalf, MatchesHardwareOnAStrideThroughAllPatterns) {
  for (uint64_t b = 0; b < (uint64_t(1) << 32); b += 4099) {
    uint32_t bits = static_cast<uint32_t>(b);
    ASSERT_EQ(f32_to_f16(from_bits(bits)), reference_half(from_bits(bits))) << std::hex << bits;
  }
}

TEST(ConvertHalf, NamedValues) {
  EXPECT_EQ(f32_to_f16(1.0f), 0x3C00);
  EXPECT_EQ(f32_to_f16(-2.0f), 0xC000);
  EXPECT_EQ(f32_to_f16(65504.0f), 0x7BFF);
  EXPECT_EQ(f32_to_f16(65519.99f), 0x7BFF);
  EXPECT_EQ(f32_to_f16(65520.0f), 0x7C00);  // the tie rounds to even: infinity
  EXPECT_EQ(f32_to_f16(0x1p-24f), 0x0001);
  EXPECT_EQ(f32_to_f16(0x1p-25f), 0x0000);           // tie with zero: even
  EXPECT_EQ(f32_to_f16(0x1.000002p-25f), 0x0001);    // just above the tie
  EXPECT_EQ(f32_to_f16(0x1.ff8p-15f), 0x03FF);       // largest subnormal, 1023 units
  EXPECT_EQ(f32_to_f16(0x1.ffcp-15f), 0x0400);       // 1023.5 units: tie to even, the smallest normal
  EXPECT_EQ(f32_to_f16(-0.0f), 0x8000);
  EXPECT_EQ(bf16_to_f32(0x3F80), 1.0f);
  EXPECT_EQ(bf16_to_f32(0xC040), -3.0f);
  EXPECT_TRUE(std::isinf(bf16_to_f32(0xFF80)));
  EXPECT_TRUE(std::isnan(bf16_to_f32(0x7FC1)));
}

TEST(ConvertHalf, BlockConversionCountsAndFindsTheFirstBadValue) {
  const float values[] = {1.0f, 70000.0f, -1e-6f, 1e-9f, 0.0f, 3e-5f, -65520.0f, 0.5f};
  HalfStats stats;
  uint16_t out[8];
  EXPECT_EQ(convert_to_f16(DType::f32, values, 8, out, &stats), 8u);
  EXPECT_EQ(stats.overflowed, 2u);
  EXPECT_EQ(stats.subnormal, 2u);  // -1e-6 and 3e-5 (below 2^-14)
  EXPECT_EQ(stats.zeroed, 1u);     // 1e-9; the true zero is not counted
  for (int i = 0; i < 8; i++) EXPECT_EQ(out[i], reference_half(values[i])) << i;

  // bf16 source at an odd address; a NaN at index 5 is found, the rest still converted.
  std::vector<unsigned char> raw(1 + 2 * 7);
  const uint16_t bf[] = {0x3F80, 0x4049, 0xC2F7, 0x0001, 0x477F, 0x7FC0, 0xBF00};
  memcpy(raw.data() + 1, bf, sizeof bf);
  HalfStats s2;
  uint16_t out2[7];
  EXPECT_EQ(convert_to_f16(DType::bf16, raw.data() + 1, 7, out2, &s2), 5u);
  for (int i = 0; i < 7; i++) {
    if (i != 5) {
      EXPECT_EQ(out2[i], reference_half(bf16_to_f32(bf[i]))) << i;
    }
  }
  EXPECT_EQ(s2.zeroed, 1u);  // 0x0001 is a tiny bf16 subnormal

  // f16 source: copied as is; infinity found.
  const uint16_t h[] = {0x3C00, 0x0001, 0x7BFF, 0xFC00};
  uint16_t out3[4];
  HalfStats s3;
  EXPECT_EQ(convert_to_f16(DType::f16, h, 3, out3, &s3), 3u);
  EXPECT_EQ(memcmp(out3, h, 6), 0);
  EXPECT_EQ(s3.subnormal + s3.zeroed + s3.overflowed, 0u);
  EXPECT_EQ(convert_to_f16(DType::f16, h, 4, out3, &s3), 3u);
}

TEST(ConvertHalf, NormsWidenExactlyAndMinusOneCountsRounding) {
  const float v[] = {1.5f, 0.75f, 2.0f, 1000.0f, 0.1f, 0x1p25f + 4.0f, 1.0f};
  float out[7];
  uint64_t inexact = 0;
  EXPECT_EQ(convert_to_f32(DType::f32, v, 7, out, true, &inexact), 7u);
  EXPECT_EQ(out[0], 0.5f);
  EXPECT_EQ(out[1], -0.25f);
  EXPECT_EQ(out[3], 999.0f);
  EXPECT_EQ(out[6], 0.0f);
  // 0.1 - 1 and (2^25 + 4) - 1 round; the others are exact.
  EXPECT_EQ(inexact, 2u);
  for (int i = 0; i < 7; i++) EXPECT_EQ(out[i], v[i] - 1.0f);

  const uint16_t h[] = {0x3C00, 0x8001, 0x7E00};
  float w[3];
  uint64_t none = 0;
  EXPECT_EQ(convert_to_f32(DType::f16, h, 3, w, false, &none), 2u);
  EXPECT_EQ(w[0], 1.0f);
  EXPECT_EQ(w[1], -0x1p-24f);
  EXPECT_EQ(none, 0u);
}

std::string sha_of(const std::string& data, const std::vector<size_t>& pieces) {
  Sha256 h;
  sha256_init(&h);
  size_t at = 0, k = 0;
  while (at < data.size()) {
    size_t n = pieces.empty() ? data.size() : pieces[k++ % pieces.size()];
    if (n > data.size() - at) n = data.size() - at;
    sha256_update(&h, data.data() + at, n);
    at += n;
  }
  return sha256_final_hex(&h);
}

TEST(ConvertSha256, PublishedDigests) {
  EXPECT_EQ(sha_of("", {}), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha_of("abc", {}), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(sha_of("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", {1}),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(sha_of(std::string(1000000, 'a'), {1, 63, 64, 65, 4096, 7}),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(ConvertSha256, PiecewiseFeedingMatchesTheSystemTool) {
  // Lengths around the 55/56/64-byte padding boundaries and a larger random buffer.
  TempDir dir;
  std::string data;
  uint32_t x = 12345;
  for (size_t len : {size_t(55), size_t(56), size_t(63), size_t(64), size_t(65), size_t(119), size_t(120),
                     size_t(1) << 20}) {
    data.resize(len);
    for (char& c : data) {
      x = x * 1664525u + 1013904223u;
      c = static_cast<char>(x >> 24);
    }
    std::ofstream(dir.file("blob"), std::ios::binary).write(data.data(), static_cast<std::streamsize>(len));
    RunResult r = run_binary({"/usr/bin/sha256sum", dir.file("blob")}, dir.path);
    ASSERT_EQ(r.status, 0);
    std::string want = r.out.substr(0, 64);
    EXPECT_EQ(sha_of(data, {}), want) << len;
    EXPECT_EQ(sha_of(data, {3, 61, 64, 1000}), want) << len;
  }
}

}  // namespace
