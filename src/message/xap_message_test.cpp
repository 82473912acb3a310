#include "message/xap_message.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "app/log_file.h"
#include "support/fake_platform.h"

namespace tessaly {
namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

// A Globals whose log file lands in a fresh temporary folder.
class XapMessageTest : public ::testing::Test {
 protected:
  XapMessageTest() : g(p.platform()) {
    app_path = fs::temp_directory_path() / ("xapmsg-" + std::to_string(::getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(app_path);
    fs::create_directories(app_path / "Data");
    g.AppPath = app_path.string();
    g.HeaderTemplate = "xap-header\n{\nv=12\nhop=1\nuid=";
  }
  ~XapMessageTest() override { fs::remove_all(app_path); }

  // Log lines written by the parser; the last one read into `last`.
  int FromXapReports(std::string* last = nullptr) {
    std::ifstream in(LogFilePath(g), std::ios::binary);
    int n = 0;
    for (std::string line; std::getline(in, line);) {
      n += line.find(" | From XAP  at Line 0 ") != std::string::npos;
      if (last) *last = line;
    }
    return n;
  }

  testing::FakePlatform p;
  Globals g;
  fs::path app_path;
};

// Joins lines, each followed by "\n".
std::string Lines(std::initializer_list<const char*> lines) {
  std::string text;
  for (const char* line : lines) text += std::string(line) + "\n";
  return text;
}

const std::string kBlk =
    Lines({"xap-header", "{", "v=12", "hop=1", "uid=1", "class=c", "source=s", "}", "blk", "{", "Level = 50", "}"});

TEST_F(XapMessageTest, TextsWithoutXapHeaderOnFirstLineAreIgnored) {
  for (const std::string& text : {std::string(), Lines({"xap-hbeat", "{", "uid=1", "}", "b", "{", "x=1", "}"}),
                                  Lines({"class=c", "xap-header", "{", "source=s", "}", "b", "{", "}"})}) {
    XapMessage m(g);
    EXPECT_EQ(m.FromXap(text), 0);
    EXPECT_EQ(m.msgUID + m.msgClass + m.msgSource + m.msgTarget, "UnknownUnknownUnknownUnknown") << text;
    EXPECT_EQ(m.msgSection(), Names{""}) << text;
    EXPECT_EQ(m.msgCollection(0), nullptr) << text;
  }
}

TEST_F(XapMessageTest, HeaderRunsFromThirdLineToFirstClosingBrace) {
  XapMessage m(g);
  m.FromXap(Lines({"  XAP-Header and more", "source=line-two", "class=first", "no equals", "", "CLASS = later",
                   "target=\tt\t", "} ", "UID  =  u 1  ", "}", "blk", "{", "source=item", "}"}));
  EXPECT_EQ(m.msgClass, "later");
  EXPECT_EQ(m.msgTarget, "\tt\t");  // only spaces are trimmed
  EXPECT_EQ(m.msgUID, "u 1");       // "} " does not end the header
  EXPECT_EQ(m.msgSource, "Unknown");  // line two is never read; "source=item" is a body item
  EXPECT_EQ(m.GetItem("blk", "source"), "item");
}

TEST_F(XapMessageTest, CrLfTextIsReadAsOneLongHeader) {
  XapMessage m(g);
  m.FromXap("xap-header\r\n{\r\nuid=1\r\n}\r\nblk\r\n{\r\ntarget=t\r\n}\r\n");
  EXPECT_EQ(m.msgUID, "1\r");
  EXPECT_EQ(m.msgTarget, "t\r");
  EXPECT_EQ(m.msgSection(), Names{""});
}

TEST_F(XapMessageTest, NormalTextAnswersItemsSectionsAndCollections) {
  XapMessage m(g);
  m.FromXap(kBlk);
  EXPECT_EQ(m.msgUID + m.msgClass + m.msgSource + m.msgTarget, "1csUnknown");
  EXPECT_EQ(m.GetItem("BLK", "LEVEL"), " 50");
  EXPECT_EQ(m.GetItem("blk", "state"), "");
  EXPECT_EQ(m.GetItem("other", "level"), "Unknown");
  EXPECT_EQ(m.msgSection(), Names{"blk"});
  ASSERT_NE(m.msgCollection(1), nullptr);  // the empty-named closing section
  EXPECT_EQ(m.msgCollection(1)->Count(), 0u);
  EXPECT_EQ(m.msgCollection(2), nullptr);
  EXPECT_EQ(m.msgCollection(-1), nullptr);
  EXPECT_EQ(FromXapReports(), 0);
}

TEST_F(XapMessageTest, ItemLinesAreRawAndSectionNamesLowerCasedNotTrimmed) {
  XapMessage m(g);
  m.FromXap(Lines({"xap-header", "{", "}", "  Blk", "{", "  Text =  a=b \r", "=no name", "no equals", "}",
                   "Key=Value", "{", "y=2", "}"}));
  EXPECT_EQ(m.GetItem("  blk", "text"), "  a=b \r");
  EXPECT_EQ(*m.msgCollection(0)->Find("text"), "  Text =  a=b \r");
  EXPECT_EQ(m.GetItem("  blk", ""), "no name");
  EXPECT_EQ(m.GetItem("blk", "text"), "Unknown");
  EXPECT_EQ(m.GetItem("key=value", "y"), "2");  // a name line is never an item
  EXPECT_EQ(m.msgSection(), (Names{"  blk", "key=value"}));
}

TEST_F(XapMessageTest, ClosingBraceAsLastLineLogsAndLeavesNamelessSection) {
  XapMessage m(g);
  m.FromXap(kBlk.substr(0, kBlk.size() - 1));
  EXPECT_EQ(FromXapReports(), 1);
  EXPECT_EQ(m.GetItem("blk", "level"), " 50");
  EXPECT_THROW(m.msgSection(), std::out_of_range);
  ASSERT_NE(m.msgCollection(1), nullptr);
  EXPECT_EQ(m.GetItem("", "x"), "Unknown");
}

TEST_F(XapMessageTest, DuplicateNamesKeepTheFirstAndAreLogged) {
  XapMessage m(g);
  m.FromXap(Lines({"xap-header", "{", "}", "blk", "{", "x=1", " X = 2", "}", "BLK", "{", "y=3", "}", "next", "{",
                   "z=4", "}"}));
  EXPECT_EQ(FromXapReports(), 2);
  EXPECT_EQ(m.GetItem("blk", "x"), "1");
  EXPECT_EQ(m.GetItem("blk", "y"), "");               // the second "blk" is unreachable by name...
  EXPECT_EQ(*m.msgCollection(1)->Find("y"), "y=3");  // ...but stored
  EXPECT_EQ(m.GetItem("next", "z"), "4");
  EXPECT_EQ(m.msgSection(), (Names{"blk", "next"}));
}

TEST_F(XapMessageTest, LargeSectionFindsEveryItemAndCapsFailureReports) {
  std::string text = "xap-header\n{\n}\nblk\n{\n";
  for (int i = 0; i < 3000; ++i) text += "Item" + std::to_string(i) + "=v" + std::to_string(i) + "\n";
  for (int i = 0; i < 500; ++i) text += "item7=again\n";
  XapMessage m(g);
  m.FromXap(text);
  for (int i : {0, 15, 16, 17, 2999}) EXPECT_EQ(m.GetItem("blk", "item" + std::to_string(i)), "v" + std::to_string(i));
  EXPECT_EQ(m.GetItem("blk", "item3000"), "");
  std::string last;
  EXPECT_EQ(FromXapReports(&last), 11);
  EXPECT_NE(last.find("490 more failures in this message not logged"), std::string::npos) << last;
}

TEST_F(XapMessageTest, ParsingStopsAfterLine32767AndSaysSo) {
  std::string text = "xap-header\n{\n}\nblk\n{\n";  // lines 0-4; then line n is "i<n>=v"
  for (int n = 5; n < 40000; ++n) text += "i" + std::to_string(n) + "=v\n";
  XapMessage m(g);
  m.FromXap(text);
  EXPECT_EQ(m.GetItem("blk", "i32767"), "v");
  EXPECT_EQ(m.GetItem("blk", "i32768"), "");
  EXPECT_EQ(FromXapReports(), 1);
}

TEST_F(XapMessageTest, SecondTextReplacesSectionsOfFirst) {
  XapMessage m(g);
  m.FromXap(kBlk);
  m.FromXap(Lines({"xap-header", "{", "class=d", "}", "blk", "{", "y=2", "}"}));
  EXPECT_EQ(m.msgClass + m.msgUID, "d1");
  EXPECT_EQ(m.GetItem("blk", "y") + m.GetItem("blk", "level"), "2");
  EXPECT_EQ(FromXapReports(), 0);
}

TEST_F(XapMessageTest, CompareAddressMatchesPatternsOnEitherSide) {
  struct Case {
    const char *a, *b;
    bool match;
  } cases[] = {
      {"a.b.c", "A.*.c", true},     {"a.b.c", "a.>", true},      {"a.b.c", "*.b.c", true},
      {"a.b.c", "a.b", false},      {"a.b.c", "a.b.c.d", false}, {"a.b.c", "a.*", false},
      {"a.b:x.y", "a.b:x.*", true}, {"a.b:x.y", "a.>", true},    {"a.b:x.y", "a.b", false},
      {"a.b:x.y", "a.*:x.y", false}, {"a.b.c", "", false},       {"", "", false},
      {"a", "a.>", false},          {"a.b", "a.>", true},        {"Unknown", ">", true},
      {"Unknown", "*", true},       {"a.x.y", "b.>", false},     {"a.>.c", "a.b", true},
      {"a..c", "a.*.c", true},      {"a.bc", "a.b", false},      {"a.>x", "a.b", false},
  };
  XapMessage m(g);
  for (const Case& c : cases) {
    EXPECT_EQ(m.CompareAddress(c.a, c.b), c.match) << c.a << " vs " << c.b;
    EXPECT_EQ(m.CompareAddress(c.b, c.a), c.match) << c.b << " vs " << c.a;
  }
}

TEST_F(XapMessageTest, CompareTargetSourceAndClassUseTheHeaderFields) {
  XapMessage m(g);
  m.FromXap(Lines({"xap-header", "{", "class=xAPBSC.Event", "source=a.b.c", "target=x.y", "}", "b", "{", "}"}));
  EXPECT_TRUE(m.CompareTarget("x.*"));
  EXPECT_FALSE(m.CompareTarget("*"));
  EXPECT_TRUE(m.CompareSource("A.B.>"));
  EXPECT_TRUE(m.CompareClass("xapbsc.event"));
  EXPECT_FALSE(m.CompareClass("xapbsc.*"));
  m.msgTarget = "";
  EXPECT_FALSE(m.CompareTarget(">"));
}

TEST_F(XapMessageTest, ComposedTextIsExact) {
  XapMessage m(g);
  m.msgUID = "FF00FF00";
  m.msgClass = "xAPBSC.event";
  m.msgSource = "a.b.c";
  m.msgTarget = "";
  m.AddHeader();
  m.AddSection("output.state.1");
  m.AddItem("ignored", "state", "on");
  const std::string expected =
      "xap-header\n{\nv=12\nhop=1\nuid=FF00FF00\nclass=xAPBSC.event\nsource=a.b.c\n}\noutput.state.1\n{\nstate=on\n}\n";
  EXPECT_EQ(m.ToXap(), expected);
  EXPECT_EQ(m.ToXap(), expected);
  XapMessage back(g);
  back.FromXap(expected);
  EXPECT_EQ(back.GetItem("output.state.1", "state"), "on");
}

TEST_F(XapMessageTest, ComposedTextWritesTargetUnlessEmptyAndClosesEverySection) {
  XapMessage m(g);
  m.AddHeader();
  m.AddSection("one");
  m.AddItem("one", "a", " spaced = value ");
  m.AddSection("two");
  m.AddSection("three");
  m.AddItem("", "b", "");
  EXPECT_EQ(m.ToXap(),
            "xap-header\n{\nv=12\nhop=1\nuid=Unknown\nclass=Unknown\nsource=Unknown\ntarget=Unknown\n}\n"
            "one\n{\na= spaced = value \n}\ntwo\n{\n}\nthree\n{\nb=\n}\n");
}

TEST_F(XapMessageTest, HeaderOnlyTextWithoutTemplateEndsInTwoClosingBraces) {
  g.HeaderTemplate = "";  // the transport has no uid yet
  XapMessage m(g);
  m.msgTarget = "t";
  m.AddHeader();
  EXPECT_EQ(m.ToXap(), "Unknown\nclass=Unknown\nsource=Unknown\ntarget=t\n}\n}\n");
}

TEST_F(XapMessageTest, InitDiscardsComposedTextOnly) {
  XapMessage m(g);
  m.FromXap(kBlk);
  m.AddHeader();
  m.Init("ignored");
  EXPECT_EQ(m.ToXap(), "}\n");
  EXPECT_EQ(m.GetItem("blk", "level"), " 50");
}

}  // namespace
}  // namespace tessaly
