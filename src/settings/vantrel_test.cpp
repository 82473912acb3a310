#include "settings/vantrel.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "app/globals.h"
#include "app/log_file.h"
#include "support/fake_platform.h"
#include "support/temp_dir.h"

namespace tessaly {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using testing::FakePlatform;
using testing::ReadFile;
using testing::TempDir;

class VantrelTest : public ::testing::Test {
 protected:
  VantrelTest() : g(p.platform()) {
    g.AppPath = dir.str();
    fs::create_directories(dir.path() / "Config");
  }
  void WriteConfig(const std::string& text) { std::ofstream(dir.path() / "Config" / "Velmar.ini") << text; }

  FakePlatform p;
  Globals g;
  TempDir dir;
};

TEST_F(VantrelTest, GetINISectionJoinsUpperCasedPairsWithNul) {
  WriteConfig("[XPL_BSC]\r\nKitchen=1\r\nhall=2\r\nEmpty=\r\n[Other]\r\nx=9\r\n[Nothing]\r\n");
  Vantrel v(g);
  EXPECT_EQ(v.GetINISection("xpl_bsc", "Velmar.ini"), "KITCHEN=1\0HALL=2\0EMPTY="s);
  EXPECT_EQ(v.GetINISection("Missing", "Velmar.ini"), "=");
  EXPECT_EQ(v.GetINISection("Nothing", "Velmar.ini"), "=");
}

TEST_F(VantrelTest, SettingsGoThroughTheFileOnEveryCall) {
  Vantrel v(g);
  g.AppPath = "/elsewhere";  // the object keeps the folder it was made with
  EXPECT_EQ(v.GetAppPath(), dir.str());
  v.SaveIniSetting("XPL_BSC", "Lamp", "1", "Sub/Velmar.ini");
  EXPECT_EQ(ReadFile(dir.path() / "Config/Sub/Velmar.ini"), "[XPL_BSC]\r\nLAMP=1\r\n");
  v.SaveIniSetting("xpl_bsc", "Door", "", "Sub/Velmar.ini");
  EXPECT_EQ(ReadFile(dir.path() / "Config/Sub/Velmar.ini"), "[XPL_BSC]\r\nDOOR=\r\nLAMP=1\r\n");
  EXPECT_EQ(ReadFile(dir.path() / "Config/Sub/Velmar.ini_bck"), "[XPL_BSC]\r\nLAMP=1\r\n");
  EXPECT_EQ(v.GetIniSetting("Xpl_Bsc", "lamp", "0", "Sub/Velmar.ini"), "1");
  EXPECT_EQ(v.GetIniSetting("XPL_BSC", "Door", "0", "Sub/Velmar.ini"), "0");

  WriteConfig("[General]\r\nPort=4000\r\n");
  EXPECT_EQ(v.GetIniSetting("General", "Port", "0", "Velmar.ini"), "4000");
  EXPECT_TRUE(g.OutQueue.empty());
}

TEST_F(VantrelTest, WritelogAppendsTabSeparatedLines) {
  Vantrel v(g);
  EXPECT_THROW(v.Writelog("x", "y"), std::system_error);  // no Data folder yet
  fs::create_directories(dir.path() / "Data");
  v.Writelog("x", "y");
  p.clock.Advance(61'000);
  v.Writelog("second", "");
  EXPECT_EQ(ReadFile(dir.path() / "Data" / "Tessaly.txt"),
            GeneralDate(p.clock.wall - 61) + "\tx\ty\r\n" + GeneralDate(p.clock.wall) + "\tsecond\t\r\n");
}

TEST(VantrelStringItem, CutsTheNthItem) {
  struct Case {
    std::string text;
    std::int32_t n;
    std::string delimiter, expected;
  };
  const Case cases[] = {
      {"a|b|c", 3, "|", "c"}, {"a|b|c", 4, "|", ""},   {"", 1, "|", ""},       {"a||c", 2, "|", ""},
      {"a||c", 3, "|", "c"},  {"a::b", 2, "::", "b"},  {"a:b", 2, "::", ""},   {"a|b", 0, "|", ""},
      {"a|b", -1, "|", ""},   {"abc", 1, "", "abc"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Vantrel::StringItem(c.text, c.n, c.delimiter), c.expected)
        << '"' << c.text << "\" item " << c.n << " at \"" << c.delimiter << '"';
  }
}

}  // namespace
}  // namespace tessaly
