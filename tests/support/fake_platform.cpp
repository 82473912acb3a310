#include "support/fake_platform.h"

#include <arpa/inet.h>

#include <cerrno>

namespace tessaly::testing {

void FakeClock::Advance(std::uint32_t ms) {
  tick += ms;
  std::uint64_t total = std::uint64_t{wall_ms_} + ms;
  wall += static_cast<std::int64_t>(total / 1000);
  wall_ms_ = static_cast<std::uint32_t>(total % 1000);
}

namespace {

bool IsDotted(const std::string& s) {
  in_addr a{};
  return inet_pton(AF_INET, s.c_str(), &a) == 1;
}

class FakeTimer : public Timer {
 public:
  FakeTimer(FakeEventLoop& loop, std::function<void()> tick) : loop_(loop) {
    state_ = std::make_shared<FakeEventLoop::TimerState>();
    state_->tick = std::move(tick);
    state_->order = loop_.next_order++;
    loop_.timers.insert(state_);
  }
  ~FakeTimer() override { loop_.timers.erase(state_); }

  void SetInterval(std::uint32_t ms) override {
    if (ms == state_->interval) return;
    state_->interval = ms;
    if (state_->enabled) Restart();
  }
  std::uint32_t Interval() const override { return state_->interval; }
  void SetEnabled(bool on) override {
    if (on && !state_->enabled) {
      state_->enabled = true;
      Restart();
    } else if (!on) {
      state_->enabled = false;
    }
  }
  bool Enabled() const override { return state_->enabled; }

 private:
  void Restart() {
    state_->deadline = loop_.clock_.tick + state_->interval;
    state_->order = loop_.next_order++;
  }
  FakeEventLoop& loop_;
  std::shared_ptr<FakeEventLoop::TimerState> state_;
};

}  // namespace

class FakeUdpEndpoint : public UdpEndpoint {
 public:
  explicit FakeUdpEndpoint(FakeNetwork& net) : net_(net) {}
  ~FakeUdpEndpoint() override { Close(); }

  int Bind(const std::string& address, std::int32_t port) override {
    if (bound_) return EINVAL;
    if (!IsDotted(address) || port < 0 || port > 65535) return EINVAL;
    int err = net_.Bind(this, address, port);
    if (err == 0) {
      bound_ = true;
      address_ = address;
      port_ = port;
    }
    return err;
  }
  bool IsBound() const override { return bound_; }
  int SetBroadcast(bool on) override {
    if (!bound_) return EBADF;
    if (net_.refuse_broadcast) return net_.refuse_broadcast;
    broadcast_ = on;
    return 0;
  }
  int GetBroadcast() override { return bound_ ? (broadcast_ ? 1 : 0) : EBADF; }
  void SetRemote(const std::string& host, std::int32_t port) override {
    remote_host_ = host;
    remote_port_ = port;
  }
  int Send(std::string_view text) override {
    if (!bound_) return EBADF;
    if (!IsDotted(remote_host_) || remote_port_ <= 0 || remote_port_ > 65535) return EINVAL;
    bool is_broadcast = remote_host_ == "255.255.255.255" || remote_host_.ends_with(".255");
    if (is_broadcast && !broadcast_) return EACCES;
    return net_.Send(*this, remote_host_, remote_port_, std::string(text));
  }
  std::vector<int> SendToPorts(const std::vector<Delivery>& batch) override {
    std::vector<int> results;
    ++net_.batch_sends;
    const std::int32_t remote_port = remote_port_;
    for (const Delivery& d : batch) {
      remote_port_ = d.port;
      results.push_back(Send(d.text));
    }
    remote_port_ = remote_port;
    return results;
  }
  void Close() override {
    if (bound_) net_.Unbind(this);
    bound_ = false;
    broadcast_ = false;
  }
  void SetArrivalHandler(ArrivalHandler handler) override { handler_ = std::move(handler); }

  void Arrive(const Datagram& d) {
    if (bound_ && handler_) handler_(d);
  }
  const std::string& address() const { return address_; }
  std::int32_t port() const { return port_; }

