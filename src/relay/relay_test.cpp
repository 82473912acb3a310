#include "relay/relay.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "app/globals.h"
#include "app/hub.h"
#include "app/log_file.h"
#include "support/fake_platform.h"
#include "support/temp_dir.h"
#include "transport/xap.h"

namespace tessaly {
namespace {

using testing::FakePlatform;
using testing::TempDir;

std::string Heartbeat(const std::string& source, const std::string& interval, const std::string& port) {
  return "xap-hbeat\n{\nv=12\nhop=1\nuid=FF123400\nclass=xap-hbeat.alive\nsource=" + source + "\ninterval=" +
         interval + "\nport=" + port + "\n}\n";
}

std::string Message(const std::string& source, const std::string& cls = "test.class",
                    const std::string& extra_header = "", const std::string& body = "blk\n{\nx=1\n}\n") {
  return "xap-header\n{\nv=12\nhop=1\nuid=FF123400\nclass=" + cls + "\nsource=" + source + "\n" + extra_header +
         "}\n" + body;
}

struct RecordingView : StatusView {
  std::string message;
  std::int32_t counts[4] = {-1, -1, -1, -1};
  std::string connections = "(never written)";
  std::function<void()> on_write;
  void SetMessageText(const std::string& text) override { message = text; }
  void SetCount(int index, std::int32_t value) override {
    counts[index] = value;
    if (on_write) on_write();
  }
  void SetConnections(const std::string& report) override { connections = report; }
};

class RelayTest : public ::testing::Test {
 protected:
  RelayTest() : g(p.platform()) {
    p.processes.exe_path = dir.str() + "/Tessaly";
    p.network.local_addresses = {"192.168.1.5"};
    p.host.host_name = "testbox";
    p.processes.running["Tessaly"] = 1;
    auto view = std::make_unique<RecordingView>();
    this->view = view.get();
    g.StatusForm = std::move(view);
    hub = std::make_unique<Hub>(g);
    hub->Load();
    p.loop.Advance(10);
    p.network.sent.clear();
  }

  // A local application: listens on `port`, heartbeats from LocalAddress.
  struct Client {
    std::unique_ptr<UdpEndpoint> ep;
    std::vector<std::string> got;
  };
  Client& AddClient(const std::string& source, std::int32_t port) {
    auto& c = clients[port];
    c.ep = p.loop.CreateUdpEndpoint();
    EXPECT_EQ(c.ep->Bind("0.0.0.0", port), 0);
    c.ep->SetArrivalHandler([&c](const Datagram& d) { c.got.push_back(d.text); });
    FromLocal(Heartbeat(source, "60", std::to_string(port)), port);
    return c;
  }
  void FromLocal(const std::string& text, std::int32_t from_port = 50000) {
    p.network.Inject("192.168.1.5", from_port, "255.255.255.255", 3639, text);
    p.loop.Advance(150);  // relayed, and out of the repeat window
  }
  void FromOther(const std::string& text) {
    p.network.Inject("192.168.1.77", 3639, "255.255.255.255", 3639, text);
    p.loop.Advance(150);
  }
  void ClearReceived() {
    for (auto& [port, c] : clients) c.got.clear();
  }
  std::vector<testing::SentDatagram> Broadcasts() { return p.network.SentTo(3639); }

