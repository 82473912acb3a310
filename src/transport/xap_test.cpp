#include "transport/xap.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "app/globals.h"
#include "app/log_file.h"
#include "message/out_queue.h"
#include "support/fake_platform.h"
#include "support/temp_dir.h"

namespace tessaly {
namespace {

using testing::FakePlatform;
using testing::ReadFile;
using testing::TempDir;

struct RecordingReceiver : MessageReceiver {
  xap* link = nullptr;
  std::vector<std::string> entries;
  int calls = 0;
  void onMessage() override {
    ++calls;
    for (std::string e = link->GetMessage(); !e.empty(); e = link->GetMessage()) entries.push_back(e);
  }
};

class XapTest : public ::testing::Test {
 protected:
  XapTest() : g(p.platform()) {
    g.MyPid = 4242;
    g.ComputerName = "TESTBOX";
    g.ExePath = "/opt/hub/Tessaly";
    g.AppPath = dir.str();
    std::filesystem::create_directories(dir.path() / "Data");
    p.network.local_addresses = {"192.168.1.5"};
  }

  // Creates the transport as the program does at start-up, without Init.
  xap& Create() {
    g.XapLink = std::make_unique<xap>(g);
    g.XapLink->SetXapSource("zyn.hub." + g.ComputerName);
    g.XapLink->SetXapUID("FF00FF00");
    receiver.link = g.XapLink.get();
    g.XapLink->RegisterNewMessageCallback(&receiver);
    return *g.XapLink;
  }
  xap& Start() {
    xap& link = Create();
    link.Init();
    link.SendHeartbeat(60);
    p.loop.Flush();
    return link;
  }
  // Holds a port the way another program would.
  std::unique_ptr<UdpEndpoint> Occupy(const std::string& address, std::int32_t port) {
    auto ep = p.loop.CreateUdpEndpoint();
    EXPECT_EQ(ep->Bind(address, port), 0);
    return ep;
  }
  void FromLan(const std::string& text, std::int32_t from_port = 40000) {
    p.network.Inject("192.168.1.9", from_port, "255.255.255.255", 3639, text);
  }
  std::string LogText() { return ReadFile(LogFilePath(g)); }

