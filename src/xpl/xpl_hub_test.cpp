#include "xpl/xpl_hub.h"

#include "common/text.h"
#include "support/hub_harness.h"

namespace tessaly {
namespace {

using testing::Xpl;

std::string Beat(const std::string& port, const std::string& interval = "5", const std::string& schema = "hbeat.app",
                 const std::string& extra = "", const std::string& type = "xpl-stat") {
  return Xpl(type, schema, "interval=" + interval + "\nport=" + port + "\n" + extra,
             "hop=1\nsource= acme-app.p" + port + " \ntarget=*\n");
}

class XplHubTest : public testing::HubFixture {
 protected:
  void SetUp() override {
    WriteOptions("[General]\nXPLhub=1\n");
    Start();
  }
  XplHub& xpl() { return hub->Xpl(); }
  const XplClient* Entry(std::int32_t port) {
    for (int i = 1; i <= XplHub::kMaxClients; ++i) {
      if (xpl().XplClients[i].Port == port) return &xpl().XplClients[i];
    }
    return nullptr;
  }
};

TEST_F(XplHubTest, OnlyALocalHeartbeatOrConfigWithAUsablePortRegisters) {
  struct Row {
    std::string text;
    const char* from;
    std::int32_t port;  // the entry expected; 0 for none
  } rows[] = {
      {Beat("50001"), kLan, 50001},
      {Beat("50002"), "192.168.1.77", 0},
      {Beat("50003", "5", "hbeat.app", "remote-ip=10.0.0.9\n"), kLan, 0},
      {Beat("50004", "5", "hbeat.app", "remote-ip= 192.168.1.5 \n"), kLan, 50004},
      {Beat("50005", "5", "hbeat.apple"), kLan, 50005},
      {Beat("50006", "5", "config.app"), kLan, 50006},
      {Beat("50007", "5", "hbeat.basic"), kLan, 0},
      {Beat("50008", "5", "config.list"), kLan, 0},
      {Beat("50009", "5", "hbeat.app", "", "xpl-cmnd"), kLan, 0},
      {Beat(" 50010.5"), kLan, 50010},
      {Beat("abc"), kLan, 0},
      {Beat("0"), kLan, 0},
      {Beat("70000"), kLan, 0},
      {Beat("99999999999"), kLan, 0},
      {Beat("3865"), kLan, 0},   // the hub would relay to itself for ever
      {Beat("3639"), kLan, 0},
      {Beat("32768"), kLan, 0},  // the xAP side's own client port
  };
  int used = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    ToXplHub(row.text, 40000, row.from);
    if (row.port) EXPECT_TRUE(Entry(row.port) != nullptr);
    used += row.port ? 1 : 0;
    EXPECT_EQ(64 - used, std::count_if(xpl().XplClients.begin() + 1, xpl().XplClients.end(),
                                       [](const XplClient& c) { return c.Port == 0; }));
  }
  for (int port = 51000; used < 64; ++port, ++used) ToXplHub(Beat(std::to_string(port)));
  ToXplHub(Beat("52000"));
  EXPECT_EQ(Entry(52000), nullptr);
  EXPECT_EQ(view->message, Beat("52000"));  // shown although the window is closed
}

TEST_F(XplHubTest, NewEntryLastsTwoIntervalsARefreshOneMinuteMoreAndTheSweepFreesItAfter) {
  const std::pair<const char*, std::int16_t> rows[] = {{"5", 5}, {"0", 5}, {"-3", 5}, {"", 5},
                                                       {"1", 1}, {"2.5", 2}, {"99999", 5}};
  int port = 50000;
  for (const auto& [interval, minutes] : rows) {
    SCOPED_TRACE(interval);
    const std::string beat = Beat(std::to_string(++port), interval);
    ToXplHub(beat);
    const XplClient* c = Entry(port);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->Expires - p.clock.wall, 2 * minutes * 60);
    EXPECT_EQ(c->Heartbeats, 0);
    ToXplHub(beat);
    EXPECT_EQ(c->Expires - p.clock.wall, (2 * minutes + 1) * 60);
    EXPECT_EQ(c->Interval, minutes);
    EXPECT_EQ(c->Heartbeats, 1);
    EXPECT_EQ(c->Source, "acme-app.p" + std::to_string(port));
  }
  EXPECT_NE(TakeBroadcasts().back().find("Data=XPL_BroadcastMessage Line 0 interval outside 16 bits"),
            std::string::npos);
  ToXplHub(Beat("50005", "1"));  // expires in 3 minutes
  p.loop.Advance(180000 - 10);
  EXPECT_NE(Entry(50005), nullptr);
  p.loop.Advance(20000);
  EXPECT_EQ(Entry(50005), nullptr);
  EXPECT_NE(Entry(50001), nullptr);
}

