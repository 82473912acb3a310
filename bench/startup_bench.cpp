// Time from starting the hub to its first heartbeat on the wire, and its
// resident size right after start-up.
//
//   sudo build/bench/startup_bench [runs]
#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/ip.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bench_util.h"

namespace {

using namespace bench;

// Watches loopback for the hub's heartbeat to 127.0.0.1:3639 (the hub owns that
// port, so nothing else can listen there).
class HeartbeatSniffer {
 public:
  HeartbeatSniffer() {
    fd_ = socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons(ETH_P_IP));
    sockaddr_ll where{};
    where.sll_family = AF_PACKET;
    where.sll_protocol = htons(ETH_P_IP);
    where.sll_ifindex = static_cast<int>(if_nametoindex("lo"));
    bind(fd_, reinterpret_cast<sockaddr*>(&where), sizeof where);
  }
  ~HeartbeatSniffer() { close(fd_); }

  // Nanosecond time of the first heartbeat seen, or -1 after `timeout_ms`.
  std::int64_t Wait(int timeout_ms) {
    std::vector<unsigned char> buf(70000);
    std::int64_t deadline = NowNs() + std::int64_t{timeout_ms} * 1'000'000;
    while (NowNs() < deadline) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 10) <= 0) continue;
      ssize_t n = recv(fd_, buf.data(), buf.size(), 0);
      std::int64_t now = NowNs();
      if (n < static_cast<ssize_t>(sizeof(iphdr) + sizeof(udphdr))) continue;
      const auto* ip = reinterpret_cast<const iphdr*>(buf.data());
      if (ip->protocol != IPPROTO_UDP) continue;
      const auto* udp = reinterpret_cast<const udphdr*>(buf.data() + ip->ihl * 4);
      const char* payload = reinterpret_cast<const char*>(udp) + sizeof(udphdr);
      if (ntohs(udp->dest) == 3639 && std::strncmp(payload, "xap-hbeat", 9) == 0) return now;
    }
    return -1;
  }

 private:
  int fd_ = -1;
};

}  // namespace

int main(int argc, char** argv) {
  EnterPrivateNetwork();
  const int runs = argc > 1 ? std::atoi(argv[1]) : 20;
  std::vector<double> ms;
  std::vector<double> rss;
  for (int i = 0; i < runs; ++i) {
    HubProcess hub(false);
    HeartbeatSniffer sniffer;
    std::int64_t start = NowNs();
    hub.Start();
    std::int64_t seen = sniffer.Wait(3000);
    if (seen < 0) {
      std::fprintf(stderr, "run %d: no heartbeat within 3 s\n", i);
      return 1;
    }
    ms.push_back((seen - start) / 1e6);
    usleep(50000);
    rss.push_back(static_cast<double>(hub.RssKb()));
  }
  double median = Quantile(ms, 0.5), worst = Quantile(ms, 1.0);
  std::printf("start to first heartbeat over %d runs: median %.2f ms, slowest %.2f ms\n", runs, median, worst);
  std::printf("resident size after start-up: median %.0f KiB\n", Quantile(rss, 0.5));
  return 0;
}
