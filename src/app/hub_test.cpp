#include "app/hub.h"

#include "support/hub_harness.h"

namespace tessaly {
namespace {

TEST(HubOptionsTest, InstanceCheckAndOptionValues) {
  for (auto [count, backup, may] : {std::tuple{1, false, true}, {2, false, false}, {0, false, false},
                                    {0, true, true}, {2, true, true}, {3, true, false}}) {
    EXPECT_EQ(InstanceMayRun(count, backup), may) << count << " copies, backup wanted " << backup;
  }
  for (auto [text, on] : {std::pair{"1", true}, {"-1", true}, {" 2x", true}, {"0.4", true}, {"0", false},
                          {"", false}, {"yes", false}}) {
    EXPECT_EQ(OptionOn(text), on) << text;
  }
}

class HubTest : public testing::HubFixture {};

TEST_F(HubTest, APartnerThatHasEndedIsNeverSignalled) {
  WriteOptions("[General]\nNoBackup=0\n");
  Start();
  hub->ChildEnded(5000);
  EXPECT_EQ(g.PartnerPid, 0);
  g.PartnerPid = 5000;  // a pid the system has given to another program since
  p.processes.alive.insert(5000);
  p.processes.other_programs.insert(5000);
  hub->Exit();
  EXPECT_TRUE(p.processes.close_requests.empty());
  EXPECT_TRUE(p.processes.terminated.empty());
}

TEST_F(HubTest, TrayIconShowsChangesAndOpensItsMenuOnButtonReleasesOnly) {
  tray->available = false;  // the icon is shown all the same, for a notification area that comes later
  Start();
  g.TrayForm.ShowTray();
  g.TrayForm.SwapIcons();
  p.loop.Advance(1000);
  g.TrayForm.HideTray();
  g.TrayForm.HideTray();
  EXPECT_EQ(tray->calls, (std::vector<std::string>{"add normal XAP Hub", "modify normal XAP Hub",
                                                   "modify activity XAP Hub", "modify normal XAP Hub", "delete"}));
  const std::string log = Log();
  const std::size_t said = log.find("No notification area");
  EXPECT_TRUE(said != std::string::npos && log.find("No notification area", said + 1) == std::string::npos);

  // A click that comes while the menu is open is ignored.
  tray->while_menu_open = [&] { tray->click(kLeftButtonUp); };
  for (auto [code, menus] : {std::pair{kLeftButtonDown, 0}, {kLeftButtonUp, 1}, {kLeftDoubleClick, 0},
                             {kRightButtonDown, 0}, {kRightButtonUp, 1}, {kRightDoubleClick, 0},
                             {kMiddleButtonUp, 0}}) {
    tray->menus = 0;
    tray->click(code);
    EXPECT_EQ(tray->menus, menus) << code;
  }
}

TEST_F(HubTest, ViewTrafficOpensTheWindowAndExitClosesItBeforeEverythingElse) {
  WriteOptions("[General]\nNoBackup=0\n");
  Start();
  tray->choice = 0;
  tray->click(kRightButtonUp);
  ASSERT_TRUE(view->open && g.TrafficView);

  view->SetOption(StatusOption::aNoTray, kBoxGreyed);
  p.processes.alive.insert(5000);
  tray->choice = 5;
  tray->click(kLeftButtonUp);
  EXPECT_FALSE(view->open || g.TrafficView);
  EXPECT_NE(testing::ReadFile(dir.path() / "Config" / "Velmar.ini").find("NOTRAY=2\r\n"), std::string::npos);
  EXPECT_EQ(tray->calls.back(), "delete");
  EXPECT_EQ(hub->XapLink(), nullptr);
  EXPECT_EQ(p.processes.close_requests, std::vector<std::int32_t>{5000});
}

}  // namespace
}  // namespace tessaly
