// Datagrams (a control byte: sender, destination, time step, size scale; a length byte; the text) into the hub
// port: each one becomes a well-formed queue entry or is dropped.
#include <cstdlib>
#include "support/fake_platform.h"
#include "transport/xap.h"
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static tessaly::testing::FakePlatform p;
  static tessaly::Globals g(p.platform());
  static tessaly::xap link(g);
  if (g.LocalAddress.empty()) {
    g.AppPath = "/dev/null";  // nothing can be made below a plain file: failure reports go nowhere
    p.network.local_addresses = {"192.168.1.5"};
    link.Init();
  }
  const char* const senders[] = {"192.168.1.5", "127.0.0.1", "10.0.0.9", "255.255.255.255"};
  std::size_t sent = 0;
  for (std::size_t i = 0; i + 2 <= size; ++sent) {
    const std::uint8_t control = data[i];
    const std::size_t length = std::min<std::size_t>(data[i + 1] * (control & 0x80 ? 256 : 1), size - i - 2);
    p.clock.Advance(((control >> 4) & 7) * 30u);
    p.network.Inject(senders[control & 3], control & 8 ? 32768 : 40000, control & 4 ? "127.0.0.1" : "192.168.1.5",
                     3639, std::string(reinterpret_cast<const char*>(data + i + 2), length));
    i += 2 + length;
  }
  p.loop.Flush();
  for (std::string entry = link.GetMessage(); !entry.empty(); entry = link.GetMessage(), --sent)
    if (entry.size() < 15 || entry[0] == '\0' || sent == 0) std::abort();  // malformed, or more than arrived
  return 0;
}
