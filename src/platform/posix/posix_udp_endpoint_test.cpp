#include "platform/posix/posix_udp_endpoint.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <stdexcept>

#include "platform/posix/posix_event_loop.h"
#include "platform/posix/posix_test_helpers.h"

namespace tessaly {
namespace {

using posix_test::RunFor;
using posix_test::RunUntil;
using posix_test::Stopwatch;

// An endpoint bound to `address` on a free port, recording what arrives.
struct Receiver {
  Receiver(PosixEventLoop& loop, const std::string& address) : endpoint(loop.CreatePosixUdpEndpoint()) {
    EXPECT_EQ(endpoint->Bind(address, 0), 0);
    endpoint->SetArrivalHandler([this](const Datagram& d) { arrivals.push_back(d); });
  }
  std::int32_t Port() const { return endpoint->LocalPort(); }

  std::unique_ptr<PosixUdpEndpoint> endpoint;
  std::vector<Datagram> arrivals;
};

std::unique_ptr<PosixUdpEndpoint> SenderTo(PosixEventLoop& loop, const std::string& host, std::int32_t port) {
  auto sender = loop.CreatePosixUdpEndpoint();
  EXPECT_EQ(sender->Bind("127.0.0.1", 0), 0);
  sender->SetRemote(host, port);
  return sender;
}

std::size_t OpenDescriptorCount() {
  const std::filesystem::directory_iterator fds("/proc/self/fd");
  return static_cast<std::size_t>(std::distance(begin(fds), end(fds)));
}

TEST(PosixUdpEndpointTest, BindsOnOnePortConflictUnlessBothAreDistinctAddresses) {
  struct Case {
    const char* first;
    const char* second;
    int expected;
  };
  const Case cases[] = {
      {"127.0.0.1", "0.0.0.0", EADDRINUSE}, {"0.0.0.0", "127.0.0.1", EADDRINUSE},
      {"0.0.0.0", "0.0.0.0", EADDRINUSE},   {"127.0.0.1", "127.0.0.1", EADDRINUSE},
      {"127.0.0.1", "127.0.0.2", 0},
  };
  const std::size_t open_before = OpenDescriptorCount();
  PosixEventLoop loop;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.first) + " then " + c.second);
    auto holder = loop.CreatePosixUdpEndpoint();
    ASSERT_EQ(holder->Bind(c.first, 0), 0);
    const std::int32_t port = holder->LocalPort();
    auto second = loop.CreatePosixUdpEndpoint();
    EXPECT_EQ(second->Bind(c.second, port), c.expected);
    EXPECT_EQ(second->IsBound(), c.expected == 0);
    holder->Close();
    EXPECT_EQ(second->IsBound() ? 0 : second->Bind(c.second, port), 0)
        << "a failed bind must leave the endpoint reusable";
  }
  EXPECT_EQ(OpenDescriptorCount(), open_before) << "a failed bind leaked its socket";
}

TEST(PosixUdpEndpointTest, NamesAndBadPortsFailAtOnceWithoutALookup) {
  PosixEventLoop loop;
  auto sender = SenderTo(loop, "127.0.0.1", 0);
  const std::pair<const char*, std::int32_t> invalid[] = {
      {"", 3639},       {"Default", 3865},      {"localhost", 3639}, {"no-such-host.invalid", 3639},
      {"127.1", 3639},  {"127.0.0.1", -1},      {"127.0.0.1", 65536}};
  const Stopwatch watch;
  for (const auto& [host, port] : invalid) {
    SCOPED_TRACE(std::string(host) + ":" + std::to_string(port));
    EXPECT_EQ(loop.CreateUdpEndpoint()->Bind(host, port), EINVAL);
    sender->SetRemote(host, port);
    EXPECT_EQ(sender->Send("x"), EINVAL);
  }
  EXPECT_LT(watch.ElapsedMs(), 1000) << "waited on a name lookup";
  EXPECT_EQ(sender->Bind("127.0.0.1", 0), EINVAL) << "bound twice";
}

