// The relay of the real hub to 10 local clients: deliveries per second under
// a flood against a naive relay written here (receive, send to the 10 ports),
// losses at 5,000 messages per second, the delay from sending to delivery at
// 1,000 per second, and the hub's resident size before and after a flood.
//
//   sudo build/bench/relay_bench [memory_flood_seconds]
//
// With "desktop", the same hub on a virtual X server with a tray host and its
// status window open: losses at 5,000 messages per second, how long a click
// on the icon takes to open the menu, idle and during that flood, and the
// resident size (needs Xvfb, trayer and xdotool).
//
//   sudo build/bench/relay_bench desktop [flood_seconds]
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_util.h"

namespace {

using namespace bench;
constexpr int kClients = 10;
constexpr int kFirstClientPort = 40001;
constexpr long kBatch = 32;

struct Clients {
  std::vector<int> fds;
  Clients() {
    for (int i = 0; i < kClients; ++i) fds.push_back(UdpSocket(kFirstClientPort + i));
  }
  ~Clients() {
    for (int fd : fds) close(fd);
  }
  void Announce() {
    for (int i = 0; i < kClients; ++i) {
      SendTo(fds[i], 3639, Heartbeat("bench.client." + std::to_string(i), kFirstClientPort + i));
      usleep(2000);
    }
  }
  void Drain() { DrainAll(fds); }
};

// Counts deliveries at every client until `done` and 300 ms of quiet.
Tally Collect(Clients& clients, std::atomic<bool>& done, bool with_delays) {
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
        int n;
        while ((n = batch.Receive(p.fd)) > 0) {
          for (int i = 0; i < n; ++i) {
            const char* text = batch.Text(i);
            std::size_t len = batch.Length(i);
            if (std::string_view(text, std::min<std::size_t>(len, 9)) == "xap-hbeat") continue;
            if (!t.delivered) t.first = now;
            t.last = now;
            ++t.delivered;
            if (with_delays) {
              std::int64_t stamp = StampOf(text, len);
              if (stamp > 0) t.delays_ms.push_back((now - stamp) / 1e6);
            }
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

// Sends `count` messages: as fast as batched sends go (rate 0), or `rate` per
// second in bursts of one millisecond's worth.
void Send(std::atomic<bool>& done, long count, int rate) {
  int fd = UdpSocket(0, true);
  std::int64_t start = NowNs();
  const long per_burst = rate ? std::max(1L, rate / 1000L) : kBatch;
  for (long i = 0; i < count; i += per_burst) {
    if (rate) {
      std::int64_t due = start + i * 1'000'000'000LL / rate;
      while (NowNs() < due) std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    std::vector<std::string> texts;
    for (long j = i; j < std::min(count, i + per_burst); ++j) texts.push_back(Message200("bench.sender.one", j, NowNs()));
    SendBatch(fd, 3639, texts);
  }
  close(fd);
  done = true;
}

Tally Run(Clients& clients, long count, int rate, bool with_delays) {
  clients.Drain();
  std::atomic<bool> done{false};
  std::thread sender(Send, std::ref(done), count, rate);
  Tally t = Collect(clients, done, with_delays);
  sender.join();
  return t;
}

// The naive relay: one blocking receive, then one send to each client port.
void NaiveRelay(std::atomic<bool>& stop) {
  int fd = UdpSocket(3639, false);
  char buf[65536];
  while (!stop) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    ssize_t n;
    while ((n = recv(fd, buf, sizeof buf, 0)) >= 0) {
      for (int i = 0; i < kClients; ++i) SendTo(fd, kFirstClientPort + i, std::string(buf, n));
    }
  }
  close(fd);
}

// The highest of a rising series of rates (messages per second, 2 s each) at
// which every client got every message.
int MaxLosslessRate(Clients& clients) {
  int best = 0;
  for (int rate : {5000, 10000, 20000, 30000, 40000, 50000, 60000, 80000, 100000}) {
    long count = rate * 2L;
    Tally t = Run(clients, count, rate, false);
    if (t.delivered < count * kClients) break;
    best = rate;
  }
  return best;
}

void PrintRate(const char* name, const Tally& t, long expected) {
  std::printf("%-14s delivered %8ld of %8ld  %9.0f deliveries/s\n", name, t.delivered, expected, t.PerSecond());
}

// --- The hub on a desktop -----------------------------------------------------

pid_t Spawn(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

void End(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
}

std::string Shell(const std::string& command) {
  std::string out;
  if (FILE* p = popen(command.c_str(), "r")) {
    char buf[256];
    while (std::fgets(buf, sizeof buf, p)) out += buf;
    pclose(p);
  }
  return out;
}

// The visible windows of the hub: "id width height" lines.
std::string HubWindows() {
  return Shell("for w in $(xdotool search --onlyvisible --class Tessaly 2>/dev/null); do "
               "eval $(xdotool getwindowgeometry --shell $w); echo $w $WIDTH $HEIGHT; done");
}

// The icon: the hub's visible window no wider than 32 pixels.
std::string IconWindow() {
  for (int i = 0; i < 100; ++i) {
    std::istringstream rows(HubWindows());
    std::string id;
    int w, h;
    while (rows >> id >> w >> h) {
      if (w <= 32) return id;
    }
    usleep(50000);
  }
  return "";
}

// Clicks the icon and returns the ms until the menu shows (-1: it did not within 5 s).
double MenuDelayMs(const std::string& icon) {
  std::int64_t start = NowNs();
  Shell("xdotool mousemove --window " + icon + " 11 11 click 1");
  for (int i = 0; i < 1000; ++i) {
    std::istringstream rows(HubWindows());
    std::string id;
    int w, h;
    while (rows >> id >> w >> h) {
      if (w > 32 && h < 300) return (NowNs() - start) / 1e6;
    }
    if (NowNs() - start > 5'000'000'000) break;
  }
  return -1;
}

int DesktopMain(int seconds) {
  const int number = 150 + getpid() % 40;
  const std::string display = ":" + std::to_string(number);
  const std::filesystem::path socket_path = "/tmp/.X11-unix/X" + std::to_string(number);
  pid_t xvfb = Spawn({"Xvfb", display, "-screen", "0", "1280x800x24", "-nolisten", "tcp"});
  for (int i = 0; i < 100 && !std::filesystem::exists(socket_path); ++i) usleep(50000);
  setenv("DISPLAY", display.c_str(), 1);
  setenv("DBUS_SESSION_BUS_ADDRESS", "disabled:", 1);
  pid_t trayer = Spawn({"trayer", "--edge", "top", "--align", "right"});
  int status = 1;
  {
    Clients clients;
    HubProcess hub;
    const std::string icon = hub.WaitForHubPort(5000) ? IconWindow() : "";
    if (icon.empty()) {
      std::fprintf(stderr, "no tray icon appeared\n");
    } else {
      Shell("xdotool mousemove --window " + icon + " 11 11 click 1; sleep 0.5; xdotool key Down Return; sleep 1");
      const bool open = !Shell("xdotool search --onlyvisible --name 'HUB Activity'").empty();
      std::printf("status window open: %s\n", open ? "yes" : "NO");
      const double idle = MenuDelayMs(icon);
      Shell("xdotool key Escape");
      clients.Announce();
      usleep(200000);
      const long before = hub.RssKb();
      const long count = 5000L * seconds;
      Tally flood;
      std::thread traffic([&] { flood = Run(clients, count, 5000, false); });
      std::vector<double> busy;
      for (int i = 0; i < 5; ++i) {
        sleep(1);
        busy.push_back(MenuDelayMs(icon));
        Shell("xdotool key Escape");
      }
      traffic.join();
      const long after = hub.RssKb();
      std::printf("5,000 messages/s for %d s with the window open: %ld of %ld delivered, %ld lost\n", seconds,
                  flood.delivered, count * kClients, count * kClients - flood.delivered);
      std::printf("click to menu: idle %.0f ms; during the flood", idle);
      for (double d : busy) std::printf(" %.0f", d);
      std::printf(" ms\nresident size: %ld KiB before, %ld KiB after the flood\n", before, after);
      status = open ? 0 : 1;
    }
  }
  End(trayer);
  End(xvfb);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  EnterPrivateNetwork();
  if (argc > 1 && std::string(argv[1]) == "desktop") return DesktopMain(argc > 2 ? std::atoi(argv[2]) : 20);
  const int memory_seconds = argc > 1 ? std::atoi(argv[1]) : 60;
  const long flood = argc > 2 ? std::atol(argv[2]) : 300000;
  Clients clients;

  std::atomic<bool> stop{false};
  std::thread naive(NaiveRelay, std::ref(stop));
  usleep(50000);
  Tally naive_flood = Run(clients, flood, 0, false);
  int naive_lossless = MaxLosslessRate(clients);
  stop = true;
  naive.join();

  HubProcess hub;
  if (!hub.WaitForHubPort(2000)) {
    std::fprintf(stderr, "the hub did not claim port 3639\n");
    return 1;
  }
  clients.Announce();
  usleep(100000);
  std::int64_t hub_cpu_before = hub.CpuNs();
  Tally hub_flood = Run(clients, flood, 0, false);
  std::int64_t hub_cpu_ns = hub.CpuNs() - hub_cpu_before;
  std::printf("flood of %ld messages of 200 bytes to %d clients\n", flood, kClients);
  PrintRate("naive relay", naive_flood, flood * kClients);
  PrintRate("Tessaly", hub_flood, flood * kClients);
  int hub_lossless = MaxLosslessRate(clients);
  std::printf("highest rate without loss (of 5k, 10k, 20k ... 100k messages/s): naive relay %d/s, Tessaly %d/s\n",
              naive_lossless, hub_lossless);
  std::printf("Tessaly's CPU time per delivery in the flood: %.2f us\n",
              hub_cpu_ns / 1e3 / std::max(1L, hub_flood.delivered));

  Tally steady = Run(clients, 25000, 5000, false);
  std::printf("5,000 messages/s for 5 s: %ld of %ld delivered, %ld lost\n", steady.delivered, 25000L * kClients,
              25000L * kClients - steady.delivered);

  Tally paced = Run(clients, 5000, 1000, true);
  double median = Quantile(paced.delays_ms, 0.5), p99 = Quantile(paced.delays_ms, 0.99);
  std::printf("1,000 messages/s: delay median %.2f ms, p99 %.2f ms (%ld deliveries)\n", median, p99, paced.delivered);

  clients.Announce();
  long before = hub.RssKb();
  Tally memory = Run(clients, 5000L * memory_seconds, 5000, false);
  long after = hub.RssKb();
  std::printf("resident size: %ld KiB before, %ld KiB after %d s at 5,000 messages/s (%+ld KiB; %ld deliveries)\n",
              before, after, memory_seconds, after - before, memory.delivered);
  return 0;
}
