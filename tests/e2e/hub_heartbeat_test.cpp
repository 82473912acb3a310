// The hub's own heartbeat and sockets, seen from outside the process.
#include <gtest/gtest.h>

#include "e2e/hub_fixture.h"
#include "e2e/hub_sandbox.h"
#include "e2e/hub_texts.h"
#include "e2e/netns.h"

namespace tessaly::e2e {
namespace {

using HeartbeatOnLan = HubOnLan;

TEST_F(HeartbeatOnLan, PrimaryBroadcastReachesAnotherComputerOnceAtStartWithExactText) {
  ASSERT_NO_FATAL_FAILURE(StartPrimary());
  EXPECT_EQ(HubHeartbeat(kPrimarySource, kPrimaryUid, kFirstClientPort), primary_beat->text);
  EXPECT_EQ(lan.hub_address, primary_beat->from_address);
  EXPECT_EQ(kFirstClientPort, primary_beat->from_port);
  EXPECT_EQ("255.255.255.255", primary_beat->to_address);

  EXPECT_TRUE(other_computer.CollectFor(HeartbeatOf(kPrimarySource), 2s).empty())
      << "more than one heartbeat at start";
}

TEST_F(HeartbeatOnLan, PrimaryHoldsHubPortOnWildcardAndClientPortOnBothAddresses) {
  ASSERT_NO_FATAL_FAILURE(StartPrimary());
  // Only a wildcard socket sees broadcasts from the LAN; a second socket on the
  // hub port would let another copy in beside it.
  std::vector<UdpBinding> expected = {
      {"0.0.0.0", kHubPort}, {lan.hub_address, kFirstClientPort}, {"127.0.0.1", kFirstClientPort}};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(expected, UdpBindingsOf(primary->pid()));
}

// With loopback only, the hub owns 3639 and nothing else can listen there, so
// the test watches the loopback interface itself, as a packet capture would.
TEST(HeartbeatOnLoopback, LoopbackOnlyComputerSendsHeartbeatFromLoopbackClientPortToLoopbackHubPort) {
  NetNamespace computer;
  LoopbackSniffer loopback(computer);
  HubSandbox hub(computer);
  const HubCopy& primary = hub.StartCopy();
  ASSERT_NE(0, primary.pid()) << "the hub ended at once";

  std::optional<Datagram> beat = loopback.WaitFor(
      [](const Datagram& d) { return d.to_port == kHubPort && HeartbeatOf(kPrimarySource)(d); }, 10s);
  ASSERT_TRUE(beat) << "no heartbeat to the hub port on loopback within 10 s";
  EXPECT_EQ(HubHeartbeat(kPrimarySource, kPrimaryUid, kFirstClientPort), beat->text);
  EXPECT_EQ("127.0.0.1", beat->from_address);
  EXPECT_EQ(kFirstClientPort, beat->from_port);
  EXPECT_EQ("127.0.0.1", beat->to_address);

  std::vector<UdpBinding> expected = {{"0.0.0.0", kHubPort}, {"127.0.0.1", kFirstClientPort}};
  EXPECT_EQ(expected, UdpBindingsOf(primary.pid()));
  std::string log = hub.LogOf(primary.ns_pid());
  EXPECT_NE(std::string::npos, log.find(" Starting as Primary Hub on port 3639 127.0.0.1 at Line 0 ")) << log;
}

}  // namespace
}  // namespace tessaly::e2e
