#include <gtest/gtest.h>

#include "engine/cpu_features.h"

TEST(CpuFeatures, AgreesWithTheCompilerBuiltins) {
  __builtin_cpu_init();
  bool all = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  const char* missing = missing_cpu_features();
  if (all) {
    EXPECT_EQ(missing, nullptr) << missing;
  } else {
    ASSERT_NE(missing, nullptr);
  }
}
