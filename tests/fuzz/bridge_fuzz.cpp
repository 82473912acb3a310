// Arbitrary texts through both bridges, with every option on: an even first
// byte sends the rest to the xPL hub port, an odd one hands it to the
// xAP-to-xPL bridge and the device query as a relayed xAP message. Checks the
// device list (storable names, indexes 1 to n in order), the uids of device
// messages, and the shape of every xPL text the bridge composes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "bridge/bridge.h"
#include "message/xap_message.h"
#include "support/fake_platform.h"
#include "transport/xap.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

struct Sink : tessaly::XapSender {
  void SendXap(const std::string&, const std::string&, const std::string&, const std::string&, const std::string&,
               const std::string& sub_address, const std::string& uid) override {
    Check(uid.empty() || ((uid.size() == 8 || uid.size() == 6) && uid.starts_with("FF00FF")));
    Check(sub_address.empty() || (sub_address.starts_with("xpl.") && sub_address.ends_with(".Switch")));
  }
};

struct Setup {
  tessaly::testing::FakePlatform p;
  tessaly::Globals g{p.platform()};
  tessaly::SilentReporter quiet;
  tessaly::XplHub xpl{g, quiet};
  tessaly::Bridge bridge{g, xpl};
  Sink sink;
  std::unique_ptr<tessaly::UdpEndpoint> app = p.loop.CreateUdpEndpoint();
  std::string header = tessaly::MakeHeaderTemplate();
  Setup() {
    g.AppPath = "/dev/null";  // log lines go nowhere
    g.LocalAddress = "192.168.1.5";
    g.XapUidValue = "FF00FF00";
    g.XplHub = g.XplToXap = g.XapToXpl = g.XplBsc = g.HubStarted = true;
    g.XapLink = &sink;
    xpl.SetListener(&bridge);
    xpl.XPL_Hub_Load("255.255.255.255", 32768);
    xpl.XplClients[1] = {50001, INT64_MAX, 5, true, "acme-app.one", 0};
    app->Bind("0.0.0.0", 50001);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Setup s;
  if (size == 0) return 0;
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  s.p.network.sent.clear();
  if (data[0] & 1) {
    tessaly::XapMessage message(s.header, s.quiet);
    message.FromXap(text);
    s.bridge.BridgeToXPL(text, message);
    s.bridge.DeviceQuery(message);
    for (const auto& d : s.p.network.SentTo(50001)) {
      Check(d.text.starts_with("XPL-") && d.text.find("\n{\nhop=1\nsource=") == 8 && d.text.ends_with("\n}\n"));
    }
  } else {
    s.p.network.Inject("192.168.1.5", 40000, "255.255.255.255", 3865, text);
    s.p.loop.Flush();
  }
  std::int16_t index = 0;
  for (auto& [key, device] : s.bridge.BscDevices) {
    Check(device.Index == ++index && tessaly::StorableDeviceKey(key));
  }
  return 0;
}
