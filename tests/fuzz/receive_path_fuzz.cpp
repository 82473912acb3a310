// Datagrams of any content, from any sender, on either side of the hub port,
// at any spacing in time: every one is either suppressed as a repeat or
// becomes a well-formed queue entry, and the queue drains in order.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "app/globals.h"
#include "support/fake_platform.h"
#include "transport/xap.h"

namespace {

struct Setup {
  tessaly::testing::FakePlatform p;
  tessaly::Globals g{p.platform()};
  Setup() {
    g.AppPath = "/dev/null";  // failure reports go nowhere
    g.ComputerName = "FUZZ";
    p.network.local_addresses = {"192.168.1.5"};
    g.XapLink = std::make_unique<tessaly::xap>(g);
    g.XapLink->SetXapSource("zyn.hub.FUZZ");
    g.XapLink->SetXapUID("FF00FF00");
    g.XapLink->Init();
  }
};

const char* const kSenders[] = {"192.168.1.5", "127.0.0.1", "10.0.0.9", "255.255.255.255"};
const char* const kDestinations[] = {"127.0.0.1", "255.255.255.255", "192.168.1.5", "192.168.1.255"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Setup s;
  // Each datagram: a control byte (sender, destination, time step), a length
  // byte, then that many bytes of text.
  std::size_t i = 0;
  std::size_t sent = 0;
  while (i + 2 <= size) {
    std::uint8_t control = data[i];
    std::size_t len = data[i + 1];
    if (control & 0x80) len *= 256;  // now and then a large datagram
    i += 2;
    len = std::min(len, size - i);
    std::string text(reinterpret_cast<const char*>(data + i), len);
    i += len;
    s.p.clock.Advance((control >> 4) & 0x7 ? ((control >> 4) & 0x7) * 30u : 0u);
    std::int32_t port = (control & 0x08) ? 32768 : 40000;
    s.p.network.Inject(kSenders[control & 0x3], port, kDestinations[(control >> 2) & 0x1], 3639, text);
    ++sent;
  }
  s.p.loop.Flush();
  std::size_t queued = 0;
  for (std::string e = s.g.XapLink->GetMessage(); !e.empty(); e = s.g.XapLink->GetMessage()) {
    if (e.size() < 15 || e[0] == '\0') std::abort();
    ++queued;
  }
  if (queued > sent) std::abort();
  if (s.g.XapLink->GetMessage() != "") std::abort();
  return 0;
}
