#include "xpl/xpl_hub.h"

#include "common/text.h"
#include "support/hub_harness.h"

namespace tessaly {
namespace {

using Texts = std::vector<std::string>;

std::string Beat(const std::string& port, const std::string& interval = "5", const std::string& extra = "",
                 const std::string& schema = "hbeat.app", const std::string& type = "xpl-stat") {
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

// Registration by a local application's heartbeat, the relay to every entry, and the sweep.
TEST_F(XplHubTest, LocalHeartbeatsRegisterAndEveryEntryGetsEveryMessageUnlessItsHopIsTenOrMore) {
  Texts &a = Listen(50001), &b = Listen(50005);
  const std::tuple<std::string, std::string, std::int32_t, int> rows[] = {  // text, sender, entry (0: none), minutes
      {Beat("50001"), kLan, 50001, 5}, {Beat("50002"), "192.168.1.77", 0, 0},
      {Beat("0"), kLan, 0, 0}, {Beat("70000"), kLan, 0, 0}, {Beat("3865"), kLan, 0, 0}, {Beat("32768"), kLan, 0, 0},
      {Beat("50003", "1", "", "hbeat.apple"), kLan, 50003, 1}, {Beat("50005", "0", "", "config.app"), kLan, 50005, 5},
      {Beat("50004", "5", "remote-ip=1.2.3.4\n"), kLan, 0, 0}, {Beat("50007", "5", "", "hbeat.basic"), kLan, 0, 0},
      {Beat("50006", "2.5", "remote-ip= 192.168.1.5 \n"), kLan, 50006, 2}, {Beat(" 50010.5", "99999"), kLan, 50010, 5},
      {Beat("50008", "5", "", "hbeat.app", "xpl-cmnd"), kLan, 0, 0}};
  int used = 0;
  for (const auto& [text, from, port, minutes] : rows) {
    const std::int64_t at = p.clock.wall;
    From(from, 40000, text, 3865);
    used += port ? 1 : 0;
    EXPECT_EQ(Entry(0) - &hub->Xpl().XplClients[0], used + 1) << "entries in use after:\n" << text;
    if (!port) continue;
    ASSERT_NE(Entry(port), nullptr) << text;
    EXPECT_EQ(Entry(port)->Expires - at, minutes * 120) << text;
  }
  for (int port = 51000; used < 64; ++port, ++used) ToXpl(Beat(Dec(port)));
  ToXpl(Beat("52000"));
  EXPECT_TRUE(Entry(0) == nullptr && Entry(52000) == nullptr);  // full: no entry free, the newcomer left out
  auto cmnd = [](const std::string& hop) { return testing::Xpl("xpl-cmnd", "s", "a=1\n", hop + "source=a-b.c\n"); };
  const std::pair<std::string, bool> relays[] = {{cmnd("hop=9\n"), true}, {cmnd("hop=10\n"), false},
      {cmnd("HOP=12\n"), false}, {cmnd("") + "hop=12", true}, {"xpl-foo\n{\na=1\n}\n", false}};
  for (const auto& [text, relayed] : relays) {
    a.clear(), b.clear();
    const int sends = p.network.batch_sends;
    From("192.168.1.77", 3865, text, 3865);
    const Texts heard = relayed ? Texts{text} : Texts{};
    EXPECT_EQ(std::tuple(a, b, p.network.batch_sends - sends), std::tuple(heard, heard, relayed ? 1 : 0)) << text;
  }
  ToXpl(Beat("50001", "5", "", "hbeat.end"));  // its sender leaves the table
  EXPECT_EQ(Entry(50001), nullptr);
  const std::int64_t at = p.clock.wall;
  ToXpl(Beat("50003", "1"));  // a refresh
  EXPECT_EQ(Dec(Entry(50003)->Expires - at) + " " + Dec(Entry(50003)->Heartbeats), "180 1");
  p.clock.wall = Entry(50003)->Expires + 1;
  p.loop.Advance(20000);  // the next sweep
  EXPECT_TRUE(Entry(50003) == nullptr && Entry(50005) != nullptr);
  g.XplHub = false;  // the bridge alone: nothing registers
  ToXpl(Beat("50004"));
  EXPECT_EQ(Entry(50004), nullptr);
}

TEST_F(XplHubTest, ABackupTakesThePortOverQuietlyOnceItsPrimaryHasGone) {
  hub.reset();
  auto primary_xap = p.loop.CreateUdpEndpoint(), primary_xpl = p.loop.CreateUdpEndpoint();
  ASSERT_EQ(primary_xap->Bind("0.0.0.0", 3639) + primary_xpl->Bind("0.0.0.0", 3865), 0);
  Start();
  EXPECT_EQ(Join(TakeBroadcasts(), "").find("XPL_Hub_Load"), std::string::npos);
  primary_xpl->Close();
  p.loop.Advance(20000);
  EXPECT_NE(primary_xpl->Bind("0.0.0.0", 3865), 0);
}

}  // namespace
}  // namespace tessaly
