// The token index built from the embedded image, lookups, the start-up line, and small
// hand-made vocabularies for the cases the real one does not contain.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "vocab/fnv1a.h"
#include "vocab/token_index.h"
#include "vocab_reference.h"

namespace {
class TokenIndexTest : public ::testing::Test {
 protected:
  void SetUp() override { build_token_index(); }
  void TearDown() override { build_token_index(); }  // undo any hand-made vocabulary
};

std::string printed_line() {
  FILE* f = tmpfile();
  if (!f) return "tmpfile failed";
  print_vocabulary_line(f);
  std::string out(256, '\0');
  rewind(f);
  out.resize(fread(out.data(), 1, out.size(), f));
  fclose(f);
  return out;
}

TEST_F(TokenIndexTest, SummaryAndTables) {
  const VocabularySummary s = build_token_index();
  EXPECT_EQ(s.count, 256000u);
  EXPECT_EQ(s.pool_size, 2187902u);
  EXPECT_EQ(vocabulary().count, 256000u);
  EXPECT_EQ(vocabulary().pool_size, 2187902u);
  // The pool is the image's own, not a copy.
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(vocabulary().pool), vocabulary_image_bytes + 8 + 4 * 256000);
  const auto& texts = reference_texts();
  ASSERT_EQ(texts.size(), 256000u);
  for (int32_t id = 0; id < 256000; ++id) ASSERT_STREQ(token_text(id), texts[id].c_str()) << id;
}

TEST_F(TokenIndexTest, StartupLine) {
  EXPECT_EQ(printed_line(),
            "\xE2\x9C\x94 [1/5] Embedded 256k Vocabulary Mapped (Total Tokens: 256000, String Pool: 2.09 MB)\n");
}

TEST_F(TokenIndexTest, BucketsAndChains) {
  const TokenIndex& ix = token_index();
  EXPECT_EQ(ix.used, 256000u);
  uint32_t occupied = 0, longest = 0;
  std::vector<int> seen(256000, 0);
  for (uint32_t b = 0; b < kTokenIndexBuckets; ++b) {
    uint32_t length = 0;
    int32_t previous = INT32_MAX;
    for (const TokenIndexEntry* e = ix.heads[b]; e; e = e->next) {
      ASSERT_GE(e, ix.entries);
      ASSERT_LT(e, ix.entries + ix.used);
      ASSERT_LT(e->id, previous) << "chain of bucket " << b << " is not in decreasing id order";
      previous = e->id;
      const char* text = token_text(e->id);
      ASSERT_EQ(fnv1a32(text, std::strlen(text)) & 0x7FFFF, b) << "id " << e->id << " in the wrong bucket";
      ++seen[e->id];
      ++length;
    }
    occupied += length > 0;
    longest = std::max(longest, length);
  }
  EXPECT_EQ(occupied, 202839u);
  EXPECT_EQ(longest, 6u);
  for (int32_t id = 0; id < 256000; ++id) ASSERT_EQ(seen[id], 1) << "id " << id;
  // Entries are taken in id order.
  for (uint32_t i = 0; i < ix.used; ++i) ASSERT_EQ(ix.entries[i].id, static_cast<int32_t>(i));
}

TEST_F(TokenIndexTest, EveryTextFindsItsOwnId) {
  const auto& texts = reference_texts();
  for (int32_t id = 0; id < static_cast<int32_t>(texts.size()); ++id) {
    ASSERT_EQ(lookup_token(texts[id].data(), texts[id].size()), id);
  }
}

TEST_F(TokenIndexTest, NamedLookups) {
  EXPECT_EQ(lookup_token("<start_of_turn>", 15), 106);
  EXPECT_EQ(lookup_token("<end_of_turn>", 13), 107);
  EXPECT_EQ(lookup_token("\n", 1), 108);
  EXPECT_EQ(lookup_token("\xE2\x96\x81", 3), 235248);
  EXPECT_EQ(lookup_token(" ", 1), -1);  // spaces are written as U+2581
  EXPECT_EQ(lookup_token("", 0), -1);   // no empty text
  EXPECT_EQ(lookup_token("\x80", 1), -1);
}

