#include "xpl/xpl_message.h"

#include "common/text.h"
#include "support/hub_harness.h"

namespace tessaly {
namespace {

using testing::Xpl;

const std::string kGood = Xpl("xpl-cmnd", "x10.basic", "command=on\ndevice=a1\n");
const std::string kHeaderOnly = kGood.substr(0, kGood.find("x10.basic"));

// A record as one line, so that a failure shows what differs.
std::string Summary(const xplMessage& m) {
  std::string s = m.MsgType + "|" + Dec(m.Hop) + "|" + m.Source + "|" + m.Target + "|" + m.Schema;
  for (std::size_t i = 0; i < m.Names.size() && i < m.Values.size(); ++i) s += "|" + m.Names[i] + "=" + m.Values[i];
  return s;
}

// A text parses into blocks, and makes a record when its addresses, schema and hop are good. Names are
// upper-cased, header values trimmed, body values kept as they are.
TEST(XplMessageTest, ParseAndRecord) {
  RecordingReporter reports;
  XplParser parser{reports};
  std::string pairs, blocks = kHeaderOnly;
  for (int i = 0; i < XplParser::kMaxEntries; ++i) pairs += "k=v\n";
  for (int i = 1; i < XplParser::kMaxEntries; ++i) blocks += "b\n{\nk=v\n}\n";
  const std::string lamp = "source=acme-lamp.kitchen\n", fields = "|X10.BASIC|COMMAND=on|DEVICE= a1|=";
  const std::string rec = "XPL-CMND|1|acme-lamp.kitchen|*|", none = "last -1", bad_hop = "last 1 xPL_xplMessage";
  auto text = [](const std::string& header, const std::string& schema = "x10.basic") {
    return Xpl("xpl-cmnd", schema, "command=on\nDevice= a1\n", header);
  };
  const std::pair<std::string, std::string> rows[] = {  // the text; its record, or the index of its last block
      {kGood + "trailing=junk\n{", rec + "X10.BASIC|COMMAND=on|DEVICE=a1|="}, {kHeaderOnly, "last 0"},
      {Xpl(" XPL-stat ", "hbeat.app", "interval=5\n"), "XPL-STAT|1|acme-lamp.kitchen|*|HBEAT.APP|INTERVAL=5|="},
      {Xpl("xpl-foo", "s", "a=1\n"), none}, {ReplaceAll(kGood, "\n", "\r\n"), none}, {"XPL", none},
      {kGood.substr(0, kGood.size() - 1), none},  // "}" without its line feed
      {kGood.substr(0, kGood.find("device=a1") + 9), none}, {kHeaderOnly + "hbeat.end\n{\n}\n", none},
      {Xpl("xpl-cmnd", "s", "no separator\n"), none}, {Xpl("xpl-cmnd", "s", pairs, "hop=1\n"), "last 1"},
      {Xpl("xpl-cmnd", "s", pairs + "k=v\n", "hop=1\n"), none}, {blocks, rec + "B|K=v|="},
      {blocks + "b\n{\nk=v\n}\n", none}, {text(lamp + "target=*\n"), "XPL-CMND|0|acme-lamp.kitchen|*" + fields},
      {text("hop=3.5\nsource=Ac-Lp.k\ntarget=z-h.p\n"), "XPL-CMND|4|Ac-Lp.k|z-h.p" + fields},
      {text("hop=40000\n"), bad_hop}, {text("hop=nan\n"), bad_hop}, {text(lamp + "target=*\n", "x10-basic"), "last 1"},
      {text("source=acme-lamp\ntarget=*\n"), "last 1"}, {text(lamp + "target=zyn\n"), "last 1"}, {text(lamp), "last 1"},
      {Xpl("xpl-cmnd", " x10.Basic ", "level= on \nk!v=x\ncr=1\r\nlevel=2\n", " Hop = 1 \nsource= a-b.c \ntarget=*\n"),
       "XPL-CMND|1|a-b.c|*|X10.BASIC|LEVEL= on |K=v=x|CR=1\r|LEVEL=2|="}};
  for (const auto& [text, expected] : rows) {
    reports.entries.clear();
    const xplMessage m = parser.xPL_xplMessage(text);
    const std::string got = m.MsgType.empty() ? "last " + Dec(parser.XplLastBlock()) : Summary(m);
    EXPECT_EQ(got + (reports.entries.empty() ? "" : " " + reports.entries[0].text), expected) << text.substr(0, 120);
  }
}

TEST(XplCheckTest, AddressIsVendorDashDeviceDotInstanceAndSchemaClassDotType) {
  const std::pair<const char*, char> rows[] = {  // text; 'a': a valid address, 's': a valid schema, '-': neither
      {"a-b.c", 'a'}, {"abcdefgh-abcdefgh.abcdefghijklmnop", 'a'}, {"abcdefghi-b.c", '-'}, {"a-b", '-'}, {"a.b-c", '-'},
      {"a-b.", '-'}, {"-a.b", '-'}, {"a-abcdefghi.c", '-'}, {"a-b.abcdefghijklmnopq", '-'}, {"a-b-c.d", '-'},
      {"a-b.c.d", '-'}, {"a_b-c.d", '-'}, {"", '-'}, {"x10.basic", 's'}, {"hbeat", 's'}, {"abcdefgh.abcdefgh", 's'},
      {"abcdefghijklmnopq", 's'}, {"abcdefghijklmnopqr", '-'}, {"abcdefghi.b", '-'}, {".basic", '-'}, {"x10.", '-'},
      {"a.b.c", '-'}};
  for (const auto& [s, kind] : rows) {
    EXPECT_EQ(std::pair(xPL_CheckAddress(s).Valid, xPL_CheckSchema(s)), std::pair(kind == 'a', kind == 's')) << s;
  }
}

}  // namespace
}  // namespace tessaly
