#include "shell/process_utils.h"

#include "shell/environment.h"
#include "support/hub_harness.h"

namespace tessaly {
namespace {

class ShellTest : public testing::HubFixture {};

TEST_F(ShellTest, StopPidClosesPolitelyAndKillsAfterAbout5sWhileTheHubKeepsServing) {
  struct Row {
    bool alive, ignores_close, killed;
    std::uint32_t min_ms, max_ms;
  } rows[] = {{false, false, false, 0, 0}, {true, false, false, 100, 100}, {true, true, true, 5000, 5200}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.min_ms);
    p.processes = {};
    if (row.alive) p.processes.alive.insert(777);
    if (row.ignores_close) p.processes.ignore_close.insert(777);
    int ticks = 0;
    auto timer = p.loop.CreateTimer([&] { ++ticks; });
    timer->SetInterval(1000);
    timer->SetEnabled(true);
    const std::uint32_t before = p.clock.tick;
    EXPECT_TRUE(StopPID(g, 777));
    EXPECT_EQ(p.processes.terminated.size(), row.killed ? 1u : 0u);
    EXPECT_GE(p.clock.tick - before, row.min_ms);
    EXPECT_LE(p.clock.tick - before, row.max_ms);
    EXPECT_GE(ticks, static_cast<int>(row.min_ms / 1000));
  }
}

TEST_F(ShellTest, AWaitRefusesToBeEnteredAgain) {
  CWaitNDispatch waiter(p.clock, p.loop);
  std::string refusal;
  auto timer = p.loop.CreateTimer([&] {
    try {
      waiter.Wait(10);
    } catch (const WaitError& e) {
      refusal = e.what();
    }
  });
  timer->SetInterval(30);
  timer->SetEnabled(true);
  waiter.Wait(100);
  EXPECT_EQ(refusal, "This function is not reentrant. If you want to wait for a second period use a new object");
}

TEST(DevelopmentFolderTest, AFolderNamedVbAnywhereOnThePath) {
  for (auto [folder, dev] : {std::pair{"/home/u/VB/hub", true}, {"/home/u/vb", true}, {"/VB", true},
                             {"/home/u/VBA/hub", false}, {"/home/xvb/hub", false}}) {
    EXPECT_EQ(InDevelopmentFolder(folder), dev) << folder;
  }
}

TEST_F(ShellTest, EnvironmentComesFromTheExecutablesFolderAndTheHostName) {
  p.host.host_name = "box.lan";
  p.processes.exe_path = dir.str() + "/bin/Tessaly";
  std::filesystem::create_directories(dir.path() / "bin" / "Config");
  std::ofstream(dir.path() / "bin" / "Config" / "Orrin.ini") << "[interface]\r\nbroadcastaddress=10.0.0.255\r\n";
  InitXap(g);
  EXPECT_EQ(g.ComputerName, "BOX");
  EXPECT_EQ(g.ExePath, dir.str() + "/bin/Tessaly");
  EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "bin" / "Data"));
  EXPECT_EQ(g.InterfaceSetting + " " + g.BroadcastSetting, "Default 10.0.0.255");

  std::filesystem::create_directories(dir.path() / "Config" / "Orrin.ini");  // a folder where the file belongs
  p.processes.exe_path = dir.str() + "/Tessaly";
  InitXap(g);
  EXPECT_EQ(g.BroadcastSetting, "10.0.0.255");  // the steps after the failure are skipped
  EXPECT_NE(Log().find(" | Tessaly InitXap at Line 0 "), std::string::npos);
}

}  // namespace
}  // namespace tessaly
