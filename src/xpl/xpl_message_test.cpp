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
  s += "|" + Dec(m.NamePairs);
  for (std::size_t i = 0; i < m.Names.size() && i < m.Values.size(); ++i) s += "|" + m.Names[i] + "=" + m.Values[i];
  return s;
}

class XplMessageTest : public ::testing::Test {
 protected:
  RecordingReporter reports;
  XplParser parser{reports};
};

TEST_F(XplMessageTest, ExtractNeedsAKnownTypeLineFeedsAndSeparators) {
  const std::pair<std::string, int> rows[] = {  // the text, and the index of its last block (-1: refused)
      {kGood, 1}, {Xpl(" XPL-stat ", "hbeat.app", "interval=5\n"), 1}, {Xpl("xpl-trig", "s", "key!value\n"), 1},
      {kHeaderOnly, 0}, {kGood + "trailing=junk\n{", 1}, {Xpl("xpl-foo", "s", "a=1\n"), -1},
      {ReplaceAll(kGood, "\n", "\r\n"), -1}, {kGood.substr(0, kGood.size() - 1), -1},  // "}" without its line feed
      {kGood.substr(0, kGood.find("device=a1") + 9), -1}, {kHeaderOnly + "hbeat.end\n{\n}\n", -1},
      {Xpl("xpl-cmnd", "s", "no separator\n"), -1}, {"", -1}, {"XPL", -1}};
  for (const auto& [text, last] : rows) {
    ASSERT_TRUE(parser.xPL_Extract(kGood));
    EXPECT_EQ(parser.xPL_Extract(text), last >= 0) << text;
    EXPECT_EQ(parser.XplLastBlock(), last) << text;
    EXPECT_EQ(parser.xPL_GetParam(false, "source", false), last >= 0 ? "acme-lamp.kitchen" : "") << text;
  }
  EXPECT_TRUE(reports.entries.empty());
}

TEST_F(XplMessageTest, NamesUpperCasedHeaderValuesTrimmedBodyValuesKept) {
  ASSERT_TRUE(parser.xPL_Extract(Xpl("xpl-cmnd", " x10.Basic ",
                                     "Device=A1\nlevel= on \nkey!value=x\nkey2=a!b\ncr=1\r\nlevel=second\n=anon\n",
                                     " Hop =  1 \nsource=acme-lamp.kitchen\nnote=a = b\n")));
  EXPECT_EQ(parser.XplFields()[0].Section + " " + parser.XplFields()[1].Section, "XPL-CMND X10.BASIC");
  const std::tuple<bool, const char*, bool, const char*> rows[] = {  // in body, name, trimmed, value
      {false, "hop", false, "1"},  {false, "NOTE", false, "a = b"}, {true, "device", false, "A1"},
      {true, "LEVEL", false, " on "}, {true, "level", true, "on"}, {true, "key", false, "value=x"},
      {true, "KEY2", false, "a!b"}, {true, "cr", false, "1\r"},    {true, "", false, "anon"},
      {true, "hop", false, ""},    {false, "device", false, ""},   {true, "missing", true, ""}};
  for (const auto& [in_body, name, trim, value] : rows) {
    EXPECT_EQ(parser.xPL_GetParam(in_body, name, trim), value) << name;
  }
}

TEST_F(XplMessageTest, MoreThan32767BlocksOrPairsFailSafely) {
  std::string pairs, blocks = kHeaderOnly;
  for (int i = 0; i < XplParser::kMaxEntries; ++i) pairs += "k=v\n";
  for (int i = 1; i < XplParser::kMaxEntries; ++i) blocks += "b\n{\nk=v\n}\n";
  EXPECT_EQ(parser.xPL_xplMessage(Xpl("xpl-cmnd", "s", pairs)).NamePairs, XplParser::kMaxEntries);
  EXPECT_FALSE(parser.xPL_Extract(Xpl("xpl-cmnd", "s", pairs + "k=v\n")));
  ASSERT_TRUE(parser.xPL_Extract(blocks));
  EXPECT_EQ(parser.XplLastBlock(), XplParser::kMaxEntries - 1);
  EXPECT_FALSE(parser.xPL_Extract(blocks + "b\n{\nk=v\n}\n"));
  EXPECT_TRUE(reports.entries.empty());
}

