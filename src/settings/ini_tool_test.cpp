#include "settings/ini_tool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "app/globals.h"
#include "common/text.h"
#include "message/out_queue.h"
#include "support/fake_platform.h"
#include "support/temp_dir.h"

namespace tessaly {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using testing::FakePlatform;
using testing::ReadFile;
using testing::TempDir;
using Names = std::vector<std::string>;

class IniToolTest : public ::testing::Test {
 protected:
  IniToolTest() : g(p.platform()) {}

  std::string Path() const { return dir.str() + "/Config/Velmar.ini"; }
  IniTool Loaded(const std::string& text, const std::string& path = "") {
    const std::string at = path.empty() ? Path() : path;
    fs::create_directories(fs::path(at).parent_path());
    std::ofstream(at, std::ios::binary) << text;
    IniTool ini(g);
    ini.Load(at);
    return ini;
  }
  // Each queued log event as "<Type>:<Data>".
  Names Events() const {
    Names out;
    for (const xapQueuedMessage& m : g.OutQueue) {
      const Names items = Split(m.MsgData, "\0"s);
      out.push_back(items.at(1).substr(5) + ":" + items.at(2).substr(5));
    }
    return out;
  }

  FakePlatform p;
  Globals g;
  TempDir dir;
};

TEST_F(IniToolTest, LineRulesDecideWhatIsStored) {
  struct Case {
    const char *text, *header, *key, *expected;
  };
  const Case cases[] = {
      {"  [General]  \r\nNoBackup=1\r\n", "General", "NoBackup", "1"},
      {"[General]\nKey = Value\n", "General", "Key", "dflt"},  // the stored name ends in a blank
      {"[General]\nKey = Value\n", "General", "Key ", " Value"},
      {"[General]\nPort=3639 ;main\n", "General", "Port", "3639 ;main"},
      {"[General]\nNoBackup=0\n", "general", "nobackup", "0"},
      {"[General]\nNoTray=\n", "General", "NoTray", "dflt"},
      {"[General]\nNoBackup=1\nNoBackup=2\n", "General", "NoBackup", "1"},
      {"[General]\nA=1\n[GENERAL]\nA=2\n", "General", "A", "1"},
      {"[General]\na=b=c\n", "General", "a", "b=c"},
      {"[General]\n\tTab=x\n", "General", "\tTab", "x"},
      {"[General]\n;Hidden=1\n", "General", ";Hidden", "dflt"},
      {"Early=5\n[General]\n", "", "Early", "5"},
      {"[]\nEmpty=6\n", "", "Empty", "6"},
      {"[General]\nA=1\r\nB=2\nC=3", "General", "C", "3"},
      {"[General]\nA=x\r\r\n", "General", "A", "x\r"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Loaded(c.text).Read(c.header, c.key, "dflt"), c.expected) << "file: " << c.text;
  }
}

TEST_F(IniToolTest, LineWithoutEqualSignIsReportedAndSkipped) {
  IniTool ini = Loaded("[General\nplain words\n  A=1  \n");
  EXPECT_EQ(Events(), (Names{"IniTool: Equal sign not found on line [General",
                             "IniTool: Equal sign not found on line plain words"}));
  EXPECT_EQ(ini.Read("", "A", "-"), "1");  // "[General" opened no section
}

TEST_F(IniToolTest, HeadersAndKeysListInInsertionOrder) {
  IniTool ini = Loaded("[General]\nB=1\n[Other]\n[GENERAL]\nA=2\n=no name\n");
  EXPECT_EQ(ini.Headers(), (Names{"General", "Other"}));
  EXPECT_EQ(ini.Keys("general"), (Names{"B", "A"}));
  EXPECT_EQ(ini.Keys("Other"), Names{""});
  EXPECT_EQ(ini.Keys("Missing"), Names{""});
  EXPECT_EQ(IniTool(g).Headers(), Names{""});

  ini.WriteKey("general", "b", "10");
  ini.WriteKey("New", "K", "v");
  ini.WriteKey("New", "   ", "blank name");
  ini.Remove("General", "A");
  ini.Remove("New", "K");
  EXPECT_EQ(ini.Read("GENERAL", "B", ""), "10");
  EXPECT_EQ(ini.Keys("General"), Names{"B"});
  EXPECT_EQ(ini.Keys("New"), Names{""});
  EXPECT_EQ(ini.Headers(), (Names{"General", "Other", "New"}));
}

TEST_F(IniToolTest, KeysMatchesTheSectionNameLiterally) {
  IniTool ini = Loaded("[a.b]\nIn=1\n[axb]\nOut=1\n[x+]\nPlus=1\n[xx]\nDouble=1\n[(]\nParen=1\n[a]\nShort=1\n");
  EXPECT_EQ(ini.Keys("A.b"), Names{"IN"});
  EXPECT_EQ(ini.Keys("x+"), Names{"PLUS"});
  EXPECT_EQ(ini.Keys("("), Names{"PAREN"});
  EXPECT_EQ(ini.Keys("a"), Names{"SHORT"});
  EXPECT_EQ(ini.Keys(".*"), Names{""});
}

TEST_F(IniToolTest, SaveWritesSortedUpperCasedLayout) {
  IniTool ini = Loaded(
      "; settings\r\nzeta=last\r\nalpha=first\r\n[General]\r\nNoTray=1\r\nKey = Value\r\n[Abandoned]\r\n"
      "[aRea]\r\nx=\r\ny=AREA~Y\r\n[general]\r\nBackupWanted=0\r\n");
  ini.Save();
  EXPECT_EQ(ReadFile(Path()),
            "ALPHA=first\r\nZETA=last\r\n[AREA]\r\nX=\r\nY=AREA~Y\r\n"
            "[GENERAL]\r\nBACKUPWANTED=0\r\nKEY = Value\r\nNOTRAY=1\r\n");
  EXPECT_EQ(Loaded(ReadFile(Path())).Read("General", "Key ", ""), " Value");
}

TEST_F(IniToolTest, SecondSaveKeepsTheFirstSavedFileAsBackup) {
  IniTool ini = Loaded("[General]\nA=1\n");
  ini.WriteKey("General", "B", "2");
  ini.Save();
  EXPECT_EQ(ReadFile(Path() + "_bck"), "[General]\nA=1\n");
  ini.WriteKey("General", "C", "3");
  ini.Save();
  EXPECT_EQ(ReadFile(Path() + "_bck"), "[GENERAL]\r\nA=1\r\nB=2\r\n");
  EXPECT_EQ(ReadFile(Path()), "[GENERAL]\r\nA=1\r\nB=2\r\nC=3\r\n");
  Names files;
  for (const auto& e : fs::directory_iterator(dir.path() / "Config")) files.push_back(e.path().filename());
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (Names{"Velmar.ini", "Velmar.ini_bck"}));
  EXPECT_TRUE(g.OutQueue.empty());
}

