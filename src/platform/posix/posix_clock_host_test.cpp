#include <gtest/gtest.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/posix/posix_clock.h"
#include "platform/posix/posix_host.h"

namespace tessaly {
namespace {

TEST(PosixClockTest, TickCountFollowsElapsedMillisecondsAndNowTheWallClock) {
  PosixClock clock;
  const std::uint32_t start = clock.TickCount();
  usleep(30'000);
  const std::uint32_t elapsed = clock.TickCount() - start;  // unsigned: right across the wrap
  EXPECT_GE(elapsed, 30u);
  EXPECT_LT(elapsed, 5000u);
  EXPECT_LE(std::abs(clock.Now() - static_cast<std::int64_t>(time(nullptr))), 1);
}

TEST(PosixHostTest, HostNameIsTheKernelsName) {
  char name[256] = {};
  gethostname(name, sizeof name - 1);
  EXPECT_EQ(PosixHost().HostName(), std::string(name));
}

// Run in a child process, in a network namespace of its own: loopback up,
// one veth end down, the other up with two addresses. Exits 0 when only the
// two addresses of the end that is up are listed, in order.
int ProbeListedAddresses() {
  if (unshare(CLONE_NEWNET) != 0) return 2;
  if (std::system("ip link set lo up && ip link add tsl0 type veth peer name tsl1 &&"
                  " ip addr add 10.9.8.7/24 dev tsl0 && ip addr add 10.9.9.9/24 dev tsl1 &&"
                  " ip addr add 10.9.9.10/24 dev tsl1 && ip link set tsl1 up") != 0) {
    return 3;
  }
  std::string listed;
  for (const auto& a : PosixHost().Ipv4Addresses().value_or(std::vector<std::string>{})) listed += a + " ";
  std::fprintf(stderr, "listed: %s\n", listed.c_str());
  return listed == "10.9.9.9 10.9.9.10 " ? 0 : 1;
}

TEST(PosixHostTest, OnlyInterfacesThatAreUpCountAndLoopbackNever) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a network namespace";
  EXPECT_EXIT(_exit(ProbeListedAddresses()), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace tessaly
