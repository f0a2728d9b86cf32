// The answer rendering and the label rendering of a token.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "vocab/token_index.h"
#include "vocab/token_render.h"
#include "vocab_reference.h"

namespace {
class TokenRenderTest : public ::testing::Test {
 protected:
  void SetUp() override { build_token_index(); }
  void TearDown() override { build_token_index(); }  // undo any hand-made vocabulary
};

// Renders the ids into a temporary file and returns what was written.
std::string answer(std::initializer_list<int32_t> ids) {
  FILE* f = tmpfile();
  if (!f) return "tmpfile failed";
  for (int32_t id : ids) render_answer_token(id, f);
  const long size = ftell(f);
  std::string out(static_cast<size_t>(size), '\0');
  rewind(f);
  out.resize(fread(out.data(), 1, out.size(), f));
  fclose(f);
  return out;
}

std::string label(int32_t id) {
  char buf[kTokenLabelBytes];
  std::memset(buf, 0x55, sizeof buf);
  render_token_label(id, buf);
  EXPECT_NE(std::memchr(buf, '\0', sizeof buf), nullptr) << "label of " << id << " not terminated";
  return buf;
}

TEST_F(TokenRenderTest, AnswerMarksBecomeSpaces) {
  EXPECT_EQ(answer({235248}), " ");
  EXPECT_EQ(answer({reference_id("\xE2\x96\x81Hello")}), " Hello");
  EXPECT_EQ(answer({141}), "    ");  // four marks
  EXPECT_EQ(answer({reference_id("\xE2\x96\x81Hello"), reference_id("\xE2\x96\x81world")}), " Hello world");
  // Multi-byte characters and the other white space pass unchanged.
  EXPECT_EQ(answer({57853}), "\xE3\x81\x82\xE3\x82\x8A\xE3\x81\x8C\xE3\x81\xA8\xE3\x81\x86\xE3\x81\x94\xE3\x81\x96"
                             "\xE3\x81\x84\xE3\x81\xBE\xE3\x81\x97\xE3\x81\x9F");
  EXPECT_EQ(answer({108, 226, 110}), "\n\t\n\n\n");
}

TEST_F(TokenRenderTest, AnswerHidesAngleBracketTexts) {
  for (int32_t id : {0, 1, 2, 3, 4, 5, 106, 107, 169, 216, 217, 472, 255999}) EXPECT_EQ(answer({id}), "") << id;
  for (int32_t id = 7; id <= 105; ++id) EXPECT_EQ(answer({id}), "") << id;
  EXPECT_EQ(answer({201}), "");                   // "<b>"
  EXPECT_EQ(answer({184}), "");                   // "</td>"
  EXPECT_EQ(answer({reference_id("<>")}), "");
  EXPECT_EQ(answer({reference_id("<")}), "<");    // a lone "<" does not end with ">"
  EXPECT_EQ(answer({reference_id(">")}), ">");
  EXPECT_EQ(answer({6}), "[@BOS@]");
}

TEST_F(TokenRenderTest, AnswerOutOfRangeWritesNothing) {
  EXPECT_EQ(answer({-1, 256000, INT32_MIN, INT32_MAX, 1000000}), "");
}

TEST_F(TokenRenderTest, AnswerMatchesReferenceForEveryId) {
  FILE* f = tmpfile();
  ASSERT_NE(f, nullptr);
  std::string want;
  for (int32_t id = 0; id < 256000; ++id) {
    render_answer_token(id, f);
    want += reference_answer(id);
  }
  std::string got(want.size() + 1, '\0');
  rewind(f);
  got.resize(fread(got.data(), 1, got.size(), f));
  fclose(f);
  EXPECT_EQ(got.size(), want.size());
  EXPECT_TRUE(got == want);
}

TEST_F(TokenRenderTest, LabelShowsSpecialTokensAsText) {
  EXPECT_EQ(label(1), "<eos>");
  EXPECT_EQ(label(2), "<bos>");
  EXPECT_EQ(label(106), "<start_of_turn>");
  EXPECT_EQ(label(107), "<end_of_turn>");
  for (int32_t id = 7; id <= 105; ++id) EXPECT_EQ(label(id), "<unused" + std::to_string(id - 7) + ">");
  EXPECT_EQ(label(235248), " ");
  EXPECT_EQ(label(reference_id("\xE2\x96\x81Hello")), " Hello");
  EXPECT_EQ(label(108), "\n");
}

TEST_F(TokenRenderTest, LabelCutsAfter31Bytes) {
  // Eleven marks (33 bytes of text) render as eleven spaces: no cut needed.
  EXPECT_EQ(label(148), std::string(11, ' '));
  // Id 138 is a run of 31 newlines: exactly 31 bytes fit.
  EXPECT_EQ(label(138), std::string(31, '\n'));
  // A 33-byte Japanese text is cut inside its eleventh character.
  const std::string text = reference_texts()[57853];
  ASSERT_EQ(text.size(), 33u);
  EXPECT_EQ(label(57853), text.substr(0, 31));
  EXPECT_EQ(static_cast<uint8_t>(label(57853).back()), 0xE3);  // a lead byte alone: cut mid-character
}

TEST_F(TokenRenderTest, HandMadeTextsAtTheEdges) {
  std::string marks40, long_text;
  for (int i = 0; i < 40; ++i) marks40 += "\xE2\x96\x81";
  for (int i = 0; i < 300; ++i) long_text += static_cast<char>('a' + i % 26);
  long_text += "\xE2\x96\x81" "end";
  const std::vector<uint8_t> img = make_vocabulary_image(
      {"", marks40, long_text, "ab\xE2\x96\x81" + std::string(40, 'x'), "<", "<>", "x\xE2\x96", "<a\xE2\x96\x81>"});
  build_token_index_from(img.data());
  EXPECT_EQ(answer({0}), "");
  EXPECT_EQ(label(0), "");
  EXPECT_EQ(answer({1}), std::string(40, ' '));
  EXPECT_EQ(label(1), std::string(31, ' '));
  EXPECT_EQ(answer({2}), long_text.substr(0, 300) + " end");  // no length limit in the answer
  EXPECT_EQ(label(2), long_text.substr(0, 31));
  EXPECT_EQ(label(3), "ab " + std::string(28, 'x'));
  EXPECT_EQ(answer({4}), "<");
  EXPECT_EQ(answer({5}), "");
  EXPECT_EQ(answer({6}), "x\xE2\x96");  // an incomplete mark is not a mark
  EXPECT_EQ(label(6), "x\xE2\x96");
  EXPECT_EQ(answer({7}), "");
  EXPECT_EQ(label(7), "<a >");
  EXPECT_EQ(answer({8}), "");  // out of range of this vocabulary
  EXPECT_EQ(label(8), "<UNK:8>");
}

TEST_F(TokenRenderTest, LabelOutOfRange) {
  EXPECT_EQ(label(-1), "<UNK:-1>");
  EXPECT_EQ(label(256000), "<UNK:256000>");
  EXPECT_EQ(label(INT32_MIN), "<UNK:-2147483648>");
  EXPECT_EQ(label(INT32_MAX), "<UNK:2147483647>");
}

TEST_F(TokenRenderTest, LabelMatchesReferenceForEveryId) {
  for (int32_t id = 0; id < 256000; ++id) ASSERT_EQ(label(id), reference_label(id)) << "id " << id;
}
}  // namespace
