#include "settings/ini_tool.h"

#include <gtest/gtest.h>

#include "common/folders.h"
#include "settings/vantrel.h"
#include "support/fake_platform.h"
#include "support/temp_dir.h"

namespace tessaly {

namespace fs = std::filesystem;
using namespace std::string_literals;

class IniToolTest : public ::testing::Test {
 protected:
  IniTool Loaded(const std::string& text) {
    fs::create_directories(FolderOf(path));
    fs::remove(path);  // it may be a link to /dev/full that a faulty save renamed into place
    std::ofstream(path, std::ios::binary) << text;
    IniTool ini(report);
    ini.Load(path);
    return ini;
  }
  testing::TempDir dir;
  std::string path = dir.str() + "/Config/Velmar.ini";
  RecordingReporter report;
};

// Per file: one key read back ("-" is the default) and the file Save writes, the file before kept as "_bck".
TEST_F(IniToolTest, LoadKeepsTheFirstOfEachNameAndSaveWritesThemSortedAndUpperCased) {
  const struct { std::string text, header, key, value, saved; } cases[] = {
      {"  [General]  \r\nNoBackup=1\r\n", "general", "NOBACKUP", "1", "[GENERAL]\r\nNOBACKUP=1\r\n"},
      {"[General]\nKey = V\n", "General", "Key", "-", "[GENERAL]\r\nKEY = V\r\n"},
      {"[G]\nPort=3639 ;main\nNoTray=\n", "G", "NoTray", "-", "[G]\r\nNOTRAY=\r\nPORT=3639 ;main\r\n"},
      {"[General]\nA=1\nA=2\n[GENERAL]\nA=3\n", "General", "A", "1", "[GENERAL]\r\nA=1\r\n"},
      {"[General]\na=b=c\n\tTab=x\n;Hidden=1\n", "General", "\tTab", "x", "[GENERAL]\r\n\tTAB=x\r\nA=b=c\r\n"},
      {"Early=5\n[Empty]\n[]\nNone=6\n", "", "Early", "5", "EARLY=5\r\nNONE=6\r\n"},
      {"[B]\nA=1\nC=3", "B", "C", "3", "[B]\r\nA=1\r\nC=3\r\n"},
      {"[General\nplain words\n  A=1  \n", "", "A", "1", "A=1\r\n"},
      {"[z]\nz=1\n[Bin\x01\xFF]\nk\0\x80=v\0\xFE\n"s, "bin\x01\xFF", "K\0\x80"s, "v\0\xFE"s,
       "[BIN\x01\xFF]\r\nK\0\x80=v\0\xFE\r\n[Z]\r\nZ=1\r\n"s},
  };
  for (const auto& c : cases) {
    IniTool ini = Loaded(c.text);
    EXPECT_EQ(ini.Read(c.header, c.key, "-"), c.value) << c.text;
    ini.Save();
    EXPECT_EQ(testing::ReadFile(path), c.saved) << c.text;
    EXPECT_EQ(testing::ReadFile(path + "_bck"), c.text);
  }
  EXPECT_EQ(report.entries.size(), 2u);  // "[General" and "plain words"
}

// Saves whose temporary file (path + "_new") or temporary backup (path + "_bck_new") cannot be written.
TEST_F(IniToolTest, FailedSaveIsReportedAndKeepsTheFileAndItsBackup) {
  const struct { std::size_t section, key; const char *temp, *error; } cases[] = {
      {100, 65, "", ""}, {101, 1, "", "section name longer than 100"}, {1, 66, "", "key name longer than 65"},
      {1, 1, "_new", "No space left on device"}, {1, 1, "_bck_new", "Invalid argument"},
  };
  // A temporary file renamed into place by mistake would be a link to /dev/full, which reads endless zeros.
  const auto content = [](const std::string& f) { return fs::is_symlink(f) ? "a link" : testing::ReadFile(f); };
  for (const auto& c : cases) {
    IniTool ini = Loaded("[A]\r\nB=1\r\n");
    std::ofstream(path + "_bck") << "old";
    if (*c.temp) fs::create_symlink("/dev/full", path + c.temp);
    ini.WriteKey(std::string(c.section, 's'), std::string(c.key, 'k'), "v");
    ini.Save();
    EXPECT_EQ(content(path + "_bck"), !*c.error || c.temp == "_new"s ? "[A]\r\nB=1\r\n" : "old") << c.error;
    EXPECT_TRUE(!*c.error || content(path) == "[A]\r\nB=1\r\n") << c.error;
    EXPECT_FALSE(fs::is_symlink(path + "_new") || fs::is_symlink(path + "_bck_new")) << c.error;
    EXPECT_EQ(report.entries.size(), *c.error ? 1u : 0u) << c.error;
    for (const auto& e : std::exchange(report.entries, {})) EXPECT_NE(e.error.find(c.error), e.error.npos) << e.error;
  }
}

TEST_F(IniToolTest, VantrelSettingsGoThroughTheFileOnEveryCall) {
  testing::FakeClock clock;
  Vantrel v(dir.str(), clock, report);
  v.SaveIniSetting("XPL_BSC", "Lamp", "1", "Sub/V.ini");
  v.SaveIniSetting("xpl_bsc", "Door", "", "Sub/V.ini");
  EXPECT_EQ(testing::ReadFile(dir.path() / "Config/Sub/V.ini"), "[XPL_BSC]\r\nDOOR=\r\nLAMP=1\r\n");
  // A section's keys, named literally, in file order, blank names left out, "=" for none.
  std::ofstream(dir.path() / "Config/Sub/V.ini") << "[a.b]\nIn=1\n[axb]\nX=2\n[G]\nB=1\n=x\n[g]\nA=2\nE=\n[None]\n";
  const auto section = [&](const std::string& group) { return v.GetINISection(group, "Sub/V.ini") + "|"; };
  EXPECT_EQ(section("g") + section("A.b") + section("a") + section("None"), std::string("B=1\0A=2\0E=|IN=1|=|=|", 20));
}

}  // namespace tessaly
