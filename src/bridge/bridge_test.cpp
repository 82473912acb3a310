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
  Texts FromNetwork(const std::string& xpl) {
    TakeBroadcasts();
    From("192.168.1.77", 3865, xpl, 3865);
    return TakeBroadcasts();
  }
};

TEST_F(BridgeTest, XapMessagesReachTheLocalXplApplicationsRewritten) {
  Texts& inbox = Listen(50001);
  From(kLan, 50001, testing::Xpl("xpl-stat", "hbeat.app", "interval=5\nport=50001\n"), 3865);
  const std::string head = "\n{\nhop=1\nsource=acme-sw.den\ntarget=";
  const std::string zw = "XPL-CMND" + head + "acme.gw.den\n}\nzwave.basic\n{\n", on = "output.state.1\n{\nState=o";
  const std::tuple<bool, std::string, std::string> rows[] = {  // XapToXpl, xAP message, xPL message ("": none)
      {true, Message("acme.sw.den", "xAPBSC.cmd", "target=acme.gw.den:zwave_node_7\n", on + "n\nLevel=60/100\n}\n"),
       zw + "command=on\nnode=7\nlevel=60\n}\n"},
      {true, Message("acme.sw.den", "xapbsc.CMD", "target=acme.gw.den:ZWAVE_5\n", on + "ff\n}\n"),
       zw + "command=off\nnode=5\n}\n"},
      {true, Message("acme.sw.den", "xAPBSC.cmd", "target=acme.gw.den:zwave_9\n"),
       zw + "command=Unknown\nnode=9\nlevel=Unknown\n}\n"},
      {true, Message("xpl.acme-sw.den", "xAPBSC.cmd", "target=acme.gw.den:Light.1\n", "Output.State\n{\nA= 1 \n}\n"),
       "XPL-CMND" + head + "acme.gw.den\n}\noutput.state\n{\nTargetSubaddress=Light.1\nA= 1 \n}\n"},
      {true, Message("acme.sw.den:sensor.a"), "XPL-STAT" + head + "*\n}\nblk\n{\nSourceSubaddress=sensor.a\nx=1\n}\n"},
      {true, Message("acme.sw.den", "xAP-X10.Request", "", "x10\n{\ndevice=A1\n}\n"),
       "XPL-CMND" + head + "*\n}\nx10.basic\n{\ndevice=A1\n}\n"},
      {true, Message("acme.sw.den", "xAP-X10.Event"), "XPL-TRIG" + head + "*\n}\nblk\n{\nx=1\n}\n"},
      {true, Message("acme.sw.den", "xAPBSC.event"), "XPL-TRIG" + head + "*\n}\nblk\n{\nx=1\n}\n"},
      {true, testing::Heartbeat("acme.sw.den", "50009"), ""}, {false, Message("acme.sw.den"), ""}};
  for (const auto& [on, xap, xpl] : rows) {
    inbox.clear();
    g.XapToXpl = on;
    FromOther(xap);
    EXPECT_EQ(inbox, xpl.empty() ? Texts{} : Texts{xpl}) << xap;
  }
}