TEST(PosixUdpEndpointTest, ArrivalCarriesSenderAndHeaderDestination) {
  PosixEventLoop loop;
  Receiver receiver(loop, "0.0.0.0");
  for (const char* destination : {"127.0.0.1", "127.0.0.2"}) {
    SCOPED_TRACE(destination);
    receiver.arrivals.clear();
    auto sender = SenderTo(loop, destination, receiver.Port());
    ASSERT_EQ(sender->Send("hello"), 0);
    ASSERT_TRUE(RunUntil(loop, [&] { return !receiver.arrivals.empty(); }));
    const Datagram& d = receiver.arrivals[0];
    EXPECT_EQ(d.text, "hello");
    EXPECT_EQ(d.from_address, "127.0.0.1");
    EXPECT_EQ(d.from_port, sender->LocalPort());
    EXPECT_EQ(d.to_address, destination);
  }
}

// Run in a child process, in a network namespace of its own with one
// interface, 10.9.9.9/24: sends a broadcast to the subnet and to everyone, and
// exits 0 when the local copies arrived as expected.
int ProbeBroadcastArrivals() {
  if (unshare(CLONE_NEWNET) != 0) return 2;
  if (std::system("ip link set lo up && ip link add tsl0 type veth peer name tsl1 &&"
                  " ip addr add 10.9.9.9/24 brd + dev tsl0 && ip link set tsl0 up &&"
                  " ip link set tsl1 up && ip route add default dev tsl0") != 0) {
    return 3;
  }
  PosixEventLoop loop;
  Receiver hub(loop, "0.0.0.0");
  auto client = loop.CreatePosixUdpEndpoint();
  client->Bind("10.9.9.9", 0);
  client->SetBroadcast(true);
  std::string seen;
  for (const char* broadcast : {"10.9.9.255", "255.255.255.255"}) {
    hub.arrivals.clear();
    client->SetRemote(broadcast, hub.Port());
    seen += std::to_string(client->Send("hb"));
    RunUntil(loop, [&] { return !hub.arrivals.empty(); }, 1000);
    for (const Datagram& d : hub.arrivals) seen += " " + d.from_address + " to " + d.to_address;
    seen += ";";
  }
  std::fprintf(stderr, "seen: %s\n", seen.c_str());
  return seen == "0 10.9.9.9 to 10.9.9.255;0 10.9.9.9 to 255.255.255.255;" ? 0 : 1;
}

// The local copy of a broadcast tells the broadcast address it was sent to
// (never the interface's), and the interface's address as its sender.
TEST(PosixUdpEndpointTest, BroadcastArrivesWithTheBroadcastAddressAsDestination) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a network namespace";
  EXPECT_EXIT(_exit(ProbeBroadcastArrivals()), ::testing::ExitedWithCode(0), "");
}

TEST(PosixUdpEndpointTest, LargestDatagramAndNulBytesArriveWhole) {
  PosixEventLoop loop;
  Receiver receiver(loop, "127.0.0.1");
  auto sender = SenderTo(loop, "127.0.0.1", receiver.Port());
  std::string largest(65507, '\0');
  for (std::size_t i = 0; i < largest.size(); ++i) largest[i] = static_cast<char>(i * 7);
  const std::string with_nuls("a\0b\0\0c", 6);

  for (const std::string& text : {largest, with_nuls, std::string()}) ASSERT_EQ(sender->Send(text), 0);
  EXPECT_EQ(sender->Send(std::string(65508, 'x')), EMSGSIZE);
  ASSERT_TRUE(RunUntil(loop, [&] { return receiver.arrivals.size() == 3; }));

  EXPECT_TRUE(receiver.arrivals[0].text == largest) << "size " << receiver.arrivals[0].text.size();
  EXPECT_EQ(receiver.arrivals[1].text, with_nuls);
  EXPECT_EQ(receiver.arrivals[2].text, "");
}

