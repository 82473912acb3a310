#include "bridge/bridge.h"

#include "common/text.h"
#include "support/hub_harness.h"

namespace tessaly {
namespace {

using testing::Message;
using testing::Xpl;
using Texts = std::vector<std::string>;

// An xAP message as the hub composes it.
std::string Xap(const std::string& cls, const std::string& source, const std::string& section, const std::string& items,
                const std::string& uid = "FF00FF00", const std::string& target = "") {
  return "xap-header\n{\nv=12\nhop=1\nuid=" + uid + "\nclass=" + cls + "\nsource=" + source + "\n" +
         (target.empty() ? "" : "target=" + target + "\n") + "}\n" + section + "\n{\n" + items + "}\n";
}
std::string XplFrom(const std::string& source, const std::string& schema, const std::string& body,
                    const std::string& type = "xpl-trig", const std::string& target = "*") {
  return Xpl(type, schema, body, "hop=1\nsource=" + source + "\ntarget=" + target + "\n");
}

class BridgeTest : public testing::HubFixture {
 protected:
  void SetUp() override {
    WriteOptions("[General]\nXPL=1\n");
    Start();
  }
  // A local xPL application on port 50001; its inbox, empty.
  Texts& XplApp() {
    Texts& inbox = Listen(50001);
    ToXplHub(Xpl("xpl-stat", "hbeat.app", "interval=5\nport=50001\n"));
    inbox.clear();
    return inbox;
  }
  Bridge& bridge() { return hub->XapXplBridge(); }
};

TEST_F(BridgeTest, XapMessagesReachTheLocalXplApplicationsRewritten) {
  Texts& inbox = XplApp();
  const std::string zwave = "XPL-CMND\n{\nhop=1\nsource=acme-switcher.den\ntarget=acme.gateway.den\n}\nzwave.basic\n{\n";
  struct Row {
    bool on;
    std::string xap, xpl;  // "" for nothing
  } rows[] = {
      {true, Message("acme.switcher.den", "xAPBSC.cmd", "target=acme.gateway.den:zwave_node_7\n",
                     "output.state.1\n{\nState=on\nLevel=60/100\n}\n"),
       zwave + "command=on\nnode=7\nlevel=60\n}\n"},
      {true, Message("acme.switcher.den", "xapbsc.CMD", "target=acme.gateway.den:ZWAVE_5\n",
                     "output.state.1\n{\nState=off\n}\n"),
       zwave + "command=off\nnode=5\n}\n"},
      {true, Message("acme.switcher.den", "xAPBSC.cmd", "target=acme.gateway.den:zwave_9\n", "other\n{\nx=1\n}\n"),
       zwave + "command=Unknown\nnode=9\nlevel=Unknown\n}\n"},
      {true, Message("zyn.hub.pc1:sensor.a"),
       "XPL-STAT\n{\nhop=1\nsource=zyn-hub.pc1\ntarget=*\n}\nblk\n{\nSourceSubaddress=sensor.a\nx=1\n}\n"},
      {true, Message("xpl.acme-lamp.kitchen", "xAPBSC.cmd", "target=acme.gw.den:Light.1\n", "Output.State\n{\nA= 1 \n}\n"),
       "XPL-CMND\n{\nhop=1\nsource=acme-lamp.kitchen\ntarget=acme.gw.den\n}\noutput.state\n{\n"
       "TargetSubaddress=Light.1\nA= 1 \n}\n"},
      {true, Message("acme.ctl.den", "xAP-X10.Request", "", "x10\n{\ndevice=A1\ncommand=on\n}\n"),
       "XPL-CMND\n{\nhop=1\nsource=acme-ctl.den\ntarget=*\n}\nx10.basic\n{\ndevice=A1\ncommand=on\n}\n"},
      {true, Message("acme.ctl.den", "xAP-X10.Event"), "XPL-TRIG\n{\nhop=1\nsource=acme-ctl.den\ntarget=*\n}\nblk\n{\nx=1\n}\n"},
      {true, Message("acme.ctl.den", "xAPBSC.event"), "XPL-TRIG\n{\nhop=1\nsource=acme-ctl.den\ntarget=*\n}\nblk\n{\nx=1\n}\n"},
      {true, testing::Heartbeat("acme.ctl.den", "50009"), ""},
      {false, Message("acme.ctl.den"), ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.xap);
    g.XapToXpl = row.on;
    FromOther(row.xap);
    EXPECT_EQ(inbox, row.xpl.empty() ? Texts{} : Texts{row.xpl});
    inbox.clear();
  }
}

TEST_F(BridgeTest, XplMessagesBecomeXapMessagesAndDeviceEvents) {
  const std::string x10 = "device=a1\ncommand=on\n";
  const std::string zw = "xpl.acme-zw.house", zw5 = zw + ":xpl.zwave_node_____5S.Switch";
  struct Row {
    bool generic, devices;
    std::string xpl;
    Texts xap;
  } rows[] = {
      {true, false, XplFrom("acme-ctl.den", "x10.basic", x10, "xpl-cmnd"),
       {Xap("X10.BASIC", "xpl.acme-ctl.den", "X10.BASIC", "DEVICE=a1\nCOMMAND=on\n")}},
      {true, false, XplFrom("acme-ctl.den", "hbeat.app", "interval=5\n", "xpl-stat", "acme-x.y"),
       {Xap("HBEAT.APP", "xpl.acme-ctl.den", "HBEAT.APP", "INTERVAL=5\n", "FF00FF00", "acme-x.y")}},
      {false, true, XplFrom("acme-ctl.den", "x10.basic", x10, "xpl-trig"),
       {Xap("xap-x10.event", "xpl.acme-ctl.den", "xap-x10.event", "Device=a1\nCommand=on\n")}},
      {false, true, XplFrom("acme-ctl.den", "x10.basic", x10, "xpl-cmnd"),
       {Xap("xap-x10.request", "xpl.acme-ctl.den", "xap-x10.request", "Device=a1\nCommand=on\n")}},
      {false, true, XplFrom("acme-ctl.den", "x10.basic", "device=a1\n"), {}},
      {false, true, XplFrom("acme-zw.house", "zwave.basic", "event=report\nnode=5\nlevel=0\n"),
       {Xap("xAPBSC.event", zw5, "input.state.1", "State=off\nLevel=0/100\n", "FF00FF01")}},
      {false, true, XplFrom("acme-zw.house", "ZWave.Basic", "EVENT=x\nnode=9\nnode=5\nlevel=99\n"),
       {Xap("xAPBSC.event", zw5, "input.state.1", "State=on\nLevel=99/100\n", "FF00FF01")}},
      {false, true, XplFrom("acme-zw.house", "zwave.basic", "event=x\nnode=123\n"),
       {Xap("xAPBSC.event", zw + ":xpl.zwave_node___123S.Switch", "input.state.1", "State=on\n", "FF00FF02")}},
      {true, true, XplFrom("acme-zw.house", "zwave.basic", "node=5\nlevel=0\n"),
       {Xap("ZWAVE.BASIC", zw, "ZWAVE.BASIC", "NODE=5\nLEVEL=0\n")}},
      {false, true, XplFrom("acme-zw.house", "remote.basic", "device=tv\nkeys=33\n"),
       {Xap("xAPBSC.event", zw + ":xpl.tv______________S.Switch", "input.state.1", "State=OFF\nText=33\n", "FF00FF03")}},
      {false, true, XplFrom("acme-zw.house", "remote.basic", "device=tv\nkeys=32.4 up\n"),
       {Xap("xAPBSC.event", zw + ":xpl.tv______________S.Switch", "input.state.1", "State=ON\nText=32\n", "FF00FF03")}},
      {false, true, XplFrom("acme-zw.house", "remote.basic", "device=a=b\nkeys=12\n"), {}},  // no storable name
      {true, true, XplFrom("acme.lamp", "x10.basic", x10), {}},                              // invalid source
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.xpl);
    g.XplToXap = row.generic;
    g.XplBsc = row.devices;
    TakeBroadcasts();
    ToXplHub(row.xpl, 3865, "192.168.1.77");
    EXPECT_EQ(TakeBroadcasts(), row.xap);
  }
  Texts keys;
  for (auto& [key, device] : bridge().BscDevices) keys.push_back(key + " " + device.SerialNumber);
  EXPECT_EQ(keys, (Texts{"zwave_node_____5S zwave_node_____5S", "zwave_node___123S zwave_node___123S",
                         "tv tv______________S"}));

