// Feeds arbitrary bytes to the xPL parse, then checks that the table is
// consistent, that every look-up finds the first pair of its name, and that a
// record is only ever made of valid parts. An odd first byte puts the start of
// a valid header, up to "hop=", in front of the rest, so records and hop
// values are reached at once.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/reporter.h"
#include "common/text.h"
#include "xpl/xpl_message.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

void CheckBlock(const tessaly::XplParser& parser, const tessaly::XplBlock& block, bool inBody) {
  Check(block.LastPair + 1 == static_cast<int>(block.Pairs.size()));
  for (std::size_t i = 0; i < block.Pairs.size() && i < 64; ++i) {
    const tessaly::XplPair& pair = block.Pairs[i];
    Check(pair.Name == tessaly::ToUpper(tessaly::TrimSpaces(pair.Name)));
    std::size_t first = 0;
    while (!tessaly::EqualsNoCase(block.Pairs[first].Name, pair.Name)) ++first;
    Check(parser.xPL_GetParam(inBody, tessaly::ToLower(pair.Name), false) == block.Pairs[first].Value);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static tessaly::RecordingReporter reports;
  static tessaly::XplParser parser(reports);
  reports.entries.clear();
  std::string text(reinterpret_cast<const char*>(data), size);
  if (size > 0 && (data[0] & 1)) text = "xpl-stat\n{\nsource=acme-lamp.kitchen\ntarget=*\nhop=" + text.substr(1);

  const bool ok = parser.xPL_Extract(text);
  Check(parser.XplLastBlock() + 1 == static_cast<int>(parser.XplFields().size()));
  Check(ok == (parser.XplLastBlock() >= 0));
  for (int b = 0; b <= parser.XplLastBlock() && b < 2; ++b) CheckBlock(parser, parser.XplFields()[b], b == 1);

  const tessaly::xplMessage m = parser.xPL_xplMessage(text);
  if (!m.MsgType.empty()) {
    Check(ok && tessaly::xPL_CheckAddress(m.Source).Valid && tessaly::xPL_CheckSchema(m.Schema));
    Check(m.Target == "*" || tessaly::xPL_CheckAddress(m.Target).Valid);
    Check(m.Names.size() == static_cast<std::size_t>(m.NamePairs) + 1 && m.Values.size() == m.Names.size());
  } else {
    Check(m == tessaly::xplMessage{});
  }
  for (const auto& e : reports.entries) Check(e.text == "xPL_xplMessage");

  // The checks on the input itself: a valid address is rebuilt exactly.
  const std::string_view head = std::string_view(reinterpret_cast<const char*>(data), size).substr(0, 40);
  const tessaly::xplAddress a = tessaly::xPL_CheckAddress(head);
  Check(!a.Valid || a.Vendor + "-" + a.Device + "." + a.Instance == head);
  tessaly::xPL_CheckSchema(head);
  return 0;
}
