// Arbitrary bytes through the xAP parser, read back every way the relay and the bridge do.
#include <cstdlib>
#include <stdexcept>
#include "message/xap_message.h"
#include "transport/xap.h"
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string header_template = tessaly::MakeHeaderTemplate();
  tessaly::SilentReporter quiet;
  const std::string text(reinterpret_cast<const char*>(data), size), head = text.substr(0, 64);
  tessaly::XapMessage m(header_template, quiet);
  m.FromXap(text);
  std::vector<std::string> names;
  try { names = m.msgSection(); } catch (const std::out_of_range&) {}
  for (std::int16_t i = 0; i < 64 && m.msgCollection(i); ++i)
    for (const auto& [item, line] : m.msgCollection(i)->Lines()) {
      if (m.msgCollection(i)->Find(item) != &line) std::abort();
      for (const std::string& name : names) m.GetItem(name, item);
    }
  if (m.CompareAddress(head, m.msgSource) != m.CompareAddress(m.msgSource, head)) std::abort();
  return 0;
}
