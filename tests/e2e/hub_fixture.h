// The usual stage of a hub test: the hub's computer and another computer on
// one LAN, the other computer listening on the hub port for broadcasts.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "e2e/hub_sandbox.h"
#include "e2e/hub_texts.h"
#include "e2e/local_client.h"
#include "e2e/netns.h"

namespace tessaly::e2e {

// Options that ask the primary to keep a backup copy running.
inline const std::string kBackupWantedOptions = "[General]\r\nNoBackup=0\r\n";

class HubOnLan : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(0, other_computer.Bind("0.0.0.0", kHubPort)); }

  // Starts a copy and waits for its first heartbeat as primary; keeps that
  // heartbeat in `primary_beat`. Use with ASSERT_NO_FATAL_FAILURE.
  void StartPrimary() {
    primary = &hub.StartCopy();
    ASSERT_NE(0, primary->pid()) << "the hub ended at once";
    primary_beat = other_computer.WaitFor(HeartbeatOf(kPrimarySource), 10s);
    ASSERT_TRUE(primary_beat) << "no heartbeat of the primary reached the other computer within 10 s";
  }

  // Waits for the backup copy that the primary starts itself: its heartbeat in
  // `backup_beat`, its process in `backup_pid`. Use with ASSERT_NO_FATAL_FAILURE.
  void AwaitBackupOfPrimary() {
    backup_beat = other_computer.WaitFor(HeartbeatOf(kBackupSource), 10s);
    ASSERT_TRUE(backup_beat) << "no heartbeat of a backup within 10 s";
    std::vector<pid_t> running = hub.RunningHubs();
    auto other = std::find_if(running.begin(), running.end(), [&](pid_t p) { return p != primary->pid(); });
    ASSERT_EQ(2u, running.size()) << "expected the primary and one backup";
    backup_pid = *other;
  }

  pid_t NsPid(pid_t pid) const { return InnermostPid(pid).value_or(0); }

  Lan lan;
  UdpSocket other_computer{lan.peer_ns};
  HubSandbox hub{lan.hub_ns};
  const HubCopy* primary = nullptr;
  std::optional<Datagram> primary_beat;
  pid_t backup_pid = 0;
  std::optional<Datagram> backup_beat;
};

// How long a test waits after a first copy to be sure that no second one follows.
inline constexpr milliseconds kSecondCopyWindow = 300ms;

// The hub with applications of its own computer registered as clients, and
// `peer`, a sender on the other computer (which has no default route, so its
// broadcasts need a bound source address).
class HubWithClients : public HubOnLan {
 protected:
  void SetUp() override;

  // Adds `count` clients: sources acme.client<n>.hubhost, ports 41000 + n.
  void AddClients(int count);

  // Sends the heartbeat of every client and returns once the hub relays to
  // each of them; their inboxes are empty then. Use with ASSERT_NO_FATAL_FAILURE.
  void RegisterClients();

  // Expects `text` at every one of `receivers` exactly once, forwarded from the
  // hub's client port, and at none of `bystanders`.
  void ExpectRelayedOnce(const std::string& text, const std::vector<LocalClient*>& receivers,
                         const std::vector<LocalClient*>& bystanders = {});

  std::vector<LocalClient*> AllClients() const;

  UdpSocket peer{lan.peer_ns};
  std::vector<std::unique_ptr<LocalClient>> clients;
};

}  // namespace tessaly::e2e
