#include "xpl/xpl_message.h"

#include <gtest/gtest.h>

#include "common/text.h"

namespace tessaly {

void PrintTo(const xplMessage& m, std::ostream* os) {
  *os << m.MsgType << " hop " << m.Hop << " " << m.Source << " -> " << m.Target << " " << m.Schema << " ("
      << m.NamePairs << ")";
  for (std::size_t i = 0; i < m.Names.size() && i < m.Values.size(); ++i) {
    *os << " " << m.Names[i] << "=" << m.Values[i];
  }
}

namespace {

using Texts = std::vector<std::string>;

// A block: its name, "{", its lines, "}", each line ended by "\n".
std::string Block(const std::string& name, const Texts& lines) {
  std::string text = name + "\n{\n";
  for (const std::string& line : lines) text += line + "\n";
  return text + "}\n";
}

// Header lines; a null value leaves its line out.
Texts Header(const char* hop, const char* source = "acme-lamp.kitchen", const char* target = "*") {
  Texts lines;
  if (hop) lines.push_back(std::string("hop=") + hop);
  if (source) lines.push_back(std::string("source=") + source);
  if (target) lines.push_back(std::string("target=") + target);
  return lines;
}

const std::string kCmnd = Block("xpl-cmnd", Header("1"));
const std::string kGood = kCmnd + Block("x10.basic", {"command=on", "device=a1"});

class XplMessageTest : public ::testing::Test {
 protected:
  RecordingReporter reports;
  XplParser parser{reports};
};

TEST_F(XplMessageTest, ExtractNeedsKnownTypeLineFeedEndsAndSeparators) {
  const std::string unclosed = kGood.substr(0, kGood.size() - 1);
  struct Row {
    std::string text;
    bool ok;
    int last_block;
  } rows[] = {
      {kGood, true, 1},
      {Block("XPL-STAT", Header("1")) + Block("hbeat.app", {"interval=5"}), true, 1},
      {Block(" xpl-trig ", Header("1")) + Block("s", {"a=1"}), true, 1},
      {kCmnd, true, 0},                                           // no schema block
      {kGood + "trailing=junk\n{", true, 1},                      // nothing after the last block opens one
      {kCmnd + Block("s", {"key!value"}), true, 1},               // "!" alone separates
      {Block("xpl-foo", Header("1")) + Block("s", {"a=1"}), false, -1},
      {ReplaceAll(kGood, "\n", "\r\n"), false, -1},
      {unclosed, false, -1},                                   // final "}" without its line feed
      {kGood.substr(0, kGood.find("device=a1") + 9), false, -1},  // value without a line feed
      {kCmnd + Block("hbeat.end", {}), false, -1},                // empty last block
      {kCmnd + Block("s", {"no separator"}), false, -1},
      {"", false, -1},
      {"XPL", false, -1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    ASSERT_TRUE(parser.xPL_Extract(kGood));
    EXPECT_EQ(parser.xPL_Extract(row.text), row.ok);
    EXPECT_EQ(parser.XplLastBlock(), row.last_block);
    EXPECT_EQ(parser.XplFields().size(), static_cast<std::size_t>(row.last_block + 1));
    EXPECT_EQ(parser.xPL_GetParam(false, "source", false), row.ok ? "acme-lamp.kitchen" : "");
  }
  EXPECT_TRUE(reports.entries.empty());
}

TEST_F(XplMessageTest, NamesUpperCasedHeaderValuesTrimmedBodyValuesKept) {
  ASSERT_TRUE(parser.xPL_Extract(
      Block("xpl-cmnd", {" Hop =  1 ", "source=acme-lamp.kitchen", "note=a = b"}) +
      Block(" x10.Basic ", {"Device=A1", "level= on ", "key!value=x", "key2=a!b", "cr=1\r", "level=second", "=anon"})));
  EXPECT_EQ(parser.XplFields()[0].Section, "XPL-CMND");
  EXPECT_EQ(parser.XplFields()[1].Section, "X10.BASIC");
  EXPECT_EQ(parser.XplFields()[1].LastPair, 6);
  struct Row {
    bool in_body;
    const char* name;
    bool trim;
    const char* value;
  } rows[] = {
      {false, "hop", false, "1"},       {false, "NOTE", false, "a = b"},    {true, "device", false, "A1"},
      {true, "LEVEL", false, " on "},   {true, "level", true, "on"},        {true, "key", false, "value=x"},
      {true, "KEY2", false, "a!b"},     {true, "cr", false, "1\r"},         {true, "", false, "anon"},
      {true, "hop", false, ""},         {false, "device", false, ""},       {true, "missing", true, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(parser.xPL_GetParam(row.in_body, row.name, row.trim), row.value);
  }
}

TEST_F(XplMessageTest, MoreThan32767BlocksOrPairsFailSafely) {
  Texts pairs(XplParser::kMaxEntries, "k=v");
  const std::string full = kCmnd + Block("s", pairs);
  ASSERT_TRUE(parser.xPL_Extract(full));
  EXPECT_EQ(parser.XplFields()[1].LastPair, XplParser::kMaxEntries - 1);
  EXPECT_EQ(parser.xPL_xplMessage(full).NamePairs, XplParser::kMaxEntries);
  pairs.push_back("k=v");
  EXPECT_FALSE(parser.xPL_Extract(kCmnd + Block("s", pairs)));

  std::string blocks = kCmnd;
  for (int i = 1; i < XplParser::kMaxEntries; ++i) blocks += "b\n{\nk=v\n}\n";
  ASSERT_TRUE(parser.xPL_Extract(blocks));
  EXPECT_EQ(parser.XplLastBlock(), XplParser::kMaxEntries - 1);
  EXPECT_FALSE(parser.xPL_Extract(blocks + "b\n{\nk=v\n}\n"));
  EXPECT_TRUE(reports.entries.empty());
}

TEST(XplCheckTest, AddressIsVendorDashDeviceDotInstance) {
  const std::pair<const char*, bool> rows[] = {
      {"acme-lamp.kitchen", true},  {"a-b.c", true},         {"abcdefgh-abcdefgh.abcdefghijklmnop", true},
      {"abcdefghi-lamp.k", false},  {"acme-lamp", false},    {"a.b-c", false},
      {"a-b.", false},              {"-a.b", false},         {"a-abcdefghi.c", false},
      {"a-b.abcdefghijklmnopq", false}, {"a-b-c.d", false},  {"a-b.c.d", false},
      {"a_b-c.d", false},           {"a-.c", false},         {"", false},
  };
  for (const auto& [s, valid] : rows) EXPECT_EQ(xPL_CheckAddress(s).Valid, valid) << s;
  const xplAddress a = xPL_CheckAddress("ACME-Lamp.kitchen2");
  EXPECT_EQ(a.Vendor + "|" + a.Device + "|" + a.Instance, "ACME|Lamp|kitchen2");
}

TEST(XplCheckTest, SchemaIsClassDotType) {
  const std::pair<const char*, bool> rows[] = {
      {"x10.basic", true},         {"hbeat", true},              {"abcdefgh.abcdefgh", true},
      {"abcdefghijklmnopq", true}, {"abcdefghijklmnopqr", false}, {"abcdefghi.b", false},
      {".basic", false},           {"x10.", false},              {"x10-basic", false},
      {"a.b.c", false},            {"", false},
  };
  for (const auto& [s, valid] : rows) EXPECT_EQ(xPL_CheckSchema(s), valid) << s;
}

TEST_F(XplMessageTest, RecordOnlyForValidAddressesAndSchema) {
  const std::string body = Block("x10.basic", {"command=on", "Device= a1"});
  const Texts names = {"COMMAND", "DEVICE", ""}, values = {"on", " a1", ""};
  const xplMessage good{"XPL-CMND", 1, "acme-lamp.kitchen", "*", "X10.BASIC", 2, names, values};
  const xplMessage no_hop{"XPL-CMND", 0, "acme-lamp.kitchen", "*", "X10.BASIC", 2, names, values};
  const xplMessage other{"XPL-TRIG", 4, "Acme-Lamp.kitchen", "zyn-hub.pc1", "X10.BASIC", 2, names, values};
  auto cmnd = [&](const Texts& header) { return Block("xpl-cmnd", header) + body; };
  struct Row {
    std::string text;
    xplMessage record;
    std::size_t reports;
  } rows[] = {
      {cmnd(Header("1")), good, 0},
      {Block("xpl-trig", Header("3.5", "Acme-Lamp.kitchen", "zyn-hub.pc1")) + body, other, 0},
      {cmnd(Header(nullptr)), no_hop, 0},
      {cmnd(Header("")), no_hop, 0},
      {cmnd(Header("one")), {}, 1},
      {cmnd(Header("40000")), {}, 1},
      {cmnd(Header("nan")), {}, 1},
      {cmnd(Header("1", "acme-lamp")), {}, 0},
      {cmnd(Header("1", "acme-lamp.kitchen", "zyn")), {}, 0},
      {cmnd(Header("1", "acme-lamp.kitchen", nullptr)), {}, 0},  // no target
      {kCmnd, {}, 0},
      {kCmnd + Block("x10-basic", {"a=1"}), {}, 0},
      {"not xpl", {}, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    reports.entries.clear();
    EXPECT_EQ(parser.xPL_xplMessage(row.text), row.record);
    ASSERT_EQ(reports.entries.size(), row.reports);
    for (const auto& e : reports.entries) EXPECT_EQ(e.source + "|" + e.text, "Tessaly|xPL_xplMessage");
  }
}

}  // namespace
}  // namespace tessaly
