#include "relay/relay.h"

#include "common/text.h"
#include "support/hub_harness.h"

namespace tessaly {
namespace {

using testing::Heartbeat;
using testing::Message;
using namespace std::string_literals;

class RelayTest : public testing::HubFixture {
 protected:
  void SetUp() override { Start(); }
  XapRelay& relay() { return *hub->Relay(); }
  bool Registered(const std::string& key) { return relay().Routers.Find(key) != nullptr; }
};

TEST_F(RelayTest, LocalHeartbeatRegistersOnlyAPortItCanSendToThatIsNotTheHubsOwn) {
  struct Row {
    const char* port;
    bool registered;
  } rows[] = {{"50001", true},    {"3639.5", true},  {"3639", false},   {"3639.4", false}, {"3638.6", false},
              {"32768", false},   {"32768.3", false}, {"0", false},     {"70000", false},  {"abc", false}};
  int n = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.port);
    const std::string source = "acme.app" + std::to_string(++n) + ".box";
    FromLocal(Heartbeat(source + ":sub", row.port));
    EXPECT_EQ(Registered(source), row.registered);
  }
  FromOther(Heartbeat("acme.remote.box", "50009"));
  EXPECT_FALSE(Registered("acme.remote.box"));
  // A known client keeps its first key and takes the new port.
  FromLocal(Heartbeat("ACME.APP1.BOX", "50002"));
  EXPECT_EQ(relay().Routers.Find("acme.app1.box")->Key, "acme.app1.box");
  EXPECT_EQ(relay().Routers.Find("acme.app1.box")->Port, "50002");
  g.HubRole = "HubBackup";
  FromLocal(Heartbeat("acme.late.box", "50003"));
  EXPECT_FALSE(Registered("acme.late.box"));
}

TEST_F(RelayTest, EveryClientButTheSenderGetsEveryMessageOnceInOrderInOneBatchAndAFailedDeliveryIsLogged) {
  auto& a = AddClient("acme.a.box", 50001);
  auto& b = AddClient("acme.b.box", 50002);
  a.clear();
  b.clear();
  const int batches = p.network.batch_sends;
  const std::vector<std::string> burst = {Message("acme.a.box:lamp"), Message("acme.peer.x", "c2"),
                                          Message("ACME.A.box", "c3"), Message("nodots"), "junk"};
  for (const auto& text : burst) p.network.Inject("192.168.1.77", 3639, "255.255.255.255", 3639, text);
  p.loop.Advance(10);
  EXPECT_EQ(a, (std::vector<std::string>{burst[1], burst[2]}));  // its own key skipped exactly
  EXPECT_EQ(b, (std::vector<std::string>{burst[0], burst[1], burst[2]}));
  EXPECT_EQ(p.network.batch_sends, batches + 1);
  EXPECT_EQ(g.InboundCount, 1 + 2 + 5);  // the hub's start-up event, two heartbeats, the burst
  EXPECT_EQ(g.ForwardCount, 1 + 5);
  p.network.refuse_port = 50001;
  FromOther(Message("acme.peer.x", "c4"));
  EXPECT_EQ(g.ForwardCount, 1 + 5 + 2);  // counted all the same
  EXPECT_NE(Log().find("Tessaly Readmessage at Line 0 Forward to port 50001"), std::string::npos);
}

TEST_F(RelayTest, SilentClientIsDroppedOnceTwiceItsIntervalHasPassed) {
  FromLocal(Heartbeat("acme.a.box", "50001", "30"));
  p.clock.wall += 60;
  relay().CheckStaleConnections();
  EXPECT_TRUE(Registered("acme.a.box"));
  p.clock.wall += 1;
  p.loop.Advance(60000);  // Timer2
  EXPECT_FALSE(Registered("acme.a.box"));
}

TEST_F(RelayTest, StatusWindowIsWrittenOnlyWhileOpen) {
  FromOther(Message("acme.peer.x"));
  EXPECT_EQ(view->message + view->connections, "(never written)");
  EXPECT_EQ(view->counts[0], -1);
  g.TrafficView = true;
  AddClient("acme.a.box", 50001);
  FromOther(Message("acme.peer.x", "c2"));
  EXPECT_EQ(view->message, ReplaceAll(Message("acme.peer.x", "c2"), "\n", "\r\n"));
  EXPECT_EQ(std::vector<int>(view->counts, view->counts + 4), (std::vector<int>{4, 1, 0, 1}));
  EXPECT_EQ(view->connections, "\r\n         0    50001    acme.a.box");
}

TEST_F(RelayTest, NetworkTextCannotAddItemsToTheHubsAnswers) {
  TakeBroadcasts();
  FromOther(Message("acme.ask.x", "WDT.Echo", "", "Echo.Query\n{\nQuery=Hi\0Evil\1Item\n}\n"s));
  const std::vector<std::string> sent = TakeBroadcasts();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_NE(sent[0].find("Echo.Response\n{\nResponse=hievilitem\n}\n"), std::string::npos) << sent[0];
}

}  // namespace
}  // namespace tessaly
