#include "transport/xap.h"

#include "support/hub_harness.h"

namespace tessaly {
namespace {

// The transport alone, with a receiver that keeps every entry it drains.
class TransportTest : public testing::HubFixture, public MessageReceiver {
 protected:
  TransportTest() {
    g.ComputerName = "TESTBOX";
    g.MyPid = 77;
    g.AppPath = dir.str();
    g.ExePath = dir.str() + "/Tessaly";
    std::filesystem::create_directory(dir.path() / "Data");
  }
  xap& Open() {
    link = std::make_unique<xap>(g);
    link->RegisterNewMessageCallback(this);
    link->UseIdentityOf(kRolePrimary);
    link->Init();
    g.XapLink = link.get();
    return *link;
  }
  void onMessage() override {
    for (std::string e = link->GetMessage(); !e.empty(); e = link->GetMessage()) entries.push_back(e);
  }
  std::unique_ptr<xap> link;
  std::vector<std::string> entries;
};

TEST_F(TransportTest, FailingStepsOfInitAndOfATakeoverArePassedOver) {
  p.host.fail = true;
  g.BackupWanted = true;
  p.processes.start_fails = true;
  EXPECT_EQ(Open().ClientPort(), 32768);
  EXPECT_EQ(g.HubRole + " " + g.LocalAddress + " " + std::to_string(g.PartnerPid), "Hub 127.0.0.1 0");
  EXPECT_NE(Log().find("Starting Backup Hub with Process 0  at Line 0 Unable to start " + g.ExePath),
            std::string::npos);
  // A refused broadcast is logged and leaves the hub port to the next copy.
  link.reset();
  p.host.fail = false;
  p.network.refuse_broadcast = 13;
  Open();
  EXPECT_EQ(g.HubRole, "HubBackup");
  EXPECT_NE(Log().find("Tessaly Unable to set Winsock 1 to broadcast 13"), std::string::npos);
  auto primary = p.loop.CreateUdpEndpoint();
  EXPECT_EQ(primary->Bind("0.0.0.0", 3639), 0);
  // Once that copy has gone, a takeover whose tray fails still sends the heartbeat.
  link.reset();
  p.network.refuse_broadcast = 0;
  Open().SendHeartbeat(60);
  primary.reset();
  tray->fail = true;
  p.network.sent.clear();
  p.loop.Advance(60000);
  EXPECT_EQ(g.HubRole, "Hub");
  EXPECT_NE(p.network.SentTo(3639).at(0).text.find("\nsource=zyn.hub.TESTBOX\n"), std::string::npos);
}

TEST_F(TransportTest, HeartbeatTickFollowsAChangeOfThisComputersAddress) {
  struct Row {
    std::vector<std::string> before, after;
    std::string from;
  } rows[] = {
      {{"192.168.1.5"}, {"192.168.1.5", "10.0.0.2"}, "192.168.1.5"},  // the address stays: nothing changes
      {{"192.168.1.5"}, {"10.0.0.2"}, "10.0.0.2"},
      {{}, {"10.0.0.2"}, "10.0.0.2"},
      {{"192.168.1.5"}, {}, "127.0.0.1"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.from);
    p.host.addresses = row.before;
    p.network.local_addresses = {"192.168.1.5", "10.0.0.2"};
    Open().SendHeartbeat(60);
    const std::string was = g.LocalAddress;
    p.host.addresses = row.after;
    p.network.sent.clear();
    p.loop.Advance(60000);
    ASSERT_EQ(p.network.SentTo(3639).size(), 1u);
    EXPECT_EQ(p.network.SentTo(3639)[0].from_address + ":" + std::to_string(p.network.SentTo(3639)[0].from_port),
              row.from + ":32768");
    EXPECT_EQ(Log().find("Address changed from " + was + " to " + row.from) != std::string::npos, was != row.from);
    link.reset();
  }
}

TEST_F(TransportTest, HeartbeatIntervalIsClampedToFiveToSixtySecondsOrOff) {
  Open();
  for (auto [asked, seconds] : {std::pair{61, 60}, {60, 60}, {5, 5}, {4, 5}, {1, 5}, {0, 0}, {-3, 0}}) {
    SCOPED_TRACE(asked);
    link->SendHeartbeat(asked);
    EXPECT_EQ(link->HBeatTimer().Interval(), seconds * 1000u);
    EXPECT_EQ(link->HBeatTimer().Enabled(), seconds > 0);
    EXPECT_NE(p.network.sent.back().text.find("interval=" + std::to_string(seconds) + "\n"), std::string::npos);
  }
}

TEST(MatchesInterfaceTest, PatternIsAByteMask) {
  EXPECT_TRUE(MatchesInterface("192.168.1.255", "192.168.1.7"));
  EXPECT_TRUE(MatchesInterface("255.255.255.255", "10.0.0.1"));
  EXPECT_FALSE(MatchesInterface("192.168.1.255", "192.168.2.7"));
  EXPECT_FALSE(MatchesInterface("Default", "192.168.1.7"));
  EXPECT_FALSE(MatchesInterface("192.168.1", "192.168.1.7"));
}

TEST_F(TransportTest, ReceivePathQueuesSenderAndTextOnceWithin100msAndDropsItsOwnSends) {
  Open();
  struct Row {
    std::string from, to, text;
    std::uint32_t wait_ms;
    bool taken;
  } rows[] = {
      {"10.0.0.9", "255.255.255.255", "a", 0, true},
      {"10.0.0.8", "192.168.1.5", "a", 90, false},  // the same text within 100 ms
      {"10.0.0.9", "255.255.255.255", "a", 100, true},
      {"192.168.1.5", "255.255.255.255", "own", 200, false},  // the hub's own broadcast
      {"192.168.1.5", "127.0.0.1", "own", 200, true},         // from the LAN address to loopback
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text + " from " + row.from);
    p.loop.Advance(row.wait_ms);
    entries.clear();
    const std::int32_t port = row.from == "192.168.1.5" ? 32768 : 3639;
    p.network.Inject(row.from, port, row.to, 3639, row.text);
    p.loop.Advance(4);
    EXPECT_TRUE(entries.empty());  // the relay waits 5 ms for the rest of a burst
    p.loop.Advance(1);
    EXPECT_EQ(entries, row.taken ? std::vector<std::string>{std::string(15 - row.from.size(), ' ') + row.from + row.text}
                                 : std::vector<std::string>{});
  }
  EXPECT_EQ(g.DuplicateCount, 1);
  entries.clear();
  for (int i = 0; i < 4; ++i) {
    p.network.Inject("10.0.0.9", 3639, "255.255.255.255", 3639, "s" + std::to_string(i));
    p.loop.Advance(2);
  }
  EXPECT_EQ(entries.size(), 3u);  // a stream of arrivals cannot postpone the relay past 5 ms
}

TEST_F(TransportTest, OnALoopbackOnlyComputerItsOwnDatagramsComeBackOnLoopbackAndAreDropped) {
  p.host.addresses = std::vector<std::string>{};
  Open();
  p.network.Inject("127.0.0.1", 32768, "127.0.0.1", 3639, "own");
  p.network.Inject("127.0.0.1", 41000, "127.0.0.1", 3639, "app");
  p.loop.Advance(10);
  EXPECT_EQ(entries, std::vector<std::string>{"      127.0.0.1app"});
}

TEST_F(TransportTest, SendXapBroadcastsTheComposedMessageAndQueuesACopyAfterTheHubHasStarted) {
  Open();
  SendXap(g, "", "Vantrel.Event", "Event.Log", "early\1one");
  EXPECT_TRUE(p.network.SentTo(3639).empty());
  g.HubStarted = true;
  SendXap(g, "acme.x.y", "c.d", "Sec", std::string("A\1b=c\0skipped\0B\1\1", 18));
  const auto sent = p.network.SentTo(3639);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_NE(sent[0].text.find("Event.Log\n{\nearly=one\n}\n"), std::string::npos);
  EXPECT_EQ(sent[1].text,
            "xap-header\n{\nv=12\nhop=1\nuid=FF00FF00\nclass=c.d\nsource=zyn.hub.TESTBOX\ntarget=acme.x.y\n}\n"
            "Sec\n{\nA=b=c\nB=\1\n}\n");
  EXPECT_EQ(sent[1].from_address, "192.168.1.5");
  p.loop.Advance(5);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[1], "    192.168.1.5" + sent[1].text);
}

}  // namespace
}  // namespace tessaly