  // With both bridges on, what came from xPL goes back to the xPL applications as a status.
  Texts& inbox = XplApp();
  g.XapToXpl = g.XplToXap = true;
  g.XplBsc = false;
  ToXplHub(XplFrom("acme-ctl.den", "x10.basic", x10, "xpl-cmnd"), 3865, "192.168.1.77");
  EXPECT_EQ(inbox, (Texts{XplFrom("acme-ctl.den", "x10.basic", x10, "xpl-cmnd"),
                          "XPL-STAT\n{\nhop=1\nsource=acme-ctl.den\ntarget=*\n}\nx10.basic\n{\nDEVICE=a1\nCOMMAND=on\n}\n"}));
}

TEST_F(BridgeTest, DevicesKeepTheirUidAcrossARestartWhateverElseTheFileHolds) {
  hub.reset();
  WriteOptions("[General]\nXPL=1\n[XPL_BSC]\n\"QUOTED\"=\"acme-q.q\",4,q\nFOUR=a,1,b,c\nHUGE=acme-h.h,99999,huge\n"
               "NONE\nTV=acme-r.r,7,tv______________S\n");
  Start();
  Texts keys;
  for (auto& [key, device] : bridge().BscDevices) keys.push_back(key + " " + device.Source + " " + Dec(device.Index));
  EXPECT_EQ(keys, (Texts{"QUOTED acme-q.q 4", "TV acme-r.r 7"}));
  EXPECT_NE(Log().find("Tessaly GetSecurityDevices at Line 0 Device HUGE: index outside 16 bits"), std::string::npos);
  for (int run = 0; run < 2; ++run) {
    TakeBroadcasts();
    ToXplHub(XplFrom("acme-zw.house", "zwave.basic", "event=x\nnode=5\n"));
    ToXplHub(XplFrom("acme-rc.den", "remote.basic", "device=tv\nkeys=1\n"));
    const Texts sent = TakeBroadcasts();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_NE(sent[0].find("uid=FF00FF03\n"), std::string::npos) << "run " << run;
    EXPECT_NE(sent[1].find("uid=FF00FF07\nclass=xAPBSC.event\nsource=xpl.acme-rc.den:xpl.tv______________S.Switch\n"),
              std::string::npos);
    hub.reset();
    Start();
  }
  EXPECT_NE(testing::ReadFile(dir.path() / "Config" / "Velmar.ini")
                .find("[XPL_BSC]\r\n\"QUOTED\"=\"acme-q.q\",4,q\r\nFOUR=a,1,b,c\r\nHUGE=acme-h.h,99999,huge\r\n"
                      "QUOTED=acme-q.q,4,q\r\nTV=acme-r.r,7,tv______________S\r\n"
                      "ZWAVE_NODE_____5S=acme-zw.house,3,zwave_node_____5S\r\n"),
            std::string::npos);
}

TEST_F(BridgeTest, DeviceQueryIsAnsweredByEveryDeviceItsSubAddressMatches) {
  ToXplHub(XplFrom("acme-zw.house", "zwave.basic", "event=x\nnode=5\n"));
  ToXplHub(XplFrom("acme-zw.house", "remote.basic", "device=TV\nkeys=32\n"));
  const std::string zw5 = Xap("xAPBSC.info", "xpl.acme-zw.house:xpl.zwave_node_____5S.Switch", "input.state",
                              "State=OFF\nStream=0\n", "FF00FF01");
  const std::string tv = Xap("xAPBSC.info", "xpl.acme-zw.house:xpl.TV______________S.Switch", "input.state",
                             "State=ON\nStream=32\n", "FF00FF02");
  const std::pair<const char*, Texts> rows[] = {
      {"xpl.acme-zw.house:xpl.zwave_node_____5s.switch", {zw5}},
      {"xpl.acme-zw.house:xpl.tv______________s", {tv}},
      {"xpl.acme-zw.house:", {zw5, tv}},
      {"*.*.*:xpl.>", {zw5, tv}},
      {"xpl.acme-zw.house:*.*.dimmer", {}},
      {"xpl.acme-zw.house:x.>", {}},
      {"xpl.acme-zw.house", {}},
      {"xpl.other.house:>", {}},
  };
  for (const auto& [target, answers] : rows) {
    SCOPED_TRACE(target);
    TakeBroadcasts();
    FromOther(Message("acme.ask.x", "xAPBSC.query", std::string("target=") + target + "\n", "request\n{\n}\n"));
    EXPECT_EQ(TakeBroadcasts(), answers);
  }
  RecordingReporter reports;
  const std::pair<int, const char*> hex[] = {{0, "00"}, {11, "0B"}, {255, "FF"}, {256, ""}, {-1, ""}};
  for (const auto& [n, text] : hex) EXPECT_EQ(ToHex(n, reports), text) << n;
  ASSERT_EQ(reports.entries.size(), 2u);
  EXPECT_EQ(reports.entries[0].text, "ToHex 256");
}

}  // namespace
}  // namespace tessaly
