#include "message/fast_string.h"

#include <gtest/gtest.h>

#include <string>

namespace tessaly {
namespace {

TEST(FastStringTest, KeepsEveryPieceInOrderAcrossGrowthSteps) {
  for (int count : {0, 100, 101, 200, 201, 250}) {
    FastString s;
    std::string expected;
    for (int i = 0; i < count; ++i) {
      s.Add("<" + std::to_string(i) + ">");
      expected += "<" + std::to_string(i) + ">";
    }
    EXPECT_EQ(s.Value(), expected) << count << " pieces";
    EXPECT_EQ(s.Value(), expected) << "Value must not consume the pieces";
  }
}

TEST(FastStringTest, ResetStartsOverAfterGrowth) {
  FastString s;
  for (int i = 0; i < 250; ++i) s.Add("x");
  s.Reset();
  EXPECT_EQ(s.Value(), "");
  for (int i = 0; i < 150; ++i) s.Add(std::string("\0y", 2));
  std::string expected;
  for (int i = 0; i < 150; ++i) expected += std::string("\0y", 2);
  EXPECT_EQ(s.Value(), expected);
}

}  // namespace
}  // namespace tessaly
