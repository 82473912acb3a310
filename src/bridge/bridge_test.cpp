#include "bridge/bridge.h"

#include "common/text.h"
#include "support/hub_harness.h"

namespace tessaly {
namespace {

using testing::Message;
using Texts = std::vector<std::string>;

// A message as the hub composes it, with one section.
std::string Xap(const std::string& cls, const std::string& source, const std::string& section, const std::string& items,
                const std::string& uid = "FF00FF00", const std::string& target = "") {
  return "xap-header\n{\nv=12\nhop=1\nuid=" + uid + "\nclass=" + cls + "\nsource=" + source + "\n" +
         (target.empty() ? "" : "target=" + target + "\n") + "}\n" + section + "\n{\n" + items + "}\n";
}
std::string Xpl(const std::string& source, const std::string& schema, const std::string& body,
                const std::string& type = "xpl-trig", const std::string& target = "*") {
  return testing::Xpl(type, schema, body, "hop=1\nsource=" + source + "\ntarget=" + target + "\n");
}

class BridgeTest : public testing::HubFixture {
 protected:
  // Two devices in the file, among junk: quotes, four fields, an index beyond 16 bits.
  void SetUp() override {
    WriteOptions("[General]\nXPL=1\n[XPL_BSC]\n\"TV\"=\"acme-rc.den\",7,tv______________S\nFOUR=a,1,b,c\n"
                 "HUGE=a-b.c,99999,h\nZZ=acme-z.z,2,zz\n");
    Start();
  }
};

TEST_F(BridgeTest, XapMessagesReachTheLocalXplApplicationsRewritten) {
  Texts& inbox = Listen(50001);
  From(kLan, 50001, testing::Xpl("xpl-stat", "hbeat.app", "interval=5\nport=50001\n"), 3865);
  const std::string head = "\n{\nhop=1\nsource=a-s.d\ntarget=", cmnd = "XPL-CMND" + head, trig = "XPL-TRIG" + head;
  const std::string blk = "*\n}\nblk\n{\nx=1\n}\n";
  const std::tuple<bool, std::string, std::string> rows[] = {  // XapToXpl, xAP message, xPL message ("": none)
      {true, Message("a.s.d", "xapbsc.CMD", "target=a.b.c:ZWAVE_5\n", "output.state.1\n{\nState=off\nText=9\n}\n"),
       cmnd + "a.b.c\n}\nzwave.basic\n{\ncommand=off\nnode=5\nlevel=9\n}\n"},
      {true, Message("a.s.d", "xapbsc.CMD", "target=a.b.c:ZWAVE_5\n", "output.state.1\n{\nLevel=6/9\nText=9\n}\n"),
       cmnd + "a.b.c\n}\nzwave.basic\n{\ncommand=\nnode=5\nlevel=6\n}\n"},
      {true, Message("xpl.a-s.d", "xAPBSC.cmd", "target=a.b.c:Light.1\n", "Output.State\n{\nA= 1 \n}\n"),
       cmnd + "a.b.c\n}\noutput.state\n{\nTargetSubaddress=Light.1\nA= 1 \n}\n"},
      {true, Message("a.s.d:sensor.a"), "XPL-STAT" + head + "*\n}\nblk\n{\nSourceSubaddress=sensor.a\nx=1\n}\n"},
      {true, Message("a.s.d", "xAP-X10.Request", "", "x10\n{\nA=1\n}\n"), cmnd + "*\n}\nx10.basic\n{\nA=1\n}\n"},
      {true, Message("a.s.d", "xAP-X10.Event"), trig + blk}, {true, Message("a.s.d", "xAPBSC.event"), trig + blk},
      {true, testing::Heartbeat("a.s.d", "50009"), ""}, {false, Message("a.s.d"), ""}};
  for (const auto& [on, xap, xpl] : rows) {
    inbox.clear(), g.XapToXpl = on;
    FromOther(xap);
    EXPECT_EQ(inbox, xpl.empty() ? Texts{} : Texts{xpl}) << xap;
  }
}

TEST_F(BridgeTest, XplMessagesBecomeXapMessagesAndDeviceEventsAndDevicesAnswerQueries) {
  const std::string x10 = "device=a1\ncommand=on\n", x10Items = "Device=a1\nCommand=on\n", ctl = "xpl.a-c.d";
  const std::string zw = "xpl.a-z.h", zw123 = zw + ":xpl.zwave_node___123S.Switch";
  const std::string tv = zw + ":xpl.tv______________S.Switch";
  auto event = [](auto s, auto body, auto uid) { return Texts{Xap("xAPBSC.event", s, "input.state.1", body, uid)}; };
  const std::tuple<bool, bool, std::string, Texts> rows[] = {  // XplToXap, XplBsc, xPL message, xAP messages
      {1, 1, Xpl("a-c.d", "x10.basic", x10, "xpl-cmnd", "x-y.z"),
       {Xap("X10.BASIC", ctl, "X10.BASIC", "DEVICE=a1\nCOMMAND=on\n", "FF00FF00", "x-y.z"),
        Xap("xap-x10.request", ctl, "xap-x10.request", x10Items, "FF00FF00", "x-y.z")}},
      {0, 1, Xpl("a-c.d", "x10.basic", x10), {Xap("xap-x10.event", ctl, "xap-x10.event", x10Items)}},
      {0, 1, Xpl("a-c.d", "x10.basic", "device=a1\n"), {}}, {0, 1, Xpl("a-z.h", "zwave.basic", "node=7\n"), {}},
      {0, 1, Xpl("a-z.h", "ZWave.Basic", "EVENT=x\nnode=9\nnode=123\n"), event(zw123, "State=on\n", "FF00FF03")},
      {1, 0, Xpl("a-z.h", "zwave.basic", "event=x\nnode=5\n"),
       {Xap("ZWAVE.BASIC", zw, "ZWAVE.BASIC", "EVENT=x\nNODE=5\n")}},
      {0, 1, Xpl("a-z.h", "remote.basic", "device=tv\nkeys=33\n"), event(tv, "State=OFF\nText=33\n", "FF00FF07")},
      {0, 1, Xpl("a-z.h", "remote.basic", "device=tv\nkeys=32.4x\n"), event(tv, "State=ON\nText=32\n", "FF00FF07")},
      {0, 1, Xpl("a-z.h", "remote.basic", "device=a=b\nkeys=12\n"), {}},  // not a storable name
      {1, 1, Xpl("acme.lamp", "x10.basic", x10), {}}};                              // not a valid source
  TakeBroadcasts();  // the start-up's
  for (const auto& [generic, devices, xpl, xap] : rows) {
    g.XplToXap = generic, g.XplBsc = devices;
    From("192.168.1.77", 3865, xpl, 3865);
    EXPECT_EQ(TakeBroadcasts(), xap) << xpl;
  }
  auto info = [](auto sub, auto state, auto uid) { return Xap("xAPBSC.info", sub, "input.state", state, uid); };
  const Texts all = {info("xpl.acme-rc.den:xpl.tv______________S.Switch", "State=ON\nStream=32\n", "FF00FF07"),
                     info("xpl.acme-z.z:xpl.zz.Switch", "State=OFF\nStream=0\n", "FF00FF02"),
                     info(zw123, "State=OFF\nStream=0\n", "FF00FF03")};
  const std::pair<const char*, Texts> queries[] = {  // every device in the list, each answer in the list's order
      {"xpl.acme-rc.den:xpl.TV______________s", {all[0]}}, {"xpl.a-z.h:", all}, {"*.*.*:xpl.>", all},
      {"xpl.a-z.h:x.>", {}}, {"xpl.a-z.h:xpl.zz.lamp", {}}, {"xpl.a-z.h", {}}, {"x.y.z:>", {}}};
  for (const auto& [target, answers] : queries) {
    FromOther(Message("acme.ask.x", "xAPBSC.query", std::string("target=") + target + "\n", "request\n{\n}\n"));
    EXPECT_EQ(TakeBroadcasts(), answers) << target;
  }
  RecordingReporter r;  // a device index beyond two hex digits, by hand, has no uid
  EXPECT_EQ(ToHex(0, r) + ToHex(11, r) + ToHex(255, r) + ToHex(256, r) + ToHex(-1, r), "000BFF");
}

}  // namespace
}  // namespace tessaly