TEST(XplCheckTest, AddressIsVendorDashDeviceDotInstanceAndSchemaClassDotType) {
  const std::pair<const char*, bool> addresses[] = {
      {"acme-lamp.kitchen", true}, {"a-b.c", true}, {"abcdefgh-abcdefgh.abcdefghijklmnop", true},
      {"abcdefghi-lamp.k", false}, {"acme-lamp", false}, {"a.b-c", false}, {"a-b.", false}, {"-a.b", false},
      {"a-abcdefghi.c", false}, {"a-b.abcdefghijklmnopq", false}, {"a-b-c.d", false}, {"a-b.c.d", false},
      {"a_b-c.d", false}, {"", false}};
  for (const auto& [s, valid] : addresses) EXPECT_EQ(xPL_CheckAddress(s).Valid, valid) << s;
  const xplAddress a = xPL_CheckAddress("ACME-Lamp.kitchen2");
  EXPECT_EQ(a.Vendor + "|" + a.Device + "|" + a.Instance, "ACME|Lamp|kitchen2");
  const std::pair<const char*, bool> schemas[] = {
      {"x10.basic", true}, {"hbeat", true}, {"abcdefgh.abcdefgh", true}, {"abcdefghijklmnopq", true},
      {"abcdefghijklmnopqr", false}, {"abcdefghi.b", false}, {".basic", false}, {"x10.", false},
      {"x10-basic", false}, {"a.b.c", false}, {"", false}};
  for (const auto& [s, valid] : schemas) EXPECT_EQ(xPL_CheckSchema(s), valid) << s;
}

TEST_F(XplMessageTest, RecordOnlyForValidAddressesAndSchema) {
  const std::string lamp = "acme-lamp.kitchen", fields = "|X10.BASIC|2|COMMAND=on|DEVICE= a1|=";
  const std::tuple<std::string, std::string, std::string, std::string> rows[] = {  // hop line, source, target, record
      {"hop=1\n", lamp, "*", "XPL-CMND|1|" + lamp + "|*" + fields},
      {"", lamp, "*", "XPL-CMND|0|" + lamp + "|*" + fields},
      {"hop=3.5\n", "Acme-Lamp.kitchen", "zyn-hub.pc1", "XPL-CMND|4|Acme-Lamp.kitchen|zyn-hub.pc1" + fields},
      {"hop=\n", lamp, "*", "XPL-CMND|0|" + lamp + "|*" + fields}, {"hop=one\n", lamp, "*", "reported"},
      {"hop=40000\n", lamp, "*", "reported"}, {"hop=nan\n", lamp, "*", "reported"}, {"hop=1\n", "acme-lamp", "*", ""},
      {"hop=1\n", lamp, "zyn", ""}, {"hop=1\n", lamp, "", ""}};  // "": no target line
  for (const auto& [hop, source, target, record] : rows) {
    const std::string text = Xpl("xpl-cmnd", "x10.basic", "command=on\nDevice= a1\n",
                                 hop + "source=" + source + "\n" + (target.empty() ? "" : "target=" + target + "\n"));
    reports.entries.clear();
    const bool reported = record == "reported";
    EXPECT_EQ(Summary(parser.xPL_xplMessage(text)), record.empty() || reported ? Summary({}) : record) << text;
    ASSERT_EQ(reports.entries.size(), reported ? 1u : 0u);
    if (reported) EXPECT_EQ(reports.entries[0].source + "|" + reports.entries[0].text, "Tessaly|xPL_xplMessage");
  }
  for (const std::string& text : {kHeaderOnly, Xpl("xpl-cmnd", "x10-basic", "a=1\n"), std::string("not xpl")}) {
    EXPECT_EQ(Summary(parser.xPL_xplMessage(text)), Summary({})) << text;
  }
}

}  // namespace
}  // namespace tessaly