  TempDir dir;
  FakePlatform p;
  Globals g;
  RecordingReceiver receiver;
};

const char kHeartbeat60[] =
    "xap-hbeat\n{\nv=12\nhop=1\nuid=FF00FF00\nclass=xap-hbeat.alive\nsource=zyn.hub.TESTBOX\ninterval=60\n"
    "port=32768\n}\n";

TEST_F(XapTest, FirstCopyClaimsHubPortAndBroadcastsExactHeartbeat) {
  xap& link = Start();
  EXPECT_EQ(g.HubRole, "Hub");
  EXPECT_EQ(g.LocalAddress, "192.168.1.5");
  EXPECT_EQ(link.ClientPort(), 32768);
  EXPECT_EQ(link.BroadcastInUse(), "255.255.255.255");
  auto beats = p.network.SentTo(3639);
  ASSERT_EQ(beats.size(), 1u);
  EXPECT_EQ(beats[0].text, kHeartbeat60);
  EXPECT_EQ(beats[0].from_address, "192.168.1.5");
  EXPECT_EQ(beats[0].from_port, 32768);
  EXPECT_EQ(beats[0].to_host, "255.255.255.255");
  EXPECT_NE(LogText().find(" | Backup Hub Process 4242 Starting as Primary Hub on port 3639 192.168.1.5 at Line 0 \r\n"),
            std::string::npos)
      << LogText();
}

TEST_F(XapTest, TakenHubPortMakesBackupOnNextClientPort) {
  auto other_hub = Occupy("0.0.0.0", 3639);
  auto other_client = Occupy("127.0.0.1", 32768);
  xap& link = Start();
  EXPECT_EQ(g.HubRole, "HubBackup");
  EXPECT_EQ(g.XapSourceValue, "zyn.backupHub.TESTBOX");
  EXPECT_EQ(g.XapUidValue, "FF00FE00");
  EXPECT_EQ(link.ClientPort(), 32769);
  auto beats = p.network.SentTo(3639);
  ASSERT_EQ(beats.size(), 1u);
  EXPECT_EQ(beats[0].text,
            "xap-hbeat\n{\nv=12\nhop=1\nuid=FF00FE00\nclass=xap-hbeat.alive\nsource=zyn.backupHub.TESTBOX\n"
            "interval=60\nport=32769\n}\n");
  EXPECT_EQ(LogText().find("Starting as Primary"), std::string::npos);
}

TEST_F(XapTest, BackupTakesOverOnFirstTickAfterPortFrees) {
  auto other_hub = Occupy("0.0.0.0", 3639);
  g.BackupWanted = true;
  int tray_shown = 0;
  g.ShowTray = [&] { ++tray_shown; };
  xap& link = Start();
  ASSERT_EQ(g.HubRole, "HubBackup");
  EXPECT_TRUE(p.processes.started.empty()) << "a backup starts no backup of its own";

  p.loop.Advance(60000);
  EXPECT_EQ(g.HubRole, "HubBackup") << "port still held";
  other_hub->Close();
  p.loop.Advance(59999);
  EXPECT_EQ(g.HubRole, "HubBackup") << "the claim waits for the heartbeat tick";
  p.loop.Advance(1);
  EXPECT_EQ(g.HubRole, "Hub");
  EXPECT_EQ(g.XapSourceValue, "zyn.hub.TESTBOX");
  EXPECT_EQ(g.XapUidValue, "FF00FF00");
  EXPECT_EQ(tray_shown, 1);
  ASSERT_EQ(p.processes.started.size(), 1u);
  EXPECT_EQ(p.processes.started[0], "/opt/hub/Tessaly");
  EXPECT_EQ(g.PartnerPid, 5000);
  auto beats = p.network.SentTo(3639);
  ASSERT_EQ(beats.size(), 3u);
  EXPECT_NE(beats.back().text.find("uid=FF00FF00\nclass=xap-hbeat.alive\nsource=zyn.hub.TESTBOX\ninterval=60\n"
                                   "port=32768\n"),
            std::string::npos);
  EXPECT_NE(LogText().find("Process 4242 Claimed port 3639 and Starting Backup Hub with Process 5000"),
            std::string::npos);
  EXPECT_EQ(link.ClientPort(), 32768);
}

TEST_F(XapTest, PrimaryWithBackupWantedStartsOneHiddenCopy) {
  g.BackupWanted = true;
  Start();
  ASSERT_EQ(p.processes.started.size(), 1u);
  EXPECT_EQ(g.PartnerPid, 5000);
  std::string log = LogText();
  EXPECT_NE(log.find("Starting Backup Hub from Process 4242  at Line 0 "), std::string::npos) << log;
  EXPECT_NE(log.find("Primary Hub Process 4242 Starting Backup Hub with Process 5000  at Line 0 "), std::string::npos);
}

TEST_F(XapTest, HeartbeatIntervalIsClamped) {
  struct Case {
    std::int32_t asked;
    std::int32_t sent;
    std::uint32_t timer_ms;
    bool enabled;
  };
  const Case cases[] = {{3, 5, 5000, true}, {1, 5, 5000, true}, {0, 0, 0, false},   {-7, 0, 0, false},
                        {90, 60, 60000, true}, {60, 60, 60000, true}, {17, 17, 17000, true}};
  xap& link = Start();
  for (const Case& c : cases) {
    p.network.sent.clear();
    link.SendHeartbeat(c.asked);
    auto beats = p.network.SentTo(3639);
    ASSERT_EQ(beats.size(), 1u) << "asked " << c.asked;
    EXPECT_NE(beats[0].text.find("\ninterval=" + std::to_string(c.sent) + "\nport="), std::string::npos)
        << "asked " << c.asked;
    EXPECT_EQ(link.HBeatTimer().Enabled(), c.enabled) << "asked " << c.asked;
    if (c.enabled) {
      EXPECT_EQ(link.HBeatTimer().Interval(), c.timer_ms) << "asked " << c.asked;
    }
  }
}

TEST_F(XapTest, HeartbeatTimerKeepsBeating) {
  Start();
  p.loop.Advance(5 * 60000);
  EXPECT_EQ(p.network.SentTo(3639).size(), 6u);
  g.XapLink->SendHeartbeat(3);
  p.network.sent.clear();
  p.loop.Advance(20000);
  EXPECT_EQ(p.network.SentTo(3639).size(), 4u);
}

TEST_F(XapTest, IdentityChangesNextHeartbeatAndPipeBecomesLineBreak) {
  xap& link = Start();
  link.SetXapSource("a|b");
  link.SendHeartbeat(60);
  EXPECT_NE(p.network.sent.back().text.find("\nsource=a\nb\ninterval=60\n"), std::string::npos);
}

TEST_F(XapTest, InterfacePatternChoosesAddress) {
  p.host.addresses = std::vector<std::string>{"192.168.1.5", "10.0.0.7"};
  p.network.local_addresses = {"192.168.1.5", "10.0.0.7"};
  xap& link = Create();
  link.InterfaceAddress = "10.0.0.255";
  link.Init();
  EXPECT_EQ(g.LocalAddress, "10.0.0.7");

  EXPECT_TRUE(MatchesInterface("192.168.1.255", "192.168.1.77"));
  EXPECT_TRUE(MatchesInterface("255.255.255.255", "10.1.2.3"));
  EXPECT_FALSE(MatchesInterface("192.168.1.255", "192.168.2.77"));
  EXPECT_FALSE(MatchesInterface("Default", "192.168.1.5"));
  EXPECT_FALSE(MatchesInterface("1.2.3", "1.2.3"));
}

TEST_F(XapTest, LoopbackOnlyComputerSendsFromLoopbackToLoopback) {
  p.host.addresses = std::vector<std::string>{};
  xap& link = Start();
  EXPECT_EQ(g.LocalAddress, "127.0.0.1");
  EXPECT_EQ(link.BroadcastInUse(), "127.0.0.1");
  auto beats = p.network.SentTo(3639);
  ASSERT_EQ(beats.size(), 1u);
  EXPECT_EQ(beats[0].from_address, "127.0.0.1");
  EXPECT_EQ(beats[0].from_port, 32768);
  EXPECT_EQ(beats[0].to_host, "127.0.0.1");
  // Its own heartbeat came back on the loopback side and must not be taken.
  EXPECT_EQ(link.QueueLength(), 0u);
  p.network.Inject("127.0.0.1", 40000, "127.0.0.1", 3639, "from a client");
  p.loop.Flush();
  EXPECT_EQ(link.QueueLength(), 1u);
}

TEST_F(XapTest, RepeatsWithin100msAreSuppressed) {
  xap& link = Start();
  g.DuplicateCount = 0;
  FromLan("same");
  p.loop.Flush();
  p.clock.Advance(50);
  FromLan("same");
  p.loop.Flush();
  p.clock.Advance(70);  // 120 ms after the first, 70 after the suppressed one
  FromLan("same");
  p.loop.Flush();
  EXPECT_EQ(link.QueueLength(), 1u);
  EXPECT_EQ(g.DuplicateCount, 2);

  p.clock.Advance(100);
  FromLan("same");
  p.loop.Flush();
  EXPECT_EQ(link.QueueLength(), 2u) << "100 ms after the last one it is new again";

  p.clock.Advance(1);
  FromLan("other");
  p.clock.Advance(1);
  FromLan("same");
  p.loop.Flush();
  EXPECT_EQ(link.QueueLength(), 4u) << "different texts in between are all queued";
}

TEST_F(XapTest, RepeatWindowHoldsAcrossTickWrap) {
  p.clock.tick = 0xFFFFFFF0u;
  xap& link = Start();
  FromLan("same");
  p.loop.Flush();
  p.clock.Advance(50);  // the tick count wraps past zero here
  FromLan("same");
  p.loop.Flush();
  EXPECT_EQ(link.QueueLength(), 1u);
  EXPECT_EQ(g.DuplicateCount, 1);
  p.clock.Advance(100);
  FromLan("same");
  p.loop.Flush();
  EXPECT_EQ(link.QueueLength(), 2u);
}

TEST_F(XapTest, EntryIsAddressIn15CharactersThenText) {
  xap& link = Start();
  p.network.Inject("255.255.255.255", 1, "255.255.255.255", 3639, "abc");
  p.clock.Advance(200);
  p.network.Inject("10.1.1.1", 1, "255.255.255.255", 3639, "xyz");
  p.loop.Flush();
  EXPECT_EQ(link.GetMessage(), "255.255.255.255abc");
  EXPECT_EQ(link.GetMessage(), "       10.1.1.1xyz");
  EXPECT_EQ(link.GetMessage(), "");
  EXPECT_EQ(link.GetMessage(), "");
}

TEST_F(XapTest, SelfFilterDropsOwnBroadcastOnNetworkSideOnly) {
  xap& link = Start();
  ASSERT_EQ(link.QueueLength(), 0u) << "own heartbeat came back and was dropped";
  // Dropped before the repeat test: the same text from another port is new.
  p.network.Inject("192.168.1.5", 32768, "255.255.255.255", 3639, "mine");
  p.network.Inject("192.168.1.5", 32769, "255.255.255.255", 3639, "mine");
  p.loop.Flush();
  ASSERT_EQ(link.QueueLength(), 1u);
  EXPECT_EQ(link.GetMessage(), "    192.168.1.5mine");
  // On the loopback side every datagram is taken.
  p.clock.Advance(200);
  p.network.Inject("192.168.1.5", 32768, "127.0.0.1", 3639, "local");
  p.loop.Flush();
  EXPECT_EQ(link.QueueLength(), 1u);
}

TEST_F(XapTest, ReceiverRunsOnceWithin5msHoweverManyArrive) {
  xap& link = Start();
  for (int i = 0; i < 4; ++i) {
    FromLan("m" + std::to_string(i));
    p.loop.Flush();
    p.clock.Advance(1);  // arrivals keep coming, the deadline stays
  }
  EXPECT_EQ(receiver.calls, 0);
  p.loop.Advance(1);
  EXPECT_EQ(receiver.calls, 1);
  ASSERT_EQ(receiver.entries.size(), 4u);
  EXPECT_EQ(receiver.entries[3], "    192.168.1.9m3");
  EXPECT_FALSE(link.ReceiveTimer().Enabled());
}

TEST_F(XapTest, ClientEndpointsTakeEveryDatagram) {
  xap& link = Start();
  p.network.Inject("127.0.0.1", 32769, "127.0.0.1", 32768, "relayed by the primary");
  p.loop.Flush();
  EXPECT_EQ(link.GetMessage(), "      127.0.0.1relayed by the primary");
}

TEST_F(XapTest, ForwardSendsToLoopbackPortFromClientPort) {
  xap& link = Start();
  p.network.sent.clear();
  EXPECT_EQ(link.Forward("3640\r", "hello"), 0);
  ASSERT_EQ(p.network.sent.size(), 1u);
  EXPECT_EQ(p.network.sent[0].to_host, "127.0.0.1");
  EXPECT_EQ(p.network.sent[0].to_port, 3640);
  EXPECT_EQ(p.network.sent[0].from_address, "127.0.0.1");
  EXPECT_EQ(p.network.sent[0].from_port, 32768);
  EXPECT_NE(link.Forward("abc", "hello"), 0);
  EXPECT_NE(link.Forward("99999999999", "hello"), 0);
  EXPECT_EQ(p.network.sent.size(), 1u);
}

const char kEventDatagram[] =
    "xap-header\n{\nv=12\nhop=1\nuid=FF00FF00\nclass=Vantrel.Event\nsource=zyn.hub.TESTBOX\n}\nEvent.Log\n{\nData=x\n}\n";

TEST_F(XapTest, SendXapBroadcastsComposedTextAndQueuesCopy) {
  xap& link = Start();
  p.network.sent.clear();
  link.SendXap("", "Vantrel.Event", "Event.Log", std::string("Data\1x"), "", "", "");
  ASSERT_EQ(p.network.sent.size(), 1u);
  EXPECT_EQ(p.network.sent[0].text, kEventDatagram);
  EXPECT_EQ(p.network.sent[0].from_port, 32768);
  EXPECT_EQ(p.network.sent[0].to_host, "255.255.255.255");
  EXPECT_EQ(p.network.sent[0].to_port, 3639);
  p.loop.Flush();
  ASSERT_EQ(link.QueueLength(), 1u) << "the copy is queued; the broadcast's echo is dropped";
  EXPECT_EQ(link.GetMessage(), std::string("    192.168.1.5") + kEventDatagram);
}

TEST_F(XapTest, SendXapPackedBodyRules) {
  xap& link = Start();
  p.network.sent.clear();
  std::string body = std::string("a\1" "1") + '\0' + "skipped" + '\0' + "b\1x\1y";
  link.SendXap("t.a.b", "c", "s", body, "", "Switch", "");
  link.SendXap("", "c", "s", "", "my.src", "", "0001");
  ASSERT_EQ(p.network.sent.size(), 2u);
  EXPECT_EQ(p.network.sent[0].text,
            "xap-header\n{\nv=12\nhop=1\nuid=FF00FF00\nclass=c\nsource=zyn.hub.TESTBOX:Switch\ntarget=t.a.b\n}\n"
            "s\n{\na=1\nb=x\1y\n}\n");
  EXPECT_EQ(p.network.sent[1].text, "xap-header\n{\nv=12\nhop=1\nuid=0001\nclass=c\nsource=my.src\n}\ns\n{\n}\n");
}

TEST_F(XapTest, SendXapOnLoopbackOnlyComputerLeavesFromLoopback) {
  p.host.addresses = std::vector<std::string>{};
  xap& link = Start();
  p.network.sent.clear();
  link.SendXap("", "c", "s", "", "", "", "");
  ASSERT_EQ(p.network.sent.size(), 1u);
  EXPECT_EQ(p.network.sent[0].from_address, "127.0.0.1");
  EXPECT_EQ(p.network.sent[0].to_host, "127.0.0.1");
  p.loop.Flush();
  EXPECT_EQ(link.QueueLength(), 1u);
  EXPECT_EQ(link.GetMessage().substr(0, 15), "      127.0.0.1");
}

TEST_F(XapTest, OutQueueWaitsForStartAndFlushesInOrderWithCurrentIdentity) {
  SendXap(g, "", "c1", "s", "");
  SendXap(g, "", "c2", "s", "");
  SendXap(g, "", "c3", "s", "");
  EXPECT_EQ(g.OutQueue.size(), 3u);
  xap& link = Start();
  link.SetXapSource("changed.after.queueing");
  EXPECT_TRUE(p.network.sent.size() == 1u) << "nothing but the heartbeat before HubStarted";
  g.HubStarted = true;
  p.network.sent.clear();
  SendXap(g, "", "c4", "s", "");
  EXPECT_TRUE(g.OutQueue.empty());
  ASSERT_EQ(p.network.sent.size(), 4u);
  for (int i = 0; i < 4; ++i) {
    EXPECT_NE(p.network.sent[i].text.find("class=c" + std::to_string(i + 1) + "\nsource=changed.after.queueing\n"),
              std::string::npos)
        << p.network.sent[i].text;
  }
  p.network.sent.clear();
  SendXap(g, "", "c5", "s", "");
  EXPECT_EQ(p.network.sent.size(), 1u);
}

TEST_F(XapTest, BroadcastRefusedIsLoggedAndHubPortNotKept) {
  p.network.refuse_broadcast = 13;
  Start();
  EXPECT_EQ(g.HubRole, "HubBackup");
  EXPECT_NE(LogText().find("Tessaly Unable to set Winsock 1 to broadcast 13 at Line 0 "), std::string::npos);
  p.network.refuse_broadcast = 0;
  auto other = p.loop.CreateUdpEndpoint();
  EXPECT_EQ(other->Bind("0.0.0.0", 3639), 0) << "the failed claim released the port";
}

TEST_F(XapTest, ClosingTransportFreesEveryPort) {
  Start();
  g.XapLink.reset();
  for (auto [address, port] : {std::pair{"0.0.0.0", 3639}, {"192.168.1.5", 32768}, {"127.0.0.1", 32768}}) {
    auto ep = p.loop.CreateUdpEndpoint();
    EXPECT_EQ(ep->Bind(address, port), 0) << address << ":" << port;
  }
}

}  // namespace
}  // namespace tessaly
