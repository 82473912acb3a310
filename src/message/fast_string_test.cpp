#include "message/fast_string.h"

#include <gtest/gtest.h>

namespace tessaly {

TEST(FastStringTest, KeepsEveryPieceInOrderAcrossGrowthAndReset) {
  FastString s;
  for (int count : {0, 100, 101, 200, 201, 250}) {
    s.Reset();  // also once the slot list has grown
    std::string expected;  // one byte a piece, the first a NUL
    for (int i = 0; i < count; ++i) expected += static_cast<char>(i);
    for (const char& piece : expected) s.Add(std::string_view(&piece, 1));
    EXPECT_EQ(s.Value(), expected) << count << " pieces";
    EXPECT_EQ(s.Value(), expected) << "Value must leave the pieces in place";
  }
}

}  // namespace tessaly
