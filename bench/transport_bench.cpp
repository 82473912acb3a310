// How many datagrams per second the transport takes from the hub port to its
// receiver, and the delay from sending to the receiver's callback, against a
// minimal receive loop on the same machine as the ceiling.
//
//   sudo build/bench/transport_bench [flood_seconds]
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "bench_util.h"
#include "platform/posix/posix_clock.h"
#include "platform/posix/posix_event_loop.h"
#include "platform/posix/posix_host.h"
#include "platform/posix/posix_processes.h"
#include "state/globals.h"
#include "transport/xap.h"

namespace {

using namespace bench;
constexpr long kBatch = 32;

struct Result {
  long received = 0;
  double per_second = 0;
  std::vector<double> delays_ms;
};

// Sends `count` distinct 200-byte messages to 127.0.0.1:3639, paced at `rate`
// per second, or as fast as batched sends go (rate 0).
void Sender(std::atomic<bool>& done, long count, int rate) {
  int fd = UdpSocket(0, true);
  std::int64_t start = NowNs();
  if (rate == 0) {
    for (long i = 0; i < count; i += kBatch) {
      std::vector<std::string> texts;
      for (long j = i; j < std::min(count, i + kBatch); ++j) {
        texts.push_back(Message200("bench.sender.one", static_cast<std::uint64_t>(j), NowNs()));
      }
      SendBatch(fd, 3639, texts);
    }
  }
  for (long i = 0; rate > 0 && i < count; ++i) {
    std::int64_t due = start + i * 1'000'000'000LL / rate;
    while (NowNs() < due) std::this_thread::sleep_for(std::chrono::microseconds(50));
    SendTo(fd, 3639, Message200("bench.sender.one", static_cast<std::uint64_t>(i), NowNs()));
  }
  close(fd);
  done = true;
}

void Record(Result& r, const char* text, std::size_t len, std::int64_t now, std::int64_t& first,
            std::int64_t& last) {
  if (r.received == 0) first = now;
  last = now;
  ++r.received;
  std::int64_t stamp = StampOf(text, len);
  if (stamp > 0) r.delays_ms.push_back(static_cast<double>(now - stamp) / 1e6);
}

// The ceiling: a blocking receive loop that does nothing else.
Result MinimalLoop(long count, int rate) {
  Result r;
  int fd = UdpSocket(3639, false);
  std::atomic<bool> done{false};
  std::thread sender(Sender, std::ref(done), count, rate);
  std::vector<char> buf(65536);
  std::int64_t first = 0, last = 0, idle_since = 0;
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    poll(&p, 1, 20);
    ssize_t n;
    while ((n = recv(fd, buf.data(), buf.size(), 0)) >= 0) Record(r, buf.data(), n, NowNs(), first, last);
    if (done) {
      if (!idle_since) idle_since = NowNs();
      if (NowNs() - idle_since > 200'000'000) break;
    }
  }
  sender.join();
  close(fd);
  r.per_second = last > first ? r.received / ((last - first) / 1e9) : 0;
  return r;
}

struct Receiver : tessaly::MessageReceiver {
  tessaly::xap* link = nullptr;
  Result result;
  std::int64_t first = 0, last = 0;
  void onMessage() override {
    for (std::string e = link->GetMessage(); !e.empty(); e = link->GetMessage()) {
      Record(result, e.data(), e.size(), NowNs(), first, last);
    }
  }
};

Result Transport(long count, int rate) {
  using namespace tessaly;
  PosixClock clock;
  PosixEventLoop loop;
  PosixHost host;
  PosixProcesses processes;
  Globals g(Platform{clock, loop, host, processes});
  g.AppPath = "/nonexistent";  // no log file
  g.ComputerName = "BENCH";
  Receiver receiver;
  xap link(g);
  receiver.link = &link;
  link.RegisterNewMessageCallback(&receiver);
  link.UseIdentityOf(kRolePrimary);
  link.Init();
  if (g.HubRole != "Hub") {
    std::fprintf(stderr, "port 3639 is taken\n");
    std::exit(1);
  }
  std::atomic<bool> done{false};
  std::thread sender(Sender, std::ref(done), count, rate);
  std::int64_t idle_since = 0;
  long seen = -1;
  auto watch = loop.CreateTimer([&] {
    if (!done) return;
    if (receiver.result.received != seen) {
      seen = receiver.result.received;
      idle_since = NowNs();
    } else if (NowNs() - idle_since > 200'000'000) {
      loop.Quit();
    }
  });
  watch->SetInterval(20);
  watch->SetEnabled(true);
  loop.Run();
  sender.join();
  Result r = std::move(receiver.result);
  r.per_second = receiver.last > receiver.first ? r.received / ((receiver.last - receiver.first) / 1e9) : 0;
  return r;
}

void Print(const char* name, Result r, long sent) {
  double median = Quantile(r.delays_ms, 0.5);
  double p99 = Quantile(r.delays_ms, 0.99);
  std::printf("%-22s received %7ld of %7ld  %9.0f/s  delay median %6.2f ms  p99 %6.2f ms\n", name, r.received, sent,
              r.per_second, median, p99);
}

}  // namespace

int main(int argc, char** argv) {
  EnterPrivateNetwork();
  const long flood = argc > 1 ? std::atol(argv[1]) : 300000;
  const long paced = 5000;
  std::printf("flood: %ld datagrams of 200 bytes, sent in batches of %ld as fast as they go\n", flood, kBatch);
  Result ceiling = MinimalLoop(flood, 0);
  Result transport = Transport(flood, 0);
  Print("minimal receive loop", ceiling, flood);
  Print("transport", transport, flood);
  std::printf("transport / ceiling: %.1f%%\n", 100.0 * transport.per_second / ceiling.per_second);
  std::printf("paced: %ld datagrams at 1000/s\n", paced);
  Print("minimal receive loop", MinimalLoop(paced, 1000), paced);
  Print("transport", Transport(paced, 1000), paced);
  return 0;
}
