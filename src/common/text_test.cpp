#include "common/text.h"

#include <gtest/gtest.h>

#include <limits>

namespace tessaly {
namespace {

TEST(TextTest, LeadingNumberReadsTheNumberAtTheStart) {
  struct Case {
    const char* text;
    double value;
  };
  const Case cases[] = {
      {"3640", 3640},     {"3640\r", 3640},  {"  42abc", 42},   {"\t7", 7},        {"-5", -5},
      {"+8", 8},          {"2.5", 2.5},      {".5", 0.5},       {"5.", 5},         {"1e3", 1000},
      {"1e", 1},          {"1e+", 1},        {"abc", 0},        {"", 0},           {"-", 0},
      {".", 0},           {"- 5", 0},        {"1e-999", 0},     {"0.0e-5000", 0},  {"99999999999", 99999999999.0},
  };
  for (const Case& c : cases) EXPECT_DOUBLE_EQ(LeadingNumber(c.text), c.value) << '"' << c.text << '"';
  EXPECT_EQ(LeadingNumber("1e999"), std::numeric_limits<double>::max());
  EXPECT_EQ(LeadingNumber("-1e999"), -std::numeric_limits<double>::max());
}

TEST(TextTest, LeadingInt32RoundsHalfToEvenAndRefusesOverflow) {
  EXPECT_EQ(LeadingInt32("2.5"), 2);
  EXPECT_EQ(LeadingInt32("3.5"), 4);
  EXPECT_EQ(LeadingInt32("-2.5"), -2);
  EXPECT_EQ(LeadingInt32("2147483647"), 2147483647);
  EXPECT_EQ(LeadingInt32("-2147483648"), -2147483647 - 1);
  EXPECT_EQ(LeadingInt32("2147483648"), std::nullopt);
  EXPECT_EQ(LeadingInt32("99999999999"), std::nullopt);
}

TEST(TextTest, CaseAndSplitHelpers) {
  EXPECT_EQ(FindNoCase("xx SOURCE=a", "source="), 3u);
  EXPECT_EQ(FindNoCase("abc", "abcd"), std::string_view::npos);
  EXPECT_EQ(TrimSpaces("  a\tb  "), "a\tb");
  EXPECT_EQ(Split("", "."), std::vector<std::string>{""});
  EXPECT_EQ(Split("a..b", "."), (std::vector<std::string>{"a", "", "b"}));
  EXPECT_EQ(PadLeft("10.1.1.1", 15), "       10.1.1.1");
  EXPECT_EQ(ReplaceAll("a|b|", "|", "\n"), "a\nb\n");
  std::int32_t counter = 2147483647;
  Increment(counter);
  EXPECT_EQ(counter, -2147483647 - 1);
}

}  // namespace
}  // namespace tessaly
