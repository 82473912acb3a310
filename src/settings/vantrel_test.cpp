#include "settings/vantrel.h"

#include <gtest/gtest.h>

#include "support/fake_platform.h"
#include "support/temp_dir.h"

namespace tessaly {

TEST(VantrelTest, SettingsGoThroughTheFileOnEveryCall) {
  testing::TempDir dir;
  testing::FakeClock clock;
  RecordingReporter report;
  Vantrel v(dir.str(), clock, report);
  v.SaveIniSetting("XPL_BSC", "Lamp", "1", "Sub/V.ini");
  v.SaveIniSetting("xpl_bsc", "Door", "", "Sub/V.ini");
  EXPECT_EQ(testing::ReadFile(dir.path() / "Config/Sub/V.ini"), "[XPL_BSC]\r\nDOOR=\r\nLAMP=1\r\n");
  EXPECT_EQ(v.GetIniSetting("Xpl_Bsc", "lamp", "0", "Sub/V.ini") + v.GetIniSetting("XPL_BSC", "Door", "0", "Sub/V.ini"),
            "10");
  // A section's keys, named literally, in file order, blank names left out, "=" for none.
  std::ofstream(dir.path() / "Config/Sub/V.ini") << "[a.b]\nIn=1\n[axb]\nX=2\n[G]\nB=1\n=x\n[g]\nA=2\nE=\n[None]\n";
  const auto section = [&](const std::string& group) { return v.GetINISection(group, "Sub/V.ini") + "|"; };
  EXPECT_EQ(section("g") + section("A.b") + section("a") + section("None"), std::string("B=1\0A=2\0E=|IN=1|=|=|", 20));
}

}  // namespace tessaly
