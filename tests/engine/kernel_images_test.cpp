// The embedded images: their entry table, and a call through the executable copy.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "engine/kernel_images.h"
#include "kernels/kernels.h"

namespace {
// A 16-byte stub: a 5-byte relative jump, then NOP fill. Returns the jump's target offset.
int64_t stub_target(const uint8_t* image, int stub) {
  const uint8_t* s = image + 16 * stub;
  EXPECT_EQ(s[0], 0xE9);
  for (int i = 5; i < 16; i++) EXPECT_EQ(s[i], 0x90) << "stub " << stub << " byte " << i;
  int32_t rel;
  memcpy(&rel, s + 1, 4);
  return 16 * stub + 5 + rel;
}
}  // namespace

TEST(KernelImages, EntryTableJumpsInsideTheImage) {
  ASSERT_GT(kernel_image_length, 32u);
  ASSERT_GT(worker_image_length, 0u);
  for (int stub = 0; stub < 2; stub++) {
    int64_t target = stub_target(kernel_image_bytes, stub);
    EXPECT_GE(target, 32);
    EXPECT_LT(target, static_cast<int64_t>(kernel_image_length));
  }
  // Both entries lead to different routines.
  EXPECT_NE(stub_target(kernel_image_bytes, 0), stub_target(kernel_image_bytes, 1));
}

TEST(KernelImages, CopiesAreExecutableAndEqualTheEmbeddedBytes) {
  LoadedImages images;
  ASSERT_TRUE(load_kernel_images(&images));
  EXPECT_EQ(memcmp(images.kernel_copy, kernel_image_bytes, kernel_image_length), 0);
  EXPECT_EQ(memcmp(images.worker_copy, worker_image_bytes, worker_image_length), 0);
  EXPECT_EQ(reinterpret_cast<const void*>(images.token_step), images.kernel_copy);

  // A forced token returns at once through stub 0 without touching any buffer.
  InferenceContext ctx{};
  std::vector<float> hidden(2048, 1.25f);
  ctx.hidden = hidden.data();
  ctx.forced_token = 7;
  EXPECT_EQ(images.token_step(&ctx), 7u);
  EXPECT_EQ(token_step(&ctx), 7u);  // the library build of the same code agrees
  for (float v : hidden) ASSERT_EQ(v, 1.25f);
}