TEST_F(XplHubTest, EveryEntryGetsEveryMessageUnchangedInOneSendUnlessItsHopIsTenOrMore) {
  auto& a = Listen(50001);
  auto& b = Listen(50002);
  ToXplHub(Beat("50001"));
  ToXplHub(Beat("50002"));
  EXPECT_EQ(a, (std::vector<std::string>{Beat("50001"), Beat("50002")}));
  received[50002].clear();
  const std::string tail_hop = Xpl("xpl-trig", "s", "a=1\n", "source=acme-x.y\ntarget=*\n") + "hop=12";
  const std::pair<std::string, bool> rows[] = {
      {Xpl("xpl-cmnd", "x10.basic", "command=on\n", "hop=9\nsource=acme-x.y\ntarget=*\n"), true},
      {Xpl("xpl-cmnd", "x10.basic", "command=off\n", "hop=10\nsource=acme-x.y\ntarget=*\n"), false},
      {Xpl("xpl-cmnd", "x10.basic", "command=dim\n", "HOP=12\nsource=acme-x.y\ntarget=*\n"), false},
      {tail_hop, true},
      {Xpl("xpl-foo", "s", "a=1\n"), false},
  };
  for (const auto& [text, relayed] : rows) {
    SCOPED_TRACE(text);
    a.clear();
    const int sends = p.network.batch_sends;
    ToXplHub(text, 3865, "192.168.1.77");
    EXPECT_EQ(a, relayed ? std::vector<std::string>{text} : std::vector<std::string>{});
    EXPECT_EQ(received[50002], a);
    EXPECT_EQ(p.network.batch_sends - sends, relayed ? 1 : 0);
    received[50002].clear();
  }
  g.TrafficView = true;
  hub->Relay()->CheckStaleConnections();
  EXPECT_EQ(view->connections, "\r\n         0    50001    acme-app.p50001\r\n         0    50002    acme-app.p50002");

  // An application that ends still gets its own last heartbeat, and nothing after.
  auto& c = Listen(50003);
  ToXplHub(Beat("50001", "5", "hbeat.end"));
  ToXplHub(Beat("50003", "5", "hbeat.end"));  // unknown: registered for this one relay only
  EXPECT_EQ(a, std::vector<std::string>{Beat("50001", "5", "hbeat.end")});
  EXPECT_EQ(c, std::vector<std::string>{Beat("50003", "5", "hbeat.end")});
  EXPECT_EQ(Entry(50001), nullptr);
  EXPECT_EQ(Entry(50003), nullptr);
  EXPECT_EQ(Entry(50002)->Heartbeats, 0);

  g.XplHub = false;
  ToXplHub(Beat("50004"));
  EXPECT_EQ(Entry(50004), nullptr);
  EXPECT_EQ(received[50002].size(), 2u);
}

TEST_F(XplHubTest, Port3865OpensOnlyWithAnXplOptionAndGreetsWhereTheXapSideBroadcasts) {
  const auto greeting = p.network.SentTo(3865);
  ASSERT_EQ(greeting.size(), 1u);
  EXPECT_EQ(greeting[0].from_address + ":" + std::to_string(greeting[0].from_port) + " " + greeting[0].to_host + " " +
                greeting[0].text,
            "0.0.0.0:3865 255.255.255.255 XPL");
  EXPECT_EQ(TakeBroadcasts().size(), 2u) << "a failure was reported";  // heartbeat, start-up event
  EXPECT_TRUE(xpl().tmrxPL().Enabled());

  struct Row {
    const char* options;
    const char* orrin;
    bool taken;
    std::string greeted;  // "" for no greeting; "report" for a reported failure
  } rows[] = {
      {"", "", false, ""},
      {"[General]\nXPL=1\n", "[Interface]\nBroadcastAddress=192.168.1.255\n", false, "192.168.1.255"},
      {"[General]\nXAPtoXPL=1\n", "", true, "report"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.options);
    hub.reset();
    WriteOptions(row.options);
    std::ofstream(dir.path() / "Config" / "Orrin.ini") << row.orrin;
    auto other = p.loop.CreateUdpEndpoint();
    if (row.taken) ASSERT_EQ(other->Bind("0.0.0.0", 3865), 0);
    p.network.sent.clear();
    Start();
    const auto sent = p.network.SentTo(3865);
    EXPECT_EQ(sent.empty() ? "" : sent[0].to_host, row.greeted == "report" ? "" : row.greeted);
    const std::string events = Join(TakeBroadcasts(), "");
    EXPECT_EQ(events.find("Data=XPL_Hub_Load Line 0 Bind 0.0.0.0:3865: Address already in use") != std::string::npos,
              row.greeted == "report");
    EXPECT_EQ(xpl().tmrxPL().Enabled(), *row.options != '\0');
    if (!row.taken) EXPECT_EQ(other->Bind("0.0.0.0", 3865) == 0, *row.options == '\0');
  }
}

}  // namespace
}  // namespace tessaly
