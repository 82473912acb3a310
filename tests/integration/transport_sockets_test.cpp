// The transport on real sockets, in a network namespace made for the test and
// joined to a second one ("another computer"): which datagrams reach the
// receive queue, with which sender, and that the hub's own broadcasts do not.
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "app/globals.h"
#include "e2e/netns.h"
#include "platform/posix/posix_clock.h"
#include "platform/posix/posix_event_loop.h"
#include "platform/posix/posix_host.h"
#include "platform/posix/posix_processes.h"
#include "transport/xap.h"

namespace tessaly {
namespace {

using namespace std::chrono_literals;

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
    lan = std::make_unique<e2e::Lan>();
    e2e::InNamespace inside(lan->hub_ns);  // the transport's sockets live there
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
  std::unique_ptr<e2e::Lan> lan;
  std::unique_ptr<Globals> g;
  Receiver receiver;
};

TEST_F(TransportSocketsTest, DatagramsFromEverySideReachQueueWithTheirSender) {
  ASSERT_EQ(g->HubRole, "Hub");
  ASSERT_EQ(g->LocalAddress, lan->hub_address);

  e2e::UdpSocket other(lan->peer_ns);
  ASSERT_EQ(other.Bind(lan->peer_address, 0), 0);  // a broadcast leaves by its source's interface
  other.EnableBroadcast();
  e2e::UdpSocket local_lan(lan->hub_ns);
  ASSERT_EQ(local_lan.Bind(lan->hub_address, 0), 0);
  local_lan.EnableBroadcast();
  e2e::UdpSocket local_loopback(lan->hub_ns);
  ASSERT_EQ(local_loopback.Bind("127.0.0.1", 0), 0);

  ASSERT_EQ(other.SendTo("255.255.255.255", 3639, "from the other computer, broadcast"), 0);
  ASSERT_EQ(other.SendTo(lan->hub_address, 3639, "from the other computer, direct"), 0);
  ASSERT_EQ(local_lan.SendTo("255.255.255.255", 3639, "from this computer's LAN address"), 0);
  ASSERT_EQ(local_loopback.SendTo("127.0.0.1", 3639, "from loopback"), 0);
  Serve(4);

  auto entry = [](const std::string& sender, const std::string& text) {
    return std::string(15 - sender.size(), ' ') + sender + text;
  };
  ASSERT_EQ(receiver.entries.size(), 4u) << ::testing::PrintToString(receiver.entries);
  EXPECT_EQ(receiver.entries[0], entry(lan->peer_address, "from the other computer, broadcast"));
  EXPECT_EQ(receiver.entries[1], entry(lan->peer_address, "from the other computer, direct"));
  EXPECT_EQ(receiver.entries[2], entry(lan->hub_address, "from this computer's LAN address"));
  EXPECT_EQ(receiver.entries[3], entry("127.0.0.1", "from loopback"));
}

TEST_F(TransportSocketsTest, OwnBroadcastsAreNotTakenBackButTheOtherComputerHearsThem) {
  e2e::UdpSocket other(lan->peer_ns);
  ASSERT_EQ(other.Bind("0.0.0.0", 3639), 0);
  g->XapLink->SendHeartbeat(60);
  g->XapLink->SendXap("", "test.class", "blk", std::string("a\1" "1"), "", "", "");
  Serve(1);
  // Only the copy that SendXap queues itself; neither broadcast came back in.
  ASSERT_EQ(receiver.entries.size(), 1u);
  EXPECT_NE(receiver.entries[0].find("class=test.class"), std::string::npos);
  auto beat = other.WaitFor([](const e2e::Datagram& d) { return d.text.rfind("xap-hbeat", 0) == 0; }, 2000ms);
  ASSERT_TRUE(beat);
  EXPECT_EQ(beat->from_address, lan->hub_address);
  EXPECT_EQ(beat->from_port, 32768);
  EXPECT_EQ(beat->to_address, "255.255.255.255");
  auto message = other.WaitFor([](const e2e::Datagram& d) { return d.text.rfind("xap-header", 0) == 0; }, 2000ms);
  ASSERT_TRUE(message);
}

}  // namespace
}  // namespace tessaly