  TempDir dir;
  FakePlatform p;
  Globals g;
  RecordingView* view = nullptr;
  std::unique_ptr<Hub> hub;
  std::map<std::int32_t, Client> clients;
};

TEST_F(RelayTest, LocalHeartbeatRegistersKeyWithoutSubaddress) {
  Client& two = AddClient("test.app.two", 3641);
  Client& one = AddClient("test.app.one:sub", 3640);
  ASSERT_EQ(g.Routers.size(), 2u);
  Router* r = g.Routers.Find("test.app.one");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->Key, "test.app.one");
  EXPECT_EQ(r->Port, "3640");
  EXPECT_EQ(r->IntervalMax, 120);
  EXPECT_TRUE(one.got.empty()) << "its own heartbeat is not sent back";
  ASSERT_EQ(two.got.size(), 1u);
  EXPECT_EQ(two.got[0], Heartbeat("test.app.one:sub", "60", "3640"));
}

TEST_F(RelayTest, EveryClientButTheSenderGetsEachMessageOnce) {
  Client& a = AddClient("acme.a.one", 4001);
  Client& b = AddClient("acme.b.one", 4002);
  Client& c = AddClient("acme.c.one", 4003);
  ClearReceived();
  std::int32_t forwarded = g.ForwardCount;
  FromOther(Message("far.away.app"));
  EXPECT_EQ(a.got.size(), 1u);
  EXPECT_EQ(b.got.size(), 1u);
  EXPECT_EQ(c.got.size(), 1u);
  EXPECT_EQ(g.ForwardCount, forwarded + 3);

  ClearReceived();
  FromLocal(Message("acme.b.one:sensor"));
  EXPECT_EQ(a.got.size(), 1u);
  EXPECT_EQ(b.got.size(), 0u) << "no client receives its own messages";
  EXPECT_EQ(c.got.size(), 1u);

  ClearReceived();
  FromLocal(Message("ACME.B.ONE"));
  EXPECT_EQ(b.got.size(), 1u) << "the exclusion compares the key exactly";
  EXPECT_EQ(g.Routers.size(), 3u);
}

TEST_F(RelayTest, HeartbeatFromAnotherComputerIsRelayedButNotRegistered) {
  Client& a = AddClient("acme.a.one", 4001);
  a.got.clear();
  FromOther(Heartbeat("far.away.app", "60", "4009"));
  EXPECT_EQ(g.Routers.size(), 1u);
  EXPECT_EQ(a.got.size(), 1u);
}

TEST_F(RelayTest, EntriesWithoutUsableSourceAreNotRelayed) {
  Client& a = AddClient("acme.a.one", 4001);
  const std::string cases[] = {
      "xap-header\n{\nclass=x\n}\n",                 // no source
      "xap-header\n{\nclass=x\nsource=a.b.c",        // no line end after it
      "xap-header\n{\nclass=x\nsource=hub\n}\n",     // key without "."
      "xap-header\n{\nsource=a:b.c\n}\n",             // the "." is in the sub-address only
      "",
  };
  for (const std::string& text : cases) {
    a.got.clear();
    std::int32_t inbound = g.InboundCount;
    FromOther(text.empty() ? std::string("\0", 1) : text);
    EXPECT_TRUE(a.got.empty()) << text;
    EXPECT_EQ(g.InboundCount, inbound + 1) << text;
  }
}

TEST_F(RelayTest, LocalHeartbeatWithoutIntervalOrPortIsDropped) {
  Client& a = AddClient("acme.a.one", 4001);
  a.got.clear();
  FromLocal("xap-hbeat\n{\nsource=acme.b.one\nport=4002\n}\n");
  FromLocal("xap-hbeat\n{\nsource=acme.c.one\ninterval=60\n}\n");
  FromLocal("xap-hbeat\n{\nsource=acme.d.one\ninterval=60\nport=4004");
  EXPECT_EQ(g.Routers.size(), 1u);
  EXPECT_TRUE(a.got.empty());
}

TEST_F(RelayTest, AbsurdHeartbeatNumbersAreSurvived) {
  Client& a = AddClient("acme.a.one", 4001);
  FromLocal(Heartbeat("acme.big.one", "99999999999", "4005"));
  Router* big = g.Routers.Find("acme.big.one");
  ASSERT_NE(big, nullptr);
  EXPECT_EQ(big->IntervalMax, 0) << "an interval that does not fit expires at the next sweep";
  for (const char* port : {"-5", "0", "65536", "abc", "99999999999"}) {
    FromLocal(Heartbeat("acme.bad.one", "60", port));
    EXPECT_EQ(g.Routers.Find("acme.bad.one"), nullptr) << "port " << port;
  }
  a.got.clear();
  FromOther(Message("far.away.app"));
  EXPECT_EQ(a.got.size(), 1u);
}

TEST_F(RelayTest, FailedForwardIsLoggedAndStillCounted) {
  Client& a = AddClient("acme.a.one", 4001);
  AddClient("acme.gone.one", 4002);
  p.network.refuse_port = 4002;
  a.got.clear();
  std::int32_t forwarded = g.ForwardCount;
  FromOther(Message("far.away.app"));
  EXPECT_EQ(a.got.size(), 1u) << "a failing client does not stop delivery to the others";
  EXPECT_EQ(g.ForwardCount, forwarded + 2);
  std::string log = testing::ReadFile(LogFilePath(g));
  EXPECT_NE(log.find("Tessaly Readmessage at Line 0 Forward to port 4002: Connection refused"), std::string::npos)
      << log;
}

TEST_F(RelayTest, NetworkTextCannotAddItemsToAnswers) {
  FromOther(Message("asker.app.x", "WDT.Echo", "", std::string("Echo.Query\n{\nQuery=Hi\0Evil\1Item\n}\n", 34)));
  auto sent = Broadcasts();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_NE(sent[0].text.find("\nResponse=hievilitem\n}\n"), std::string::npos) << sent[0].text;
}

TEST_F(RelayTest, HubNeverRegistersItsOwnPorts) {
  Client& a = AddClient("acme.a.one", 4001);
  a.got.clear();
  FromLocal(Heartbeat("someone.else.app", "60", std::to_string(g.XapLink->ClientPort())));
  FromLocal(Heartbeat("other.else.app", "60", "3639"));
  EXPECT_EQ(g.Routers.size(), 1u);
  EXPECT_EQ(a.got.size(), 2u) << "still relayed to the real clients";
  // Two different messages must not cycle between the hub and itself.
  p.network.sent.clear();
  FromOther(Message("far.away.app", "one"));
  FromOther(Message("far.away.app", "two"));
  p.loop.Advance(1000);
  EXPECT_EQ(p.network.sent.size(), 2u);
}

TEST_F(RelayTest, BackupRegistersNobody) {
  g.HubRole = "HubBackup";
  FromLocal(Heartbeat("acme.a.one", "60", "4001"));
  EXPECT_EQ(g.Routers.size(), 0u);
}

TEST_F(RelayTest, RefreshedClientKeepsKeyAndTakesNewPort) {
  AddClient("Acme.A.One", 4001);
  FromLocal(Heartbeat("acme.a.one", "30", "4011"));
  ASSERT_EQ(g.Routers.size(), 1u);
  Router& r = **g.Routers.begin();
  EXPECT_EQ(r.Key, "Acme.A.One");
  EXPECT_EQ(r.Port, "4011");
  EXPECT_EQ(r.IntervalMax, 60);
}

TEST_F(RelayTest, SweepDropsSilentClientsOnly) {
  AddClient("acme.a.one", 4001);
  p.clock.wall += 100;
  AddClient("acme.b.one", 4002);
  p.clock.wall += 21;  // a: 121 s of silence, b: 21 s
  CheckStaleConnections(g);
  ASSERT_EQ(g.Routers.size(), 1u);
  EXPECT_EQ((*g.Routers.begin())->Key, "acme.b.one");
}

TEST_F(RelayTest, Timer2SweepsEveryMinute) {
  AddClient("acme.a.one", 4001);
  p.loop.Advance(120000);
  EXPECT_EQ(g.Routers.size(), 1u) << "exactly at its limit the client stays";
  p.loop.Advance(60000);
  EXPECT_EQ(g.Routers.size(), 0u);
}

TEST_F(RelayTest, StatusWindowIsWrittenOnlyWhileOpen) {
  AddClient("acme.a.one", 4001);
  FromOther(Message("far.away.app"));
  EXPECT_EQ(view->counts[0], -1);
  EXPECT_EQ(view->message, "");
  EXPECT_EQ(view->connections, "(never written)");

  g.TrafficView = true;
  FromOther(Message("far.away.app", "test.class", "", "b\n{\n}\n"));
  EXPECT_EQ(view->counts[0], g.InboundCount);
  EXPECT_EQ(view->counts[1], g.ForwardCount);
  EXPECT_EQ(view->counts[2], g.DuplicateCount);
  EXPECT_EQ(view->counts[3], 1);
  EXPECT_EQ(view->message, "xap-header\r\n{\r\nv=12\r\nhop=1\r\nuid=FF123400\r\nclass=test.class\r\n"
                           "source=far.away.app\r\n}\r\nb\r\n{\r\n}\r\n");
  EXPECT_EQ(view->connections, "(never written)") << "the report waits for a sweep or a new client";
  CheckStaleConnections(g);
  EXPECT_EQ(view->connections, "\r\n         2    4001    acme.a.one");
}

TEST_F(RelayTest, ConnectionReportLayout) {
  AddClient("test.app.one", 3640);
  AddClient("other.app.two", 3641);
  Router* r = g.Routers.Find("test.app.one");
  for (int i = r->Count(); i < 5; ++i) r->CountMessage();
  EXPECT_EQ(ConnectionReportText(g), "\r\n         5    3640    test.app.one\r\n         0    3641    other.app.two");
  g.Routers.RemoveIf([](const Router&) { return true; });
  EXPECT_EQ(ConnectionReportText(g), "");
}

TEST_F(RelayTest, EchoQueryToHubIsAnsweredToAsker) {
  FromOther(Message("asker.app.x", "WDT.Echo", "target=zyn.hub.TESTBOX\n", "Echo.Query\n{\nQuery=Hello\n}\n"));
  auto sent = Broadcasts();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].text,
            "xap-header\n{\nv=12\nhop=1\nuid=FF00FF00\nclass=WDT.Echo\nsource=zyn.hub.TESTBOX\ntarget=asker.app.x\n"
            "}\nEcho.Response\n{\nResponse=hello\n}\n");
}

