// Any queue entry through the relay, its clients, the hub's services and answers.
#include "relay/relay.h"
#include "support/fake_platform.h"
#include "transport/xap.h"
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static tessaly::testing::FakePlatform p;
  static tessaly::Globals g(p.platform());
  static tessaly::xap link(g);
  static tessaly::XapRelay relay(g, link);
  if (g.XapLink == nullptr) {
    g.AppPath = "/dev/null";  // failure reports go nowhere
    g.HubStarted = g.TrafficView = true;
    g.XapLink = &link;
    p.network.local_addresses = {"192.168.1.5"};
    link.Init();
    relay.Readmessage("    192.168.1.5xap-hbeat\n{\nsource=fuzz.client.one\ninterval=60\nport=3640\n}\n");
  }
  const char* const senders[] = {"    192.168.1.5", "      127.0.0.1", "       10.0.0.9", ""};
  relay.Readmessage(size ? senders[data[0] & 3] + std::string(reinterpret_cast<const char*>(data + 1), size - 1) : "");
  for (int round = 0; round < 4 && link.QueueLength() > 0; ++round) relay.Readmessage(link.GetMessage());
  while (link.QueueLength() > 0) link.GetMessage();  // the hub's answers to its own answers
  relay.FlushDeliveries();
  if (relay.Routers.size() > 10000) relay.Routers.RemoveIf([](const tessaly::Router&) { return true; });
  p.network.sent.clear();
  return 0;
}
