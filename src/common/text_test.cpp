#include "common/text.h"

#include <gtest/gtest.h>

#include <cfloat>

#include "common/folders.h"
#include "support/temp_dir.h"

namespace tessaly {

TEST(TextTest, LeadingNumberAndItsRoundedInt32) {
  const struct { const char* text; double number; std::optional<std::int32_t> int32; } cases[] = {
      {"3640\r", 3640, 3640}, {"  42abc", 42, 42}, {"\t7", 7, 7}, {"-5", -5, -5}, {"+8", 8, 8}, {".5", 0.5, 0},
      {"1e3", 1000, 1000}, {"1e", 1, 1}, {"abc", 0, 0}, {"", 0, 0}, {"-", 0, 0}, {"1e-999", 0, 0},
      {"0.0e-5000", 0, 0}, {"2.5", 2.5, 2}, {"3.5", 3.5, 4}, {"1e999", DBL_MAX, {}}, {"-1e999", -DBL_MAX, {}},
      {"2147483647", INT32_MAX, INT32_MAX}, {"-2147483648", INT32_MIN, INT32_MIN}, {"2147483648", 2147483648.0, {}},
  };
  for (const auto& c : cases) {
    EXPECT_DOUBLE_EQ(LeadingNumber(c.text), c.number) << '"' << c.text << '"';
    EXPECT_EQ(LeadingInt32(c.text), c.int32) << '"' << c.text << '"';
  }
}

TEST(FoldersTest, CreateFoldersMakesTheMissingFoldersAndStopsAtAFile) {
  testing::TempDir dir;
  RecordingReporter report;
  CreateFolders(dir.str() + "//made/below/file.ini", report);
  EXPECT_TRUE(is_directory(dir.path() / "made/below") && !exists(dir.path() / "made/below/file.ini"));

  std::ofstream(dir.path() / "plain");
  CreateFolders(dir.str() + "/plain/a/b/file.ini", report);
  ASSERT_EQ(report.entries.size(), 1u);  // the folders below are not tried
  EXPECT_EQ(report.entries[0].text, " CreateFolders " + dir.str() + "/plain");
}

}  // namespace tessaly
