// The transport on real sockets, in a network namespace of the test's own with loopback only. There the hub
// broadcasts to 127.0.0.1, so its own datagrams come back on the loopback side, where they must be dropped
// while other senders' datagrams reach the receive queue. (The hub_on_lan scenario covers a computer on a LAN.)
#include <sched.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/posix/posix_clock.h"
#include "platform/posix/posix_event_loop.h"
#include "platform/posix/posix_host.h"
#include "platform/posix/posix_processes.h"
#include "state/globals.h"
#include "transport/xap.h"

namespace tessaly {
namespace {

TEST(TransportSocketsTest, OnLoopbackOnlyOwnBroadcastsAreDroppedAndOtherDatagramsQueuedWithTheirSender) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a network namespace";
  // This test runs in a process of its own, which stays in the namespace.
  ASSERT_EQ(unshare(CLONE_NEWNET), 0);
  ASSERT_EQ(std::system("ip link set lo up"), 0);
  PosixClock clock;
  PosixEventLoop loop;
  PosixHost host;
  PosixProcesses processes;
  Globals g(Platform{clock, loop, host, processes});
  g.AppPath = "/dev/null";  // no log file
  g.ComputerName = "HUBHOST";
  xap link(g);  // no receiver: the entries stay in the queue
  link.UseIdentityOf(kRolePrimary);
  link.Init();
  ASSERT_EQ(g.HubRole + " " + g.LocalAddress, "Hub 127.0.0.1");

  const auto application = loop.CreatePosixUdpEndpoint();
  ASSERT_EQ(application->Bind("127.0.0.1", 0), 0);
  application->SetRemote("127.0.0.1", 3639);
  ASSERT_EQ(application->Send("from an application"), 0);
  link.SendXap("", "test.class", "blk", "a\1" "1", "", "", "");  // queues its own copy
  for (int turn = 0; turn < 100 && link.QueueLength() < 2; ++turn) loop.RunOnce(20);
  for (int turn = 0; turn < 10; ++turn) loop.RunOnce(20);  // anything that should not come

  std::vector<std::string> entries;
  for (std::string e = link.GetMessage(); !e.empty(); e = link.GetMessage()) entries.push_back(e);
  ASSERT_EQ(entries.size(), 2u) << ::testing::PrintToString(entries);
  EXPECT_NE(entries[0].find("class=test.class"), std::string::npos);  // queued at once
  EXPECT_EQ(entries[1], "      127.0.0.1from an application");
}

}  // namespace
}  // namespace tessaly
