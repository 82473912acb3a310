#include "message/xap_message.h"

#include <gtest/gtest.h>

#include "common/text.h"
#include "transport/xap.h"

namespace tessaly {

// Reads `text`, whose lines end in "|" instead of "\n".
static XapMessage Parsed(const std::string& text, Reporter& report) {
  static const std::string header_template = MakeHeaderTemplate();
  XapMessage m(header_template, report);
  m.FromXap(ReplaceAll(text, "|", "\n"));
  return m;
}

// Section "blk" from line 5, where line n below `end` is "i<n>=<n>"; then `repeats` lines "i7=again".
static std::string Blk(int end, int repeats) {
  std::string text = "xap-header|{|}|blk|{|";
  for (int n = 5; n < end; ++n) text += "i" + Dec(n) + "=" + Dec(n) + "|";
  for (int i = 0; i < repeats; ++i) text += "i7=again|";
  return text;
}

// Per text: the header fields, the failures reported (the last one shown), and GetItem answers as
// "section/item=value;...".
TEST(XapMessageTest, ReadingKeepsHeaderFieldsAndRawItemLinesAndReportsFailures) {
  const std::string unknown = "Unknown|Unknown|Unknown|Unknown";
  const struct { std::string text, fields; std::size_t reports; std::string last, items; } cases[] = {
      {"class=c|xap-header|{|source=s|}|b|{|x=1|}|", unknown, 0, "", "b/x=Unknown"},
      {"  XAP-Header and more|source=line-two|class=first|no equals||CLASS = later|target=\tt\t|} |UID  =  u 1  |}|"
       "b|source=i", "u 1|later|Unknown|\tt\t", 0, "", "b/source=i"},
      {"xap-header|{|class=c|}|blk|{|Level = 50|}|", "Unknown|c|Unknown|Unknown", 0, "",
       "BLK/LEVEL= 50;blk/state=;other/level=Unknown"},
      {"xap-header|{|}|  Blk|{|  Text =  a=b \r|=no name|no equals|}|", unknown, 0, "",
       "  blk/text=  a=b \r;  blk/=no name;blk/text=Unknown"},
      {"xap-header|{|}|blk|{|x=1| X = 2|}|BLK|{|y=3|}|next|{|z=4|}", unknown, 3,  // duplicates, and "}" last
       "No line names the section opened by the last \"}\"", "blk/x=1;blk/y=;next/z=4;/z=Unknown"},
      {Blk(3005, 500), unknown, 11, "490 more failures in this message not logged",
       "blk/i5=5;blk/i7=7;blk/i21=21;blk/i3005="},
      {Blk(40000, 0), unknown, 1, "Message longer than 32768 lines: the rest is not read",
       "blk/i32767=32767;blk/i32768="},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 60));
    RecordingReporter report;
    XapMessage m = Parsed(c.text, report);
    EXPECT_EQ(m.msgUID + "|" + m.msgClass + "|" + m.msgSource + "|" + m.msgTarget, c.fields);
    EXPECT_EQ(report.entries.size(), c.reports);
    EXPECT_EQ(report.entries.empty() ? "" : report.entries.back().error, c.last);
    for (const std::string& probe : Split(c.items, ";")) {
      const std::size_t slash = probe.find('/'), equal = probe.find('=', slash);
      EXPECT_EQ(m.GetItem(probe.substr(0, slash), probe.substr(slash + 1, equal - slash - 1)), probe.substr(equal + 1));
    }
  }
}

TEST(XapMessageTest, AddressPatternsMatchOnEitherSide) {
  const struct { const char *a, *b; bool match; } cases[] = {
      {"a.b.c", "A.*.c", true}, {"a.b.c", "a.>", true}, {"a.b.c", "a.b", false}, {"a.b.c", "a.*", false},
      {"a.b:x.y", "a.b:x.*", true}, {"a.b:x.y", "a.*:x.y", false}, {"", "", false}, {"a", "a.>", false},
      {"Unknown", ">", true}, {"a.bc", "a.b", false}, {"a.>.c", "a.b", true}, {"a.>x", "a.b", false},
  };
  SilentReporter quiet;
  XapMessage m = Parsed("xap-header|{|class=xAPBSC.Event|source=a.b.c|target=x.y|}|b|{|}|", quiet);
  for (const auto& c : cases) EXPECT_EQ(m.CompareAddress(c.a, c.b), c.match) << c.a << " vs " << c.b;
  EXPECT_TRUE(m.CompareTarget("x.*") && m.CompareSource("A.B.>") && m.CompareClass("xapbsc.event"));
  EXPECT_FALSE(m.CompareTarget("*") || m.CompareClass("xapbsc.*"));
}

// 60 items of 4 pieces each take the text past the first two growths of its builder.
TEST(XapMessageTest, ComposedTextClosesEverySectionKeepsEveryItemInOrderAndLeavesAnEmptyTargetOut) {
  SilentReporter quiet;
  XapMessage m = Parsed("xap-header|{|uid=1|class=c|source=s|}|blk|{|x=1|}|", quiet);  // the text read is not written
  m.msgTarget = "";
  m.AddHeader();
  m.AddSection("one");
  m.AddSection("two");
  std::string want = "xap-header|{|v=12|hop=1|uid=1|class=c|source=s|}|one|{|}|two|{|";
  for (int i = 0; i < 60; ++i) m.AddItem("ignored", "a" + Dec(i), " a = b "), want += "a" + Dec(i) + "= a = b |";
  EXPECT_EQ(ReplaceAll(m.ToXap() + m.ToXap(), "\n", "|"), want + "}|" + want + "}|") << "Value used up the pieces";
}

}  // namespace tessaly
