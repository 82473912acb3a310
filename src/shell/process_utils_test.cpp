#include "app/process_utils.h"

#include <gtest/gtest.h>

#include "app/globals.h"
#include "support/fake_platform.h"

namespace tessaly {
namespace {

using testing::FakePlatform;

class ProcessUtilsTest : public ::testing::Test {
 protected:
  ProcessUtilsTest() : g(p.platform()) {}
  FakePlatform p;
  Globals g;
};

TEST_F(ProcessUtilsTest, StopPidOfProcessThatIsGoneReturnsAtOnce) {
  std::uint32_t before = p.clock.tick;
  EXPECT_TRUE(StopPID(g, 777));
  EXPECT_TRUE(p.processes.close_requests.empty());
  EXPECT_EQ(p.clock.tick, before);
}

TEST_F(ProcessUtilsTest, StopPidClosesPolitely) {
  p.processes.alive.insert(777);
  std::uint32_t before = p.clock.tick;
  EXPECT_TRUE(StopPID(g, 777));
  EXPECT_EQ(p.processes.close_requests, std::vector<std::int32_t>{777});
  EXPECT_TRUE(p.processes.terminated.empty());
  EXPECT_LE(p.clock.tick - before, 100u);
}

TEST_F(ProcessUtilsTest, StopPidKillsAPartnerThatIgnoresTheCloseAfterAbout5s) {
  p.processes.alive.insert(777);
  p.processes.ignore_close.insert(777);
  // The hub keeps serving while it waits: a timer keeps ticking.
  int ticks = 0;
  auto timer = p.loop.CreateTimer([&] { ++ticks; });
  timer->SetInterval(1000);
  timer->SetEnabled(true);
  std::uint32_t before = p.clock.tick;
  EXPECT_TRUE(StopPID(g, 777));
  EXPECT_EQ(p.processes.terminated, std::vector<std::int32_t>{777});
  std::uint32_t waited = p.clock.tick - before;
  EXPECT_GE(waited, 5000u);
  EXPECT_LE(waited, 5200u);
  EXPECT_GE(ticks, 5);
}

TEST_F(ProcessUtilsTest, ProcessCountCutsNameAndFailsAsZero) {
  p.processes.running["Tessaly"] = 2;
  EXPECT_EQ(ProcessCount(g, "Tessaly"), 2);
  ProcessCount(g, "abcdefghijklmnopqrst");
  EXPECT_EQ(p.processes.count_queries.back(), "abcdefghijklmno");
  p.processes.count_fails = true;
  EXPECT_EQ(ProcessCount(g, "Tessaly"), 0);
}

TEST_F(ProcessUtilsTest, WaitServesEventsRefusesReentryAndCanBeCancelled) {
  CWaitNDispatch waiter(p.clock, p.loop);
  int on_timer = 0;
  waiter.OnTimer = [&] { ++on_timer; };
  waiter.Wait(0);
  EXPECT_EQ(on_timer, 0) << "Wait(0) returns at once without OnTimer";

  bool refused = false;
  auto timer = p.loop.CreateTimer([&] {
    try {
      waiter.Wait(10);
    } catch (const WaitError& e) {
      refused = e.number() == 0x800403E9u &&
                std::string(e.what()) ==
                    "This function is not reentrant. If you want to wait for a second period use a new object";
    }
    waiter.Cancel();
  });
  timer->SetInterval(30);
  timer->SetEnabled(true);
  std::uint32_t before = p.clock.tick;
  waiter.Wait(1000);
  EXPECT_TRUE(refused);
  EXPECT_EQ(p.clock.tick - before, 30u) << "Cancel ends the wait early";
  EXPECT_EQ(on_timer, 1);
  EXPECT_FALSE(waiter.IsWaiting());
}

}  // namespace
}  // namespace tessaly
