#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "driver/banner.h"

TEST(Banner, StoredScrambledAndUnscrambledWhole) {
  char text[1024];
  unscramble_banner(text, sizeof text);
  EXPECT_EQ(strlen(text), 439u);
  EXPECT_EQ(kBannerLength, 439u);
  // The stored bytes are not the text: no printable run of the banner sits in the data.
  std::string stored(kBannerScrambled.begin(), kBannerScrambled.end());
  EXPECT_EQ(stored.find("korvane"), std::string::npos);
  EXPECT_NE(std::string(text).find("korvane"), std::string::npos);
  // A small buffer takes what fits and stays terminated.
  char small[16];
  unscramble_banner(small, sizeof small);
  EXPECT_EQ(std::string(small), std::string(text, 15));
}
