// Arbitrary queue entries through the relay, with registered clients, the
// hub's services and its own answers looping back: nothing crashes, and the
// counters only grow.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "app/globals.h"
#include "common/text.h"
#include "relay/relay.h"
#include "support/fake_platform.h"
#include "transport/xap.h"

namespace {

struct Setup {
  tessaly::testing::FakePlatform p;
  tessaly::Globals g{p.platform()};
  std::vector<std::unique_ptr<tessaly::UdpEndpoint>> clients;
  Setup() {
    g.AppPath = "/dev/null";
    g.ComputerName = "FUZZ";
    g.ExePath = "/opt/hub/Tessaly";
    g.HubStarted = true;
    g.TrafficView = true;
    p.network.local_addresses = {"192.168.1.5"};
    g.XapLink = std::make_unique<tessaly::xap>(g);
    g.XapLink->SetXapSource("zyn.hub.FUZZ");
    g.XapLink->SetXapUID("FF00FF00");
    g.XapLink->Init();
    for (int port : {3640, 3641}) {
      clients.push_back(p.loop.CreateUdpEndpoint());
      clients.back()->Bind("0.0.0.0", port);
      tessaly::Readmessage(g, "    192.168.1.5xap-hbeat\n{\nsource=fuzz.client." + tessaly::Dec(port) +
                                  "\ninterval=60\nport=" + tessaly::Dec(port) + "\n}\n");
    }
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Setup s;
  if (size == 0) return 0;
  static const char* const kPrefixes[] = {"    192.168.1.5", "      127.0.0.1", "       10.0.0.9", ""};
  std::string entry = std::string(kPrefixes[data[0] & 3]) + std::string(reinterpret_cast<const char*>(data + 1), size - 1);
  std::int32_t inbound = s.g.InboundCount;
  tessaly::Readmessage(s.g, entry);
  if (s.g.InboundCount != inbound + 1) std::abort();
  // The hub's own answers queued by the services go through the relay too.
  for (int round = 0; round < 4; ++round) {
    std::string queued = s.g.XapLink->GetMessage();
    if (queued.empty()) break;
    tessaly::Readmessage(s.g, queued);
  }
  while (!s.g.XapLink->GetMessage().empty()) {
  }
  if (s.g.Routers.size() > 10000) s.g.Routers.RemoveIf([](const tessaly::Router&) { return true; });
  s.p.network.sent.clear();
  s.p.loop.Flush();
  return 0;
}