TEST_F(IniToolTest, RefusedSaveTouchesNoFile) {
  struct Case {
    std::size_t section_length, key_length;
    bool loaded, saves;
  };
  const Case cases[] = {{100, 65, true, true}, {101, 1, true, false}, {1, 66, true, false}, {1, 1, false, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "section " << c.section_length << ", key " << c.key_length);
    g.OutQueue.clear();
    fs::remove(Path() + "_bck");
    IniTool ini = c.loaded ? Loaded("[General]\nA=1\n") : IniTool(g);
    ini.WriteKey(std::string(c.section_length, 's'), std::string(c.key_length, 'k'), "v");
    EXPECT_NO_THROW(ini.Save());
    EXPECT_EQ(fs::exists(Path() + "_bck"), c.saves && c.loaded);
    if (c.saves) continue;
    ASSERT_EQ(Events().size(), 1u);
    EXPECT_EQ(Events()[0].rfind("Tessaly:IniTool Save " + (c.loaded ? Path() : "") + " Line 0 ", 0), 0u)
        << Events()[0];
    if (c.loaded) {
      EXPECT_EQ(ReadFile(Path()), "[General]\nA=1\n");
    }
  }
}

TEST_F(IniToolTest, LoadCreatesMissingFileOrThrows) {
  const std::string path = dir.str() + "/deep/er/Orrin.ini";
  IniTool ini(g);
  ini.Load(path);
  EXPECT_TRUE(fs::is_regular_file(path));
  EXPECT_EQ(fs::file_size(path), 0u);

  fs::create_directories(Path());  // a folder where the file should be
  EXPECT_ANY_THROW(ini.Load(Path()));
  EXPECT_ANY_THROW(ini.Load(path + "/below/a.ini"));  // a file where a folder should be
  EXPECT_EQ(Events(), Names{"Tessaly: CreateFolders " + path + " Line 0 File exists"});
}

