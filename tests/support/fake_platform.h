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
#include "platform/clock.h"
#include "platform/event_loop.h"
#include "platform/host.h"
#include "platform/processes.h"

namespace tessaly::testing {

class FakeClock : public Clock {
 public:
  std::uint32_t TickCount() override { return tick; }
  std::int64_t Now() override { return wall; }
  // Moves both clocks; the wall clock by whole seconds as they complete.
  void Advance(std::uint32_t ms);

  std::uint32_t tick = 1000;
  std::int64_t wall = 1'800'000'000;  // some fixed day
 private:
  std::uint32_t wall_ms_ = 0;
};

class FakeEventLoop;

// One datagram the fake network carried.
struct SentDatagram {
  std::string from_address;
  std::int32_t from_port = 0;
  std::string to_host;
  std::int32_t to_port = 0;
  std::string text;
};

class FakeUdpEndpoint;

// Addresses bound by endpoints, conflicts as Linux has them without address
// reuse (a wildcard bind conflicts with every bind of the same port), and
// delivery to bound endpoints through the loop.
class FakeNetwork {
 public:
  explicit FakeNetwork(FakeEventLoop& loop) : loop_(loop) {}

  // Addresses of this computer besides 127.x (unicast to them is local).
  std::set<std::string> local_addresses;
  // Every datagram sent by an endpoint, in order.
  std::vector<SentDatagram> sent;
  // When set, SetBroadcast fails with this error number.
  int refuse_broadcast = 0;
  // When set, sends to this port fail with ECONNREFUSED.
  std::int32_t refuse_port = -1;
  // How many batch sends (SendToPorts calls) there were.
  int batch_sends = 0;

  // A datagram from elsewhere, delivered like one sent by an endpoint.
  void Inject(const std::string& from_address, std::int32_t from_port, const std::string& to_address,
              std::int32_t to_port, const std::string& text);

  // Datagrams sent to one port (any host), in order.
  std::vector<SentDatagram> SentTo(std::int32_t port) const;

  // Internal to the fake endpoints.
  int Bind(FakeUdpEndpoint* ep, const std::string& address, std::int32_t port);
  void Unbind(FakeUdpEndpoint* ep);
  int Send(FakeUdpEndpoint& from, const std::string& host, std::int32_t port, std::string text);

 private:
  struct Binding {
    std::string address;
    std::int32_t port;
    FakeUdpEndpoint* ep;
  };
  void Deliver(const std::string& from_address, std::int32_t from_port, const std::string& to_address,
               std::int32_t to_port, const std::string& text);
  FakeEventLoop& loop_;
  std::vector<Binding> bindings_;
};

class FakeEventLoop : public EventLoop {
 public:
  explicit FakeEventLoop(FakeClock& clock) : clock_(clock), network(*this) {}

  std::unique_ptr<Timer> CreateTimer(std::function<void()> on_tick) override;
  std::unique_ptr<UdpEndpoint> CreateUdpEndpoint() override;
  void Run() override {}
  void Quit() override { quit_requested = true; }
  void RunOnce(std::uint32_t max_wait_ms) override;
  void SetErrorSink(std::function<void(const std::string&)> sink) override { error_sink = std::move(sink); }
  int WatchSignals(const std::vector<int>& signals, std::function<void(int)> on_signal) override {
    for (int s : signals) signal_handlers[s] = on_signal;
    return 0;
  }
  std::function<void(const std::string&)> error_sink;
  std::map<int, std::function<void(int)>> signal_handlers;

  // Dispatches pending arrivals, then lets `ms` of virtual time pass, firing
  // due timers in deadline order (and arrivals they cause) as time passes.
  void Advance(std::uint32_t ms);
  // Dispatches pending arrivals without moving time.
  void Flush();

  void Post(std::function<void()> event) { pending_.push_back(std::move(event)); }

  // Internal to the fake timers.
  struct TimerState {
    std::function<void()> tick;
    std::uint32_t interval = 0;
    bool enabled = false;
    std::uint32_t deadline = 0;  // in ticks
    std::uint64_t order = 0;
  };
  std::set<std::shared_ptr<TimerState>> timers;
  std::uint64_t next_order = 0;
  FakeClock& clock_;
  bool quit_requested = false;
  FakeNetwork network;

 private:
  // Earliest due timer at or before `limit` ticks from now, or nullptr.
  std::shared_ptr<TimerState> NextDue(std::uint32_t within);
  void Fire(const std::shared_ptr<TimerState>& t);
  std::deque<std::function<void()>> pending_;
};

class FakeHost : public Host {
 public:
  std::optional<std::string> HostName() override { return host_name; }
  std::optional<std::vector<std::string>> Ipv4Addresses() override {
    if (fail) throw std::runtime_error("interfaces unreadable");
    return addresses;
  }
  bool fail = false;

  std::optional<std::string> host_name = "testbox";
  std::optional<std::vector<std::string>> addresses = std::vector<std::string>{"192.168.1.5"};
};

class FakeProcesses : public Processes {
 public:
  std::int32_t OwnPid() override { return pid; }
  std::string OwnExecutablePath() override { return exe_path; }
  std::optional<std::int32_t> CountByName(const std::string& name) override;
  std::optional<std::int32_t> StartHidden(const std::string& path) override;
  bool IsAlive(std::int32_t p) override { return alive.count(p) != 0; }
  bool IsCopyOfThisProgram(std::int32_t p) override { return other_programs.count(p) == 0; }
  bool AskToClose(std::int32_t p) override;
  bool Terminate(std::int32_t p) override;

  std::int32_t pid = 4242;
  std::string exe_path = "/opt/hub/Tessaly";
  // Running processes by name; CountByName fails when `count_fails`.
  std::map<std::string, std::int32_t> running;
  bool count_fails = false;
  std::vector<std::string> count_queries;
  // StartHidden records the path and gives the next pid (or fails).
  std::vector<std::string> started;
  std::int32_t next_pid = 5000;
  bool start_fails = false;
  // Alive pids; those in `ignore_close` survive AskToClose.
  std::set<std::int32_t> alive;
  std::set<std::int32_t> ignore_close;
  std::vector<std::int32_t> close_requests;
  std::vector<std::int32_t> terminated;
  // Pids that run another program.
  std::set<std::int32_t> other_programs;
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
