// A long stream of junk from every side: the hub must keep running, keep its
// memory, fall quiet when the stream stops, and go on relaying.
#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "e2e/hub_fixture.h"
#include "e2e/hub_sandbox.h"
#include "e2e/hub_texts.h"
#include "e2e/local_client.h"
#include "e2e/netns.h"

namespace tessaly::e2e {
namespace {

// Junk of several kinds, every text different from the one before, so the
// repeat filter lets each through.
class JunkMaker {
 public:
  explicit JunkMaker(unsigned seed) : random_(seed) {}

  std::string Next() {
    const int n = ++count_;
    const std::string tag = std::to_string(n);
    if (n % 20 == 0) return Big(tag);
    switch (n % 6) {
      case 0: return RandomBytes();
      case 1: return "xap-header{v=12hop=1uid=FF" + tag + "class=junk.flatsource=junk.flat.peerport=40000}";
      case 2: return XapText("nodot" + tag, "junk.nodot", "body", {"n=" + tag});
      case 3: return ClientHeartbeat("junk.interval.hubhost", Uid(n), "45001", "99999999999");
      case 4: return ClientHeartbeat("junk.negative.hubhost", Uid(n), "-5");
      default:
        return n % 12 < 6 ? ClientHeartbeat("junk.hubport.hubhost", Uid(n), std::to_string(kHubPort))
                          : ClientHeartbeat("junk.ownport.hubhost", Uid(n), std::to_string(kFirstClientPort));
    }
  }

 private:
  static std::string Uid(int n) { return "FF" + std::to_string(100000 + n % 100000) + "00"; }

  std::string RandomBytes() {
    std::string bytes(std::uniform_int_distribution<size_t>(1, 1400)(random_), '\0');
    for (char& c : bytes) c = static_cast<char>(random_() & 0xFF);
    return bytes;
  }

  // A 60,000-byte message with a usable source, so the hub relays it whole.
  static std::string Big(const std::string& tag) {
    constexpr size_t kSize = 60000;
    std::string text = XapText("junk.big.peer", "junk.big", "body", {"n=" + tag, "filler="});
    text.insert(text.size() - 3, kSize - text.size(), 'f');
    return text;
  }

  std::mt19937 random_;
  int count_ = 0;
};

class HubJunk : public HubWithClients {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(HubWithClients::SetUp());
    AddClients(3);
    ASSERT_NO_FATAL_FAILURE(StartPrimary());
    ASSERT_NO_FATAL_FAILURE(RegisterClients());
    ASSERT_EQ(0, local_lan.Bind(lan.hub_address, 0));
    local_lan.EnableBroadcast();
    ASSERT_EQ(0, local_loopback.Bind("127.0.0.1", 0));
  }

  // Sends `count` junk datagrams round the four ways into the hub port,
  // pausing now and then so that the hub takes most of them.
  void SendJunk(int count) {
    struct Route {
      UdpSocket* sender;
      std::string to;
    };
    const Route routes[] = {{&peer, "255.255.255.255"},
                            {&peer, lan.hub_address},
                            {&local_lan, "255.255.255.255"},
                            {&local_loopback, "127.0.0.1"}};
    for (int i = 0; i < count; ++i) {
      // Six kinds in turn; each round of six takes the next way, so every kind
      // goes every way.
      const Route& route = routes[(junk_sent / 6) % 4];
      ++junk_sent;
      ASSERT_EQ(0, route.sender->SendTo(route.to, kHubPort, junk.Next())) << "datagram " << i;
      if (i % 50 == 49) std::this_thread::sleep_for(5ms);
    }
  }

  // Waits until nothing more moves on the hub's computer or to the other one.
  void ExpectQuietAfterJunk() {
    EXPECT_TRUE(loopback.WaitForQuiet(500ms, 15s)) << "loopback traffic went on 15 s after the junk stopped";
    EXPECT_TRUE(other_computer.WaitForQuiet(500ms, 10s)) << "broadcasts went on 10 s after the junk stopped";
    for (LocalClient* c : AllClients()) c->inbox().WaitForQuiet(200ms, 5s);
  }

  long Resident() {
    std::optional<long> kib = ResidentKiB(primary->pid());
    EXPECT_TRUE(kib) << "no VmRSS for the hub";
    return kib.value_or(0);
  }

  UdpSocket local_lan{lan.hub_ns};       // an application of the hub's computer, no client
  UdpSocket local_loopback{lan.hub_ns};
  LoopbackSniffer loopback{lan.hub_ns};
  JunkMaker junk{20240611};
  int junk_sent = 0;
};

TEST_F(HubJunk, TenThousandJunkDatagramsLeaveHubRunningQuietSmallAndRelaying) {
  // A first round lets the hub reach its working size (buffers, queue).
  ASSERT_NO_FATAL_FAILURE(SendJunk(1000));
  ExpectQuietAfterJunk();
  const long before = Resident();

  ASSERT_NO_FATAL_FAILURE(SendJunk(10000));
  ExpectQuietAfterJunk();
  if (std::optional<int> ended = hub.WaitForExit(*primary, 0ms)) {
    FAIL() << "the hub ended on junk: " << DescribeStatus(*ended);
  }
  const long after = Resident();
  EXPECT_LT(after - before, 2048) << "resident size grew from " << before << " KiB to " << after << " KiB";

  const std::string text = XapText("acme.sensor.peer", "test.relay", "body", {"n=after junk"});
  ASSERT_EQ(0, peer.SendTo("255.255.255.255", kHubPort, text));
  ExpectRelayedOnce(text, AllClients());
}

}  // namespace
}  // namespace tessaly::e2e
