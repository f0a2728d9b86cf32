#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "engine/weights_file.h"
#include "model/weights_layout.h"
#include "tests/support/temp_dir.h"

namespace {
struct ChangeDir {
  std::filesystem::path old = std::filesystem::current_path();
  explicit ChangeDir(const std::string& to) { std::filesystem::current_path(to); }
  ~ChangeDir() { std::filesystem::current_path(old); }
};

void write_file(const std::string& path, uint64_t size, uint8_t fill_at_end) {
  { std::ofstream(path, std::ios::binary); }
  std::filesystem::resize_file(path, size);
  if (size) {
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(size - 1));
    f.put(static_cast<char>(fill_at_end));
  }
}
}  // namespace

TEST(WeightsFile, PathLookupOrder) {
  TempDir dir;
  ChangeDir cd(dir.path);
  char path[512];
  choose_weights_path(path, sizeof path);
  EXPECT_STREQ(path, "gemma2b_fp16.bin");  // neither exists: the plain name
  std::filesystem::create_directories("korvane/models");
  write_file("korvane/models/gemma2b_fp16.bin", 16, 1);
  choose_weights_path(path, sizeof path);
  EXPECT_STREQ(path, "korvane/models/gemma2b_fp16.bin");
  write_file("gemma2b_fp16.bin", 16, 1);
  choose_weights_path(path, sizeof path);
  EXPECT_STREQ(path, "gemma2b_fp16.bin");  // the current directory wins
}

TEST(WeightsFile, MapsWholeFileAndRefusesShortOnes) {
  TempDir dir;
  WeightsView view;
  unsigned long error = 0;
  EXPECT_EQ(open_weights(dir.file("absent.bin").c_str(), &view, &error), WeightsStatus::open_failed);
  EXPECT_EQ(error, 2u);

  write_file(dir.file("short.bin"), file_off::end - 1, 7);
  EXPECT_EQ(open_weights(dir.file("short.bin").c_str(), &view, &error), WeightsStatus::truncated);
  EXPECT_EQ(view.size, file_off::end - 1);

  // Exactly the layout's end, and larger: both accepted; the last byte is readable.
  for (uint64_t extra : {uint64_t{0}, uint64_t{4096}}) {
    char leaf[32];  // built with snprintf: g++ 12 warns falsely (-Wrestrict) on string concatenation here
    snprintf(leaf, sizeof leaf, "w%llu.bin", static_cast<unsigned long long>(extra));
    std::string name = dir.file(leaf);
    write_file(name, file_off::end + extra, 0xAB);
    ASSERT_EQ(open_weights(name.c_str(), &view, &error), WeightsStatus::ok);
    EXPECT_EQ(view.size, file_off::end + extra);
    EXPECT_EQ(view.base[view.size - 1], 0xAB);
    EXPECT_EQ(view.base[file_off::end - 1], extra ? 0 : 0xAB);
  }
}
