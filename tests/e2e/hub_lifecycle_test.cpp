// How the hub ends on signals, and that no input ends it.
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>

#include <thread>

#include "e2e/hub_fixture.h"
#include "e2e/hub_sandbox.h"
#include "e2e/hub_texts.h"
#include "e2e/netns.h"

namespace tessaly::e2e {
namespace {

class HubStop : public HubOnLan {
 protected:
  // Sends `signal` to the primary and expects it to exit with status 0.
  void ExpectCleanExitOn(int signal) {
    ASSERT_TRUE(hub.Signal(*primary, signal)) << "the hub no longer runs";
    std::optional<int> status = hub.WaitForExit(*primary, 10s);
    ASSERT_TRUE(status) << "still running 10 s after " << strsignal(signal);
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << DescribeStatus(*status);
  }
};

class StopSignal : public HubStop, public ::testing::WithParamInterface<int> {};

TEST_P(StopSignal, EndsHubCleanlyAndFreesItsPortsAtOnce) {
  ASSERT_NO_FATAL_FAILURE(StartPrimary());
  ASSERT_NO_FATAL_FAILURE(ExpectCleanExitOn(GetParam()));
  EXPECT_TRUE(hub.RunningHubs().empty()) << "a process named Tessaly outlived the hub";
  EXPECT_EQ(0, TryBind(lan.hub_ns, "0.0.0.0", kHubPort));
  EXPECT_EQ(0, TryBind(lan.hub_ns, "127.0.0.1", kFirstClientPort));
  EXPECT_EQ(0, TryBind(lan.hub_ns, lan.hub_address, kFirstClientPort));
}

std::string SignalName(const ::testing::TestParamInfo<int>& info) { return sigabbrev_np(info.param); }

INSTANTIATE_TEST_SUITE_P(HubSignals, StopSignal, ::testing::Values(SIGTERM, SIGHUP, SIGINT), SignalName);

// SIGTERM and SIGHUP are the session closing the hub: its backup stays to take
// over. SIGINT is the menu's Exit, which stops the backup too.
class StopSignalWithBackup : public HubStop, public ::testing::WithParamInterface<int> {};

TEST_P(StopSignalWithBackup, StopsBackupOnlyOnExit) {
  hub.WriteAppFile("Config/Velmar.ini", kBackupWantedOptions);
  ASSERT_NO_FATAL_FAILURE(StartPrimary());
  ASSERT_NO_FATAL_FAILURE(AwaitBackupOfPrimary());
  ASSERT_NO_FATAL_FAILURE(ExpectCleanExitOn(GetParam()));
  if (GetParam() == SIGINT) {
    EXPECT_TRUE(WaitUntil([&] { return !IsRunning(backup_pid); }, 10s)) << "the backup still runs after Exit";
  } else {
    std::this_thread::sleep_for(1s);
    EXPECT_TRUE(IsRunning(backup_pid)) << "the backup ended with its primary";
  }
}

INSTANTIATE_TEST_SUITE_P(HubSignals, StopSignalWithBackup, ::testing::Values(SIGTERM, SIGHUP, SIGINT), SignalName);

struct BadInput {
  std::string what;
  std::string bytes;
};

using namespace std::string_literals;

const std::string kProbeHeader =
    "xap-header\n{\nv=12\nhop=1\nuid=FF123400\nclass=test.bad\nsource=acme.probe.host\n}\n";

std::vector<BadInput> BadInputs() {
  constexpr size_t kLargest = 65507;  // the largest UDP payload over IPv4
  const std::string big_body = kProbeHeader + "body\n{\nitem=";
  std::string high_bytes;
  for (int c = 0x80; c <= 0xFF; ++c) high_bytes += static_cast<char>(c);
  const std::string app = "acme.probe.host";
  return {
      {"empty datagram", ""},
      {"largest payload of filler", std::string(kLargest, 'x')},
      {"largest payload behind a valid header", big_body + std::string(kLargest - big_body.size() - 3, 'y') + "\n}\n"},
      {"largest payload of line ends", std::string(kLargest, '\n')},
      {"NUL bytes only", std::string(16, '\0')},
      {"NUL bytes inside a message", "xap-header\n{\nv=12\0\nhop=1\nuid=FF12\0" "3400\n}\nbody\n{\n\0=\0\n}\n"s},
      {"heartbeat with CR LF line ends", ClientHeartbeat(app, "FF123400", "40000", "60", "\r\n")},
      {"text without line ends", "xap-hbeat{v=12hop=1uid=FF123400class=xap-hbeat.alivesource=a.b.cport=40000}"},
      {"heartbeat announcing port 0", ClientHeartbeat(app, "FF123400", "0")},
      {"heartbeat announcing the hub port", ClientHeartbeat(app, "FF123400", "3639")},
      {"heartbeat announcing a negative port", ClientHeartbeat(app, "FF123400", "-1")},
      {"heartbeat announcing a port past 32 bits", ClientHeartbeat(app, "FF123400", "99999999999999999999")},
      {"heartbeat with empty port and interval", ClientHeartbeat(app, "FF123400", "", "")},
      {"heartbeat with a negative interval past 32 bits", ClientHeartbeat(app, "FF123400", "40001", "-99999999999")},
      {"heartbeat with empty source and uid", ClientHeartbeat("", "", "40002")},
      {"unbalanced braces", "}\n}\n{\n{\n{\n"},
      {"header cut after its brace", "xap-header\n{\n"},
      {"bytes above 127", high_bytes},
      {"items without names", "xap-header\n{\n=\n==\n=x\n}\nb\n{\n=\n}\n"},
  };
}

using HubRobustness = HubStop;

TEST_F(HubRobustness, MalformedDatagramsFromEverySideLeaveHubRunningAndStoppable) {
  ASSERT_NO_FATAL_FAILURE(StartPrimary());
  LoopbackSniffer loopback(lan.hub_ns);
  UdpSocket from_lan(lan.peer_ns);
  ASSERT_EQ(0, from_lan.Bind(lan.peer_address, 0));  // with no default route, a broadcast needs its source
  from_lan.EnableBroadcast();
  UdpSocket from_loopback(lan.hub_ns);
  ASSERT_EQ(0, from_loopback.Bind("127.0.0.1", 0));
  UdpSocket from_local_lan(lan.hub_ns);
  ASSERT_EQ(0, from_local_lan.Bind(lan.hub_address, 0));
  from_local_lan.EnableBroadcast();
  struct Route {
    std::string what;
    UdpSocket* sender;
    std::string to;
  };
  const std::vector<Route> routes = {
      {"other computer to the hub's address", &from_lan, lan.hub_address},
      {"other computer broadcast", &from_lan, "255.255.255.255"},
      {"loopback", &from_loopback, "127.0.0.1"},
      {"local application to the hub's address", &from_local_lan, lan.hub_address},
      {"local application broadcast", &from_local_lan, "255.255.255.255"},
  };
  // Consecutive datagrams always differ, so the hub's repeat filter passes every one.
  for (const Route& route : routes) {
    for (const BadInput& input : BadInputs()) {
      ASSERT_EQ(0, route.sender->SendTo(route.to, kHubPort, input.bytes)) << route.what << ": " << input.what;
    }
  }
  // A burst far beyond a default receive buffer.
  for (int i = 0; i < 1000; ++i) {
    from_loopback.SendTo("127.0.0.1", kHubPort, kProbeHeader + "burst\n{\nn=" + std::to_string(i) + "\n}\n");
  }
  // Whatever the hub makes of the input, it must settle once the input stops: a
  // relay that feeds itself would keep sending for ever.
  EXPECT_TRUE(loopback.WaitForQuiet(500ms, 15s)) << "loopback traffic went on 15 s after the input stopped";
  EXPECT_TRUE(other_computer.WaitForQuiet(500ms, 5s)) << "broadcasts went on 5 s after the input stopped";

  if (std::optional<int> ended = hub.WaitForExit(*primary, 0ms)) {
    FAIL() << "the hub ended on bad input: " << DescribeStatus(*ended);
  }
  std::vector<UdpBinding> held = UdpBindingsOf(primary->pid());
  EXPECT_NE(held.end(), std::find(held.begin(), held.end(), UdpBinding{"0.0.0.0", kHubPort}))
      << "the hub let go of its port";
  // The stop signal is handled by the event loop, so a clean exit shows the loop still turns.
  ExpectCleanExitOn(SIGTERM);
}

}  // namespace
}  // namespace tessaly::e2e
