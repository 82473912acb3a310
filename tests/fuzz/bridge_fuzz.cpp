// Arbitrary texts through both bridges with every option on: an even first
// byte sends the rest to the xPL hub port, an odd one hands it to the
// xAP-to-xPL bridge and the device query as a relayed xAP message. Device
// messages must carry a device sub-address, and the device list must hold only
// storable names numbered 1 to n.
#include <cstdint>
#include <cstdlib>

#include "bridge/bridge.h"
#include "message/xap_message.h"
#include "support/fake_platform.h"
#include "transport/xap.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

struct Setup : tessaly::XapSender {
  tessaly::testing::FakePlatform p;
  tessaly::Globals g{p.platform()};
  tessaly::SilentReporter quiet;
  tessaly::XplHub xpl{g, quiet};
  tessaly::Bridge bridge{g, xpl};
  std::string header = tessaly::MakeHeaderTemplate();
  Setup() {
    g.AppPath = "/dev/null";  // log lines go nowhere
    g.LocalAddress = "192.168.1.5";
    g.XapUidValue = "FF00FF00";
    g.XplHub = g.XplToXap = g.XapToXpl = g.XplBsc = g.HubStarted = true;
    g.XapLink = this;
    xpl.SetListener(&bridge);
    xpl.XPL_Hub_Load("255.255.255.255", 32768);
    xpl.XplClients[1] = {50001, INT64_MAX, 5, true, "acme-app.one", 0};
  }
  void SendXap(const std::string&, const std::string&, const std::string&, const std::string&, const std::string&,
               const std::string& sub, const std::string& uid) override {
    Check(uid.empty() || (uid.starts_with("FF00FF") && sub.starts_with("xpl.") && sub.ends_with(".Switch")));
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Setup s;
  if (size == 0) return 0;
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] & 1) {
    tessaly::XapMessage message(s.header, s.quiet);
    message.FromXap(text);
    s.bridge.BridgeToXPL(text, message);
    s.bridge.DeviceQuery(message);
  } else {
    s.p.network.Inject("192.168.1.5", 40000, "255.255.255.255", 3865, text);
  }
  s.p.loop.Flush();
  s.p.network.sent.clear();
  std::int16_t index = 0;
  for (auto& [key, device] : s.bridge.BscDevices) Check(device.Index == ++index && tessaly::StorableDeviceKey(key));
  return 0;
}
