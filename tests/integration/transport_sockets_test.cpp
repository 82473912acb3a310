// The transport on real sockets, in a network namespace of the test's own with loopback and one Ethernet
// address: which datagrams reach the receive queue, with which sender, and that the hub's own broadcasts do not.
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

TEST(TransportSocketsTest, DatagramsReachTheQueueWithTheirSenderAndOwnBroadcastsDoNot) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a network namespace";
  // This test runs in a process of its own, which stays in the namespace.
  ASSERT_EQ(unshare(CLONE_NEWNET), 0);
  ASSERT_EQ(std::system("ip link set lo up && ip link add v0 type veth peer name v1 && "
                        "ip addr add 10.36.0.1/24 brd + dev v0 && ip link set v0 up && ip link set v1 up"),
            0);
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
  ASSERT_EQ(g.HubRole + " " + g.LocalAddress, "Hub 10.36.0.1");

  // Each from a socket of its own, sent to address:3639.
  for (const auto& [from, to, text] : {std::tuple{"10.36.0.1", "255.255.255.255", "broadcast from this address"},
                                       {"10.36.0.1", "10.36.0.1", "to this computer's address"},
                                       {"127.0.0.1", "127.0.0.1", "from loopback"}}) {
    const auto socket = loop.CreatePosixUdpEndpoint();
    socket->SetRemote(to, 3639);
    ASSERT_TRUE(socket->Bind(from, 0) == 0 && socket->SetBroadcast(true) == 0 && socket->Send(text) == 0) << text;
  }
  link.SendHeartbeat(60);
  link.SendXap("", "test.class", "blk", "a\1" "1", "", "", "");  // queues its own copy
  for (int turn = 0; turn < 100 && link.QueueLength() < 4; ++turn) loop.RunOnce(20);
  for (int turn = 0; turn < 10; ++turn) loop.RunOnce(20);  // anything that should not come

  std::vector<std::string> entries;
  for (std::string e = link.GetMessage(); !e.empty(); e = link.GetMessage()) entries.push_back(e);
  ASSERT_EQ(entries.size(), 4u) << ::testing::PrintToString(entries);
  EXPECT_NE(entries[0].find("class=test.class"), std::string::npos);  // queued at once
  EXPECT_EQ(entries[1], "      10.36.0.1broadcast from this address");
  EXPECT_EQ(entries[2], "      10.36.0.1to this computer's address");
  EXPECT_EQ(entries[3], "      127.0.0.1from loopback");
}

}  // namespace
}  // namespace tessaly
