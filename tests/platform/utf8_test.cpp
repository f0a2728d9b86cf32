#include <gtest/gtest.h>

#include <string>

#include "platform/utf8.h"

TEST(Utf8Fit, CutsOnlyAtCharacterBoundaries) {
  const std::string s = "a\xE5\x8F\xB0\xF0\x9F\x98\x80z";  // a, 台 (3 bytes), 😀 (4 bytes), z
  EXPECT_EQ(utf8_fit(s.data(), s.size(), 100), s.size());
  EXPECT_EQ(utf8_fit(s.data(), s.size(), 1), 1u);
  EXPECT_EQ(utf8_fit(s.data(), s.size(), 2), 1u);
  EXPECT_EQ(utf8_fit(s.data(), s.size(), 3), 1u);
  EXPECT_EQ(utf8_fit(s.data(), s.size(), 4), 4u);
  for (size_t limit = 5; limit < 8; limit++) EXPECT_EQ(utf8_fit(s.data(), s.size(), limit), 4u);
  EXPECT_EQ(utf8_fit(s.data(), s.size(), 8), 8u);
  EXPECT_EQ(utf8_fit(s.data(), s.size(), 0), 0u);
}

TEST(Utf8Fit, InvalidBytesCountAsWholeCharacters) {
  const std::string stray = "ab\x80\x80\x80\x80\x80";  // continuation bytes without a lead
  EXPECT_EQ(utf8_fit(stray.data(), stray.size(), 6), 6u);
  const std::string lone_lead = "ab\xE5";
  EXPECT_EQ(utf8_fit(lone_lead.data(), lone_lead.size(), 3), 3u);
  const std::string ascii(50, 'q');
  for (size_t limit = 0; limit <= 50; limit++) EXPECT_EQ(utf8_fit(ascii.data(), ascii.size(), limit), limit);
}
