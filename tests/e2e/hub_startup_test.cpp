// What the hub leaves on disk and says on the wire as it starts, and that
// broken options and folders it cannot write do not keep it from serving.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <random>
#include <regex>
#include <thread>

#include "e2e/hub_fixture.h"
#include "e2e/hub_sandbox.h"
#include "e2e/hub_texts.h"
#include "e2e/netns.h"

namespace tessaly::e2e {
namespace fs = std::filesystem;
namespace {

std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

using HubStartup = HubOnLan;

TEST_F(HubStartup, FreshAppPathGetsItsFilesStartupLineAndPortEventRightAfterFirstHeartbeat) {
  const std::time_t started = std::time(nullptr);
  const HubCopy& copy = hub.StartCopy();
  ASSERT_NE(0, copy.pid()) << "the hub ended at once";
  auto from_hub = [&](const Datagram& d) { return d.from_address == lan.hub_address; };
  std::optional<Datagram> first = other_computer.WaitFor(from_hub, 10s);
  ASSERT_TRUE(first) << "nothing from the hub within 10 s";
  EXPECT_EQ(HubHeartbeat(kPrimarySource, kPrimaryUid, kFirstClientPort), first->text);
  std::optional<Datagram> second = other_computer.WaitFor(from_hub, 5s);
  ASSERT_TRUE(second) << "nothing from the hub after its heartbeat";
  const std::time_t seen = std::time(nullptr);

  std::smatch time;
  ASSERT_TRUE(std::regex_search(second->text, time, std::regex("\nTime=([^\n]*)\n"))) << second->text;
  EXPECT_EQ(HubText("Vantrel.Event", "Event.Log",
                    {"Time=" + time.str(1), "Type=Tessaly", "Data=Using xAP port " + std::to_string(kFirstClientPort)}),
            second->text);
  EXPECT_TRUE(StampBetween(time.str(1), started, seen)) << time.str(1) << " is not the local time of the start";
  EXPECT_EQ(kFirstClientPort, second->from_port);
  EXPECT_EQ("255.255.255.255", second->to_address);

  for (const char* file : {"Config/Velmar.ini", "Config/Orrin.ini"}) {
    EXPECT_TRUE(fs::is_regular_file(hub.app_path() / file)) << file << " was not made";
  }
  EXPECT_TRUE(fs::is_directory(hub.app_path() / "Data"));
  const std::string log = hub.LogOf(copy.ns_pid());
  const std::regex startup_line(R"((\d\d/\d\d/\d{4} \d\d:\d\d:\d\d) \| Tessaly Hub Startup )" +
                                std::to_string(copy.ns_pid()) + " at Line 0 \r");
  std::smatch line;
  const std::string first_line = FirstLine(log);
  ASSERT_TRUE(std::regex_match(first_line, line, startup_line)) << "first log line: " << first_line;
  EXPECT_EQ('\n', log[first_line.size()]);
  EXPECT_TRUE(StampBetween(line.str(1), started, seen)) << line.str(1) << " is not the local time of the start";
}

// An options file of about 5 MB: readable lines the hub reports, binary
// bytes, a line far longer than a datagram, a value of 2 MB and many keys.
struct JunkOptions {
  std::string text;
  std::vector<std::string> reported;  // lines without "=" whose report must reach the other computer
};

JunkOptions MakeJunkOptions() {
  JunkOptions options;
  std::string binary;
  for (int c = 2; c < 256; ++c) {
    if (c != '\n' && c != '\r' && c != '=' && c != ' ') binary += static_cast<char>(c);
  }
  options.reported = {"this line has no equal sign", "[General", binary};
  options.text = "[General]\r\nthis line has no equal sign\r\n  [General  \r\n" + binary + "\r\n";
  options.text += std::string(1 << 20, 'L') + "\r\n";
  options.text += "Huge=" + std::string(2 << 20, 'v') + "\r\n";
  std::mt19937 random(7);
  std::string noise(1 << 20, '\0');
  for (char& c : noise) c = static_cast<char>(random() & 0xFF);
  options.text += noise + "\r\n[General]\r\n";
  for (int i = 0; options.text.size() < (5u << 20); ++i) options.text += "Key" + std::to_string(i) + "=x\r\n";
  options.text += "last line without equal sign or line end";
  options.reported.push_back("last line without equal sign or line end");
  return options;
}

using HubJunkOptions = HubWithClients;

TEST_F(HubJunkOptions, JunkOptionsFileIsReportedLineByLineAndHubRunsWithDefaults) {
  const JunkOptions options = MakeJunkOptions();
  hub.WriteAppFile("Config/Velmar.ini", options.text);
  other_computer.RaiseReceiveBuffer();
  ASSERT_NO_FATAL_FAILURE(StartPrimary());
  for (const std::string& line : options.reported) {
    EXPECT_TRUE(other_computer.WaitFor(HubEvent("IniTool", " Equal sign not found on line " + line), 10s))
        << "no report of the line " << line.substr(0, 60);
  }
  ASSERT_TRUE(other_computer.WaitFor(HubEvent("Tessaly", "Using xAP port " + std::to_string(kFirstClientPort)), 10s));
  std::this_thread::sleep_for(1s);
  EXPECT_EQ(1u, hub.RunningHubs().size()) << "a backup started, though the options do not ask for one";
  EXPECT_TRUE(ReadWholeFile(hub.app_path() / "Config/Velmar.ini") == options.text) << "the options file changed";

  AddClients(1);
  ASSERT_NO_FATAL_FAILURE(RegisterClients());
  const std::string text = XapText("acme.sensor.peer", "test.relay", "body", {"n=1"});
  ASSERT_EQ(0, peer.SendTo("255.255.255.255", kHubPort, text));
  ExpectRelayedOnce(text, AllClients());
}

// Folders the hub cannot write: root ignores file modes, so they are
// read-only mounts.
struct ReadOnlyCase {
  const char* name;
  std::string folder;    // below AppPath; "" = AppPath itself
  bool options_present;  // Config holds options the hub must still read
  bool log_written;
};

void PrintTo(const ReadOnlyCase& c, std::ostream* out) { *out << c.name; }

class HubReadOnly : public HubWithClients, public ::testing::WithParamInterface<ReadOnlyCase> {};

TEST_P(HubReadOnly, HubStartsHeartbeatsAndRelays) {
  const ReadOnlyCase& c = GetParam();
  // Heartbeats to the LAN's own broadcast address show that Orrin.ini was read.
  const std::string lan_broadcast = lan.hub_address.substr(0, lan.hub_address.rfind('.')) + ".255";
  if (c.options_present) {
    hub.WriteAppFile("Config/Orrin.ini", "[Interface]\r\nBroadcastAddress=" + lan_broadcast + "\r\n");
    hub.WriteAppFile("Config/Velmar.ini", "[General]\r\nNoTray=1\r\n");
  }
  hub.MountReadOnly(c.folder);
  const fs::path read_only = hub.app_path() / c.folder;
  auto files_in_read_only = [&] {
    std::vector<fs::path> files;
    for (const auto& entry : fs::recursive_directory_iterator(read_only)) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
  };
  const std::vector<fs::path> before = files_in_read_only();

  ASSERT_NO_FATAL_FAILURE(StartPrimary());
  EXPECT_EQ(c.options_present ? lan_broadcast : "255.255.255.255", primary_beat->to_address);
  AddClients(1);
  ASSERT_NO_FATAL_FAILURE(RegisterClients());
  const std::string text = XapText("acme.sensor.peer", "test.relay", "body", {"n=1"});
  ASSERT_EQ(0, peer.SendTo("255.255.255.255", kHubPort, text));
  ExpectRelayedOnce(text, AllClients());

  if (c.folder.empty()) {
    // The Data folder it could not make is reported on the wire.
    const std::string data = (hub.app_path() / "Data").string();
    EXPECT_TRUE(other_computer.WaitFor(HubEvent("Tessaly", " CreateFolders " + data, true), 5s))
        << "no report of the folder " << data;
  }
  EXPECT_EQ(before, files_in_read_only()) << "something appeared in the read-only folder";
  const std::string log = hub.LogOf(primary->ns_pid());
  if (c.log_written) {
    EXPECT_NE(std::string::npos, log.find(" | Tessaly Hub Startup ")) << log;
  } else {
    EXPECT_TRUE(!fs::exists(hub.app_path() / "Data") || fs::is_empty(hub.app_path() / "Data"))
        << "a log file appeared in a folder the hub cannot write";
  }
}

INSTANTIATE_TEST_SUITE_P(Folders, HubReadOnly,
                         ::testing::Values(ReadOnlyCase{"EmptyConfig", "Config", false, true},
                                           ReadOnlyCase{"ConfigWithOptions", "Config", true, true},
                                           ReadOnlyCase{"Data", "Data", false, false},
                                           ReadOnlyCase{"AppPath", "", false, false}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tessaly::e2e
