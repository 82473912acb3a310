#include "app/log_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "app/globals.h"
#include "support/fake_platform.h"
#include "support/temp_dir.h"

namespace tessaly {
namespace {

using testing::FakePlatform;
using testing::ReadFile;
using testing::TempDir;

class LogFileTest : public ::testing::Test {
 protected:
  LogFileTest() : g(p.platform()) {
    g.AppPath = dir.str();
    g.MyPid = 77;
    std::filesystem::create_directories(dir.path() / "Data");
  }
  std::size_t Lines() {
    std::string text = ReadFile(dir.path() / "Data" / "Tessaly77.txt");
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
  }
  TempDir dir;
  FakePlatform p;
  Globals g;
};

TEST_F(LogFileTest, LineCarriesAndClearsPendingError) {
  g.Err.Set(12, "Overflow");
  WriteLogFile(g, "Tessaly", "Readmessage");
  WriteLogFile(g, "Tessaly", "multi\nline");
  std::string text = ReadFile(dir.path() / "Data" / "Tessaly77.txt");
  std::string date = GeneralDate(p.clock.Now());
  EXPECT_EQ(text, date + " | Tessaly Readmessage at Line 12 Overflow\r\n" + date +
                      " | Tessaly multi\nline at Line 0 \r\n");
  EXPECT_EQ(g.Err.description, "");
}

TEST_F(LogFileTest, MissingDataFolderLosesLineQuietly) {
  g.AppPath = dir.str() + "/nowhere";
  g.Err.Set(1, "x");
  WriteLogFile(g, "Tessaly", "lost");
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "nowhere"));
  EXPECT_EQ(g.Err.line, 0) << "the pending error is consumed all the same";
}

TEST_F(LogFileTest, FloodOfLinesIsCappedPerMinuteAndCounted) {
  for (int i = 0; i < kLogLinesPerMinute + 50; ++i) WriteLogFile(g, "From XAP", "");
  EXPECT_EQ(Lines(), static_cast<std::size_t>(kLogLinesPerMinute));
  p.clock.Advance(60000);
  WriteLogFile(g, "Tessaly", "Readmessage");
  std::string text = ReadFile(dir.path() / "Data" / "Tessaly77.txt");
  EXPECT_NE(text.find(" | Tessaly 50 log lines left out in the minute before at Line 0 \r\n"), std::string::npos);
  EXPECT_EQ(Lines(), static_cast<std::size_t>(kLogLinesPerMinute) + 2);
}

}  // namespace
}  // namespace tessaly
