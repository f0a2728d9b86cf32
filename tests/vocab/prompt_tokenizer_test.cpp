// The prompt tokenizer: the fixed cases, the marking and template steps, the output limit,
// a plain reference on many prompts, and hostile input.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "driver/run_options.h"
#include "vocab/prompt_tokenizer.h"
#include "vocab/token_index.h"
#include "vocab_reference.h"

namespace {
using Ids = std::vector<int32_t>;

const std::string kMark = "\xE2\x96\x81";

class PromptTokenizerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { build_token_index(); }
};

// Tokenizes into an array of exactly `capacity` ids on the heap, so the sanitizer build
// catches any write past the end.
Ids tokenize(const std::string& prompt, int32_t capacity = 256) {
  std::unique_ptr<int32_t[]> out(new int32_t[capacity]);
  const int32_t n = tokenize_prompt(prompt.c_str(), out.get(), capacity);
  EXPECT_GE(n, 1);
  EXPECT_LE(n, std::max(1, capacity - 10));
  return Ids(out.get(), out.get() + std::max(0, std::min(n, capacity)));
}

std::string marked(const std::string& prompt) {
  char buf[kMarkedPromptBytes];
  const int32_t n = mark_prompt_spaces(prompt.c_str(), buf);
  EXPECT_EQ(static_cast<size_t>(n), std::strlen(buf));
  return std::string(buf, n);
}

const Ids kTail = {107, 108, 106, 2516, 108};  // <end_of_turn> \n <start_of_turn> model \n

Ids with_frame(const Ids& body) {
  Ids ids = {2, 3, 106, 1645, 108};
  ids.insert(ids.end(), body.begin(), body.end());
  ids.insert(ids.end(), kTail.begin(), kTail.end());
  return ids;
}

TEST_F(PromptTokenizerTest, DefaultPrompt) {
  EXPECT_EQ(std::strlen(kDefaultPrompt), 54u);
  EXPECT_EQ(tokenize(kDefaultPrompt),
            (Ids{2, 3, 106, 1645, 108, 160287, 40911, 235771, 236415, 235954, 140618, 240821, 235661, 235669,
                 240821, 236603, 233316, 235544, 107, 108, 106, 2516, 108}));
}

TEST_F(PromptTokenizerTest, FixedCases) {
  EXPECT_EQ(tokenize("hello world"), (Ids{2, 3, 106, 1645, 108, 17534, 2134, 107, 108, 106, 2516, 108}));
  EXPECT_EQ(tokenize(""), (Ids{2, 3, 106, 1645, 108, 107, 108, 106, 2516, 108}));
  EXPECT_EQ(tokenize("   "), with_frame({140}));
  EXPECT_EQ(tokenize(std::string(12, ' ')), with_frame({147, 139}));
  EXPECT_EQ(tokenize("a<end_of_turn>b"), (Ids{2, 3, 106, 1645, 108, 235250, 107, 235268, 107, 108, 106, 2516, 108}));
  // Special texts typed into the prompt are matched like any other text.
  EXPECT_EQ(tokenize("<start_of_turn>"), with_frame({106}));
  // Bytes that begin no token cost one fallback id each.
  EXPECT_EQ(tokenize("\x80\x80"), with_frame({3, 3}));
}

TEST_F(PromptTokenizerTest, ThreeHundredWordsStopAtTheLimit) {
  std::string prompt = "a";
  for (int i = 1; i < 300; ++i) prompt += " a";
  const Ids ids = tokenize(prompt);
  ASSERT_EQ(ids.size(), 246u);
  EXPECT_EQ(Ids(ids.begin(), ids.begin() + 6), (Ids{2, 3, 106, 1645, 108, 235250}));
  for (size_t i = 6; i < ids.size(); ++i) ASSERT_EQ(ids[i], 476) << "index " << i;  // "▁a", no tail
}

TEST_F(PromptTokenizerTest, CutFlagTellsWhetherTheIdLimitStoppedTheText) {
  auto words = [](int n) {
    std::string prompt = "a";
    for (int i = 1; i < n; ++i) prompt += " a";
    return prompt;
  };
  // 236 words fill the 246 ids exactly, the template's tail included; one more word is cut.
  for (int n : {1, 236, 237, 300}) {
    int32_t out[256];
    bool cut = !(n > 236);
    const int32_t count = tokenize_prompt(words(n).c_str(), out, 256, &cut);
    EXPECT_EQ(cut, n > 236) << n;
    if (n == 236) {
      EXPECT_EQ(count, 246);
    }
  }
}

TEST_F(PromptTokenizerTest, LongPromptIsCutAt4000BytesBeforeTemplating) {
  std::string prompt;
  std::mt19937 rng(11);
  const std::string letters = "abcdefghijklmnopqrstuvwxyz";
  while (prompt.size() < 4095) prompt += letters[rng() % letters.size()];
  EXPECT_EQ(marked(prompt), prompt.substr(0, 4000));
  // Capacity large enough that the limit does not hide the cut.
  const Ids full = tokenize(prompt, 5000);
  EXPECT_EQ(full, tokenize(prompt.substr(0, 4000), 5000));
  EXPECT_NE(full, tokenize(prompt.substr(0, 3999), 5000));
  EXPECT_EQ(Ids(full.end() - 5, full.end()), kTail);
  EXPECT_EQ(full, reference_tokenize(prompt, 5000));
}

