// Primary and backup copies on one computer, the takeover, the instance check,
// and the per-process log files.
#include <gtest/gtest.h>
#include <signal.h>
#include <time.h>

#include <cerrno>
#include <ctime>
#include <regex>

#include "e2e/hub_fixture.h"
#include "e2e/hub_sandbox.h"
#include "e2e/hub_texts.h"
#include "e2e/netns.h"

namespace tessaly::e2e {
namespace {

std::vector<UdpBinding> ClientPortOnly(const std::string& lan_address, int port) {
  std::vector<UdpBinding> bindings = {{lan_address, port}, {"127.0.0.1", port}};
  std::sort(bindings.begin(), bindings.end());
  return bindings;
}

std::vector<UdpBinding> HubAndClientPort(const std::string& lan_address, int port) {
  std::vector<UdpBinding> bindings = ClientPortOnly(lan_address, port);
  bindings.push_back({"0.0.0.0", kHubPort});
  std::sort(bindings.begin(), bindings.end());
  return bindings;
}

using HubRoles = HubOnLan;

// The primary holds its client port before it starts its backup, so the
// primary always has the first port and its backup the next.
TEST_F(HubRoles, PrimaryStartsBackupThatHeartbeatsWithBackupIdentityFromItsOwnClientPort) {
  hub.WriteAppFile("Config/Velmar.ini", kBackupWantedOptions);
  ASSERT_NO_FATAL_FAILURE(StartPrimary());
  ASSERT_NO_FATAL_FAILURE(AwaitBackupOfPrimary());
  const int primary_port = primary_beat->from_port;
  const int backup_port = backup_beat->from_port;
  EXPECT_EQ(kFirstClientPort, primary_port);
  EXPECT_EQ(kFirstClientPort + 1, backup_port);

  EXPECT_EQ(HubHeartbeat(kBackupSource, kBackupUid, backup_port), backup_beat->text);
  EXPECT_EQ(HubHeartbeat(kPrimarySource, kPrimaryUid, primary_port), primary_beat->text);
  EXPECT_EQ(lan.hub_address, backup_beat->from_address);
  EXPECT_EQ(ClientPortOnly(lan.hub_address, backup_port), UdpBindingsOf(backup_pid));
  EXPECT_EQ(HubAndClientPort(lan.hub_address, primary_port), UdpBindingsOf(primary->pid()));

  std::string primary_log = hub.LogOf(primary->ns_pid());
  EXPECT_NE(std::string::npos, primary_log.find("Starting as Primary Hub")) << primary_log;
  EXPECT_NE(std::string::npos,
            primary_log.find("Starting Backup Hub with Process " + std::to_string(NsPid(backup_pid))))
      << primary_log;
  std::string backup_log = hub.LogOf(NsPid(backup_pid));
  EXPECT_EQ(std::string::npos, backup_log.find("Starting as Primary Hub")) << backup_log;

  // Detached from the primary: a session of its own, no share in its output.
  EXPECT_EQ(backup_pid, SessionOf(backup_pid));
  for (int fd = 0; fd <= 2; ++fd) EXPECT_EQ("/dev/null", DescriptorTarget(backup_pid, fd)) << "descriptor " << fd;
}

TEST_F(HubRoles, BackupClaimsHubPortOnItsNextHeartbeatAfterPrimaryIsKilledAndStartsNewBackup) {
  hub.WriteAppFile("Config/Velmar.ini", kBackupWantedOptions);
  ASSERT_NO_FATAL_FAILURE(StartPrimary());
  ASSERT_NO_FATAL_FAILURE(AwaitBackupOfPrimary());
  const int primary_port = primary_beat->from_port;
  const int backup_port = backup_beat->from_port;
  ASSERT_TRUE(hub.Signal(*primary, SIGKILL));
  ASSERT_TRUE(hub.WaitForExit(*primary, 5s)) << "the killed primary did not end";

  // The backup tries the port on its own heartbeat tick, 60 s after its start.
  std::optional<Datagram> beat = other_computer.WaitFor(
      [&](const Datagram& d) { return d.from_port == backup_port && HeartbeatOf(kPrimarySource)(d); }, 75s);
  ASSERT_TRUE(beat) << "the backup sent no heartbeat with the primary identity within 75 s";
  EXPECT_EQ(HubHeartbeat(kPrimarySource, kPrimaryUid, backup_port), beat->text);
  EXPECT_EQ(lan.hub_address, beat->from_address);

  EXPECT_EQ(HubAndClientPort(lan.hub_address, backup_port), UdpBindingsOf(backup_pid));
  EXPECT_EQ(EADDRINUSE, TryBind(lan.hub_ns, "0.0.0.0", kHubPort));
  std::string log = hub.LogOf(NsPid(backup_pid));
  EXPECT_NE(std::string::npos, log.find(" | Backup Hub Process " + std::to_string(NsPid(backup_pid)) +
                                        " Starting as Primary Hub on port 3639 " + lan.hub_address + " at Line 0 \r\n"))
      << log;
  EXPECT_NE(std::string::npos, log.find("Claimed port 3639 and Starting Backup Hub with Process ")) << log;

  // The new primary keeps a backup of its own, on the client port the old primary freed.
  std::optional<Datagram> new_backup = other_computer.WaitFor(HeartbeatOf(kBackupSource), 10s);
  ASSERT_TRUE(new_backup) << "the new primary started no backup";
  EXPECT_EQ(HubHeartbeat(kBackupSource, kBackupUid, primary_port), new_backup->text);
  EXPECT_EQ(2u, hub.RunningHubs().size());
}

struct ExtraCopyCase {
  const char* name;
  std::string options;
  size_t hubs_before;  // the primary, and the backup it keeps when asked for one
};

void PrintTo(const ExtraCopyCase& c, std::ostream* out) { *out << c.name; }

class ExtraCopy : public HubOnLan, public ::testing::WithParamInterface<ExtraCopyCase> {};

TEST_P(ExtraCopy, EndsAtOnceAndLeavesRunningHubsAlone) {
  hub.WriteAppFile("Config/Velmar.ini", GetParam().options);
  ASSERT_NO_FATAL_FAILURE(StartPrimary());
  if (GetParam().hubs_before == 2) {
    ASSERT_NO_FATAL_FAILURE(AwaitBackupOfPrimary());
  }
  std::vector<pid_t> before = hub.RunningHubs();
  ASSERT_EQ(GetParam().hubs_before, before.size());

  const HubCopy& extra = hub.StartCopy();
  std::optional<int> status = hub.WaitForExit(extra, 10s);
  ASSERT_TRUE(status) << "the extra copy still runs after 10 s";
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << DescribeStatus(*status);
  EXPECT_EQ(before, hub.RunningHubs());
  auto any_heartbeat = [](const Datagram& d) { return d.text.rfind("xap-hbeat\n", 0) == 0; };
  EXPECT_TRUE(other_computer.CollectFor(any_heartbeat, 1s).empty()) << "the extra copy sent a heartbeat";
}

INSTANTIATE_TEST_SUITE_P(HubInstances, ExtraCopy,
                         ::testing::Values(ExtraCopyCase{"NoOptionsFile", "", 1},
                                           ExtraCopyCase{"BackupWanted", kBackupWantedOptions, 2}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(HubLog, PrimaryAppendsRoleLineWithLocalTimeAndCrLfToItsPidFile) {
  Lan lan;
  HubSandbox hub(lan.hub_ns);
  std::time_t started = std::time(nullptr);
  const HubCopy& primary = hub.StartCopy();
  ASSERT_NE(0, primary.pid()) << "the hub ended at once";
  ASSERT_TRUE(WaitUntil([&] { return hub.LogOf(primary.ns_pid()).find("Primary Hub") != std::string::npos; }, 10s))
      << "no role line in Data/Tessaly" << primary.ns_pid() << ".txt";
  std::time_t seen = std::time(nullptr);

  std::string log = hub.LogOf(primary.ns_pid());
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ("\r\n", log.substr(log.size() - 2)) << "the file does not end with a line end";
  const std::regex layout(R"((\d\d/\d\d/\d{4} \d\d:\d\d:\d\d) \| [^\r\n]* at Line -?\d+ [^\r\n]*)");
  const std::string role_text = " | Backup Hub Process " + std::to_string(primary.ns_pid()) +
                                " Starting as Primary Hub on port 3639 " + lan.hub_address + " at Line 0 ";
  int role_lines = 0;
  for (size_t start = 0, end; (end = log.find("\r\n", start)) != std::string::npos; start = end + 2) {
    std::string line = log.substr(start, end - start);
    std::smatch fields;
    EXPECT_TRUE(std::regex_match(line, fields, layout)) << "line out of layout: " << line;
    if (line.find(role_text) == std::string::npos) continue;
    ++role_lines;
    EXPECT_EQ(fields.str(1).size() + role_text.size(), line.size()) << line;
    // The stamp is local time between the start and the moment the line was seen.
    EXPECT_TRUE(StampBetween(fields.str(1), started, seen))
        << fields.str(1) << " is not local time of the start (" << LocalDateTime(started) << ")";
  }
  EXPECT_EQ(1, role_lines) << log;
}

}  // namespace
}  // namespace tessaly::e2e
