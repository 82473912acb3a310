#include "app/hub.h"

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
using testing::FakePlatform;
using testing::ReadFile;
using testing::TempDir;

TEST(InstanceCheckTest, AdmitsOneCopyOrAPrimaryAndItsBackup) {
  struct Case {
    std::int32_t count;
    bool backup_wanted;
    bool runs;
  };
  const Case cases[] = {{0, false, false}, {1, false, true},  {2, false, false}, {3, false, false},
                        {0, true, true},   {1, true, true},   {2, true, true},   {3, true, false},
                        {4, true, false}};
  for (const Case& c : cases) {
    EXPECT_EQ(InstanceMayRun(c.count, c.backup_wanted), c.runs)
        << "count " << c.count << (c.backup_wanted ? " with" : " without") << " a backup wanted";
  }
}

TEST(OptionOnTest, ReadsLeadingNumber) {
  EXPECT_FALSE(OptionOn("0"));
  EXPECT_TRUE(OptionOn("1"));
  EXPECT_TRUE(OptionOn("2 apples"));
  EXPECT_FALSE(OptionOn("garbage"));
  EXPECT_FALSE(OptionOn(""));
}

class HubTest : public ::testing::Test {
 protected:
  HubTest() : g(p.platform()) {
    p.processes.exe_path = dir.str() + "/Tessaly";
    p.network.local_addresses = {"192.168.1.5"};
    p.processes.running["Tessaly"] = 1;
    g.ShowTray = [this] { ++tray_shown; };
  }
  void WriteOptions(const std::string& text) {
    fs::create_directories(dir.path() / "Config");
    std::ofstream(dir.path() / "Config" / "Velmar.ini", std::ios::binary) << text;
  }
  std::string Log() { return ReadFile(LogFilePath(g)); }

  TempDir dir;
  FakePlatform p;
  Globals g;
  int tray_shown = 0;
};

TEST_F(HubTest, FreshFolderGetsOptionFilesDataFolderAndDefaults) {
  Hub hub(g);
  hub.Load();
  EXPECT_FALSE(hub.Ended());
  EXPECT_TRUE(fs::exists(dir.path() / "Config" / "Velmar.ini"));
  EXPECT_TRUE(fs::exists(dir.path() / "Config" / "Orrin.ini"));
  EXPECT_TRUE(fs::is_directory(dir.path() / "Data"));
  EXPECT_EQ(Log().find(" | Tessaly Hub Startup 4242 at Line 0 \r\n"), 19u) << Log();
  EXPECT_FALSE(g.BackupWanted);
  EXPECT_FALSE(g.AnyXpl);
  EXPECT_FALSE(hub.tmrxPL().Enabled());
  EXPECT_TRUE(hub.Timer2().Enabled());
  EXPECT_EQ(hub.Timer2().Interval(), 60000u);
  EXPECT_EQ(tray_shown, 1);
  EXPECT_TRUE(g.HubStarted);
  EXPECT_NE(hub.Settings(), nullptr);
}

TEST_F(HubTest, FirstHeartbeatThenUsingPortEvent) {
  Hub hub(g);
  hub.Load();
  auto sent = p.network.SentTo(3639);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].text.rfind("xap-hbeat\n", 0), 0u);
  EXPECT_NE(sent[1].text.find("class=Vantrel.Event\n"), std::string::npos);
  EXPECT_NE(sent[1].text.find("\nType=Tessaly\nData=Using xAP port 32768\n}\n"), std::string::npos) << sent[1].text;
}

TEST_F(HubTest, OptionsDecideBackupTrayAndXpl) {
  WriteOptions("[General]\r\nNoBackup=0\r\nNoTray=1\r\nXAPtoXPL=1\r\n");
  Hub hub(g);
  hub.Load();
  EXPECT_TRUE(g.BackupWanted);
  EXPECT_EQ(p.processes.started.size(), 1u) << "the primary starts its backup";
  EXPECT_TRUE(g.NoTray);
  EXPECT_EQ(tray_shown, 0);
  EXPECT_TRUE(g.XapToXpl);
  EXPECT_TRUE(g.AnyXpl);
  EXPECT_TRUE(g.XplHub);
}

