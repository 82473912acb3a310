// Datagrams into the hub as it runs: the xAP link, the relay with one client, the xPL hub, the bridge both ways.
// Each is a control byte (bits 0-1 the sender; 2 the loopback side, or for xPL a valid header up to "hop=" put in
// front; 3 the hub's client port as sender; 4-5 the time step; 6 the xPL port; 7 the length scale), a length byte
// and the text. Queue entries are well formed, at most the bridge's two per datagram; bridged devices are storable
// names numbered 1 to n. Each text is also decoded alone, as xAP read back every way the relay and the bridge do,
// and as xPL: the block table stays consistent and a record is only ever made of valid parts.
#include <cstdlib>
#include <stdexcept>

#include "bridge/bridge.h"
#include "message/xap_message.h"
#include "support/fake_platform.h"
#include "transport/xap.h"

static void Check(bool ok) {
  if (!ok) std::abort();
}

static void CheckDecoded(const std::string& text) {
  static const std::string header_template = tessaly::MakeHeaderTemplate();
  tessaly::SilentReporter quiet;
  tessaly::XapMessage m(header_template, quiet);
  m.FromXap(text);
  std::vector<std::string> names;
  try { names = m.msgSection(); } catch (const std::out_of_range&) {}
  for (std::int16_t i = 0; i < 64 && m.msgCollection(i); ++i)
    for (const auto& [item, line] : m.msgCollection(i)->Lines()) {
      Check(m.msgCollection(i)->Find(item) == &line);
      for (const std::string& name : names) m.GetItem(name, item);
    }
  const std::string head = text.substr(0, 64);
  Check(m.CompareAddress(head, m.msgSource) == m.CompareAddress(m.msgSource, head));

  tessaly::RecordingReporter reports;
  tessaly::XplParser parser(reports);
  const bool ok = parser.xPL_Extract(text);
  Check(ok == (parser.XplLastBlock() >= 0) && parser.XplLastBlock() + 1 == std::ssize(parser.XplFields()));
  for (const auto& block : parser.XplFields()) Check(block.LastPair + 1 == std::ssize(block.Pairs));
  const tessaly::xplMessage r = parser.xPL_xplMessage(text);
  Check(r.MsgType.empty() ? r == tessaly::xplMessage{}
                          : ok && tessaly::xPL_CheckAddress(r.Source).Valid && tessaly::xPL_CheckSchema(r.Schema) &&
                                (r.Target == "*" || tessaly::xPL_CheckAddress(r.Target).Valid) &&
                                r.Names.size() == r.Values.size() && std::ssize(r.Names) == r.NamePairs + 1);
  for (const auto& e : reports.entries) Check(e.text == "xPL_xplMessage");
}

struct Setup {
  tessaly::testing::FakePlatform p;
  tessaly::Globals g{p.platform()};
  tessaly::xap link{g};
  tessaly::XapRelay relay{g, link};
  tessaly::SilentReporter quiet;
  tessaly::XplHub xpl{g, quiet};
  tessaly::Bridge bridge{g, xpl};
  Setup() {
    g.AppPath = "/dev/null";  // nothing can be made below a plain file: failure reports go nowhere
    g.HubStarted = g.TrafficView = g.XplHub = g.XplToXap = g.XapToXpl = g.XplBsc = true;
    g.XapLink = &link;
    p.network.local_addresses = {"192.168.1.5"};
    link.Init();
    relay.SetListener(&bridge);
    xpl.SetListener(&bridge);
    xpl.XPL_Hub_Load("255.255.255.255", link.ClientPort());
    relay.Readmessage("    192.168.1.5xap-hbeat\n{\nsource=fuzz.client.one\ninterval=60\nport=3640\n}\n");
  }
};

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Setup s;
  const char* const senders[] = {"192.168.1.5", "127.0.0.1", "10.0.0.9", "255.255.255.255"};
  std::size_t most = 0;  // queue entries the datagrams may make
  for (std::size_t i = 0; i + 2 <= size;) {
    const std::uint8_t control = data[i];
    const std::size_t length = std::min<std::size_t>(data[i + 1] * (control & 0x80 ? 256 : 1), size - i - 2);
    std::string text(reinterpret_cast<const char*>(data + i + 2), length);
    const bool xpl = control & 0x40;
    if (xpl && (control & 4)) text = "xpl-stat\n{\nsource=acme-lamp.kitchen\ntarget=*\nhop=" + text;
    s.p.clock.Advance(((control >> 4) & 3) * 40u);
    s.p.network.Inject(senders[control & 3], control & 8 ? 32768 : 40000, control & 4 ? "127.0.0.1" : "192.168.1.5",
                       xpl ? 3865 : 3639, text);
    most += xpl ? 2 : 1;
    CheckDecoded(text);
    i += 2 + length;
  }
  s.p.loop.Flush();
  Check(s.link.QueueLength() <= most);
  for (std::size_t n = 0; n < most + 4 && s.link.QueueLength() > 0; ++n) {  // the hub's answers queue up behind
    std::string entry = s.link.GetMessage();
    Check(entry.size() >= 15 && entry[0] != '\0');
    s.relay.Readmessage(std::move(entry));
  }
  s.relay.FlushDeliveries();
  s.p.loop.Flush();  // what the hub sent to itself, such as relayed texts to the xPL port
  while (s.link.QueueLength() > 0) s.link.GetMessage();  // and the answers to its own answers
  if (s.relay.Routers.size() > 10000) s.relay.Routers.RemoveIf([](const tessaly::Router&) { return true; });
  s.p.network.sent.clear();
  std::int16_t index = 0;
  for (auto& [key, device] : s.bridge.BscDevices) Check(device.Index == ++index && tessaly::StorableDeviceKey(key));
  return 0;
}
