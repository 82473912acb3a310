// The relay seen from outside: local applications register by heartbeat and
// get every message that reaches the hub port, once; the hub answers echo and
// role queries on the wire and to its clients.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <thread>

#include "e2e/hub_fixture.h"
#include "e2e/hub_sandbox.h"
#include "e2e/hub_texts.h"
#include "e2e/local_client.h"
#include "e2e/netns.h"

namespace tessaly::e2e {
namespace {

using SteadyClock = std::chrono::steady_clock;

class HubRelay : public HubWithClients {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(HubWithClients::SetUp());
    AddClients(3);
    ASSERT_NO_FATAL_FAILURE(StartPrimary());
    ASSERT_NO_FATAL_FAILURE(RegisterClients());
  }

  LocalClient& client(int n) { return *clients[n - 1]; }

  // A plain message of another computer's application, told apart by `n`.
  static std::string PeerMessage(const std::string& n, const std::string& source = "acme.sensor.peer") {
    return XapText(source, "test.relay", "body", {"n=" + n});
  }
};

TEST_F(HubRelay, MessageOnEveryRouteToHubPortReachesEachLocalClientExactlyOnce) {
  UdpSocket loopback_app(lan.hub_ns);  // an application here that is no client
  ASSERT_EQ(0, loopback_app.Bind("127.0.0.1", 0));
  UdpSocket lan_app(lan.hub_ns);
  ASSERT_EQ(0, lan_app.Bind(lan.hub_address, 0));
  struct Route {
    std::string what;
    UdpSocket* sender;
    std::string to;
  };
  const std::vector<Route> routes = {
      {"other computer, broadcast", &peer, "255.255.255.255"},
      {"other computer, to the hub's address", &peer, lan.hub_address},
      {"this computer, loopback", &loopback_app, "127.0.0.1"},
      {"this computer, to its LAN address", &lan_app, lan.hub_address},
  };
  for (const Route& route : routes) {
    SCOPED_TRACE(route.what);
    const std::string text = PeerMessage(route.what);
    ASSERT_EQ(0, route.sender->SendTo(route.to, kHubPort, text));
    ExpectRelayedOnce(text, AllClients());
  }
}

struct OwnMessageCase {
  const char* name;
  std::string source;  // sent by client 1
  bool back_to_sender;
};

void PrintTo(const OwnMessageCase& c, std::ostream* out) { *out << c.name; }

class HubRelayOwnMessage : public HubRelay, public ::testing::WithParamInterface<OwnMessageCase> {};

TEST_P(HubRelayOwnMessage, SkipsOnlyTheClientWhoseKeyEqualsSourceKeyExactly) {
  const std::string text = XapText(GetParam().source, "xAPBSC.event", "output.state", {"state=on"});
  ASSERT_EQ(0, client(1).Broadcast(text));
  if (GetParam().back_to_sender) {
    ExpectRelayedOnce(text, AllClients());
  } else {
    ExpectRelayedOnce(text, {&client(2), &client(3)}, {&client(1)});
  }
}

// The exclusion compares the source key with the registered key exactly: a
// client that changes the case of its own address hears itself.
INSTANTIATE_TEST_SUITE_P(
    Sources, HubRelayOwnMessage,
    ::testing::Values(OwnMessageCase{"Key", "acme.client1.hubhost", false},
                      OwnMessageCase{"KeyWithSubAddress", "acme.client1.hubhost:kitchen.lamp", false},
                      OwnMessageCase{"KeyInOtherCase", "ACME.client1.hubhost:kitchen.lamp", true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(HubRelay, RepeatWithin100msIsRelayedOnceAndSameTextAfterPauseAgain) {
  const std::string text = PeerMessage("twice");
  const auto sent = SteadyClock::now();
  ASSERT_EQ(0, peer.SendTo("255.255.255.255", kHubPort, text));
  ASSERT_EQ(0, peer.SendTo("255.255.255.255", kHubPort, text));
  for (LocalClient* c : AllClients()) {
    ASSERT_TRUE(c->inbox().WaitFor(TextIs(text), 5s)) << c->source() << " got no copy";
  }
  // The hub measures the 100 ms from the later of the two; it had taken both
  // before its first copy went out.
  std::this_thread::sleep_until(std::max(sent + 150ms, SteadyClock::now() + 100ms));
  ASSERT_EQ(0, peer.SendTo("255.255.255.255", kHubPort, text));
  // Exactly one more copy each: a repeat that slipped through shows up here
  // as a copy too many.
  ExpectRelayedOnce(text, AllClients());

  // Same text from two senders at once: still one message.
  UdpSocket loopback_app(lan.hub_ns);
  ASSERT_EQ(0, loopback_app.Bind("127.0.0.1", 0));
  const std::string both = PeerMessage("from two sides");
  ASSERT_EQ(0, peer.SendTo(lan.hub_address, kHubPort, both));
  ASSERT_EQ(0, loopback_app.SendTo("127.0.0.1", kHubPort, both));
  ExpectRelayedOnce(both, AllClients());
}

struct EchoCase {
  const char* name;
  std::string asker;
  std::string target;   // of the query; "" = none
  std::string section;  // where the query item stands
  std::string query;
  bool answered;
};

TEST_F(HubRelay, EchoQueryToHubIsAnsweredOnWireAndToClientsOthersAreOnlyRelayed) {
  const std::vector<EchoCase> cases = {
      {"no target", "acme.asker.one", "", "Echo.Query", "Hello", true},
      {"hub as target, mixed case", "acme.asker.two:sub", kPrimarySource, "Echo.Query", "HeLLo WoRLD", true},
      {"another application as target", "acme.asker.three", "acme.other.app", "Echo.Query", "Hello", false},
      {"no Echo.Query section", "acme.asker.four", "", "Echo.Other", "Hello", false},
  };
  for (const EchoCase& c : cases) {
    const std::string query = XapText(c.asker, "WDT.Echo", c.section, {"Query=" + c.query}, c.target);
    ASSERT_EQ(0, peer.SendTo("255.255.255.255", kHubPort, query));
    SCOPED_TRACE(c.name);
    ExpectRelayedOnce(query, AllClients());
  }
  for (const EchoCase& c : cases) {
    if (!c.answered) continue;
    SCOPED_TRACE(c.name);
    std::string lower = c.query;
    for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    const std::string answer = HubText("WDT.Echo", "Echo.Response", {"Response=" + lower}, c.asker);
    std::optional<Datagram> heard = other_computer.WaitFor(TextIs(answer), 5s);
    ASSERT_TRUE(heard) << "no answer on the wire:\n" << answer;
    EXPECT_EQ(lan.hub_address, heard->from_address);
    EXPECT_EQ(kFirstClientPort, heard->from_port);
    EXPECT_EQ("255.255.255.255", heard->to_address);
    ExpectRelayedOnce(answer, AllClients());
  }
  auto any_echo_answer = [](const Datagram& d) {
    return d.text.find("\nsource=" + kPrimarySource + "\n") != std::string::npos &&
           d.text.find("\nclass=WDT.Echo\n") != std::string::npos;
  };
  std::vector<Datagram> more = other_computer.CollectFor(any_echo_answer, 1s);
  EXPECT_TRUE(more.empty()) << more.size() << " unexpected answers, the first:\n" << more.front().text;
}

struct RoleCase {
  const char* name;
  std::string target;
  std::string role;
  bool answered;
};

TEST_F(HubRelay, RoleQueryForApplicationOrAnyGetsBroadcastWithHubRoleAndExecutablePath) {
  const std::string answer = HubText("Vantrel.Role", "Role.Notification",
                                     {"Role=Hub", "Path=" + (hub.app_path() / "Tessaly").string()});
  const std::vector<RoleCase> cases = {
      {"Application", "", "Application", true},
      {"any, hub as target", kPrimarySource, "any", true},
      {"upper case", "", "APPLICATION", true},
      {"hub", "", "hub", false},
      {"another application as target", "acme.other.app", "Application", false},
  };
  int n = 0;
  for (const RoleCase& c : cases) {
    SCOPED_TRACE(c.name);
    // The answers are all alike, so one query at a time.
    const std::string query =
        XapText("acme.asker.peer", "Vantrel.Role", "Role.Query", {"Role=" + c.role, "n=" + std::to_string(++n)},
                c.target);
    ASSERT_EQ(0, peer.SendTo("255.255.255.255", kHubPort, query));
    std::vector<Datagram> heard = other_computer.CollectFor(TextIs(answer), 1s);
    ASSERT_EQ(c.answered ? 1u : 0u, heard.size()) << "answers to role " << c.role;
    if (!c.answered) continue;
    EXPECT_EQ(lan.hub_address, heard[0].from_address);
    EXPECT_EQ(kFirstClientPort, heard[0].from_port);
    EXPECT_EQ("255.255.255.255", heard[0].to_address);
    ExpectRelayedOnce(answer, AllClients());
  }
}

TEST_F(HubRelay, HeartbeatsNotFromThisComputersLanAddressAreRelayedButNeverRegistered) {
  LoopbackSniffer loopback(lan.hub_ns);
  UdpSocket loopback_app(lan.hub_ns);
  ASSERT_EQ(0, loopback_app.Bind("127.0.0.1", 0));
  struct Stranger {
    std::string what;
    UdpSocket* sender;
    std::string to;
    std::string source;
    int port;  // announced; must never be sent to
  };
  const std::vector<Stranger> strangers = {
      {"other computer, broadcast", &peer, "255.255.255.255", "acme.remote.peer", 40001},
      {"other computer, to the hub's address", &peer, lan.hub_address, "acme.direct.peer", 40002},
      {"this computer, loopback", &loopback_app, "127.0.0.1", "acme.looped.app", 40003},
  };
  for (const Stranger& s : strangers) {
    SCOPED_TRACE(s.what);
    const std::string beat = ClientHeartbeat(s.source, "FF777700", std::to_string(s.port));
    ASSERT_EQ(0, s.sender->SendTo(s.to, kHubPort, beat));
    ExpectRelayedOnce(beat, AllClients());
    // Were it registered, its own messages would skip its entry only; they
    // reach every real client either way, and its port would get them.
    const std::string own = XapText(s.source + ":sub", "test.own", "body", {"n=1"});
    ASSERT_EQ(0, s.sender->SendTo(s.to, kHubPort, own));
    ExpectRelayedOnce(own, AllClients());
  }
  auto to_stranger = [&](const Datagram& d) {
    for (const Stranger& s : strangers) {
      if (d.to_port == s.port) return true;
    }
    return false;
  };
  std::vector<Datagram> sent = loopback.CollectFor(to_stranger, 500ms);
  EXPECT_TRUE(sent.empty()) << "the hub sent to port " << sent.front().to_port << ":\n" << sent.front().text;
}

// The primary relays to its backup like to any client, and the backup answers
// for itself; the clients still hear everything once, from the primary.
TEST_F(HubWithClients, WithBackupRunningClientsGetEachMessageOnceAndBackupAnswersRoleQueryAsBackup) {
  hub.WriteAppFile("Config/Velmar.ini", kBackupWantedOptions);
  AddClients(2);
  ASSERT_NO_FATAL_FAILURE(StartPrimary());
  ASSERT_NO_FATAL_FAILURE(AwaitBackupOfPrimary());
  ASSERT_NO_FATAL_FAILURE(RegisterClients());
  const std::string text = XapText("acme.sensor.peer", "test.relay", "body", {"n=1"});
  ASSERT_EQ(0, peer.SendTo("255.255.255.255", kHubPort, text));
  ExpectRelayedOnce(text, AllClients());

  const std::string path = "Path=" + (hub.app_path() / "Tessaly").string();
  const std::string query = XapText("acme.asker.peer", "Vantrel.Role", "Role.Query", {"Role=any"});
  ASSERT_EQ(0, peer.SendTo("255.255.255.255", kHubPort, query));

  std::optional<Datagram> from_primary =
      other_computer.WaitFor(TextIs(HubText("Vantrel.Role", "Role.Notification", {"Role=Hub", path})), 5s);
  EXPECT_TRUE(from_primary) << "no answer of the primary";
  const std::string backup_answer = XapText(kBackupSource, "Vantrel.Role", "Role.Notification",
                                            {"Role=HubBackup", path}, "", kBackupUid);
  std::optional<Datagram> from_backup = other_computer.WaitFor(TextIs(backup_answer), 5s);
  ASSERT_TRUE(from_backup) << "no answer of the backup:\n" << backup_answer;
  EXPECT_EQ(kFirstClientPort + 1, from_backup->from_port);
}

}  // namespace
}  // namespace tessaly::e2e