TEST_F(HubTest, NoBackupReadsAsNumber) {
  struct Case {
    const char* options;
    bool backup_wanted;
  };
  const Case cases[] = {{"", false},
                        {"[General]\nNoBackup=1\n", false},
                        {"[General]\nNoBackup=7\n", false},
                        {"[general]\nnobackup=0\n", true},
                        {"[General]\nNoBackup=garbage\n", true},  // text counts as 0
                        {"[General]\nNoBackup=\n", false}};       // empty is missing: the default 1
  for (const Case& c : cases) {
    WriteOptions(c.options);
    Globals fresh(p.platform());
    Hub hub(fresh);
    hub.Load();
    EXPECT_EQ(fresh.BackupWanted, c.backup_wanted) << c.options;
  }
}

TEST_F(HubTest, SecondCopyWithoutBackupWantedEndsAfterStartupLine) {
  p.processes.running["Tessaly"] = 2;
  Hub hub(g);
  hub.Load();
  EXPECT_TRUE(hub.Ended());
  EXPECT_EQ(g.XapLink, nullptr);
  EXPECT_TRUE(p.network.sent.empty());
  std::string log = Log();
  EXPECT_NE(log.find("Hub Startup 4242"), std::string::npos);
  EXPECT_EQ(log.find("Primary"), std::string::npos);
}

TEST_F(HubTest, ThirdCopyEndsEvenWithBackupWanted) {
  WriteOptions("[General]\nNoBackup=0\n");
  p.processes.running["Tessaly"] = 3;
  Hub hub(g);
  hub.Load();
  EXPECT_TRUE(hub.Ended());
}

TEST_F(HubTest, DevelopmentFolderSkipsInstanceCheck) {
  p.processes.running["Tessaly"] = 5;
  p.processes.exe_path = dir.str() + "/vb/Tessaly";
  Hub hub(g);
  hub.Load();
  EXPECT_FALSE(hub.Ended());
  EXPECT_TRUE(p.processes.count_queries.empty());
}

TEST_F(HubTest, JunkOptionsLoadWhatTheyCanAndAreReported) {
  std::string junk = std::string("\x01\x02\xff[General]\0\n", 14) + "no equal sign here\nNoTray=1\n" +
                     std::string(1 << 20, 'x') + "\n";
  WriteOptions(junk);
  Hub hub(g);
  hub.Load();
  EXPECT_FALSE(hub.Ended());
  EXPECT_FALSE(g.BackupWanted) << "NoBackup falls back to its default";
  bool reported = false;
  for (const auto& s : p.network.SentTo(3639)) {
    if (s.text.find("Type=IniTool\nData= Equal sign not found on line no equal sign here") != std::string::npos) {
      reported = true;
    }
  }
  EXPECT_TRUE(reported) << "the bad lines go out as log events once the hub has started";
}

TEST_F(HubTest, ExitStopsPartnerWhileShutdownLeavesItRunning) {
  WriteOptions("[General]\nNoBackup=0\n");
  {
    Hub hub(g);
    hub.Load();
    ASSERT_EQ(g.PartnerPid, 5000);
    hub.Unload();
    EXPECT_TRUE(p.processes.close_requests.empty());
    EXPECT_EQ(g.XapLink, nullptr);
  }
  Hub hub(g);
  hub.Load();
  std::int32_t partner = g.PartnerPid;
  hub.Exit();
  EXPECT_EQ(p.processes.close_requests, std::vector<std::int32_t>{partner});
  EXPECT_FALSE(p.processes.IsAlive(partner));
  auto ep = p.loop.CreateUdpEndpoint();
  EXPECT_EQ(ep->Bind("0.0.0.0", 3639), 0) << "the hub port is free after Exit";
}

}  // namespace
}  // namespace tessaly
