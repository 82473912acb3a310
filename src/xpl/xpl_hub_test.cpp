#include "xpl/xpl_hub.h"

#include "common/text.h"
#include "support/hub_harness.h"

namespace tessaly {
namespace {

using Texts = std::vector<std::string>;

std::string Beat(const std::string& port, const std::string& interval = "5", const std::string& schema = "hbeat.app",
                 const std::string& extra = "", const std::string& type = "xpl-stat") {
  return testing::Xpl(type, schema, "interval=" + interval + "\nport=" + port + "\n" + extra,
                      "hop=1\nsource= acme-app.p" + port + " \ntarget=*\n");
}

class XplHubTest : public testing::HubFixture {
 protected:
  void SetUp() override {
    WriteOptions("[General]\nXPLhub=1\n");
    Start();
  }
  void ToXpl(const std::string& text) { From(kLan, 40000, text, 3865); }
  // The first entry in use on `port` (0: the first free entry); nullptr when none.
  const XplClient* Entry(std::int32_t port) {
    auto& table = hub->Xpl().XplClients;
    auto it = std::find_if(table.begin() + 1, table.end(), [&](const XplClient& c) { return c.Port == port; });
    return it == table.end() ? nullptr : &*it;
  }
};

TEST_F(XplHubTest, OnlyALocalHeartbeatOrConfigWithAUsablePortRegisters) {
  const std::string lan = kLan;
  const std::tuple<std::string, std::string, std::int32_t> rows[] = {  // text, sender, the entry made (0: none)
      {Beat("50001"), lan, 50001}, {Beat("50002"), "192.168.1.77", 0}, {Beat("50003", "5", "hbeat.apple"), lan, 50003},
      {Beat("50004", "5", "hbeat.app", "remote-ip=10.0.0.9\n"), lan, 0}, {Beat("50005", "5", "config.app"), lan, 50005},
      {Beat("50006", "5", "hbeat.app", "remote-ip= 192.168.1.5 \n"), lan, 50006}, {Beat("0"), lan, 0},
      {Beat("50007", "5", "hbeat.basic"), lan, 0}, {Beat("50008", "5", "hbeat.app", "", "xpl-cmnd"), lan, 0},
      {Beat(" 50010.5"), lan, 50010}, {Beat("70000"), lan, 0}, {Beat("3865"), lan, 0}, {Beat("32768"), lan, 0}};
  int used = 0;
  for (const auto& [text, from, port] : rows) {
    From(from, 40000, text, 3865);
    used += port ? 1 : 0;
    EXPECT_EQ(Entry(0) - &hub->Xpl().XplClients[0], used + 1) << "entries in use after:\n" << text;
  }
  for (int port = 51000; used < 64; ++port, ++used) ToXpl(Beat(Dec(port)));
  ToXpl(Beat("52000"));
  EXPECT_EQ(Entry(52000), nullptr);
  EXPECT_EQ(view->message, Beat("52000"));  // shown although the window is closed
}

TEST_F(XplHubTest, NewEntryLastsTwoIntervalsARefreshOneMinuteMoreAndTheSweepFreesItAfter) {
  const std::pair<const char*, int> rows[] = {{"5", 5}, {"0", 5}, {"-3", 5}, {"1", 1}, {"2.5", 2}, {"99999", 5}};
  std::int32_t port = 50000;
  for (const auto& [interval, minutes] : rows) {
    std::int64_t at = p.clock.wall;
    ToXpl(Beat(Dec(++port), interval));
    const std::int64_t made = Entry(port)->Expires - at;
    at = p.clock.wall;
    ToXpl(Beat(Dec(port), interval));
    const XplClient& c = *Entry(port);
    EXPECT_EQ(Dec(made) + " " + Dec(c.Expires - at) + " " + Dec(c.Interval) + " " + Dec(c.Heartbeats),
              Dec(minutes * 120) + " " + Dec(minutes * 120 + 60) + " " + Dec(minutes) + " 1") << interval;
  }
  ToXpl(Beat("50001", "1"));  // lapses 3 minutes after this refresh
  p.clock.wall = Entry(50001)->Expires;
  hub->Xpl().tmrxPL_Timer();
  EXPECT_NE(Entry(50001), nullptr);
  p.clock.wall += 1;
  p.loop.Advance(20000);  // the next sweep
  EXPECT_EQ(Entry(50001), nullptr);
  EXPECT_NE(Entry(50002), nullptr);
}

TEST_F(XplHubTest, EveryEntryGetsEveryMessageUnchangedInOneSendUnlessItsHopIsTenOrMore) {
  Texts &a = Listen(50001), &b = Listen(50002);
  ToXpl(Beat("50001"));
  ToXpl(Beat("50002"));
  EXPECT_EQ(a, (Texts{Beat("50001"), Beat("50002")}));
  auto cmnd = [](const std::string& hop) { return testing::Xpl("xpl-cmnd", "s", "a=1\n", hop + "source=a-b.c\n"); };
  const std::pair<std::string, bool> rows[] = {{cmnd("hop=9\n"), true}, {cmnd("hop=10\n"), false},
                                               {cmnd("HOP=12\n"), false}, {cmnd("") + "hop=12", true},
                                               {"xpl-foo\n{\na=1\n}\n", false}};
  for (const auto& [text, relayed] : rows) {
    a.clear();
    b.clear();
    const int sends = p.network.batch_sends;
    From("192.168.1.77", 3865, text, 3865);
    EXPECT_EQ(a, relayed ? Texts{text} : Texts{}) << text;
    EXPECT_EQ(b, a);
    EXPECT_EQ(p.network.batch_sends - sends, relayed ? 1 : 0);
  }
  g.TrafficView = true;
  hub->Relay()->CheckStaleConnections();
  EXPECT_EQ(view->connections, "\r\n         0    50001    acme-app.p50001\r\n         0    50002    acme-app.p50002");
  ToXpl(Beat("50001", "5", "hbeat.end"));  // still heard by its sender, which is then forgotten
  EXPECT_EQ(a, Texts{Beat("50001", "5", "hbeat.end")});
  EXPECT_EQ(Entry(50001), nullptr);
  g.XplHub = false;
  ToXpl(Beat("50004"));
  EXPECT_EQ(Entry(50004), nullptr);
  EXPECT_EQ(b.size(), 1u);
}

TEST_F(XplHubTest, ABackupTakesThePortOverQuietlyOnceItsPrimaryHasGone) {
  hub.reset();
  auto primary_xap = p.loop.CreateUdpEndpoint(), primary_xpl = p.loop.CreateUdpEndpoint();
  ASSERT_EQ(primary_xap->Bind("0.0.0.0", 3639) + primary_xpl->Bind("0.0.0.0", 3865), 0);
  Start();
  ASSERT_EQ(g.HubRole, "HubBackup");
  EXPECT_EQ(Join(TakeBroadcasts(), "").find("XPL_Hub_Load"), std::string::npos);
  primary_xpl->Close();
  p.loop.Advance(20000);
  EXPECT_NE(primary_xpl->Bind("0.0.0.0", 3865), 0);
}

}  // namespace
}  // namespace tessaly