TEST_F(IniToolTest, JunkAndLargeFilesLoad) {
  std::string bytes = "[Bin\x01\xFF]\nk\x00\x80=v\x00\xFE\n"s;
  for (int c = 0; c < 256; ++c) bytes += static_cast<char>(c);
  IniTool junk = Loaded(bytes);
  EXPECT_EQ(junk.Read("Bin\x01\xFF", "k\x00\x80"s, ""), "v\x00\xFE"s);
  junk.Save();
  EXPECT_EQ(Loaded(ReadFile(Path())).Read("Bin\x01\xFF", "k\x00\x80"s, ""), "v\x00\xFE"s);

  std::string text = "[Big]\r\n";
  int n = 0;
  for (; text.size() < 5'000'000; ++n) text += "Key" + std::to_string(n) + "=Value" + std::to_string(n) + "\r\n";
  IniTool big = Loaded(text);
  EXPECT_EQ(big.Read("Big", "Key" + std::to_string(n - 1), ""), "Value" + std::to_string(n - 1));
  EXPECT_EQ(big.Keys("Big").size(), static_cast<std::size_t>(n));
}

// A 64 KB tmpfs over a folder of the temp dir. Mounting needs root; without
// it mounted() is false.
class SmallFileSystem {
 public:
  explicit SmallFileSystem(const fs::path& where) : where_(where.string()) {
    fs::create_directories(where);
    mounted_ = Run("mount -t tmpfs -o size=64k tessaly-test '" + where_ + "' 2>/dev/null");
  }
  ~SmallFileSystem() {
    if (mounted_) Run("umount '" + where_ + "'");
  }
  bool mounted() const { return mounted_; }
  bool ReadOnly() { return Run("mount -o remount,ro '" + where_ + "'"); }
  // Fills the file system, then frees `spare` bytes again.
  void Fill(std::size_t spare) {
    const std::string filler = where_ + "/filler";
    std::ofstream out(filler, std::ios::binary);
    const std::string block(4096, 'f');
    for (int i = 0; i < 32 && out.write(block.data(), block.size()).flush(); ++i) {
    }
    out.close();
    fs::resize_file(filler, fs::file_size(filler) - std::min(spare, fs::file_size(filler)));
  }

 private:
  static bool Run(const std::string& command) { return std::system(command.c_str()) == 0; }
  std::string where_;
  bool mounted_ = false;
};

TEST_F(IniToolTest, SaveIntoFullFileSystemKeepsOldFileAndBackup) {
  // No room at all; room for the backup copy but not for the new file.
  for (std::size_t spare : {0, 4096}) {
    SCOPED_TRACE(::testing::Message() << "spare bytes " << spare);
    SmallFileSystem small(dir.path() / std::to_string(spare));
    if (!small.mounted()) GTEST_SKIP() << "mounting a tmpfs needs root";
    IniTool ini = Loaded("[General]\r\nA=1\r\n", (dir.path() / std::to_string(spare) / "Velmar.ini").string());
    const std::string path = dir.str() + "/" + std::to_string(spare) + "/Velmar.ini";
    ini.WriteKey("General", "B", "2");
    ini.Save();
    const std::string before = ReadFile(path);

    small.Fill(spare);
    ini.WriteKey("General", "Big", std::string(16 * 1024, 'x'));
    ini.Save();
    EXPECT_TRUE(ReadFile(path) == before) << "the previous file was changed";
    EXPECT_EQ(ReadFile(path + "_bck"), spare ? before : "[General]\r\nA=1\r\n");
    ASSERT_EQ(Events().size(), 1u);
    EXPECT_NE(Events()[0].find("IniTool Save " + path + " Line 0 "), std::string::npos) << Events()[0];
    EXPECT_NE(Events()[0].find("No space left on device"), std::string::npos) << Events()[0];
    EXPECT_FALSE(fs::exists(path + "_new"));
    g.OutQueue.clear();
  }
}

TEST_F(IniToolTest, SaveIntoReadOnlyFolderIsReported) {
  SmallFileSystem small(dir.path() / "ro");
  const std::string path = dir.str() + "/ro/Velmar.ini";
  IniTool ini = Loaded("[General]\nA=1\n", path);
  ini.WriteKey("General", "A", "2");
  // root ignores permission bits; a read-only mount stands in for them.
  if (small.mounted()) {
    ASSERT_TRUE(small.ReadOnly());
  } else {
    fs::permissions(dir.path() / "ro", fs::perms::owner_read | fs::perms::owner_exec);
  }
  ini.Save();
  if (!small.mounted()) fs::permissions(dir.path() / "ro", fs::perms::owner_all);
  EXPECT_EQ(ReadFile(path), "[General]\nA=1\n");
  ASSERT_EQ(Events().size(), 1u);
  EXPECT_EQ(Events()[0].rfind("Tessaly:IniTool Save " + path + " Line 0 ", 0), 0u) << Events()[0];
}

}  // namespace
}  // namespace tessaly
