#include <QApplication>
#include <QLabel>
#include <QPlainTextEdit>

#include "gui/status_window.h"
#include "shell/status_window.h"
#include "support/hub_harness.h"

namespace tessaly {
namespace {

class GuiTest : public testing::HubFixture {
 protected:
  static void SetUpTestSuite() {
    static int argc = 1;
    static char name[] = "gui_tests";
    static char* argv[] = {name, nullptr};
    static QApplication app(argc, argv);
  }
  GuiTest() {
    g.AppPath = dir.str();
    g.StatusForm = std::unique_ptr<StatusView>(window = new StatusWindow);
  }

  StatusWindow* window;
  SimpleTest status{g, reporter};
  RecordingReporter reporter;
};

TEST_F(GuiTest, TheWindowReadsTheOptionsWhenItOpensAndWritesThemAndTheFlagsWhenItCloses) {
  struct Row {
    const char* file;
    int opened[kStatusOptionCount];  // NoBackup, NoTray, XPL, XPLHub, XPLtoXap, XapToXPL
    std::optional<std::pair<StatusOption, int>> user;
    const char* saved;
    bool backup, xpl_hub;
  } rows[] = {
      {"", {1, 0, 0, 0, 0, 0}, {}, "[GENERAL]\r\nNOBACKUP=1\r\nNOTRAY=0\r\nXAPTOXPL=0\r\nXPL=0\r\nXPLHUB=0\r\nXPLTOXAP=0\r\n",
       false, false},
      // NoBackup=5 is no box state: the box stays as the last row left it.
      {"[general]\nxplhub=1\nXPLtoXAP=2\nNoBackup=5\nNoTray=0.6\n", {1, 1, 0, 1, 2, 0}, {}, "XPLTOXAP=2", false, true},
      {"[General]\nNoBackup=0\n", {0, 0, 0, 0, 0, 0}, {{StatusOption::axPLHub, 1}}, "XPLHUB=1", true, false},
      {"", {1, 0, 0, 0, 0, 0}, {{StatusOption::aNoBackup, 0}}, "NOBACKUP=0", true, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.file);
    std::filesystem::remove_all(dir.path() / "Config");
    WriteOptions(row.file);
    std::vector<int> expected(row.opened, row.opened + kStatusOptionCount);
    for (int pass = 0; pass < 2; ++pass) {  // the second pass reads what the first one saved
      status.Open();
      ASSERT_TRUE(window->isVisible());
      for (int box = 0; box < kStatusOptionCount; ++box) {
        EXPECT_EQ(window->Option(StatusOption(box)), expected[box]) << "box " << box << " pass " << pass;
      }
      if (row.user && pass == 0) window->SetOption(row.user->first, expected[int(row.user->first)] = row.user->second);
      window->close();  // as the user does
      EXPECT_FALSE(g.TrafficView);
      EXPECT_NE(testing::ReadFile(dir.path() / "Config" / "Velmar.ini").find(row.saved), std::string::npos);
      EXPECT_EQ(g.BackupWanted, row.backup);
      EXPECT_EQ(g.XplHub, row.xpl_hub);
    }
  }
}

TEST_F(GuiTest, NetworkTextIsShownAsPlainTextAndTheLatestOfAFloodWhole) {
  status.Open();
  const std::string big(60000, 'x');
  for (int i = 0; i < 1000; ++i) window->SetMessageText(i == 999 ? big + "<b>end</b>\r\nlast" : "<b>old</b>");
  window->SetCount(0, 17);
  window->SetConnections("\r\n         0    50001    <i>acme</i>");
  window->Refresh();
  EXPECT_EQ(window->findChild<QPlainTextEdit*>("aMessage")->toPlainText().toStdString(), big + "<b>end</b>\nlast");
  EXPECT_EQ(window->findChild<QPlainTextEdit*>("aConnections")->toPlainText(), "\n         0    50001    <i>acme</i>");
  EXPECT_EQ(window->findChild<QLabel*>("aCount0")->text(), "17");
  EXPECT_EQ(window->findChild<QLabel*>("aVersion")->text(), "Version 1.2.4");
  EXPECT_EQ(window->findChild<QLabel*>("aCount0")->textFormat(), Qt::PlainText);
}

}  // namespace
}  // namespace tessaly
