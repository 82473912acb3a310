// Arbitrary texts to the xPL hub port with the hub and every bridge option on:
// the device list holds only storable names numbered 1 to n.
#include <cstdlib>

#include "bridge/bridge.h"
#include "state/out_queue.h"
#include "support/fake_platform.h"

struct Setup : tessaly::XapSender {
  tessaly::testing::FakePlatform p;
  tessaly::Globals g{p.platform()};
  tessaly::SilentReporter quiet;
  tessaly::XplHub xpl{g, quiet};
  tessaly::Bridge bridge{g, xpl};
  Setup() {
    g.AppPath = "/dev/null";  // log lines go nowhere
    g.LocalAddress = "192.168.1.5";  // the sender of the hub port's datagrams: heartbeats register
    g.XplHub = g.XplToXap = g.XapToXpl = g.XplBsc = g.HubStarted = true;
    g.XapLink = this;
    xpl.SetListener(&bridge);
    xpl.XPL_Hub_Load("255.255.255.255", 32768);
  }
  void SendXap(const std::string&, const std::string&, const std::string&, const std::string&, const std::string&,
               const std::string&, const std::string&) override {}
};

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Setup s;
  s.p.network.Inject("192.168.1.5", 40000, "255.255.255.255", 3865, {reinterpret_cast<const char*>(data), size});
  s.p.loop.Flush();
  s.p.network.sent.clear();
  std::int16_t index = 0;
  for (auto& [key, device] : s.bridge.BscDevices) {
    if (device.Index != ++index || !tessaly::StorableDeviceKey(key)) std::abort();
  }
  return 0;
}