TEST_F(BridgeTest, XplMessagesBecomeXapMessagesAndDeviceEvents) {
  const std::string x10 = "device=a1\ncommand=on\n", ctl = "xpl.acme-ctl.den", zw = "xpl.acme-zw.house";
  const std::string zw5 = zw + ":xpl.zwave_node_____5S.Switch", tv = zw + ":xpl.tv______________S.Switch";
  auto event = [](const std::string& source, const std::string& items, const std::string& uid) {
    return Texts{Xap("xAPBSC.event", source, "input.state.1", items, uid)};
  };
  const std::tuple<bool, bool, std::string, Texts> rows[] = {  // XplToXap, XplBsc, xPL message, xAP messages
      {true, false, Xpl("acme-ctl.den", "x10.basic", x10, "xpl-cmnd"),
       {Xap("X10.BASIC", ctl, "X10.BASIC", "DEVICE=a1\nCOMMAND=on\n")}},
      {true, false, Xpl("acme-ctl.den", "hbeat.app", "interval=5\n", "xpl-stat", "acme-x.y"),
       {Xap("HBEAT.APP", ctl, "HBEAT.APP", "INTERVAL=5\n", "FF00FF00", "acme-x.y")}},
      {false, true, Xpl("acme-ctl.den", "x10.basic", x10),
       {Xap("xap-x10.event", ctl, "xap-x10.event", "Device=a1\nCommand=on\n")}},
      {false, true, Xpl("acme-ctl.den", "x10.basic", x10, "xpl-cmnd"),
       {Xap("xap-x10.request", ctl, "xap-x10.request", "Device=a1\nCommand=on\n")}},
      {false, true, Xpl("acme-ctl.den", "x10.basic", "device=a1\n"), {}},
      {false, true, Xpl("acme-zw.house", "zwave.basic", "event=report\nnode=5\nlevel=0\n"),
       event(zw5, "State=off\nLevel=0/100\n", "FF00FF03")},
      {false, true, Xpl("acme-zw.house", "ZWave.Basic", "EVENT=x\nnode=9\nnode=5\nlevel=99\n"),
       event(zw5, "State=on\nLevel=99/100\n", "FF00FF03")},
      {false, true, Xpl("acme-zw.house", "zwave.basic", "event=x\nnode=123\n"),
       event(zw + ":xpl.zwave_node___123S.Switch", "State=on\n", "FF00FF04")},
      {true, true, Xpl("acme-zw.house", "zwave.basic", "node=5\n"),
       {Xap("ZWAVE.BASIC", zw, "ZWAVE.BASIC", "NODE=5\n")}},
      {false, true, Xpl("acme-zw.house", "remote.basic", "device=tv\nkeys=33\n"),
       event(tv, "State=OFF\nText=33\n", "FF00FF07")},
      {false, true, Xpl("acme-zw.house", "remote.basic", "device=tv\nkeys=32.4x\n"),
       event(tv, "State=ON\nText=32\n", "FF00FF07")},
      {false, true, Xpl("acme-zw.house", "remote.basic", "device=a=b\nkeys=12\n"), {}},  // not a storable name
      {true, true, Xpl("acme.lamp", "x10.basic", x10), {}}};                              // not a valid source
  for (const auto& [generic, devices, xpl, xap] : rows) {
    g.XplToXap = generic;
    g.XplBsc = devices;
    EXPECT_EQ(FromNetwork(xpl), xap) << xpl;
  }
  Texts keys;
  for (auto& [key, device] : hub->XapXplBridge().BscDevices) {
    keys.push_back(key + "=" + device.Source + "," + Dec(device.Index));
  }
  EXPECT_EQ(keys, (Texts{"TV=acme-rc.den,7", "ZZ=acme-z.z,2", "zwave_node_____5S=acme-zw.house,3",
                         "zwave_node___123S=acme-zw.house,4"}));
  EXPECT_NE(Log().find("Tessaly GetSecurityDevices at Line 0 Device HUGE: index outside 16 bits"), std::string::npos);
}

TEST_F(BridgeTest, DeviceQueryIsAnsweredByEveryDeviceItsSubAddressMatches) {
  FromNetwork(Xpl("acme-zw.house", "zwave.basic", "event=x\nnode=5\n"));
  FromNetwork(Xpl("acme-rc.den", "remote.basic", "device=TV\nkeys=32\n"));
  auto info = [](const std::string& sub, const std::string& state, const std::string& uid) {
    return Xap("xAPBSC.info", sub + ".Switch", "input.state", state + "\n", uid);
  };
  const std::string tv = info("xpl.acme-rc.den:xpl.tv______________S", "State=ON\nStream=32", "FF00FF07");
  const std::string zz = info("xpl.acme-z.z:xpl.zz", "State=OFF\nStream=0", "FF00FF02");
  const std::string zw5 = info("xpl.acme-zw.house:xpl.zwave_node_____5S", "State=OFF\nStream=0", "FF00FF03");
  const std::pair<const char*, Texts> rows[] = {
      {"xpl.acme-zw.house:xpl.zwave_node_____5s.switch", {zw5}}, {"xpl.acme-rc.den:xpl.TV______________s", {tv}},
      {"xpl.acme-zw.house:", {tv, zz, zw5}}, {"*.*.*:xpl.>", {tv, zz, zw5}}, {"xpl.acme-zw.house:*.*.dimmer", {}},
      {"xpl.acme-zw.house:x.>", {}}, {"xpl.acme-zw.house", {}}, {"xpl.other.house:>", {}}};
  for (const auto& [target, answers] : rows) {
    TakeBroadcasts();
    FromOther(Message("acme.ask.x", "xAPBSC.query", std::string("target=") + target + "\n", "request\n{\n}\n"));
    EXPECT_EQ(TakeBroadcasts(), answers) << target;
  }
  RecordingReporter reports;
  for (const auto& [n, hex] : {std::pair{0, "00"}, {11, "0B"}, {255, "FF"}, {256, ""}, {-1, ""}}) {
    EXPECT_EQ(ToHex(n, reports), hex);
  }
  ASSERT_EQ(reports.entries.size(), 2u);
  EXPECT_EQ(reports.entries[0].text, "ToHex 256");
}

}  // namespace
}  // namespace tessaly
