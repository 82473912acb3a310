#include "support/fake_platform.h"

#include <arpa/inet.h>

#include <cerrno>

namespace tessaly::testing {

void FakeClock::Advance(std::uint32_t ms) {
  tick += ms;
  const std::uint64_t total = std::uint64_t{wall_ms} + ms;
  wall += static_cast<std::int64_t>(total / 1000);
  wall_ms = static_cast<std::uint32_t>(total % 1000);
}

namespace {

bool IsDotted(const std::string& s) {
  in_addr a{};
  return inet_pton(AF_INET, s.c_str(), &a) == 1;
}

bool IsBroadcast(const std::string& host) { return host == "255.255.255.255" || host.ends_with(".255"); }

}  // namespace

class FakeTimer : public Timer {
 public:
  FakeTimer(FakeEventLoop& loop, std::function<void()> on_tick) : tick(std::move(on_tick)), loop_(loop) {
    loop_.timers.insert(this);
  }
  ~FakeTimer() override { loop_.timers.erase(this); }

  void SetInterval(std::uint32_t ms) override {
    if (ms == interval) return;
    interval = ms;
    if (enabled) Restart();
  }
  std::uint32_t Interval() const override { return interval; }
  void SetEnabled(bool on) override {
    if (on && !enabled) Restart();
    enabled = on;
  }
  bool Enabled() const override { return enabled; }

  // Due `interval` from now, after the timers that were due at the same tick before.
  void Restart() {
    deadline = loop_.clock_.tick + interval;
    order = loop_.next_order++;
  }

  std::function<void()> tick;
  std::uint32_t interval = 0;
  bool enabled = false;
  std::uint32_t deadline = 0;  // in ticks
  std::uint64_t order = 0;

 private:
  FakeEventLoop& loop_;
};

class FakeUdpEndpoint : public UdpEndpoint {
 public:
  explicit FakeUdpEndpoint(FakeNetwork& net) : net_(net) {}
  ~FakeUdpEndpoint() override { Close(); }

  int Bind(const std::string& address, std::int32_t port) override {
    if (IsBound() || !IsDotted(address) || port < 0 || port > 65535) return EINVAL;
    for (const auto& [ep, at] : net_.bound) {
      if (at.second == port && (at.first == address || at.first == "0.0.0.0" || address == "0.0.0.0")) {
        return EADDRINUSE;
      }
    }
    if (address != "0.0.0.0" && !address.starts_with("127.") && !net_.local_addresses.count(address)) {
      return EADDRNOTAVAIL;
    }
    net_.bound[this] = {address, port};
    return 0;
  }
  bool IsBound() const override { return net_.bound.count(const_cast<FakeUdpEndpoint*>(this)) != 0; }
  int SetBroadcast(bool on) override {
    if (!IsBound()) return EBADF;
    if (net_.refuse_broadcast) return net_.refuse_broadcast;
    broadcast_ = on;
    return 0;
  }
  int GetBroadcast() override { return IsBound() ? broadcast_ : EBADF; }
  void SetRemote(const std::string& host, std::int32_t port) override {
    remote_host_ = host;
    remote_port_ = port;
  }
  int Send(std::string_view text) override { return SendTo(remote_port_, text); }
  std::vector<int> SendToPorts(const std::vector<Delivery>& batch) override {
    ++net_.batch_sends;
    std::vector<int> results;
    for (const Delivery& d : batch) results.push_back(SendTo(d.port, d.text));
    return results;
  }
  void Close() override {
    net_.bound.erase(this);
    broadcast_ = false;
  }
  void SetArrivalHandler(ArrivalHandler handler) override { handler_ = std::move(handler); }

  void Arrive(const Datagram& d) {
    if (IsBound() && handler_) handler_(d);
  }

 private:
  int SendTo(std::int32_t port, std::string_view text) {
    if (!IsBound()) return EBADF;
    if (!IsDotted(remote_host_) || port <= 0 || port > 65535) return EINVAL;
    if (IsBroadcast(remote_host_) && !broadcast_) return EACCES;
    if (port == net_.refuse_port) return ECONNREFUSED;
    const auto& [address, own_port] = net_.bound[this];
    net_.sent.push_back({address, own_port, port, std::string(text)});
    net_.Inject(address, own_port, remote_host_, port, std::string(text));
    return 0;
  }

  FakeNetwork& net_;
  bool broadcast_ = false;
  std::string remote_host_;
  std::int32_t remote_port_ = 0;
  ArrivalHandler handler_;
};

void FakeNetwork::Inject(const std::string& from, std::int32_t from_port, const std::string& to,
                         std::int32_t to_port, const std::string& text) {
  for (const auto& [ep, at] : bound) {
    if (at.second != to_port || (at.first != "0.0.0.0" && (IsBroadcast(to) || at.first != to))) continue;
    pending->push_back([this, ep = ep, d = Datagram{text, from, from_port, to}] {
      if (bound.count(ep)) ep->Arrive(d);
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

bool FakeEventLoop::Step(std::uint32_t& ms, bool once) {
  if (once && !pending_.empty()) {
    Flush();
    return false;
  }
  FakeTimer* due = nullptr;
  std::uint32_t wait = 0;
  for (const auto& t : timers) {
    if (!t->enabled || t->interval == 0) continue;
    std::uint32_t w = t->deadline - clock_.tick;
    if (w > 0x7fffffffu) w = 0;  // overdue
    if (w <= ms && (!due || w < wait || (w == wait && t->order < due->order))) due = t, wait = w;
  }
  if (!due) {
    clock_.Advance(ms);
    return false;
  }
  clock_.Advance(wait);
  ms -= wait;
  due->Restart();
  auto tick = due->tick;  // the handler may destroy its timer
  tick();
  Flush();
  return true;
}

}  // namespace tessaly::testing