 private:
  FakeNetwork& net_;
  bool bound_ = false;
  bool broadcast_ = false;
  std::string address_;
  std::int32_t port_ = 0;
  std::string remote_host_;
  std::int32_t remote_port_ = 0;
  ArrivalHandler handler_;
};

int FakeNetwork::Bind(FakeUdpEndpoint* ep, const std::string& address, std::int32_t port) {
  for (const Binding& b : bindings_) {
    if (b.port != port) continue;
    if (b.address == address || b.address == "0.0.0.0" || address == "0.0.0.0") return EADDRINUSE;
  }
  bool local = address == "0.0.0.0" || address.starts_with("127.") || local_addresses.count(address) != 0;
  if (!local) return EADDRNOTAVAIL;
  bindings_.push_back({address, port, ep});
  return 0;
}

void FakeNetwork::Unbind(FakeUdpEndpoint* ep) {
  std::erase_if(bindings_, [ep](const Binding& b) { return b.ep == ep; });
}

int FakeNetwork::Send(FakeUdpEndpoint& from, const std::string& host, std::int32_t port, std::string text) {
  if (port == refuse_port) return ECONNREFUSED;
  sent.push_back({from.address(), from.port(), host, port, text});
  Deliver(from.address(), from.port(), host, port, text);
  return 0;
}

void FakeNetwork::Inject(const std::string& from_address, std::int32_t from_port, const std::string& to_address,
                         std::int32_t to_port, const std::string& text) {
  Deliver(from_address, from_port, to_address, to_port, text);
}

void FakeNetwork::Deliver(const std::string& from_address, std::int32_t from_port, const std::string& to_address,
                          std::int32_t to_port, const std::string& text) {
  bool broadcast = to_address == "255.255.255.255" || to_address.ends_with(".255");
  for (const Binding& b : bindings_) {
    if (b.port != to_port) continue;
    bool match = broadcast ? b.address == "0.0.0.0" : (b.address == to_address || b.address == "0.0.0.0");
    if (!match) continue;
    FakeUdpEndpoint* ep = b.ep;
    Datagram d{text, from_address, from_port, to_address};
    // Arrivals are events of the loop, never dispatched inside the send.
    loop_.Post([this, ep, d] {
      for (const Binding& now : bindings_) {
        if (now.ep == ep) {
          ep->Arrive(d);
          return;
        }
      }
    });
  }
}

std::vector<SentDatagram> FakeNetwork::SentTo(std::int32_t port) const {
  std::vector<SentDatagram> out;
  for (const SentDatagram& s : sent) {
    if (s.to_port == port) out.push_back(s);
  }
  return out;
}

std::unique_ptr<Timer> FakeEventLoop::CreateTimer(std::function<void()> on_tick) {
  return std::make_unique<FakeTimer>(*this, std::move(on_tick));
}

std::unique_ptr<UdpEndpoint> FakeEventLoop::CreateUdpEndpoint() { return std::make_unique<FakeUdpEndpoint>(network); }

void FakeEventLoop::Flush() {
  // Arrivals may cause more arrivals; bounded so a fault cannot hang a test.
  for (int round = 0; round < 100000 && !pending_.empty(); ++round) {
    std::function<void()> event = std::move(pending_.front());
    pending_.pop_front();
    event();
  }
}

std::shared_ptr<FakeEventLoop::TimerState> FakeEventLoop::NextDue(std::uint32_t within) {
  std::shared_ptr<TimerState> best;
  std::uint32_t best_wait = 0;
  for (const auto& t : timers) {
    if (!t->enabled || t->interval == 0) continue;
    std::uint32_t wait = t->deadline - clock_.tick;
    if (wait > 0x7fffffffu) wait = 0;  // overdue
    if (wait > within) continue;
    if (!best || wait < best_wait || (wait == best_wait && t->order < best->order)) {
      best = t;
      best_wait = wait;
    }
  }
  return best;
}

void FakeEventLoop::Fire(const std::shared_ptr<TimerState>& t) {
  t->deadline = clock_.tick + t->interval;
  t->order = next_order++;
  auto tick = t->tick;  // the handler may destroy its timer
  tick();
}

void FakeEventLoop::Advance(std::uint32_t ms) {
  Flush();
  std::uint32_t left = ms;
  for (;;) {
    auto t = NextDue(left);
    if (!t) break;
    std::uint32_t wait = t->deadline - clock_.tick;
    if (wait > 0x7fffffffu) wait = 0;
    clock_.Advance(wait);
    left -= wait;
    Fire(t);
    Flush();
  }
  clock_.Advance(left);
}

void FakeEventLoop::RunOnce(std::uint32_t max_wait_ms) {
  if (!pending_.empty()) {
    Flush();
    return;
  }
  auto t = NextDue(max_wait_ms);
  if (!t) {
    clock_.Advance(max_wait_ms);
    return;
  }
  std::uint32_t wait = t->deadline - clock_.tick;
  if (wait > 0x7fffffffu) wait = 0;
  clock_.Advance(wait);
  Fire(t);
  Flush();
}

std::optional<std::int32_t> FakeProcesses::CountByName(const std::string& name) {
  count_queries.push_back(name);
  if (count_fails) return std::nullopt;
  auto it = running.find(name.substr(0, 15));
  return it == running.end() ? 0 : it->second;
}

std::optional<std::int32_t> FakeProcesses::StartHidden(const std::string& path) {
  started.push_back(path);
  if (start_fails) return std::nullopt;
  std::int32_t p = next_pid++;
  alive.insert(p);
  return p;
}

bool FakeProcesses::AskToClose(std::int32_t p) {
  close_requests.push_back(p);
  if (!alive.count(p)) return false;
  if (!ignore_close.count(p)) alive.erase(p);
  return true;
}

bool FakeProcesses::Terminate(std::int32_t p) {
  terminated.push_back(p);
  return alive.erase(p) != 0;
}

}  // namespace tessaly::testing
