#include "common/folders.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace tessaly {

namespace fs = std::filesystem;

TEST(FoldersTest, CreateFoldersMakesTheMissingFoldersOfAnAbsolutePathOnly) {
  testing::TempDir dir;
  RecordingReporter report;
  CreateFolders(dir.str() + "//made/below/file.ini", report);
  EXPECT_TRUE(fs::is_directory(dir.path() / "made/below") && !fs::exists(dir.path() / "made/below/file.ini"));

  // A relative path, which read from its second element on would name dir/relative: nothing is made.
  CreateFolders("." + dir.str() + "/relative/file.ini", report);
  EXPECT_FALSE(fs::exists(dir.path() / "relative") || fs::exists("." + dir.str()));

  std::ofstream(dir.path() / "plain");
  CreateFolders(dir.str() + "/plain/a/b/file.ini", report);
  ASSERT_EQ(report.entries.size(), 1u);  // the folders below are not tried
  EXPECT_EQ(report.entries[0].source + report.entries[0].text, "Tessaly CreateFolders " + dir.str() + "/plain");
  EXPECT_NE(report.entries[0].error, "");
}

}  // namespace tessaly