TEST_F(PromptTokenizerTest, SpaceMarking) {
  EXPECT_EQ(marked("a b"), "a" + kMark + "b");
  EXPECT_EQ(marked(" "), kMark);
  // Other white space and marks already present pass unchanged.
  EXPECT_EQ(marked("\t\n\r" + kMark), "\t\n\r" + kMark);
  // The stop is tested before each byte: a space taken at 3999 bytes ends at 4002.
  EXPECT_EQ(marked(std::string(3999, 'x') + " yz"), std::string(3999, 'x') + kMark);
  EXPECT_EQ(marked(std::string(4000, 'x') + " yz"), std::string(4000, 'x'));
  std::string spaces(2000, ' ');
  std::string want;
  for (int i = 0; i < 1334; ++i) want += kMark;  // 1333 marks make 3999 bytes, one more
  EXPECT_EQ(marked(spaces), want);
  EXPECT_EQ(marked(spaces).size(), 4002u);
}

TEST_F(PromptTokenizerTest, ChatTemplate) {
  char text[kTemplatedPromptBytes];
  EXPECT_EQ(apply_chat_template("", text), 56);
  EXPECT_STREQ(text, " <start_of_turn>user\n<end_of_turn>\n<start_of_turn>model\n");
  EXPECT_EQ(apply_chat_template(("hi" + kMark).c_str(), text), 61);
  EXPECT_EQ(std::string(text), " <start_of_turn>user\nhi" + kMark + "<end_of_turn>\n<start_of_turn>model\n");
  const std::string longest(4002, 'q');
  EXPECT_EQ(apply_chat_template(longest.c_str(), text), 4058);
}

TEST_F(PromptTokenizerTest, CapacityLeavesTenIdsFree) {
  const Ids all = tokenize("hello world");
  ASSERT_EQ(all.size(), 12u);
  for (int32_t capacity = 1; capacity <= 30; ++capacity) {
    const Ids ids = tokenize("hello world", capacity);
    const size_t expect = std::min<size_t>(all.size(), std::max(1, capacity - 10));
    ASSERT_EQ(ids.size(), expect) << "capacity " << capacity;
    EXPECT_EQ(ids, Ids(all.begin(), all.begin() + expect));
  }
}

// Random prompts made of vocabulary texts, spaces, newlines and stray bytes.
std::string random_prompt(std::mt19937& rng) {
  const auto& texts = reference_texts();
  std::string prompt;
  const int pieces = static_cast<int>(rng() % 60);
  for (int i = 0; i < pieces; ++i) {
    switch (rng() % 6) {
      case 0: prompt += ' '; break;
      case 1: prompt += static_cast<char>(1 + rng() % 255); break;
      default: {
        // The text as typed: its marks become spaces again.
        const std::string& t = texts[rng() % texts.size()];
        for (size_t i = 0; i < t.size();) {
          const bool mark = t.compare(i, 3, kMark) == 0;
          prompt += mark ? ' ' : t[i];
          i += mark ? 3 : 1;
        }
      }
    }
  }
  return prompt;
}

TEST_F(PromptTokenizerTest, MatchesReferenceOnRandomPrompts) {
  std::mt19937 rng(2024);
  for (int round = 0; round < 400; ++round) {
    const std::string prompt = random_prompt(rng);
    const int32_t capacity = round % 4 == 0 ? static_cast<int32_t>(11 + rng() % 40) : 256;
    ASSERT_EQ(tokenize(prompt, capacity), reference_tokenize(prompt, capacity)) << "round " << round;
  }
}

TEST_F(PromptTokenizerTest, HostileBytesNeverBreakIt) {
  std::mt19937 rng(99);
  std::vector<std::string> prompts = {
      "\xC3",                  // truncated two-byte character
      "\xE2\x96",              // truncated mark
      "\x80\xBF\x80",          // stray continuation bytes
      "\xF8\x88\x80\x80\x80",  // five-byte form
      "\xED\xA0\x80",          // encoded surrogate
      "\xC0\xAF",              // overlong slash
      "\xFF\xFE\xFD",
  };
  std::string junk;
  for (int i = 0; i < 4095; ++i) junk += static_cast<char>(1 + rng() % 255);
  prompts.push_back(junk);
  std::string three_byte, four_byte, two_byte;
  while (three_byte.size() + 3 <= 4095) three_byte += "\xE7\xA8\x85";  // 1365 characters
  while (four_byte.size() + 4 <= 4095) four_byte += "\xF0\x9F\x98\x80";
  four_byte += "\xF0\x9F\x98";  // 4095 bytes, the last character unfinished
  while (two_byte.size() + 2 <= 4094) two_byte += "\xC3\xA9";
  two_byte += ' ';
  prompts.push_back(three_byte);
  prompts.push_back(four_byte);
  prompts.push_back(two_byte);
  for (const std::string& p : prompts) {
    for (int32_t capacity : {1, 11, 12, 256, 5000}) {
      const Ids ids = tokenize(p, capacity);
      ASSERT_EQ(ids, reference_tokenize(p, capacity)) << "prompt of " << p.size() << " bytes";
      for (int32_t id : ids) ASSERT_TRUE(id >= 0 && id < 256000);
    }
  }
  // Cut inside a character: 1333 whole three-byte characters and one byte of the next.
  EXPECT_EQ(marked(three_byte), three_byte.substr(0, 4000));
  EXPECT_EQ(static_cast<uint8_t>(marked(three_byte).back()), 0xE7);
}
}  // namespace
