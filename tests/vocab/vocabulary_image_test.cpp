// The embedded vocabulary image: checksum, layout and the rows the program relies on.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "tools/convert/sha256.h"
#include "vocab/vocabulary_image.h"
#include "vocab_reference.h"

namespace {
std::string embedded() {
  return std::string(reinterpret_cast<const char*>(vocabulary_image_bytes), vocabulary_image_length);
}

uint32_t embedded_u32(uint64_t at) {
  uint32_t v;
  std::memcpy(&v, vocabulary_image_bytes + at, sizeof v);
  return v;
}

TEST(Sha256, KnownDigests) {
  EXPECT_EQ(sha256_hex("", 0), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256_hex("abc", 3), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  const std::string two_blocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";  // 56 bytes
  EXPECT_EQ(sha256_hex(two_blocks.data(), two_blocks.size()),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  const std::string million(1000000, 'a');
  EXPECT_EQ(sha256_hex(million.data(), million.size()),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(VocabularyImage, EmbeddedBytesMatchRecordedChecksum) {
  std::ifstream in(std::string(KORVANE_SOURCE_DIR) + "/data/vocabulary.bin.sha256");
  std::string line;
  std::getline(in, line);
  ASSERT_GE(line.size(), 64u);
  EXPECT_EQ(line.substr(64), "  vocabulary.bin");
  EXPECT_EQ(sha256_hex(vocabulary_image_bytes, vocabulary_image_length), line.substr(0, 64));
}

TEST(VocabularyImage, EmbeddedBytesEqualTheCommittedFile) {
  ASSERT_EQ(reference_image_file().size(), 3211910u);
  EXPECT_TRUE(embedded() == reference_image_file());
}

TEST(VocabularyImage, HeaderAndSize) {
  EXPECT_EQ(vocabulary_image_length, 3211910u);
  EXPECT_EQ(embedded_u32(0), 256000u);
  EXPECT_EQ(embedded_u32(4), 2187902u);
  EXPECT_EQ(8u + 4u * 256000u + 2187902u, vocabulary_image_length);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(vocabulary_image_bytes) % 64, 0u);
}

TEST(VocabularyImage, OffsetsPackTheTextsBackToBack) {
  const uint64_t pool = 8 + 4 * 256000ull;
  const uint32_t pool_size = embedded_u32(4);
  uint32_t expected = 0;  // each text starts right after the previous one's NUL
  size_t longest = 0;
  for (uint32_t i = 0; i < 256000; ++i) {
    const uint32_t off = embedded_u32(8 + 4ull * i);
    ASSERT_EQ(off, expected) << "id " << i;
    const char* text = reinterpret_cast<const char*>(vocabulary_image_bytes + pool + off);
    const size_t len = strnlen(text, pool_size - off);
    ASSERT_LT(len, pool_size - off) << "text of id " << i << " runs off the pool";
    ASSERT_GT(len, 0u) << "empty text at id " << i;
    longest = std::max(longest, len);
    expected = off + static_cast<uint32_t>(len) + 1;
  }
  EXPECT_EQ(expected, pool_size);
  EXPECT_EQ(longest, 93u);
}

TEST(VocabularyImage, TextsAreDistinctAndSpacesAreMarked) {
  const auto& texts = reference_texts();
  ASSERT_EQ(texts.size(), 256000u);
  std::set<std::string> seen(texts.begin(), texts.end());
  EXPECT_EQ(seen.size(), texts.size());
  for (size_t i = 0; i < texts.size(); ++i) {
    ASSERT_EQ(texts[i].find(' '), std::string::npos) << "plain space in id " << i;
  }
}

TEST(VocabularyImage, RowsTheProgramReliesOn) {
  const auto& t = reference_texts();
  ASSERT_EQ(t.size(), 256000u);
  EXPECT_EQ(t[0], "<pad>");
  EXPECT_EQ(t[1], "<eos>");
  EXPECT_EQ(t[2], "<bos>");
  EXPECT_EQ(t[3], "<unk>");
  EXPECT_EQ(t[4], "<mask>");
  EXPECT_EQ(t[5], "<2mass>");
  EXPECT_EQ(t[106], "<start_of_turn>");
  EXPECT_EQ(t[107], "<end_of_turn>");
  EXPECT_EQ(t[108], "\n");
  EXPECT_EQ(t[235248], "\xE2\x96\x81");
  EXPECT_EQ(t[235308], "5");
  EXPECT_EQ(t[255999], "<unused99>");
  for (int i = 7; i <= 105; ++i) EXPECT_EQ(t[i], "<unused" + std::to_string(i - 7) + ">");
  for (int i = 109; i <= 138; ++i) EXPECT_EQ(t[i], std::string(i - 107, '\n'));
  for (int i = 139; i <= 168; ++i) {
    std::string marks;
    for (int k = 0; k < i - 137; ++k) marks += "\xE2\x96\x81";
    EXPECT_EQ(t[i], marks);
  }
  EXPECT_EQ(t[169], "<table>");
  EXPECT_EQ(t[216], "</code>");
  for (int b = 0; b < 256; ++b) {
    char want[8];
    snprintf(want, sizeof want, "<0x%02X>", b);
    EXPECT_EQ(t[217 + b], b == 9 ? std::string("\t") : std::string(want)) << "byte token " << b;
  }
}
}  // namespace
