// Arbitrary bytes through the xPL parse: the block table stays consistent and a
// record is only ever made of valid parts. An odd first byte puts the start of
// a valid header, up to "hop=", in front of the rest, so that records and hop
// values are reached at once.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/reporter.h"
#include "xpl/xpl_message.h"

static void Check(bool ok) {
  if (!ok) std::abort();
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static tessaly::RecordingReporter reports;
  static tessaly::XplParser parser(reports);
  reports.entries.clear();
  std::string text(reinterpret_cast<const char*>(data), size);
  if (size > 0 && (data[0] & 1)) text = "xpl-stat\n{\nsource=acme-lamp.kitchen\ntarget=*\nhop=" + text.substr(1);
  const bool ok = parser.xPL_Extract(text);
  Check(ok == (parser.XplLastBlock() >= 0) && parser.XplLastBlock() + 1 == std::ssize(parser.XplFields()));
  for (const auto& block : parser.XplFields()) Check(block.LastPair + 1 == std::ssize(block.Pairs));
  const tessaly::xplMessage m = parser.xPL_xplMessage(text);
  Check(m.MsgType.empty() ? m == tessaly::xplMessage{}
                          : ok && tessaly::xPL_CheckAddress(m.Source).Valid && tessaly::xPL_CheckSchema(m.Schema) &&
                                (m.Target == "*" || tessaly::xPL_CheckAddress(m.Target).Valid) &&
                                m.Names.size() == m.Values.size() && std::ssize(m.Names) == m.NamePairs + 1);
  for (const auto& e : reports.entries) Check(e.text == "xPL_xplMessage");
  return 0;
}
