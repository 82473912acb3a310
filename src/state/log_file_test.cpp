#include "state/log_file.h"

#include "state/event_log.h"
#include "support/hub_harness.h"

namespace tessaly {
namespace {

class LogTest : public testing::HubFixture {
 protected:
  LogTest() {
    g.AppPath = dir.str();
    g.MyPid = 77;
    std::filesystem::create_directory(dir.path() / "Data");
  }
};

// A log line and an event each carry the pending error and clear it; the event waits for the hub to start.
TEST_F(LogTest, LineAndEventCarryAndClearThePendingError) {
  g.Err.Set(12, "Overflow");
  WriteLogFile(g, "Tessaly", "Readmessage");
  WriteLogFile(g, "Tessaly", "two");
  const std::string date = GeneralDate(p.clock.Now());
  EXPECT_EQ(Log(), date + " | Tessaly Readmessage at Line 12 Overflow\r\n" + date + " | Tessaly two at Line 0 \r\n");
  g.Err.Set(0, "disk full");
  LogXapEvent(g, "Tessaly", "IniTool Save x");
  ASSERT_EQ(g.OutQueue.size(), 1u);
  EXPECT_NE(g.OutQueue[0].MsgData.find(std::string("Data\1IniTool Save x Line 0 disk full")), std::string::npos);
  EXPECT_FALSE(g.Err.Pending());
}

TEST_F(LogTest, FloodOfLinesIsCappedPerMinuteAndCounted) {
  for (int i = 0; i < kLogLinesPerMinute + 50; ++i) WriteLogFile(g, "From XAP", "");
  const std::string log = Log();
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), kLogLinesPerMinute);
  p.clock.Advance(60000);
  WriteLogFile(g, "Tessaly", "Readmessage");
  EXPECT_NE(Log().find(" | Tessaly 50 log lines left out in the minute before at Line 0 \r\n"), std::string::npos);
}

}  // namespace
}  // namespace tessaly