TEST(PosixUdpEndpointTest, ThrowingHandlerLosesNoLaterDatagram) {
  PosixEventLoop loop;
  std::vector<std::string> errors;
  loop.SetErrorSink([&](const std::string& e) { errors.push_back(e); });
  Receiver receiver(loop, "127.0.0.1");
  receiver.endpoint->SetArrivalHandler([&](const Datagram& d) {
    receiver.arrivals.push_back(d);
    if (d.text == "1") throw std::runtime_error("bad datagram");
  });
  auto sender = SenderTo(loop, "127.0.0.1", receiver.Port());
  for (const char* text : {"1", "2", "3"}) ASSERT_EQ(sender->Send(text), 0);

  EXPECT_TRUE(RunUntil(loop, [&] { return receiver.arrivals.size() == 3; }));
  EXPECT_EQ(errors, (std::vector<std::string>{"bad datagram"}));
}

TEST(PosixUdpEndpointTest, HandlerMayCloseOrDestroyItsEndpointMidBatch) {
  PosixEventLoop loop;
  for (const bool destroy : {false, true}) {
    SCOPED_TRACE(destroy ? "destroy" : "close");
    auto receiver = loop.CreatePosixUdpEndpoint();
    ASSERT_EQ(receiver->Bind("127.0.0.1", 0), 0);
    int calls = 0;
    receiver->SetArrivalHandler([&](const Datagram&) {
      ++calls;
      destroy ? receiver.reset() : receiver->Close();
    });
    auto sender = SenderTo(loop, "127.0.0.1", receiver->LocalPort());
    for (int i = 0; i < 5; ++i) ASSERT_EQ(sender->Send("x"), 0);

    RunFor(loop, 50);

    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(destroy || !receiver->IsBound());
  }
}

TEST(PosixUdpEndpointTest, FloodIsReadInBoundedSlicesSoTimersStillRun) {
  PosixEventLoop loop;
  Receiver receiver(loop, "127.0.0.1");
  auto sender = SenderTo(loop, "127.0.0.1", receiver.Port());
  for (int i = 0; i < 200; ++i) ASSERT_EQ(sender->Send(std::to_string(i)), 0);
  bool ticked = false;
  auto timer = loop.CreateTimer([&] { ticked = true; });
  timer->SetInterval(1);
  timer->SetEnabled(true);
  usleep(5'000);

  loop.RunOnce(0);
  EXPECT_TRUE(ticked) << "a due timer waited behind the flood";
  EXPECT_LT(receiver.arrivals.size(), 200u) << "one turn drained the whole flood";

  ASSERT_TRUE(RunUntil(loop, [&] { return receiver.arrivals.size() == 200; })) << "datagrams were lost";
  for (int i = 0; i < 200; ++i) EXPECT_EQ(receiver.arrivals[i].text, std::to_string(i));
}

TEST(PosixUdpEndpointTest, SendToPortsReachesEachPortAndReportsEachFailure) {
  PosixEventLoop loop;
  Receiver a(loop, "127.0.0.1");
  Receiver b(loop, "127.0.0.1");
  auto sender = SenderTo(loop, "127.0.0.1", 0);

  EXPECT_EQ(sender->SendToPorts("relay", {a.Port(), -1, b.Port(), 0, a.Port()}),
            (std::vector<int>{0, EINVAL, 0, EINVAL, 0}));
  EXPECT_TRUE(RunUntil(loop, [&] { return a.arrivals.size() == 2 && b.arrivals.size() == 1; }));
}

TEST(PosixUdpEndpointTest, BroadcastOptionAndReceiveBuffer) {
  PosixEventLoop loop;
  auto endpoint = loop.CreatePosixUdpEndpoint();
  EXPECT_EQ(endpoint->SetBroadcast(true), EBADF);
  ASSERT_EQ(endpoint->Bind("127.0.0.1", 0), 0);
  EXPECT_EQ(endpoint->GetBroadcast(), 0);
  EXPECT_EQ(endpoint->SetBroadcast(true), 0);
  EXPECT_EQ(endpoint->GetBroadcast(), 1);

  int buffer = 0;
  socklen_t size = sizeof buffer;
  getsockopt(endpoint->NativeHandle(), SOL_SOCKET, SO_RCVBUF, &buffer, &size);
  EXPECT_TRUE(geteuid() != 0 || buffer >= 2 * 1024 * 1024) << "receive buffer " << buffer;
}

}  // namespace
}  // namespace tessaly
