// The xPL side of the real hub.
//
// xPL relay: 10 local xPL applications registered by heartbeat; deliveries per
// second under a flood of distinct 200-byte messages to port 3865 against a
// naive xPL relay written here (receive, send to the 10 ports), the highest
// rate without loss, losses at 5,000 messages per second and the delay from
// sending to delivery at 1,000 per second.
//
// Bridge: the xAP relay's deliveries per second to 10 xAP clients under a
// flood, with the bridges off and with both on (10 xPL applications then get
// every message rewritten), and the hub's resident size before and after a
// flood of xAP and xPL messages with both bridges and the device translation on.
//
//   sudo build/bench/xpl_bench [memory_flood_seconds] [flood_messages]
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string_view>
#include <thread>
#include <vector>

#include "bench_util.h"

namespace {

using namespace bench;
using Maker = std::function<std::string(std::uint64_t seq, std::int64_t sent_ns)>;
constexpr int kClients = 10;
constexpr int kXplPort = 3865, kXapPort = 3639;
constexpr int kFirstXapClient = 40001, kFirstXplClient = 41001;

std::string Padded(std::string text, const std::string& tail) {
  if (text.size() + tail.size() < 200) text.append(200 - text.size() - tail.size(), 'x');
  return text + tail;
}

// A 200-byte xPL command with a sequence number and a send time.
std::string XplMessage200(std::uint64_t seq, std::int64_t sent_ns) {
  return Padded("xpl-cmnd\n{\nhop=1\nsource=bench-send.one\ntarget=*\n}\nbench.data\n{\nseq=" + std::to_string(seq) +
                    "\nt=" + std::to_string(sent_ns) + "\npad=",
                "\n}\n");
}

// Device messages for the bridge: X10 commands and reports of 20 Z-Wave nodes.
std::string XplDevice200(std::uint64_t seq, std::int64_t) {
  std::string body = seq % 2 ? "x10.basic\n{\ncommand=on\ndevice=a" + std::to_string(seq) + "\npad="
                             : "zwave.basic\n{\nevent=report\nnode=" + std::to_string(seq % 20) +
                                   "\nlevel=" + std::to_string(seq % 100) + "\npad=";
  return Padded("xpl-trig\n{\nhop=1\nsource=bench-zw.one\ntarget=*\n}\n" + body, "\n}\n");
}

std::string XplHeartbeat(int port) {
  return "xpl-stat\n{\nhop=1\nsource=bench-app.p" + std::to_string(port) +
         "\ntarget=*\n}\nhbeat.app\n{\ninterval=5\nport=" + std::to_string(port) + "\n}\n";
}

bool IsHeartbeat(std::string_view text) {
  return text.starts_with("xap-hbeat") || text.find("\nhbeat.app\n") != std::string_view::npos;
}

struct Clients {
  std::vector<int> fds;
  std::vector<std::string> beats;
  int hub_port;
  Clients(int first_port, int hub_port, bool xpl) : hub_port(hub_port) {
    for (int i = 0; i < kClients; ++i) {
      fds.push_back(UdpSocket(first_port + i));
      beats.push_back(xpl ? XplHeartbeat(first_port + i)
                          : Heartbeat("bench.client." + std::to_string(i), first_port + i));
    }
  }
  ~Clients() {
    for (int fd : fds) close(fd);
  }
  void Announce() {
    for (int i = 0; i < kClients; ++i) {
      SendTo(fds[i], hub_port, beats[i]);
      usleep(2000);
    }
  }
  void Drain() { DrainAll(fds); }
};

// Counts deliveries other than heartbeats at every client until `done` and
// 300 ms of quiet.
Tally Collect(const Clients& clients, const std::atomic<bool>& done, bool with_delays) {
  Tally t;
  std::vector<pollfd> fds;
  for (int fd : clients.fds) fds.push_back({fd, POLLIN, 0});
  ReceiveBatch batch;
  std::int64_t quiet_since = 0;
  for (;;) {
    int ready = poll(fds.data(), fds.size(), 20);
    std::int64_t now = NowNs();
    if (ready > 0) {
      quiet_since = 0;
      for (auto& p : fds) {
        for (int n; (n = batch.Receive(p.fd)) > 0;) {
          for (int i = 0; i < n; ++i) {
            std::string_view text(batch.Text(i), batch.Length(i));
            if (IsHeartbeat(text)) continue;
            if (!t.delivered) t.first = now;
            t.last = now;
            ++t.delivered;
            std::int64_t stamp = with_delays ? StampOf(text.data(), text.size()) : -1;
            if (stamp > 0) t.delays_ms.push_back((now - stamp) / 1e6);
          }
        }
      }
    } else if (done) {
      if (!quiet_since) quiet_since = now;
      if (now - quiet_since > 300'000'000) break;
    }
  }
  return t;
}

// Sends `count` messages to `port`: as fast as batched sends go (rate 0), or
// `rate` per second in bursts of one millisecond's worth.
void Send(std::atomic<bool>* done, int port, long count, int rate, Maker make) {
  int fd = UdpSocket(0, true);
  std::int64_t start = NowNs();
  const long per_burst = rate ? std::max(1L, rate / 1000L) : 32;
  for (long i = 0; i < count; i += per_burst) {
    if (rate) {
      std::int64_t due = start + i * 1'000'000'000LL / rate;
      while (NowNs() < due) std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    std::vector<std::string> texts;
    for (long j = i; j < std::min(count, i + per_burst); ++j) texts.push_back(make(j, NowNs()));
    SendBatch(fd, port, texts);
  }
  close(fd);
  if (done) *done = true;
}

Tally Run(Clients& clients, long count, int rate, bool with_delays, Maker make) {
  clients.Drain();
  std::atomic<bool> done{false};
  std::thread sender(Send, &done, clients.hub_port, count, rate, make);
  Tally t = Collect(clients, done, with_delays);
  sender.join();
  return t;
}

// The naive xPL relay: receive, then one send to each application's port.
void NaiveRelay(std::atomic<bool>& stop) {
  int fd = UdpSocket(kXplPort, false);
  char buf[65536];
  while (!stop) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    for (ssize_t n; (n = recv(fd, buf, sizeof buf, 0)) >= 0;) {
      for (int i = 0; i < kClients; ++i) SendTo(fd, kFirstXplClient + i, std::string(buf, n));
    }
  }
  close(fd);
}

// The highest of a rising series of rates (messages per second, 2 s each) at
// which every client got every message.
int MaxLosslessRate(Clients& clients, const Maker& make) {
  int best = 0;
  for (int rate : {5000, 10000, 20000, 30000, 40000, 50000, 60000, 80000, 100000}) {
    if (Run(clients, rate * 2L, rate, false, make).delivered < rate * 2L * kClients) break;
    best = rate;
  }
  return best;
}

void PrintRate(const char* name, const Tally& t, long expected) {
  std::printf("%-28s delivered %8ld of %8ld  %9.0f deliveries/s\n", name, t.delivered, expected, t.PerSecond());
}

// A hub with `options` in a fresh folder, its ports taken, the applications
// registered. A hub that sees another program called Tessaly on this computer
// ends at once (the instance check), so it is started again until it runs.
std::unique_ptr<HubProcess> StartHub(const std::string& options, std::vector<Clients*> clients) {
  auto hub = std::make_unique<HubProcess>(false);
  hub->WriteFile("Config/Velmar.ini", options);
  for (int attempt = 0;; ++attempt) {
    hub->Start();
    if (hub->WaitForHubPort(500, kXapPort) && hub->WaitForHubPort(500, kXplPort)) break;
    hub->Stop();
    if (attempt == 100) {
      std::fprintf(stderr, "the hub did not claim its ports\n");
      std::exit(1);
    }
    usleep(200000);
  }
  for (Clients* c : clients) c->Announce();
  usleep(100000);
  return hub;
}

void XplRelay(long flood) {
  Clients apps(kFirstXplClient, kXplPort, true);
  std::atomic<bool> stop{false};
  std::thread naive(NaiveRelay, std::ref(stop));
  usleep(50000);
  Tally naive_flood = Run(apps, flood, 0, false, XplMessage200);
  int naive_lossless = MaxLosslessRate(apps, XplMessage200);
  stop = true;
  naive.join();

  auto hub = StartHub("[General]\r\nXPLhub=1\r\n", {&apps});
  const std::int64_t cpu = hub->CpuNs();
  Tally hub_flood = Run(apps, flood, 0, false, XplMessage200);
  const double cpu_us = (hub->CpuNs() - cpu) / 1e3 / std::max(1L, hub_flood.delivered / kClients);
  std::printf("xPL relay: flood of %ld messages of 200 bytes to %d applications\n", flood, kClients);
  PrintRate("naive xPL relay", naive_flood, flood * kClients);
  PrintRate("Tessaly", hub_flood, flood * kClients);
  std::printf("Tessaly's CPU time per message relayed: %.2f us\n", cpu_us);
  std::printf("highest rate without loss (of 5k, 10k, 20k ... 100k messages/s): naive relay %d/s, Tessaly %d/s\n",
              naive_lossless, MaxLosslessRate(apps, XplMessage200));
  Tally steady = Run(apps, 25000, 5000, false, XplMessage200);
  std::printf("5,000 messages/s for 5 s: %ld of %ld delivered\n", steady.delivered, 25000L * kClients);
  Tally paced = Run(apps, 5000, 1000, true, XplMessage200);
  double median = Quantile(paced.delays_ms, 0.5), p99 = Quantile(paced.delays_ms, 0.99);
  std::printf("1,000 messages/s: delay median %.3f ms, p99 %.3f ms (%ld deliveries)\n", median, p99, paced.delivered);
}

std::string XapMessage200(std::uint64_t seq, std::int64_t sent_ns) {
  return Message200("bench.sender.one", seq, sent_ns);
}

// The xAP clients' deliveries and the xPL applications' (read as they come),
// and the hub's CPU time per xAP message relayed, under a flood of xAP messages.
struct BridgeRun {
  Tally xap, xpl;
  double cpu_us_per_message = 0;
};
BridgeRun FloodXap(HubProcess& hub, Clients& xap_clients, Clients& apps, long flood) {
  BridgeRun r;
  apps.Drain();
  std::atomic<bool> done{false};
  std::thread xpl_side([&] { r.xpl = Collect(apps, done, false); });
  const std::int64_t cpu = hub.CpuNs();
  r.xap = Run(xap_clients, flood, 0, false, XapMessage200);
  r.cpu_us_per_message = (hub.CpuNs() - cpu) / 1e3 / std::max(1L, r.xap.delivered / kClients);
  done = true;
  xpl_side.join();
  return r;
}

void Bridge(long flood, int memory_seconds) {
  Clients xap_clients(kFirstXapClient, kXapPort, false), apps(kFirstXplClient, kXplPort, true);
  BridgeRun off;
  {
    auto hub = StartHub("[General]\r\nXPLhub=1\r\n", {&xap_clients, &apps});
    off = FloodXap(*hub, xap_clients, apps, flood);
  }
  auto hub = StartHub("[General]\r\nXPLtoXAP=1\r\nXAPtoXPL=1\r\nXPL=1\r\n", {&xap_clients, &apps});
  BridgeRun on = FloodXap(*hub, xap_clients, apps, flood);
  std::printf("bridge: flood of %ld xAP messages of 200 bytes, %d xAP clients, %d xPL applications\n", flood, kClients,
              kClients);
  PrintRate("xAP relay, bridges off", off.xap, flood * kClients);
  PrintRate("xAP relay, bridges on", on.xap, flood * kClients);
  PrintRate("  rewritten for xPL", on.xpl, flood * kClients);
  std::printf("xAP relay with the bridges on: %.0f%% of its rate with them off; hub CPU per xAP message %.2f us off, "
              "%.2f us on\n",
              100 * on.xap.PerSecond() / off.xap.PerSecond(), off.cpu_us_per_message, on.cpu_us_per_message);

  xap_clients.Announce();
  apps.Announce();
  const long before = hub->RssKb();
  std::thread xpl_flood(Send, nullptr, kXplPort, 2500L * memory_seconds, 2500, Maker(XplDevice200));
  Tally memory = Run(xap_clients, 2500L * memory_seconds, 2500, false, XapMessage200);
  xpl_flood.join();
  const long after = hub->RssKb();
  std::printf(
      "resident size: %ld KiB before, %ld KiB after %d s of 2,500 xAP and 2,500 xPL messages/s "
      "(%+ld KiB; %ld xAP deliveries)\n",
      before, after, memory_seconds, after - before, memory.delivered);
}

}  // namespace

int main(int argc, char** argv) {
  EnterPrivateNetwork();
  const int memory_seconds = argc > 1 ? std::atoi(argv[1]) : 60;
  const long flood = argc > 2 ? std::atol(argv[2]) : 300000;
  XplRelay(flood);
  Bridge(flood, memory_seconds);
  return 0;
}