TEST_F(TokenIndexTest, LookupIsExactNotPrefix) {
  // Only len bytes count: a longer buffer still finds the shorter text.
  EXPECT_EQ(lookup_token("<start_of_turn>user", 15), 106);
  // A proper prefix or an extension of a text is that other text or nothing.
  const auto& ids = reference_ids();
  for (const std::string s : {"<start_of_turn", "<start_of_turn>>", "<end_of_turn>x", "<eo"}) {
    const auto it = ids.find(s);
    EXPECT_EQ(lookup_token(s.data(), s.size()), it == ids.end() ? -1 : it->second) << s;
  }
  // A NUL inside the bytes never matches, even where the text ends there.
  EXPECT_EQ(lookup_token("a\0", 2), -1);
  EXPECT_EQ(lookup_token("<eos>\0", 6), -1);
}

TEST_F(TokenIndexTest, LookupReadsOnlyTheGivenBytes) {
  // Exactly sized heap copies without a terminator: the sanitizer build catches any read past.
  for (int32_t id : {1, 106, 107, 235248, 255999, 57853}) {
    const std::string& t = reference_texts()[id];
    std::unique_ptr<char[]> exact(new char[t.size()]);
    std::memcpy(exact.get(), t.data(), t.size());
    EXPECT_EQ(lookup_token(exact.get(), t.size()), id);
  }
}

TEST_F(TokenIndexTest, EmptyTextKeepsItsIdButIsNotIndexed) {
  const std::vector<uint8_t> img = make_vocabulary_image({"x", "", "yy", ""});
  const VocabularySummary s = build_token_index_from(img.data());
  EXPECT_EQ(s.count, 4u);
  EXPECT_EQ(s.pool_size, 7u);
  EXPECT_EQ(token_index().used, 2u);
  EXPECT_STREQ(token_text(1), "");
  EXPECT_STREQ(token_text(2), "yy");
  EXPECT_EQ(token_index().entries[0].id, 0);
  EXPECT_EQ(token_index().entries[1].id, 2);
  EXPECT_EQ(lookup_token("", 0), -1);
  EXPECT_EQ(lookup_token("yy", 2), 2);
  EXPECT_EQ(lookup_token("y", 1), -1);
  EXPECT_EQ(printed_line(),
            "\xE2\x9C\x94 [1/5] Embedded 256k Vocabulary Mapped (Total Tokens: 4, String Pool: 0.00 MB)\n");
}

TEST_F(TokenIndexTest, CollidingTextsChainFromTheNewest) {
  // Find three short texts that share a bucket.
  std::unordered_map<uint32_t, std::vector<std::string>> by_bucket;
  std::vector<std::string> trio;
  for (int i = 0; trio.empty(); ++i) {
    std::string s(1, 't');
    s += std::to_string(i);
    auto& list = by_bucket[fnv1a32(s.data(), s.size()) & 0x7FFFF];
    list.push_back(s);
    if (list.size() == 3) trio = list;
  }
  const std::vector<uint8_t> img = make_vocabulary_image({"other", trio[0], trio[1], trio[2]});
  build_token_index_from(img.data());
  const uint32_t bucket = fnv1a32(trio[0].data(), trio[0].size()) & 0x7FFFF;
  const TokenIndexEntry* e = token_index().heads[bucket];
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->id, 3);
  ASSERT_NE(e->next, nullptr);
  EXPECT_EQ(e->next->id, 2);
  ASSERT_NE(e->next->next, nullptr);
  EXPECT_EQ(e->next->next->id, 1);
  EXPECT_EQ(e->next->next->next, nullptr);
  for (int k = 0; k < 3; ++k) EXPECT_EQ(lookup_token(trio[k].data(), trio[k].size()), k + 1);
  EXPECT_EQ(lookup_token("other", 5), 0);
}

TEST_F(TokenIndexTest, RebuildStartsFromEmptyBuckets) {
  const std::vector<uint8_t> img = make_vocabulary_image({"only"});
  build_token_index_from(img.data());
  EXPECT_EQ(token_index().used, 1u);
  EXPECT_EQ(lookup_token("<start_of_turn>", 15), -1);  // nothing left over from the big vocabulary
  uint32_t occupied = 0;
  for (uint32_t b = 0; b < kTokenIndexBuckets; ++b) occupied += token_index().heads[b] != nullptr;
  EXPECT_EQ(occupied, 1u);
}
}  // namespace
