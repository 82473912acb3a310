// Fakes of the platform seams: virtual time, an in-memory network with bind
// conflicts and a record of every datagram, fixed host facts and recorded
// process calls. Nothing here touches the real system.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "state/globals.h"

namespace tessaly::testing {

class FakeClock : public Clock {
 public:
  std::uint32_t TickCount() override { return tick; }
  std::int64_t Now() override { return wall; }
  // Moves both clocks; the wall clock by whole seconds as they complete.
  void Advance(std::uint32_t ms);

  std::uint32_t tick = 1000;
  std::int64_t wall = 1'800'000'000;  // some fixed day
  std::uint32_t wall_ms = 0;
};

// One datagram the fake network carried.
struct SentDatagram {
  std::string from_address;
  std::int32_t from_port = 0;
  std::int32_t to_port = 0;
  std::string text;
};

class FakeTimer;
class FakeUdpEndpoint;

// Bindings as Linux has them without address reuse (a wildcard bind conflicts
// with every bind of the same port); delivery to bound endpoints through the
// loop, never inside the send.
struct FakeNetwork {
  std::set<std::string> local_addresses;  // besides 127.x
  std::vector<SentDatagram> sent;         // every datagram an endpoint sent
  int refuse_broadcast = 0;               // SetBroadcast fails with this error
  std::int32_t refuse_port = -1;          // sends to this port are refused
  int batch_sends = 0;                    // SendToPorts calls

  // A datagram from elsewhere, delivered like one sent by an endpoint.
  void Inject(const std::string& from, std::int32_t from_port, const std::string& to, std::int32_t to_port,
              const std::string& text);
  std::vector<SentDatagram> SentTo(std::int32_t port) const;

  std::map<FakeUdpEndpoint*, std::pair<std::string, std::int32_t>> bound;
  std::deque<std::function<void()>>* pending = nullptr;
};

class FakeEventLoop : public EventLoop {
 public:
  explicit FakeEventLoop(FakeClock& clock) : clock_(clock) { network.pending = &pending_; }

  std::unique_ptr<Timer> CreateTimer(std::function<void()> on_tick) override;
  std::unique_ptr<UdpEndpoint> CreateUdpEndpoint() override;
  void Run() override {}
  void Quit() override {}
  void RunOnce(std::uint32_t max_wait_ms) override { Step(max_wait_ms, true); }
  void SetErrorSink(std::function<void(const std::string&)>) override {}
  int WatchSignals(const std::vector<int>&, std::function<void(int)>) override { return 0; }

  // Dispatches pending arrivals, then lets `ms` of virtual time pass, firing
  // due timers in deadline order (and arrivals they cause) as time passes.
  void Advance(std::uint32_t ms) {
    Flush();
    while (Step(ms, false)) {
    }
  }
  // Dispatches pending arrivals without moving time.
  void Flush();

  std::set<FakeTimer*> timers;
  std::uint64_t next_order = 0;
  FakeClock& clock_;
  FakeNetwork network;

 private:
  // Fires the earliest timer due within `ms` (after moving the clock to it)
  // and takes the time off `ms`; false, with the clock moved by `ms`, when
  // none is. `once` ends a turn early when arrivals were pending.
  bool Step(std::uint32_t& ms, bool once);
  std::deque<std::function<void()>> pending_;
};

class FakeHost : public Host {
 public:
  std::optional<std::string> HostName() override { return host_name; }
  std::optional<std::vector<std::string>> Ipv4Addresses() override {
    if (fail) throw std::runtime_error("interfaces unreadable");
    return addresses;
  }
  std::optional<std::string> host_name = "testbox";
  std::optional<std::vector<std::string>> addresses = std::vector<std::string>{"192.168.1.5"};
  bool fail = false;
};

class FakeProcesses : public Processes {
 public:
  std::int32_t OwnPid() override { return 4242; }
  std::string OwnExecutablePath() override { return exe_path; }
  std::optional<std::int32_t> CountByName(const std::string& name) override { return running[name.substr(0, 15)]; }
  std::optional<std::int32_t> StartHidden(const std::string&) override {
    if (start_fails) return std::nullopt;
    alive.insert(next_pid);
    return next_pid++;
  }
  bool IsAlive(std::int32_t p) override { return alive.count(p) != 0; }
  bool IsCopyOfThisProgram(std::int32_t p) override { return other_programs.count(p) == 0; }
  bool AskToClose(std::int32_t p) override {
    close_requests.push_back(p);
    if (!ignore_close.count(p)) alive.erase(p);
    return true;
  }
  bool Terminate(std::int32_t p) override {
    terminated.push_back(p);
    return alive.erase(p) != 0;
  }

  std::string exe_path = "/opt/hub/Tessaly";
  std::map<std::string, std::int32_t> running;  // process counts by name
  std::int32_t next_pid = 5000;
  bool start_fails = false;
  std::set<std::int32_t> alive, ignore_close, other_programs;
  std::vector<std::int32_t> close_requests, terminated;
};

// Everything a Globals needs, faked, wired together.
struct FakePlatform {
  FakeClock clock;
  FakeEventLoop loop{clock};
  FakeHost host;
  FakeProcesses processes;
  FakeNetwork& network = loop.network;

  Platform platform() { return Platform{clock, loop, host, processes}; }
};

}  // namespace tessaly::testing
