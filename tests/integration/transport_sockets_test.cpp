// The transport on real sockets: which datagrams reach the receive queue, with which sender, and that the hub's
// own broadcasts do not. Each test makes two computers of network namespaces joined by a veth pair and moves into
// the hub's for good (each test runs in a process of its own); the namespaces and sockets go with the process.
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>

#include "app/globals.h"
#include "platform/posix/posix_clock.h"
#include "platform/posix/posix_event_loop.h"
#include "platform/posix/posix_host.h"
#include "platform/posix/posix_processes.h"
#include "transport/xap.h"

namespace tessaly {
namespace {

using namespace std::chrono_literals;

const std::string kHubAddress = "10.36.0.1", kPeerAddress = "10.36.0.2";

sockaddr_in At(const std::string& address, int port) {
  sockaddr_in a{AF_INET, htons(static_cast<uint16_t>(port)), {}, {}};
  inet_pton(AF_INET, address.c_str(), &a.sin_addr);
  return a;
}

// A UDP socket bound to address:port, broadcasts allowed, made in the namespace `ns` (-1: this thread's); -1.
int Udp(int ns, const std::string& address, int port = 0) {
  const int own = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC), on = 1;
  if (ns >= 0) setns(ns, CLONE_NEWNET);
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  setns(own, CLONE_NEWNET);
  close(own);
  setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
  setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
  const sockaddr_in a = At(address, port);
  return bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0 ? fd : -1;
}

bool Send(int fd, const std::string& address, int port, const std::string& text) {
  const sockaddr_in a = At(address, port);
  return sendto(fd, text.data(), text.size(), 0, reinterpret_cast<const sockaddr*>(&a), sizeof a) > 0;
}

struct Datagram {
  std::string text, from;
  int from_port;
  std::string to;  // the packet's destination address
};

// The first datagram within `timeout` whose text starts with `prefix`.
std::optional<Datagram> Receive(int fd, const std::string& prefix = "", std::chrono::milliseconds timeout = 2s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (pollfd p{fd, POLLIN, 0}; poll(&p, 1, std::max<int>(0, (deadline - std::chrono::steady_clock::now()) / 1ms));) {
    char text[65536], control[CMSG_SPACE(sizeof(in_pktinfo))];
    sockaddr_in from{};
    iovec io{text, sizeof text};
    msghdr m{&from, sizeof from, &io, 1, control, sizeof control, 0};
    const ssize_t n = recvmsg(fd, &m, 0);
    if (n < 0 || std::string(text, n).rfind(prefix, 0) != 0) continue;
    const std::string to = inet_ntoa(reinterpret_cast<in_pktinfo*>(CMSG_DATA(CMSG_FIRSTHDR(&m)))->ipi_addr);
    return Datagram{std::string(text, n), inet_ntoa(from.sin_addr), ntohs(from.sin_port), to};
  }
  return std::nullopt;
}

struct Receiver : MessageReceiver {
  xap* link = nullptr;
  std::vector<std::string> entries;
  void onMessage() override {
    for (std::string e = link->GetMessage(); !e.empty(); e = link->GetMessage()) entries.push_back(e);
  }
};

class TransportSocketsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for network namespaces";
    ASSERT_EQ(unshare(CLONE_NEWNET), 0);  // the other computer's namespace
    peer_ns = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(unshare(CLONE_NEWNET), 0);  // the hub's, for good: the transport's sockets live there
    const std::string peer = "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(peer_ns);
    auto up = [](const std::string& address) {
      return "ip addr add " + address + "/24 brd + dev veth0 && ip link set veth0 up && ip link set lo up";
    };
    ASSERT_EQ(std::system(("ip link add veth0 type veth peer name veth0 netns " + peer + " && " + up(kHubAddress) +
                           " && nsenter --net=" + peer + " sh -c '" + up(kPeerAddress) + "'").c_str()), 0);
    const int probe = Udp(-1, kHubAddress), listener = Udp(peer_ns, kPeerAddress, 4000);
    bool linked = false;
    for (int i = 0; i < 50 && !linked; ++i) {
      linked = Send(probe, kPeerAddress, 4000, "probe") && Receive(listener, "", 100ms);
    }
    ASSERT_TRUE(linked) << "no datagram crossed the veth link";

