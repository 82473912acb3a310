// Feeds arbitrary bytes to the xAP parser, then reads the result back every
// way the relay and the bridge do.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "app/globals.h"
#include "message/xap_message.h"
#include "support/fake_platform.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static tessaly::testing::FakePlatform platform;
  static tessaly::Globals g(platform.platform());
  // Nothing can be created below a plain file: failure reports go nowhere.
  g.AppPath = "/dev/null";

  std::string_view text(reinterpret_cast<const char*>(data), size);
  tessaly::XapMessage m(g);
  m.FromXap(text);

  std::vector<std::string> names;
  try {
    names = m.msgSection();
  } catch (const std::out_of_range&) {
  }
  for (const std::string& name : names) {
    m.GetItem(name, "");
    m.GetItem(name, name);
  }
  for (std::int16_t i = 0; i < 64; ++i) {
    const tessaly::XapSection* section = m.msgCollection(i);
    if (!section) break;
    for (const auto& [item, line] : section->Lines()) {
      if (section->Find(item) == nullptr) std::abort();
      for (const std::string& name : names) m.GetItem(name, item);
    }
  }
  m.msgCollection(-1);
  m.msgCollection(32767);

  // Patterns taken from the input itself, on both sides.
  std::string head(text.substr(0, 64));
  m.CompareTarget(head);
  m.CompareSource(m.msgTarget);
  m.CompareClass(m.msgUID);
  if (m.CompareAddress(head, m.msgSource) != m.CompareAddress(m.msgSource, head)) std::abort();
  if (m.CompareAddress(m.msgUID, m.msgTarget) != m.CompareAddress(m.msgTarget, m.msgUID)) std::abort();
  return 0;
}