TEST_F(RelayTest, EchoNotForHubOrWithoutQueryIsNotAnswered) {
  FromOther(Message("asker.app.x", "WDT.Echo", "target=another.app.y\n", "Echo.Query\n{\nQuery=Hello\n}\n"));
  FromOther(Message("asker.app.x", "WDT.Echo", "", "Other\n{\nQuery=Hello\n}\n"));
  EXPECT_TRUE(Broadcasts().empty());
}

TEST_F(RelayTest, RoleQueryIsAnsweredWithRoleAndPath) {
  FromOther(Message("asker.app.x", "Vantrel.Role", "", "Role.Query\n{\nRole=Application\n}\n"));
  FromOther(Message("asker.app.x", "Vantrel.Role", "", "Role.Query\n{\nRole=hub\n}\n"));
  auto sent = Broadcasts();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].text,
            "xap-header\n{\nv=12\nhop=1\nuid=FF00FF00\nclass=Vantrel.Role\nsource=zyn.hub.TESTBOX\n}\n"
            "Role.Notification\n{\nRole=Hub\nPath=" + dir.str() + "/Tessaly\n}\n");
}

TEST_F(RelayTest, HubsOwnMessagesReachEveryClient) {
  Client& a = AddClient("acme.a.one", 4001);
  a.got.clear();
  FromOther(Message("asker.app.x", "WDT.Echo", "", "Echo.Query\n{\nQuery=Hi\n}\n"));
  ASSERT_EQ(a.got.size(), 2u) << "the query, then the hub's answer through its own relay";
  EXPECT_NE(a.got[1].find("Response=hi"), std::string::npos);
}

