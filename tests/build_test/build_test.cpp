// The tool treats assertion failures as part of its behaviour, so every build
// must keep them enabled; this suite fails if a build type switched them off.
#include <cassert>
#include <gtest/gtest.h>

TEST(BuildTest, AssertionsStayEnabled) {
#ifdef NDEBUG
  FAIL() << "NDEBUG is defined: assertions are compiled out";
#endif
  EXPECT_DEATH(assert(1 + 1 == 3), "1 \\+ 1 == 3");
}

TEST(BuildTest, FloatExpressionsAreNotContracted) {
  // With fused multiply-add, a * b - c for these values would keep the
  // low-order bits of the product and differ from the two-rounding result.
  volatile float a = 1.0f + 0x1p-12f, b = 1.0f - 0x1p-12f, c = 1.0f;
  float separate = a * b;
  separate = separate - c;
  EXPECT_EQ(a * b - c, separate);
}
