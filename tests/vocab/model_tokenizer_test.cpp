// The model tokenizer: the embedded merge table, fixed prompts whose ids the published
// tokenizer gives, and the id limit. (The corpus comparison with the package itself is
// model_tokenizer_corpus.js.)
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "vocab/merge_table.h"
#include "vocab/model_tokenizer.h"
#include "vocab/token_index.h"

namespace {
using Ids = std::vector<int32_t>;

class ModelTokenizerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    build_token_index();
    ASSERT_TRUE(build_merge_table());
  }
};

Ids tokenize(const std::string& prompt, int32_t capacity = 256, bool* cut = nullptr) {
  std::vector<int32_t> out(capacity);
  const int32_t n = tokenize_prompt_model(prompt.c_str(), out.data(), capacity, cut);
  out.resize(n);
  return out;
}

// <bos><start_of_turn>user\n BODY <end_of_turn>\n<start_of_turn>model\n
Ids framed(const Ids& body) {
  Ids ids = {2, 106, 1645, 108};
  ids.insert(ids.end(), body.begin(), body.end());
  ids.insert(ids.end(), {107, 108, 106, 2516, 108});
  return ids;
}

uint32_t read_u24(const uint8_t* p) { return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16; }

TEST_F(ModelTokenizerTest, EveryMergeJoinsItsPairsTexts) {
  ASSERT_EQ(merge_count(), 580604u);
  for (uint32_t rank = 0; rank < merge_count(); rank += 997) {
    const uint8_t* e = merge_image_bytes + kMergeHeaderBytes + kMergeEntryBytes * rank;
    const int32_t left = static_cast<int32_t>(read_u24(e)), right = static_cast<int32_t>(read_u24(e + 3));
    ASSERT_EQ(merge_rank(left, right), static_cast<int32_t>(rank));
    EXPECT_EQ(std::string(token_text(merge_result(static_cast<int32_t>(rank)))),
              std::string(token_text(left)) + token_text(right)) << "rank " << rank;
  }
  EXPECT_EQ(merge_result(merge_rank(108, 108)), 109);  // "\n" "\n"
  EXPECT_EQ(merge_rank(2, 2), -1);                       // <bos> <bos> is never merged
}

TEST_F(ModelTokenizerTest, PromptsGiveThePublishedIds) {
  EXPECT_EQ(tokenize("hello world"), framed({17534, 2134}));
  EXPECT_EQ(tokenize("antidisestablishmentarianism"), framed({2236, 1999, 140695, 7318, 2285}));
  EXPECT_EQ(tokenize("a\tb"), framed({235250, 226, 235268}));                        // the tab token
  EXPECT_EQ(tokenize("\xF0\xA0\x80\x80x"), framed({457, 377, 345, 345, 235297}));    // byte fallback
  EXPECT_EQ(tokenize("\x80\xE4\xB8"), framed({345, 445, 401}));                      // stray and cut bytes alone
  EXPECT_EQ(tokenize("  x"), framed({139, 235297}));
  EXPECT_EQ(tokenize("x\n\n\ny"), framed({235297, 110, 235267}));                   // the longest added text
  EXPECT_EQ(tokenize("<bos>x<eos>"), framed({2, 235297, 1}));                        // special texts whole
  EXPECT_EQ(tokenize("<start_of_turn"), framed({235322, 2997, 235298, 559, 235298, 15508}));
}

TEST_F(ModelTokenizerTest, IdLimitKeepsTheFirstIds) {
  std::string prompt = "word";
  for (int i = 1; i < 300; ++i) prompt += " word";
  const Ids whole = tokenize(prompt, 1 << 12);
  ASSERT_GT(whole.size(), 246u);
  for (int32_t capacity : {1, 11, 12, 50, 256}) {
    bool cut = false;
    const Ids ids = tokenize(prompt, capacity, &cut);
    ASSERT_EQ(ids.size(), size_t(std::max(1, capacity - 10))) << capacity;
    EXPECT_EQ(ids, Ids(whole.begin(), whole.begin() + ids.size())) << capacity;
    EXPECT_TRUE(cut) << capacity;
  }
  bool cut = true;
  tokenize("hello", 256, &cut);
  EXPECT_FALSE(cut);
}
}  // namespace