TEST_F(RelayTest, OnMessageDoesNotRunInsideItself) {
  AddClient("acme.a.one", 4001);
  g.TrafficView = true;
  int reentered = 0;
  view->on_write = [&] {
    ++reentered;
    hub->onMessage();  // as if the loop ran while the relay worked
  };
  std::int32_t inbound = g.InboundCount;
  p.network.Inject("192.168.1.77", 1, "255.255.255.255", 3639, Message("a.b.c", "one"));
  p.network.Inject("192.168.1.77", 1, "255.255.255.255", 3639, Message("a.b.c", "two"));
  p.loop.Advance(10);
  EXPECT_GT(reentered, 0);
  EXPECT_EQ(g.InboundCount, inbound + 2) << "each entry handled exactly once";
}

TEST(RouterTest, ExpiresStrictlyAfterItsLimit) {
  Router r;
  EXPECT_TRUE(r.Expired(0)) << "never heard from";
  const std::int64_t ten = 36000;  // 10:00:00
  r.IntervalMax = 120;
  r.Heartbeat(ten);
  EXPECT_FALSE(r.Expired(ten + 120));  // 10:02:00
  EXPECT_TRUE(r.Expired(ten + 121));   // 10:02:01
  r.IntervalMax = 0;
  EXPECT_FALSE(r.Expired(ten));
  EXPECT_TRUE(r.Expired(ten + 1));
}

TEST(RouterTest, IsRepeatRemembersLastText) {
  Router r;
  EXPECT_FALSE(r.IsRepeat("a"));
  EXPECT_TRUE(r.IsRepeat("a"));
  EXPECT_FALSE(r.IsRepeat("b"));
}

TEST(RouterTest, CollectionIgnoresCaseAndKeepsOrderOnRemoval) {
  RouterCollection routers;
  for (const char* key : {"a.one", "b.two", "c.three", "d.four"}) {
    auto r = std::make_unique<Router>();
    r->Key = key;
    EXPECT_TRUE(routers.Add(std::move(r)));
  }
  auto dup = std::make_unique<Router>();
  dup->Key = "A.ONE";
  EXPECT_FALSE(routers.Add(std::move(dup)));
  EXPECT_EQ(routers.Find("B.TWO")->Key, "b.two");

  std::vector<std::string> visited;
  routers.RemoveIf([&](const Router& r) {
    visited.push_back(r.Key);
    return r.Key == "a.one" || r.Key == "b.two";
  });
  EXPECT_EQ(visited, (std::vector<std::string>{"a.one", "b.two", "c.three", "d.four"}));
  ASSERT_EQ(routers.size(), 2u);
  EXPECT_EQ((*routers.begin())->Key, "c.three");
  EXPECT_TRUE(routers.Remove("D.Four"));
  EXPECT_FALSE(routers.Remove("d.four"));
}

}  // namespace
}  // namespace tessaly
