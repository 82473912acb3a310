// The transport on real sockets, in a network namespace of the test's own with loopback and one Ethernet
// address: which datagrams reach the receive queue, with which sender, and that the hub's own broadcasts do not.
#include <arpa/inet.h>
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

struct Receiver : MessageReceiver {
  xap* link = nullptr;
  std::vector<std::string> entries;
  void onMessage() override {
    for (std::string e = link->GetMessage(); !e.empty(); e = link->GetMessage()) entries.push_back(e);
  }
};

// Sends `text` from a new socket bound to `from` to address:3639.
void Send(const char* from, const char* to, const std::string& text) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0), on = 1;
  setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
  sockaddr_in a{AF_INET, 0, {}, {}};
  inet_pton(AF_INET, from, &a.sin_addr);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  a.sin_port = htons(3639);
  inet_pton(AF_INET, to, &a.sin_addr);
  ASSERT_GT(sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  close(fd);
}

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
  xap link(g);
  Receiver receiver;
  receiver.link = &link;
  link.RegisterNewMessageCallback(&receiver);
  link.UseIdentityOf(kRolePrimary);
  link.Init();
  ASSERT_EQ(g.HubRole + " " + g.LocalAddress, "Hub 10.36.0.1");

  Send("10.36.0.1", "255.255.255.255", "broadcast from this computer's address");
  Send("10.36.0.1", "10.36.0.1", "to this computer's address");
  Send("127.0.0.1", "127.0.0.1", "from loopback");
  link.SendHeartbeat(60);
  link.SendXap("", "test.class", "blk", "a\1" "1", "", "", "");  // queues its own copy
  for (int turn = 0; turn < 100 && receiver.entries.size() < 4; ++turn) loop.RunOnce(20);
  for (int turn = 0; turn < 10; ++turn) loop.RunOnce(20);  // anything that should not come

  auto entry = [](const std::string& sender, const std::string& text) {
    return std::string(15 - sender.size(), ' ') + sender + text;
  };
  ASSERT_EQ(receiver.entries.size(), 4u) << ::testing::PrintToString(receiver.entries);
  EXPECT_NE(receiver.entries[0].find("class=test.class"), std::string::npos);  // queued at once
  EXPECT_EQ(receiver.entries[1], entry("10.36.0.1", "broadcast from this computer's address"));
  EXPECT_EQ(receiver.entries[2], entry("10.36.0.1", "to this computer's address"));
  EXPECT_EQ(receiver.entries[3], entry("127.0.0.1", "from loopback"));
}

}  // namespace
}  // namespace tessaly
