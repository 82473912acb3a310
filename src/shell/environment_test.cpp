#include "app/environment.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "app/globals.h"
#include "app/log_file.h"
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

class EnvironmentTest : public ::testing::Test {
 protected:
  EnvironmentTest() : g(p.platform()) { g.MyPid = 4242; }

  FakePlatform p;
  Globals g;
  TempDir dir;
};

TEST_F(EnvironmentTest, CreateFoldersMakesTheFoldersAboveTheFileOnly) {
  const std::string root = dir.str();
  CreateFolders(g, root + "/Program Files/xap/Tessaly/Data/x");
  CreateFolders(g, root + "//doubled//slash/f");
  CreateFolders(g, "relative/folder/f.txt");
  EXPECT_TRUE(fs::is_directory(root + "/Program Files/xap/Tessaly/Data"));
  EXPECT_FALSE(fs::exists(root + "/Program Files/xap/Tessaly/Data/x"));
  EXPECT_TRUE(fs::is_directory(root + "/doubled/slash"));
  EXPECT_FALSE(fs::exists("relative"));
  EXPECT_TRUE(g.OutQueue.empty());

  std::ofstream(root + "/blocker") << "a file";
  CreateFolders(g, root + "/blocker/below/f.txt");
  ASSERT_EQ(g.OutQueue.size(), 1u);
  const std::string& body = g.OutQueue[0].MsgData;
  EXPECT_NE(body.find("\0Data\x01 CreateFolders "s + root + "/blocker Line 0 File exists"), std::string::npos);
}

TEST_F(EnvironmentTest, LocalComputerNameAsksOnceAndUpperCases) {
  p.host.host_name = "Kitchen-Pc";
  EXPECT_EQ(LocalComputerName(g), "KITCHEN-PC");
  p.host.host_name = "renamed";
  EXPECT_EQ(LocalComputerName(g), "KITCHEN-PC");
  EXPECT_EQ(g.ComputerNameCache, "Kitchen-Pc");
}

TEST_F(EnvironmentTest, LogXapEventQueuesPackedBodyWithPendingErrorAppended) {
  const std::string date = GeneralDate(p.clock.wall);
  LogXapEvent(g, "Tessaly", "plain");
  g.Err.Set(12, "Disk full");
  LogXapEvent(g, "IniTool", "with error");
  LogXapEvent(g, "Tessaly", "after");

  ASSERT_EQ(g.OutQueue.size(), 3u);
  EXPECT_EQ(g.OutQueue[0].MsgData, "Time\x01"s + date + "\0Type\x01Tessaly\0Data\x01plain"s);
  EXPECT_EQ(g.OutQueue[1].MsgData, "Time\x01"s + date + "\0Type\x01IniTool\0Data\x01with error Line 12 Disk full"s);
  EXPECT_EQ(g.OutQueue[2].MsgData, "Time\x01"s + date + "\0Type\x01Tessaly\0Data\x01" "after"s);
  for (const xapQueuedMessage& m : g.OutQueue) {
    EXPECT_EQ(m.msgTarget + "|" + m.msgClass + "|" + m.msgSection, "|Vantrel.Event|Event.Log");
  }
}

TEST_F(EnvironmentTest, InitXapSetsPathsAndReadsInterfaceSettings) {
  EXPECT_EQ(ResolveAppPath("/home/me/VB/Tessaly"), "/opt/xap/Tessaly");
  EXPECT_EQ(ResolveAppPath("/home/me/vb/x"), "/opt/xap/Tessaly");
  EXPECT_EQ(ResolveAppPath("/home/me/VBA/Tessaly"), "/home/me/VBA/Tessaly");

  p.host.host_name = "hubbox";
  p.processes.exe_path = dir.str() + "/bin/Tessaly";
  InitXap(g);
  EXPECT_EQ(g.ComputerName, "HUBBOX");
  EXPECT_EQ(g.AppPath, dir.str() + "/bin");
  EXPECT_EQ(g.ExePath, dir.str() + "/bin/Tessaly");
  EXPECT_TRUE(fs::is_directory(dir.str() + "/bin/Data"));
  EXPECT_EQ(ReadFile(dir.str() + "/bin/Config/Orrin.ini"), "");
  EXPECT_EQ(g.InterfaceSetting + " " + g.BroadcastSetting, "Default Default");

  const std::string text = "[interface]\r\nInterfaceAddress=eth1\r\nbroadcastaddress=10.0.0.255\r\n";
  std::ofstream(dir.str() + "/bin/Config/Orrin.ini", std::ios::binary) << text;
  InitXap(g);
  EXPECT_EQ(g.InterfaceSetting + " " + g.BroadcastSetting, "eth1 10.0.0.255");
  EXPECT_EQ(ReadFile(dir.str() + "/bin/Config/Orrin.ini"), text);
  EXPECT_TRUE(g.OutQueue.empty());
}

TEST_F(EnvironmentTest, InitXapFailureIsLoggedAndLaterStepsSkipped) {
  fs::create_directories(dir.path() / "Config" / "Orrin.ini");  // a folder where the file should be
  p.processes.exe_path = dir.str() + "/Tessaly";
  InitXap(g);
  EXPECT_EQ(g.AppPath, dir.str());
  EXPECT_EQ(g.InterfaceSetting, "Default");
  const std::string log = ReadFile(LogFilePath(g));
  EXPECT_NE(log.find(" | Tessaly InitXap at Line 0 "), std::string::npos) << log;
}

}  // namespace
}  // namespace tessaly
