#include "e2e/hub_fixture.h"

#include <cstdio>
#include <thread>

namespace tessaly::e2e {
namespace {

std::string FirstLines(const std::string& text) {
  constexpr size_t kShown = 200;
  return text.size() > kShown ? text.substr(0, kShown) + "..." : text;
}

}  // namespace

void HubWithClients::SetUp() {
  ASSERT_NO_FATAL_FAILURE(HubOnLan::SetUp());
  ASSERT_EQ(0, peer.Bind(lan.peer_address, 0));
  peer.EnableBroadcast();
}

void HubWithClients::AddClients(int count) {
  for (int i = 0; i < count; ++i) {
    const int n = static_cast<int>(clients.size()) + 1;
    char uid[9];
    std::snprintf(uid, sizeof uid, "FF%04X00", 0x1000 + n);
    clients.push_back(
        std::make_unique<LocalClient>(lan, "acme.client" + std::to_string(n) + ".hubhost", uid, 41000 + n));
  }
}

std::vector<LocalClient*> HubWithClients::AllClients() const {
  std::vector<LocalClient*> all;
  for (const auto& c : clients) all.push_back(c.get());
  return all;
}

void HubWithClients::RegisterClients() {
  // A probe from the other computer reaches a client only once the hub has
  // taken its heartbeat; each probe differs, so none counts as a repeat.
  for (int attempt = 0; attempt < 20; ++attempt) {
    for (const auto& c : clients) ASSERT_EQ(0, c->SendHeartbeat());
    const std::string probe = XapText("acme.prober.peer", "test.probe", "probe", {"n=" + std::to_string(attempt)});
    ASSERT_EQ(0, peer.SendTo("255.255.255.255", kHubPort, probe));
    bool all = true;
    for (const auto& c : clients) all = c->inbox().WaitFor(TextIs(probe), 500ms).has_value() && all;
    if (all) {
      for (const auto& c : clients) c->inbox().WaitForQuiet(200ms, 5s);
      return;
    }
  }
  FAIL() << "the hub did not relay to all " << clients.size() << " local clients after 20 heartbeats each";
}

void HubWithClients::ExpectRelayedOnce(const std::string& text, const std::vector<LocalClient*>& receivers,
                                       const std::vector<LocalClient*>& bystanders) {
  for (LocalClient* r : receivers) {
    std::optional<Datagram> copy = r->inbox().WaitFor(TextIs(text), 5s);
    EXPECT_TRUE(copy) << r->source() << " did not receive within 5 s:\n" << FirstLines(text);
    if (!copy) continue;
    EXPECT_EQ("127.0.0.1", copy->from_address);
    EXPECT_EQ(kFirstClientPort, copy->from_port) << "not forwarded from the hub's client port";
  }
  std::this_thread::sleep_for(kSecondCopyWindow);
  for (LocalClient* r : receivers) {
    EXPECT_TRUE(r->inbox().CollectFor(TextIs(text), 50ms).empty())
        << r->source() << " received a second copy of:\n" << FirstLines(text);
  }
  for (LocalClient* b : bystanders) {
    EXPECT_TRUE(b->inbox().CollectFor(TextIs(text), 50ms).empty())
        << b->source() << " received what it must not:\n" << FirstLines(text);
  }
}

}  // namespace tessaly::e2e