    g = std::make_unique<Globals>(Platform{clock, loop, host, processes});
    g->AppPath = "/dev/null";
    g->ComputerName = "HUBHOST";
    g->XapLink = std::make_unique<xap>(*g);
    receiver.link = g->XapLink.get();
    g->XapLink->RegisterNewMessageCallback(&receiver);
    g->XapLink->SetXapSource("zyn.hub.HUBHOST");
    g->XapLink->SetXapUID("FF00FF00");
    g->XapLink->Init();
  }
  void TearDown() override {
    if (g) g->XapLink.reset();
  }

  // Serves the loop until `count` entries are queued or two seconds pass,
  // then a little longer to catch any that should not come.
  void Serve(std::size_t count) {
    auto deadline = std::chrono::steady_clock::now() + 2s;
    while (receiver.entries.size() < count && std::chrono::steady_clock::now() < deadline) loop.RunOnce(20);
    for (int i = 0; i < 10; ++i) loop.RunOnce(20);
  }

  PosixClock clock;
  PosixEventLoop loop;
  PosixHost host;
  PosixProcesses processes;
  int peer_ns = -1;
  std::unique_ptr<Globals> g;
  Receiver receiver;
};

TEST_F(TransportSocketsTest, DatagramsFromEverySideReachQueueWithTheirSender) {
  ASSERT_EQ(g->HubRole, "Hub");
  ASSERT_EQ(g->LocalAddress, kHubAddress);

  const int other = Udp(peer_ns, kPeerAddress), local_lan = Udp(-1, kHubAddress), loopback = Udp(-1, "127.0.0.1");
  ASSERT_TRUE(Send(other, "255.255.255.255", 3639, "from the other computer, broadcast"));
  ASSERT_TRUE(Send(other, kHubAddress, 3639, "from the other computer, direct"));
  ASSERT_TRUE(Send(local_lan, "255.255.255.255", 3639, "from this computer's LAN address"));
  ASSERT_TRUE(Send(loopback, "127.0.0.1", 3639, "from loopback"));
  Serve(4);

  auto entry = [](const std::string& sender, const std::string& text) {
    return std::string(15 - sender.size(), ' ') + sender + text;
  };
  ASSERT_EQ(receiver.entries.size(), 4u) << ::testing::PrintToString(receiver.entries);
  EXPECT_EQ(receiver.entries[0], entry(kPeerAddress, "from the other computer, broadcast"));
  EXPECT_EQ(receiver.entries[1], entry(kPeerAddress, "from the other computer, direct"));
  EXPECT_EQ(receiver.entries[2], entry(kHubAddress, "from this computer's LAN address"));
  EXPECT_EQ(receiver.entries[3], entry("127.0.0.1", "from loopback"));
}

TEST_F(TransportSocketsTest, OwnBroadcastsAreNotTakenBackButTheOtherComputerHearsThem) {
  const int other = Udp(peer_ns, "0.0.0.0", 3639);
  ASSERT_GE(other, 0);
  g->XapLink->SendHeartbeat(60);
  g->XapLink->SendXap("", "test.class", "blk", std::string("a\1" "1"), "", "", "");
  Serve(1);
  // Only the copy that SendXap queues itself; neither broadcast came back in.
  ASSERT_EQ(receiver.entries.size(), 1u);
  EXPECT_NE(receiver.entries[0].find("class=test.class"), std::string::npos);
  std::optional<Datagram> beat = Receive(other, "xap-hbeat");
  ASSERT_TRUE(beat);
  EXPECT_EQ(beat->from, kHubAddress);
  EXPECT_EQ(beat->from_port, 32768);
  EXPECT_EQ(beat->to, "255.255.255.255");
  EXPECT_TRUE(Receive(other, "xap-header"));
}

}  // namespace
}  // namespace tessaly
